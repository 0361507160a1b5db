// The checks shared by the AMF decoding targets: decode a whole body with a private class
// registry, convert every value, encode it again and decode that encoding. (Our encoding of
// arbitrary decoded input need not decode whole: kinds such as AMF0 Xml or AMF3 LegacyXml
// are written as nothing at all, so only the absence of faults is checked there.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_quiet.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_writer.h"

namespace amf_fuzz {

// Values per body; real bodies hold a handful.
inline constexpr int kMaxValues = 64;

[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_amf: %s\n", what);
  std::abort();
}

template <bool kAmf0>
void Run(const uint8_t* data, size_t size) {
  fuzz_support::QuietLogger();
  // A registry per input: the process-wide one would grow with every input.
  Voro::AmfClassRegistry registry;
  Voro::AmfWriter writer;
  {
    Voro::AmfReader reader(std::span<const uint8_t>(data, size), registry);
    for (int i = 0; i < kMaxValues && !reader.at_end(); ++i) {
      const size_t before = reader.position();
      if constexpr (kAmf0) {
        const Voro::AmfValue value = reader.ReadAmf0();
        (void)Voro::ToBindingProperty(value);
        (void)Voro::ToAmf0Item(value);
        writer.WriteAmf0(value);
      } else {
        const Voro::Amf3Item item = reader.ReadAmf3();
        (void)Voro::ToBindingProperty(item);
        (void)Voro::ToAmf0Item(Voro::AmfValue(item));
        writer.WriteAmf3(item);
      }
      if (reader.position() == before) Fail("a value consumed no bytes");
    }
    if (reader.position() > size) Fail("read position beyond the input");
  }
  Voro::AmfClassRegistry again_registry;
  Voro::AmfReader again(writer.bytes(), again_registry);
  for (int i = 0; i < kMaxValues && !again.at_end(); ++i) {
    if constexpr (kAmf0) {
      (void)again.ReadAmf0();
    } else {
      (void)again.ReadAmf3();
    }
  }
  if (again.position() > writer.bytes().size()) Fail("read position beyond our encoding");
}

}  // namespace amf_fuzz
