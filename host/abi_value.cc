#include "host/abi_value.h"

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdlib>
#include <cstring>
#include <limits>

namespace kivhost {

namespace {

// Depth counts containers only: 1000 nested arrays are fine, the 1001st is refused.
constexpr char kTooDeep[] = "nesting deeper than 1000 levels";

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                     rapidjson::CrtAllocator, rapidjson::kWriteNanAndInfFlag>;

void Clear(BindingAbiValue* value) { std::memset(value, 0, sizeof(*value)); }

// Copies `size` bytes plus a terminating NUL, so that strings and blobs alike can be read
// as text safely.
char* CopyBytes(const char* bytes, size_t size) {
  char* copy = static_cast<char*>(std::malloc(size + 1));
  if (copy == nullptr) return nullptr;
  if (size > 0) std::memcpy(copy, bytes, size);
  copy[size] = '\0';
  return copy;
}

kiv::Status Build(const rapidjson::Value& json, int depth, BindingAbiValue* out) {
  Clear(out);
  if (json.IsArray() || json.IsObject()) {
    if (depth > kMaxAbiDepth) {
      return kiv::Error{kTooDeep};
    }
  }
  switch (json.GetType()) {
    case rapidjson::kNullType:
      return {};
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      out->tag = KIV_ABI_BOOL;
      out->payload.boolean = json.GetBool() ? 1 : 0;
      return {};
    case rapidjson::kNumberType:
      if (json.IsInt64()) {
        out->tag = KIV_ABI_SIGNED;
        out->payload.i64 = json.GetInt64();
      } else if (json.IsUint64()) {
        out->tag = KIV_ABI_UNSIGNED;
        out->payload.u64 = json.GetUint64();
      } else {
        out->tag = KIV_ABI_DOUBLE;
        out->payload.f64 = json.GetDouble();
      }
      return {};
    case rapidjson::kStringType:
      if (!MakeOwnedString(std::string_view(json.GetString(), json.GetStringLength()), out)) {
        return kiv::Error{"out of memory"};
      }
      return {};
    case rapidjson::kArrayType: {
      rapidjson::SizeType count = json.Size();
      out->tag = KIV_ABI_COLLECTION;
      if (count == 0) return {};
      auto* elements = static_cast<BindingAbiValue*>(std::calloc(count, sizeof(BindingAbiValue)));
      if (elements == nullptr) {
        Clear(out);
        return kiv::Error{"out of memory"};
      }
      // Publish the array first: a failure half-way releases through the record itself.
      out->payload.ref.pointer = elements;
      out->payload.ref.count = count;
      for (rapidjson::SizeType i = 0; i < count; ++i) {
        if (auto built = Build(json[i], depth + 1, &elements[i]); !built.ok()) {
          ReleaseAbiValue(out);
          return built;
        }
      }
      return {};
    }
    case rapidjson::kObjectType: {
      rapidjson::SizeType count = json.MemberCount();
      out->tag = KIV_ABI_STRUCTURE;
      if (count == 0) return {};
      auto* entries =
          static_cast<BindingAbiStructEntry*>(std::calloc(count, sizeof(BindingAbiStructEntry)));
      if (entries == nullptr) {
        Clear(out);
        return kiv::Error{"out of memory"};
      }
      out->payload.ref.pointer = entries;
      out->payload.ref.count = count;
      rapidjson::SizeType i = 0;
      for (auto member = json.MemberBegin(); member != json.MemberEnd(); ++member, ++i) {
        char* key = CopyBytes(member->name.GetString(), member->name.GetStringLength());
        if (key == nullptr) {
          ReleaseAbiValue(out);
          return kiv::Error{"out of memory"};
        }
        entries[i].key = key;
        entries[i].owned_key = 1;
        if (auto built = Build(member->value, depth + 1, &entries[i].value); !built.ok()) {
          ReleaseAbiValue(out);
          return built;
        }
      }
      return {};
    }
  }
  return kiv::Error{"unknown JSON type"};
}

// The writer refuses only what its flags forbid, which these values never are.
kiv::Status Wrote(bool ok) {
  if (!ok) return kiv::Error{"cannot write JSON"};
  return {};
}

kiv::Status Write(const BindingAbiValue& value, int depth, JsonWriter* writer) {
  if ((value.tag == KIV_ABI_COLLECTION || value.tag == KIV_ABI_STRUCTURE) && depth > kMaxAbiDepth) {
    return kiv::Error{kTooDeep};
  }
  const void* pointer = value.payload.ref.pointer;
  uint32_t count = value.payload.ref.count;
  switch (value.tag) {
    case KIV_ABI_EMPTY:
      return Wrote(writer->Null());
    case KIV_ABI_BOOL:
      return Wrote(writer->Bool(value.payload.boolean != 0));
    case KIV_ABI_SIGNED:
      return Wrote(writer->Int64(value.payload.i64));
    case KIV_ABI_UNSIGNED:
      return Wrote(writer->Uint64(value.payload.u64));
    case KIV_ABI_DOUBLE:
      return Wrote(writer->Double(value.payload.f64));
    case KIV_ABI_STRING_BORROWED:
    case KIV_ABI_STRING_OWNED: {
      // The text ends at its NUL; the count is the sender's word and not trusted.
      const char* text = pointer != nullptr ? static_cast<const char*>(pointer) : "";
      size_t length = std::strlen(text);
      if (length > std::numeric_limits<rapidjson::SizeType>::max()) {
        return kiv::Error{"string too long"};
      }
      return Wrote(writer->String(text, static_cast<rapidjson::SizeType>(length)));
    }
    case KIV_ABI_BLOB_BORROWED:
    case KIV_ABI_BLOB_OWNED: {
      if (pointer == nullptr && count != 0) {
        return kiv::Error{"blob without bytes"};
      }
      static const char kAlphabet[] =
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
      const auto* bytes = static_cast<const unsigned char*>(pointer);
      std::string text;
      text.reserve((static_cast<size_t>(count) + 2) / 3 * 4);
      for (uint32_t i = 0; i < count; i += 3) {
        uint32_t remaining = count - i;
        uint32_t triple = static_cast<uint32_t>(bytes[i]) << 16;
        if (remaining > 1) triple |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (remaining > 2) triple |= bytes[i + 2];
        text += kAlphabet[(triple >> 18) & 63];
        text += kAlphabet[(triple >> 12) & 63];
        text += remaining > 1 ? kAlphabet[(triple >> 6) & 63] : '=';
        text += remaining > 2 ? kAlphabet[triple & 63] : '=';
      }
      return Wrote(writer->String(text.data(), static_cast<rapidjson::SizeType>(text.size())));
    }
    case KIV_ABI_COLLECTION: {
      if (pointer == nullptr && count != 0) {
        return kiv::Error{"collection without elements"};
      }
      const auto* elements = static_cast<const BindingAbiValue*>(pointer);
      writer->StartArray();
      for (uint32_t i = 0; i < count; ++i) {
        if (auto written = Write(elements[i], depth + 1, writer); !written.ok()) return written;
      }
      return Wrote(writer->EndArray());
    }
    case KIV_ABI_STRUCTURE: {
      if (pointer == nullptr && count != 0) {
        return kiv::Error{"structure without entries"};
      }
      const auto* entries = static_cast<const BindingAbiStructEntry*>(pointer);
      writer->StartObject();
      for (uint32_t i = 0; i < count; ++i) {
        if (entries[i].key == nullptr) {
          return kiv::Error{"structure entry without a key"};
        }
        writer->Key(entries[i].key);
        if (auto written = Write(entries[i].value, depth + 1, writer); !written.ok())
          return written;
      }
      return Wrote(writer->EndObject());
    }
    default:
      return kiv::Error{"unknown value tag " + std::to_string(value.tag)};
  }
}

}  // namespace

kiv::Status AbiFromJson(const rapidjson::Value& json, BindingAbiValue* out) {
  return Build(json, 1, out);
}

kiv::Status AbiFromJsonText(std::string_view json, BindingAbiValue* out) {
  Clear(out);
  rapidjson::Document document;
  // Iterative: the text may come from a file a person wrote, so no recursion on it.
  document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  if (document.HasParseError()) {
    return kiv::Error{std::string("invalid JSON at offset ") +
                      std::to_string(document.GetErrorOffset()) + ": " +
                      rapidjson::GetParseError_En(document.GetParseError())};
  }
  return AbiFromJson(document, out);
}

char* CopyText(std::string_view text) { return CopyBytes(text.data(), text.size()); }

bool MakeOwnedString(std::string_view text, BindingAbiValue* out) {
  Clear(out);
  if (text.size() > std::numeric_limits<uint32_t>::max()) return false;
  char* copy = CopyBytes(text.data(), text.size());
  if (copy == nullptr) return false;
  out->tag = KIV_ABI_STRING_OWNED;
  out->payload.ref.pointer = copy;
  out->payload.ref.count = static_cast<uint32_t>(text.size());
  return true;
}

bool MakeOwnedBlob(const void* bytes, size_t size, BindingAbiValue* out) {
  Clear(out);
  if (size > std::numeric_limits<uint32_t>::max()) return false;
  char* copy = CopyBytes(static_cast<const char*>(bytes), size);
  if (copy == nullptr) return false;
  out->tag = KIV_ABI_BLOB_OWNED;
  out->payload.ref.pointer = copy;
  out->payload.ref.count = static_cast<uint32_t>(size);
  return true;
}

void ReleaseAbiValue(BindingAbiValue* value) {
  if (value == nullptr) return;
  void* pointer = const_cast<void*>(value->payload.ref.pointer);
  uint32_t count = value->payload.ref.count;
  switch (value->tag) {
    case KIV_ABI_STRING_OWNED:
    case KIV_ABI_BLOB_OWNED:
      std::free(pointer);
      break;
    case KIV_ABI_COLLECTION: {
      auto* elements = static_cast<BindingAbiValue*>(pointer);
      for (uint32_t i = 0; elements != nullptr && i < count; ++i) ReleaseAbiValue(&elements[i]);
      std::free(pointer);
      break;
    }
    case KIV_ABI_STRUCTURE: {
      auto* entries = static_cast<BindingAbiStructEntry*>(pointer);
      for (uint32_t i = 0; entries != nullptr && i < count; ++i) {
        if (entries[i].owned_key) std::free(const_cast<char*>(entries[i].key));
        ReleaseAbiValue(&entries[i].value);
      }
      std::free(pointer);
      break;
    }
    default:
      break;
  }
  Clear(value);
}

kiv::Result<std::string> AbiToJson(const BindingAbiValue& value) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  if (auto written = Write(value, 1, &writer); !written.ok()) return kiv::Error{written.error()};
  return std::string(buffer.GetString(), buffer.GetSize());
}

kiv::Result<std::string> ArgumentsToJson(const BindingAbiNamedValue* arguments, uint32_t count) {
  if (arguments == nullptr && count != 0) return kiv::Error{"arguments without an array"};
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  for (uint32_t i = 0; i < count; ++i) {
    std::string name =
        arguments[i].name != nullptr ? std::string(arguments[i].name) : "#" + std::to_string(i);
    writer.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
    // The argument itself is the first level.
    if (auto written = Write(arguments[i].value, 1, &writer); !written.ok()) {
      return kiv::Error{written.error()};
    }
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace kivhost
