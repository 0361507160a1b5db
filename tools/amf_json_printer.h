// AMF values printed as one line of JSON, in the notation `kivtool amf decode` documents.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_externalizable.h"

namespace kivtool {

class JsonPrinter {
 public:
  std::string Take() { return std::move(out_); }

  void Print(const Voro::AmfValue& value) {
    if (value.is_amf0()) {
      Print(value.amf0());
    } else {
      out_ += "{\"__amf3\":";
      Print(value.amf3());
      out_ += '}';
    }
  }

  void Print(const Voro::Amf0Item& item) {
    using Voro::Amf0Kind;
    switch (item.kind()) {
      case Amf0Kind::kNumber:
        Number(item.AsNumber());
        return;
      case Amf0Kind::kBoolean:
        out_ += item.AsBoolean() ? "true" : "false";
        return;
      case Amf0Kind::kString:
        String(item.AsString());
        return;
      case Amf0Kind::kNull:
        out_ += "null";
        return;
      case Amf0Kind::kDate:
        out_ += "{\"__kind\":\"Date\",\"value\":" + std::to_string(item.AsDate()) + "}";
        return;
      case Amf0Kind::kLongString:
        out_ += "{\"__kind\":\"LongString\",\"value\":";
        String(item.AsString());
        out_ += '}';
        return;
      case Amf0Kind::kObject:
      case Amf0Kind::kTypedObject:
      case Amf0Kind::kEcmaArray:
      case Amf0Kind::kStrictArray:
        break;
      default:
        Kind(item.kind_name());
        return;
    }
    if (Repeat(item.PayloadIdentity())) return;
    if (item.kind() == Amf0Kind::kStrictArray) {
      out_ += '[';
      const char* comma = "";
      for (const Voro::AmfValue& e : item.AsStrictArray()) {
        out_ += comma;
        Print(e);
        comma = ",";
      }
      out_ += ']';
    } else if (item.kind() == Amf0Kind::kEcmaArray) {
      out_ += "{\"__kind\":\"EcmaArray\",\"entries\":{";
      const char* comma = "";
      for (const auto& [key, value] : item.AsEcmaArray()) {
        out_ += comma;
        String(key);
        out_ += ':';
        Print(value);
        comma = ",";
      }
      out_ += "}}";
    } else {
      const Voro::Amf0Object& object = item.AsObject();
      out_ += "{\"__class\":";
      String(object.class_name);
      for (const auto& [name, value] : object.members) {
        out_ += ',';
        String(name);
        out_ += ':';
        Print(value);
      }
      out_ += '}';
    }
  }

  void Print(const Voro::Amf3Item& item) {
    using Voro::Amf3Kind;
    switch (item.kind()) {
      case Amf3Kind::kNull:
        out_ += "null";
        return;
      case Amf3Kind::kFalse:
        out_ += "false";
        return;
      case Amf3Kind::kTrue:
        out_ += "true";
        return;
      case Amf3Kind::kInteger:
        out_ += std::to_string(item.AsInteger());
        return;
      case Amf3Kind::kDouble:
        Number(item.AsDouble());
        return;
      case Amf3Kind::kString:
        String(item.AsString());
        return;
      case Amf3Kind::kDate:
        out_ += "{\"__kind\":\"Date\",\"value\":" + std::to_string(item.AsDate()) + "}";
        return;
      case Amf3Kind::kXml:
        out_ += "{\"__kind\":\"Xml\",\"value\":";
        String(item.AsXml());
        out_ += '}';
        return;
      case Amf3Kind::kByteArray: {
        out_ += "{\"__kind\":\"ByteArray\",\"hex\":\"";
        static constexpr char kDigits[] = "0123456789abcdef";
        for (uint8_t b : item.AsByteArray()) {
          out_ += kDigits[b >> 4];
          out_ += kDigits[b & 15];
        }
        out_ += "\"}";
        return;
      }
      case Amf3Kind::kArray:
      case Amf3Kind::kObject:
      case Amf3Kind::kVectorInt:
      case Amf3Kind::kVectorUInt:
      case Amf3Kind::kVectorDouble:
      case Amf3Kind::kVectorObject:
      case Amf3Kind::kDictionary:
        break;
      default:
        Kind(item.kind_name());
        return;
    }
    if (Repeat(item.PayloadIdentity())) return;
    switch (item.kind()) {
      case Amf3Kind::kArray:
        PrintArray(item.AsArray());
        return;
      case Amf3Kind::kObject:
        PrintObject(item.AsObject());
        return;
      case Amf3Kind::kVectorInt:
        Vector("VectorInt", item.AsVectorInt().fixed, item.AsVectorInt().items);
        return;
      case Amf3Kind::kVectorUInt:
        Vector("VectorUInt", item.AsVectorUInt().fixed, item.AsVectorUInt().items);
        return;
      case Amf3Kind::kVectorDouble: {
        out_ += "{\"__kind\":\"VectorDouble\",\"fixed\":";
        out_ += item.AsVectorDouble().fixed ? "true" : "false";
        out_ += ",\"items\":[";
        const char* comma = "";
        for (double d : item.AsVectorDouble().items) {
          out_ += comma;
          Number(d);
          comma = ",";
        }
        out_ += "]}";
        return;
      }
      case Amf3Kind::kVectorObject: {
        const Voro::Amf3ObjectVector& vector = item.AsVectorObject();
        out_ += "{\"__kind\":\"VectorObject\",\"fixed\":";
        out_ += vector.fixed ? "true" : "false";
        out_ += ",\"type\":";
        String(vector.type_name);
        out_ += ",\"items\":[";
        const char* comma = "";
        for (const Voro::Amf3Item& e : vector.items) {
          out_ += comma;
          Print(e);
          comma = ",";
        }
        out_ += "]}";
        return;
      }
      default: {
        const Voro::Amf3Dictionary& dictionary = item.AsDictionary();
        out_ += "{\"__kind\":\"Dictionary\",\"weakKeys\":";
        out_ += dictionary.weak_keys ? "true" : "false";
        out_ += ",\"entries\":[";
        const char* comma = "";
        for (const auto& [key, value] : dictionary.entries) {
          out_ += comma;
          out_ += '[';
          Print(key);
          out_ += ',';
          Print(value);
          out_ += ']';
          comma = ",";
        }
        out_ += "]}";
        return;
      }
    }
  }

