// Helpers shared by the AMF tests: bytes written as hex, and builders for the values.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_writer.h"

namespace Voro::amf_testing {

// "0A 0B | 01 'ab'" -> bytes: pairs of hex digits, and 'quoted' text as its ASCII bytes;
// anything else only separates.
inline std::vector<uint8_t> FromHex(std::string_view hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < hex.size(); ++i) {
    if (hex[i] == '\'') {
      const size_t end = std::min(hex.find('\'', i + 1), hex.size());
      for (++i; i < end; ++i) bytes.push_back(static_cast<uint8_t>(hex[i]));
    } else if (i + 1 < hex.size() && std::isxdigit(hex[i]) && std::isxdigit(hex[i + 1])) {
      bytes.push_back(
          static_cast<uint8_t>(std::stoi(std::string(hex.substr(i++, 2)), nullptr, 16)));
    }
  }
  return bytes;
}

inline std::string ToHex(std::span<const uint8_t> bytes) {
  std::string text;
  char pair[4];
  for (uint8_t byte : bytes) {
    std::snprintf(pair, sizeof pair, " %02X", byte);
    text += pair;
  }
  return text.empty() ? text : text.substr(1);
}

// One writer for all values, as for the arguments of one command; for AMF3 the values must
// hold AMF3 items.
inline std::string Write(bool amf3, const std::vector<AmfValue>& values) {
  AmfWriter writer;
  for (const AmfValue& v : values) amf3 ? writer.WriteAmf3(v.amf3()) : writer.WriteAmf0(v);
  return ToHex(writer.bytes());
}

inline std::string Amf3Hex(const Amf3Item& item) { return Write(true, {item}); }
inline std::string Amf0Hex(const AmfValue& value) { return Write(false, {value}); }

template <typename T>
std::shared_ptr<T> Shared(T value) {
  return std::make_shared<T>(std::move(value));
}

inline std::shared_ptr<AmfClass> Class(std::string name, std::vector<std::string> members,
                                       bool dynamic = false, bool externalizable = false) {
  AmfMemberList list;
  for (auto& m : members) list.push_back({std::move(m), AmfTypeHint::Any()});
  return std::make_shared<AmfClass>(std::move(name), externalizable, dynamic, std::move(list));
}

inline Amf3Item Object3(std::shared_ptr<AmfClass> amf_class, const Amf3AssociativeMap& sealed,
                        const Amf3AssociativeMap& dynamic = {}) {
  auto object = std::make_shared<Amf3Object>(std::move(amf_class));
  for (const auto& [name, value] : sealed) object->SetMember(name, value);
  for (const auto& [name, value] : dynamic) object->SetDynamicMember(name, value);
  return Amf3Item::Object(object);
}

// An object of an externalizable class with `body` after its traits.
inline Amf3Item External3(std::shared_ptr<AmfClass> amf_class, Amf3Item body) {
  auto object = std::make_shared<Amf3Object>(std::move(amf_class));
  object->set_external_body(std::move(body));
  return Amf3Item::Object(object);
}

inline Amf3Item Array3(std::vector<Amf3Item> dense, const Amf3AssociativeMap& associative = {}) {
  auto array = std::make_shared<Amf3Array>();
  array->dense = std::move(dense);
  array->associative = associative;
  return Amf3Item::Array(array);
}

inline Amf0Item Object0(std::string class_name, Amf0MemberMap members) {
  return Amf0Item::Object(
      std::make_shared<Amf0Object>(Amf0Object{std::move(class_name), std::move(members)}));
}

}  // namespace Voro::amf_testing
