#include "plugin/streamed_body.h"

#include <string>

#include "binding/codec/json_reader.h"

namespace Voro {

BindingResult ReadStreamedBody(const HostResponse& response, const std::function<void()>& yield) {
  std::string text;
  text.reserve(response.stream_size_hint);
  char chunk[kStreamChunkSize];
  bool read_ok = true;
  bool more = true;
  while (more) {
    uint32_t size = kStreamChunkSize;
    more = false;
    if (!response.stream_read(response.stream_context, chunk, &size, &more)) {
      read_ok = false;
      break;
    }
    if (size > kStreamChunkSize) size = kStreamChunkSize;  // a host that overstates
    text.append(chunk, size);
    // A short chunk means the host has nothing more buffered yet: let other work run.
    if (more && size < kStreamChunkSize) yield();
  }
  BindingResult result = read_ok ? ParseJson(text) : BindingResult::Error(kStreamReadErrorMessage);
  if (response.stream_close != nullptr) response.stream_close(response.stream_context);
  return result;
}

}  // namespace Voro
