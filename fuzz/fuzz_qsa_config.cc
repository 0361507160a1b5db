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
  kivhost::QsaConfig config;
  config.enabled_platforms.insert("KEPT");
  std::string error;
  const bool ok = kivhost::ParseQsaConfig(text, "fuzz", &config, &error);
  if (ok != error.empty()) Fail("verdict and message disagree", error);
  if (!ok && (config.enabled_platforms.size() != 1 || config.enabled_platforms.count("KEPT") != 1 ||
              !config.accounts.empty())) {
    Fail("a failed read changed the configuration", error);
  }
  kivhost::QsaConfig second;
  std::string again;
  if (kivhost::ParseQsaConfig(text, "fuzz", &second, &again) != ok || again != error) {
    Fail("second read differs", again);
  }
  if (ok && config.accounts.size() != second.accounts.size()) Fail("account counts differ", text);
  return 0;
}
