#include "lcds/amf/amf_kind.h"

#include <array>

namespace Voro {

namespace {

constexpr std::array<std::string_view, kAmfKindCount> kAmf0Names = {
    "Number",     "Boolean",     "String",    "Object",    "Movieclip",   "Null",
    "Undefined",  "Reference",   "EcmaArray", "ObjectEnd", "StrictArray", "Date",
    "LongString", "Unsupported", "Recordset", "Xml",       "TypedObject", "Amf3Object",
};

constexpr std::array<std::string_view, kAmfKindCount> kAmf3Names = {
    "Undefined", "Null",      "False",      "True",         "Integer",      "Double",
    "String",    "LegacyXml", "Date",       "Array",        "Object",       "Xml",
    "ByteArray", "VectorInt", "VectorUInt", "VectorDouble", "VectorObject", "Dictionary",
};

constexpr std::string_view kUnknownKindName = "*Unknown*";

}  // namespace

std::string_view Amf0KindName(uint32_t code) {
  return code < kAmf0Names.size() ? kAmf0Names[code] : kUnknownKindName;
}

std::string_view Amf3KindName(uint32_t code) {
  return code < kAmf3Names.size() ? kAmf3Names[code] : kUnknownKindName;
}

}  // namespace Voro
