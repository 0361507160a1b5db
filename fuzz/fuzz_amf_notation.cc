// kivtool's AMF notation: read JSON text into AMF values (the first byte picks AMF0 or
// AMF3), then encode and decode them.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "amf_notation_reader.h"
#include "fuzz_quiet.h"
#include "lcds/amf/amf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::QuietLogger();
  if (size == 0) return 0;
  const bool amf0 = (data[0] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto values = kivtool::ReadAmfNotation(text, amf0);
  if (!values.ok()) return 0;
  const std::vector<uint8_t> bytes = kivtool::WriteAmfValues(values.value(), amf0);
  Voro::AmfClassRegistry registry;
  Voro::AmfReader reader(bytes, registry);
  for (int i = 0; i < 64 && !reader.at_end(); ++i) {
    if (amf0) {
      (void)reader.ReadAmf0();
    } else {
      (void)reader.ReadAmf3();
    }
  }
  return 0;
}
