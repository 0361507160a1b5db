// Scenario text (JSON or YAML) through the simulator's scenario reader.
//
// Checks: a failure says why and leaves the scenario as it was; a success says nothing;
// reading the same text again gives the same verdict, message and account names.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim/scenario.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_scenario: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Voro::Sim::Scenario first;
  first.accounts.resize(1);
  first.accounts[0].username = "kept";
  std::string error;
  const bool ok = Voro::Sim::ParseScenario(text, &first, &error);
  if (ok != error.empty()) Fail("verdict and message disagree", error);
  if (!ok && (first.accounts.size() != 1 || first.accounts[0].username != "kept")) {
    Fail("a failed read changed the scenario", error);
  }
  Voro::Sim::Scenario second;
  std::string again;
  if (Voro::Sim::ParseScenario(text, &second, &again) != ok || again != error) {
    Fail("second read differs", again);
  }
  if (ok) {
    if (first.accounts.size() != second.accounts.size()) Fail("account counts differ", text);
    for (size_t i = 0; i < first.accounts.size(); ++i) {
      if (first.accounts[i].username.empty()) Fail("an account without a name", text);
      if (first.accounts[i].username != second.accounts[i].username) Fail("names differ", text);
    }
  }
  return 0;
}