 private:
  void PrintArray(const Voro::Amf3Array& array) {
    const bool plain = array.associative.empty();
    out_ += plain ? "[" : "{\"__kind\":\"Array\",\"dense\":[";
    const char* comma = "";
    for (const Voro::Amf3Item& e : array.dense) {
      out_ += comma;
      Print(e);
      comma = ",";
    }
    out_ += ']';
    if (plain) return;
    out_ += ",\"associative\":{";
    comma = "";
    for (const auto& [key, value] : array.associative) {
      out_ += comma;
      String(key);
      out_ += ':';
      Print(value);
      comma = ",";
    }
    out_ += "}}";
  }

  void PrintObject(const Voro::Amf3Object& object) {
    out_ += "{\"__class\":";
    String(object.class_name());
    const bool dynamic = object.amf_class() && object.amf_class()->dynamic();
    if (object.amf_class()) {
      if (object.amf_class()->externalizable()) {
        out_ += ",\"__externalizable\":true";
        const std::string_view body = Voro::AmfExternalBodyName(object.class_name());
        if (!body.empty()) {
          out_ += ',';
          String(body);
          out_ += ':';
          Print(object.external_body());
        }
      }
      const Voro::AmfMemberListRef members = object.amf_class()->Members();
      for (size_t i = 0; i < members->size(); ++i) {
        out_ += ',';
        String((*members)[i].name);
        out_ += ':';
        Print(object.SealedValue(i));
      }
    }
    // A dynamic class shows its (maybe empty) dynamic part, so that it reads back as one.
    if (dynamic || !object.dynamic_members().empty()) {
      out_ += ",\"__dynamic\":{";
      const char* comma = "";
      for (const auto& [name, value] : object.dynamic_members()) {
        out_ += comma;
        String(name);
        out_ += ':';
        Print(value);
        comma = ",";
      }
      out_ += '}';
    }
    out_ += '}';
  }

  template <typename T>
  void Vector(const char* kind, bool fixed, const std::vector<T>& items) {
    out_ += "{\"__kind\":\"";
    out_ += kind;
    out_ += "\",\"fixed\":";
    out_ += fixed ? "true" : "false";
    out_ += ",\"items\":[";
    const char* comma = "";
    for (T v : items) {
      out_ += comma;
      out_ += std::to_string(v);
      comma = ",";
    }
    out_ += "]}";
  }

  // True (and a reference printed) when the container was printed before.
  bool Repeat(const void* identity) {
    if (identity == nullptr) {
      out_ += "null";
      return true;
    }
    const auto [it, added] = seen_.emplace(identity, seen_.size());
    if (added) return false;
    out_ += "{\"__ref\":" + std::to_string(it->second) + "}";
    return true;
  }

  void Kind(std::string_view name) {
    out_ += "{\"__kind\":\"";
    out_ += name;
    out_ += "\"}";
  }

  void Number(double d) {
    if (!std::isfinite(d)) {
      out_ += "{\"__kind\":\"Double\",\"value\":\"";
      out_ += std::isnan(d) ? "NaN" : (d > 0 ? "Infinity" : "-Infinity");
      out_ += "\"}";
      return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", d);
    std::string s = text;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    out_ += s;
  }

  void String(std::string_view s) {
    out_ += '"';
    for (unsigned char c : s) {
      switch (c) {
        case '"':
          out_ += "\\\"";
          break;
        case '\\':
          out_ += "\\\\";
          break;
        case '\n':
          out_ += "\\n";
          break;
        case '\r':
          out_ += "\\r";
          break;
        case '\t':
          out_ += "\\t";
          break;
        default:
          if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out_ += escape;
          } else {
            out_ += static_cast<char>(c);
          }
      }
    }
    out_ += '"';
  }

  std::string out_;
  std::unordered_map<const void*, size_t> seen_;
};

}  // namespace kivtool
