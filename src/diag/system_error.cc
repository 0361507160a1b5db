#include "diag/system_error.h"

#include <string.h>

#include <algorithm>

namespace Voro {

namespace {

// strerror_r comes in two shapes: the GNU one returns the text (maybe a static string), the
// XSI one returns 0 and fills the buffer.
[[maybe_unused]] const char* StrerrorResult(const char* text, const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] const char* StrerrorResult(int status, const char* buffer) {
  return status == 0 ? buffer : nullptr;
}

}  // namespace

size_t WriteErrorText(const char* system_text, char* buffer, size_t size) {
  if (size == 0) {
    return 0;
  }
  const char* text = system_text != nullptr ? system_text : kErrorTextUnavailable;
  const size_t length = std::min(strlen(text), size - 1);
  std::copy_n(text, length, buffer);
  buffer[length] = '\0';
  return length;
}

size_t SystemErrorText(int code, char* buffer, size_t size) {
  // Large enough for every message, so the XSI form never fails for lack of room.
  char scratch[1024];
  scratch[0] = '\0';
  const char* text = StrerrorResult(strerror_r(code, scratch, sizeof scratch), scratch);
  return WriteErrorText(text, buffer, size);
}

std::string SystemErrorText(int code) {
  char buffer[1024];
  const size_t length = SystemErrorText(code, buffer, sizeof buffer);
  return std::string(buffer, length);
}

}  // namespace Voro
