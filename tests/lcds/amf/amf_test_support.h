// Helpers shared by the AMF tests: byte strings written as hex, and encode/decode shortcuts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_writer.h"

namespace Voro::amf_testing {

// "0A 0B 01" -> bytes; spaces are ignored.
inline std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return bytes;
}

// Bytes as upper-case hex pairs separated by spaces.
inline std::string ToHex(std::span<const uint8_t> bytes) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += pair;
  }
  return text;
}

inline std::string Amf3Hex(const Amf3Item& item) {
  AmfWriter writer;
  writer.WriteAmf3(item);
  return ToHex(writer.bytes());
}

inline std::string Amf0Hex(const AmfValue& value) {
  AmfWriter writer;
  writer.WriteAmf0(value);
  return ToHex(writer.bytes());
}

}  // namespace Voro::amf_testing
