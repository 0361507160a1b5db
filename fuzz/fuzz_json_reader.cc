// JSON text through the reader, and every tree it accepts through the writer and back.
//
// Checks: the reader gives what RapidJSON's reader alone gives (result, message, tree and
// its text); a failure carries an "Error: ... at offset N." message and nothing else; an
// accepted tree written compactly gives the bytes RapidJSON's Writer gives; written
// compactly and pretty it reads back to an equal tree, and writing that tree again gives the
// same text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "fuzz_json_reader: %s\n%.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void CheckRoundTrip(const Voro::BindingProperty& value, std::string_view layout) {
  const std::string text = Voro::WriteJson(value, nullptr, layout);
  const Voro::BindingResult again = Voro::ParseJson(text);
  if (!again.ok()) Fail("written text did not read back", again.error());
  if (!(again.value() == value)) Fail("round trip changed the tree", text);
  if (Voro::WriteJson(again.value(), nullptr, layout) != text) Fail("second write differs", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const Voro::BindingResult result = Voro::ParseJson(text);
  const Voro::BindingResult reference = Voro::ParseJsonWithRapidJson(text);
  if (result.ok() != reference.ok() || result.error() != reference.error() ||
      !(result.value() == reference.value()) ||
      Voro::WriteJson(result.value()) != Voro::WriteJson(reference.value())) {
    Fail("the readers differ", text);
  }
  if (!result.ok()) {
    const std::string_view message = result.error();
    if (message.substr(0, 7) != "Error: " || message.find(" at offset ") == message.npos ||
        message.back() != '.' || result.value().size() != 1) {
      Fail("malformed failure", message);
    }
    return 0;
  }
  if (Voro::WriteJson(result.value()) != Voro::WriteJsonWithRapidJson(result.value())) {
    Fail("the writers differ", text);
  }
  CheckRoundTrip(result.value(), {});
  CheckRoundTrip(result.value(), "\n");
  return 0;
}
