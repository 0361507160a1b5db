// Sign-on service configuration text through kivhost's reader.
//
// Checks: a failure says why and leaves the configuration as it was; a success says
// nothing; reading the same text again gives the same verdict and message.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/qsa_service.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_qsa_config: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto first = kivhost::ParseQsaConfig(text, "fuzz");
  if (!first.ok() && first.error().empty()) Fail("a failure without a message", text);
  const auto second = kivhost::ParseQsaConfig(text, "fuzz");
  if (second.ok() != first.ok() || second.error() != first.error()) {
    Fail("second read differs", second.error());
  }
  if (first.ok() && first.value().accounts.size() != second.value().accounts.size()) {
    Fail("account counts differ", text);
  }
  return 0;
}
