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
  const auto first = Voro::Sim::ParseScenario(text);
  if (!first.ok() && first.error().empty()) Fail("a failure without a message", text);
  const auto second = Voro::Sim::ParseScenario(text);
  if (second.ok() != first.ok() || second.error() != first.error()) {
    Fail("second read differs", second.error());
  }
  if (first.ok()) {
    const auto& accounts = first.value().accounts;
    const auto& again = second.value().accounts;
    if (accounts.size() != again.size()) Fail("account counts differ", text);
    for (size_t i = 0; i < accounts.size(); ++i) {
      if (accounts[i].username.empty()) Fail("an account without a name", text);
      if (accounts[i].username != again[i].username) Fail("names differ", text);
    }
  }
  return 0;
}
