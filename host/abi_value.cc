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

bool Build(const rapidjson::Value& json, int depth, BindingAbiValue* out, std::string* error) {
  Clear(out);
  if (json.IsArray() || json.IsObject()) {
    if (depth > kMaxAbiDepth) {
      *error = kTooDeep;
      return false;
    }
  }
  switch (json.GetType()) {
    case rapidjson::kNullType:
      return true;
    case rapidjson::kFalseType:
    case rapidjson::kTrueType:
      out->tag = KIV_ABI_BOOL;
      out->payload.boolean = json.GetBool() ? 1 : 0;
      return true;
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
      return true;
    case rapidjson::kStringType:
      if (!MakeOwnedString(std::string_view(json.GetString(), json.GetStringLength()), out)) {
        *error = "out of memory";
        return false;
      }
      return true;
    case rapidjson::kArrayType: {
      rapidjson::SizeType count = json.Size();
      out->tag = KIV_ABI_COLLECTION;
      if (count == 0) return true;
      auto* elements = static_cast<BindingAbiValue*>(std::calloc(count, sizeof(BindingAbiValue)));
      if (elements == nullptr) {
        *error = "out of memory";
        Clear(out);
        return false;
      }
      // Publish the array first: a failure half-way releases through the record itself.
      out->payload.ref.pointer = elements;
      out->payload.ref.count = count;
      for (rapidjson::SizeType i = 0; i < count; ++i) {
        if (!Build(json[i], depth + 1, &elements[i], error)) {
          ReleaseAbiValue(out);
          return false;
        }
      }
      return true;
    }
    case rapidjson::kObjectType: {
      rapidjson::SizeType count = json.MemberCount();
      out->tag = KIV_ABI_STRUCTURE;
      if (count == 0) return true;
      auto* entries =
          static_cast<BindingAbiStructEntry*>(std::calloc(count, sizeof(BindingAbiStructEntry)));
      if (entries == nullptr) {
        *error = "out of memory";
        Clear(out);
        return false;
      }
      out->payload.ref.pointer = entries;
      out->payload.ref.count = count;
      rapidjson::SizeType i = 0;
      for (auto member = json.MemberBegin(); member != json.MemberEnd(); ++member, ++i) {
        char* key = CopyBytes(member->name.GetString(), member->name.GetStringLength());
        if (key == nullptr) {
          *error = "out of memory";
          ReleaseAbiValue(out);
          return false;
        }
        entries[i].key = key;
        entries[i].owned_key = 1;
        if (!Build(member->value, depth + 1, &entries[i].value, error)) {
          ReleaseAbiValue(out);
          return false;
        }
      }
      return true;
    }
  }
  *error = "unknown JSON type";
  return false;
}

bool Write(const BindingAbiValue& value, int depth, JsonWriter* writer, std::string* error) {
  if ((value.tag == KIV_ABI_COLLECTION || value.tag == KIV_ABI_STRUCTURE) && depth > kMaxAbiDepth) {
    *error = kTooDeep;
    return false;
  }
  const void* pointer = value.payload.ref.pointer;
  uint32_t count = value.payload.ref.count;
  switch (value.tag) {
    case KIV_ABI_EMPTY:
      return writer->Null();
    case KIV_ABI_BOOL:
      return writer->Bool(value.payload.boolean != 0);
    case KIV_ABI_SIGNED:
      return writer->Int64(value.payload.i64);
    case KIV_ABI_UNSIGNED:
      return writer->Uint64(value.payload.u64);
    case KIV_ABI_DOUBLE:
      return writer->Double(value.payload.f64);
    case KIV_ABI_STRING_BORROWED:
    case KIV_ABI_STRING_OWNED: {
      // The text ends at its NUL; the count is the sender's word and not trusted.
      const char* text = pointer != nullptr ? static_cast<const char*>(pointer) : "";
      size_t length = std::strlen(text);
      if (length > std::numeric_limits<rapidjson::SizeType>::max()) {
        *error = "string too long";
        return false;
      }
      return writer->String(text, static_cast<rapidjson::SizeType>(length));
    }
    case KIV_ABI_BLOB_BORROWED:
    case KIV_ABI_BLOB_OWNED: {
      if (pointer == nullptr && count != 0) {
        *error = "blob without bytes";
        return false;
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
      return writer->String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    }
    case KIV_ABI_COLLECTION: {
      if (pointer == nullptr && count != 0) {
        *error = "collection without elements";
        return false;
      }
      const auto* elements = static_cast<const BindingAbiValue*>(pointer);
      writer->StartArray();
      for (uint32_t i = 0; i < count; ++i) {
        if (!Write(elements[i], depth + 1, writer, error)) return false;
      }
      return writer->EndArray();
    }
    case KIV_ABI_STRUCTURE: {
      if (pointer == nullptr && count != 0) {
        *error = "structure without entries";
        return false;
      }
      const auto* entries = static_cast<const BindingAbiStructEntry*>(pointer);
      writer->StartObject();
      for (uint32_t i = 0; i < count; ++i) {
        if (entries[i].key == nullptr) {
          *error = "structure entry without a key";
          return false;
        }
        writer->Key(entries[i].key);
        if (!Write(entries[i].value, depth + 1, writer, error)) return false;
      }
      return writer->EndObject();
    }
    default:
      *error = "unknown value tag " + std::to_string(value.tag);
      return false;
  }
}

}  // namespace

bool AbiFromJson(const rapidjson::Value& json, BindingAbiValue* out, std::string* error) {
  return Build(json, 1, out, error);
}

bool AbiFromJsonText(std::string_view json, BindingAbiValue* out, std::string* error) {
  Clear(out);
  rapidjson::Document document;
  // Iterative: the text may come from a file a person wrote, so no recursion on it.
  document.Parse<rapidjson::kParseIterativeFlag>(json.data(), json.size());
  if (document.HasParseError()) {
    *error = std::string("invalid JSON at offset ") + std::to_string(document.GetErrorOffset()) +
             ": " + rapidjson::GetParseError_En(document.GetParseError());
    return false;
  }
  return AbiFromJson(document, out, error);
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

bool AbiToJson(const BindingAbiValue& value, std::string* json, std::string* error) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  if (!Write(value, 1, &writer, error)) return false;
  json->assign(buffer.GetString(), buffer.GetSize());
  return true;
}

bool ArgumentsToJson(const BindingAbiNamedValue* arguments, uint32_t count, std::string* json,
                     std::string* error) {
  if (arguments == nullptr && count != 0) {
    *error = "arguments without an array";
    return false;
  }
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.StartObject();
  for (uint32_t i = 0; i < count; ++i) {
    std::string name =
        arguments[i].name != nullptr ? std::string(arguments[i].name) : "#" + std::to_string(i);
    writer.Key(name.c_str(), static_cast<rapidjson::SizeType>(name.size()));
    // The argument itself is the first level.
    if (!Write(arguments[i].value, 1, &writer, error)) return false;
  }
  writer.EndObject();
  json->assign(buffer.GetString(), buffer.GetSize());
  return true;
}

}  // namespace kivhost
