// BindingProperty trees as JSON text: compact through our own writer, which gives the bytes
// RapidJSON's Writer gives (its number formatting, its escapes) without its checks of each
// value's place, and pretty through RapidJSON's PrettyWriter.
//
// The tree is walked with an explicit stack, so a tree of any depth is written without
// recursion. Floats that JSON cannot express (NaN and the infinities) are written as null:
// the output stays valid JSON for every reader, as browsers' JSON.stringify does.
#include "binding/codec/json_writer.h"

#include <rapidjson/internal/dtoa.h>
#include <rapidjson/internal/itoa.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "binding/value/base64.h"

namespace Voro {
namespace {

// Compact JSON into a growing buffer, with the writer interface TreeWriter uses. A comma
// goes before every value or key but the first of its container, a colon after every key.
class CompactWriter {
 public:
  void Null() { Literal("null", 4); }
  void Bool(bool b) { b ? Literal("true", 4) : Literal("false", 5); }
  void Int(int i) { Int64(i); }
  void Int64(int64_t i) {
    char* p = BeginValue(21);
    size_ = static_cast<size_t>(rapidjson::internal::i64toa(i, p) - buffer_.data());
  }
  void Uint64(uint64_t u) {
    char* p = BeginValue(21);
    size_ = static_cast<size_t>(rapidjson::internal::u64toa(u, p) - buffer_.data());
  }
  // REQUIRES: d is finite.
  void Double(double d) {
    char* p = BeginValue(25);
    size_ = static_cast<size_t>(rapidjson::internal::dtoa(d, p) - buffer_.data());
  }
  void String(const char* text, size_t length) { Text(BeginValue(2 + length * 6), text, length); }
  void Key(const char* text, size_t length) {
    Text(BeginValue(3 + length * 6), text, length);
    buffer_[size_++] = ':';
    comma_ = false;
  }
  void StartArray() { Open('['); }
  void EndArray() { Close(']'); }
  void StartObject() { Open('{'); }
  void EndObject() { Close('}'); }

  std::string Take() const { return std::string(buffer_.data(), size_); }

 private:
  // Room for a value of up to `bytes` bytes and its comma; where the value goes.
  char* BeginValue(size_t bytes) {
    Reserve(bytes + 1);
    if (comma_) buffer_[size_++] = ',';
    comma_ = true;
    return buffer_.data() + size_;
  }
  void Literal(const char* text, size_t length) {
    std::memcpy(BeginValue(length), text, length);
    size_ += length;
  }
  void Open(char bracket) {
    *BeginValue(1) = bracket;
    ++size_;
    comma_ = false;
  }
  void Close(char bracket) {
    Reserve(1);
    buffer_[size_++] = bracket;
    comma_ = true;
  }
  void Reserve(size_t bytes) {
    if (buffer_.size() - size_ < bytes) buffer_.resize(std::max(buffer_.size() * 2, size_ + bytes));
  }
  // The quoted text at `out`, which has room for every byte escaped. Bytes below 0x20, the
  // quote and the backslash are escaped as RapidJSON does; all others are copied as they are.
  void Text(char* out, const char* text, size_t length) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char* p = out;
    *p++ = '"';
    size_t i = 0;
    while (i < length) {
      // Eight bytes at a time while none needs an escape: the usual text is copied whole.
      while (i + 8 <= length && !AnyNeedsEscape(text + i)) {
        std::memcpy(p, text + i, 8);
        p += 8;
        i += 8;
      }
      if (i == length) break;
      const auto c = static_cast<unsigned char>(text[i++]);
      const char escape = EscapeFor(c);
      if (escape == 0) {
        *p++ = static_cast<char>(c);
        continue;
      }
      *p++ = '\\';
      *p++ = escape;
      if (escape == 'u') {
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 0xF];
      }
    }
    *p++ = '"';
    size_ = static_cast<size_t>(p - buffer_.data());
  }
  static char EscapeFor(unsigned char c) {
    static constexpr char kShort[0x20] = {'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n',
                                          'u', 'f', 'r', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',
                                          'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u'};
    if (c < 0x20) return kShort[c];
    return c == '"' || c == '\\' ? static_cast<char>(c) : 0;
  }
  // Whether any of the eight bytes at `p` is below 0x20, a quote or a backslash.
  static bool AnyNeedsEscape(const char* p) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    uint64_t x;
    std::memcpy(&x, p, 8);
    const uint64_t quote = x ^ (kOnes * '"');
    const uint64_t backslash = x ^ (kOnes * '\\');
    // A byte below n (n <= 0x80) sets its high bit in (x - n) & ~x.
    return (((x - kOnes * 0x20) & ~x) | ((quote - kOnes) & ~quote) |
            ((backslash - kOnes) & ~backslash)) &
           kHigh;
  }

  std::string buffer_ = std::string(256, '\0');
  size_t size_ = 0;
  bool comma_ = false;
};

// A container being written: the elements of a collection or the fields of a structure
// still to come.
struct Frame {
  bool is_collection;
  const BindingProperty* element;  // next element of a collection
  const BindingProperty* element_end;
  BindingFieldIterator<true> field;
  BindingFieldIterator<true> field_end;
};

template <typename Writer>
class TreeWriter {
 public:
  TreeWriter(Writer* writer, const EnumNameResolver* names) : writer_(writer), names_(names) {}

  void Write(const BindingProperty& root) {
    Value(root);
    while (!open_.empty()) {
      Frame& top = open_.back();
      if (top.is_collection) {
        if (top.element == top.element_end) {
          writer_->EndArray();
          open_.pop_back();
          continue;
        }
        const BindingProperty& next = *top.element++;
        Value(next);  // may push a frame: `top` is not used after this
        continue;
      }
      if (top.field == top.field_end) {
        writer_->EndObject();
        open_.pop_back();
        continue;
      }
      const BindingField<true> field = *top.field;
      ++top.field;
      writer_->Key(field.key.data(), static_cast<rapidjson::SizeType>(field.key.size()));
      Value(field.value);
    }
  }

 private:
  void Value(const BindingProperty& value) {
    switch (value.type()) {
      case BindingType::kEmpty:
        writer_->Null();
        return;
      case BindingType::kBool:
        writer_->Bool(value.GetBool());
        return;
      case BindingType::kSigned:
        writer_->Int64(value.GetSigned());
        return;
      case BindingType::kUnsigned:
        writer_->Uint64(value.GetUnsigned());
        return;
      case BindingType::kFloat: {
        const double d = value.GetFloat();
        if (std::isfinite(d)) {
          writer_->Double(d);
        } else {
          writer_->Null();
        }
        return;
      }
      case BindingType::kString: {
        const std::string_view text = value.GetString();
        writer_->String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
        return;
      }
      case BindingType::kBlob: {
        const std::vector<uint8_t>& bytes = value.GetBlob();
        const std::string text = Base64Encode(bytes.data(), bytes.size());
        writer_->String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
        return;
      }
      case BindingType::kEnum: {
        const BindingEnum e = value.GetEnum();
        if (names_ != nullptr && names_->FindEnumValueName(e.type_hash, e.value, &name_)) {
          writer_->String(name_.data(), static_cast<rapidjson::SizeType>(name_.size()));
        } else {
          writer_->Int(e.value);
        }
        return;
      }
      case BindingType::kCollection: {
        writer_->StartArray();
        const std::span<const BindingProperty> elements = value.Elements();
        open_.push_back({true, elements.data(), elements.data() + elements.size(), {}, {}});
        return;
      }
      case BindingType::kStructure: {
        writer_->StartObject();
        const BindingFieldRange<true> fields = value.Fields();
        // Each field's node lives apart from the slot naming it: fetch them all at once
        // rather than wait for each in turn.
        for (const BindingField<true> field : fields) __builtin_prefetch(&field.value);
        open_.push_back({false, nullptr, nullptr, fields.begin(), fields.end()});
        return;
      }
    }
    writer_->Null();  // tags outside the table cannot be built; keep the output valid
  }

  Writer* writer_;
  const EnumNameResolver* names_;
  std::vector<Frame> open_;
  std::string name_;  // reused for every enumeration name
};

// The text of a non-empty `value` through one of RapidJSON's writers.
template <typename Writer>
std::string ThroughRapidJson(const BindingProperty& value, const EnumNameResolver* names) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  if constexpr (std::is_same_v<Writer, rapidjson::PrettyWriter<rapidjson::StringBuffer>>) {
    writer.SetIndent(' ', 4);
  }
  TreeWriter(&writer, names).Write(value);
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

std::string WriteJson(const BindingProperty& value, const EnumNameResolver* names,
                      std::string_view layout) {
  if (value.type() == BindingType::kEmpty) return std::string();
  if (!layout.empty()) {
    return ThroughRapidJson<rapidjson::PrettyWriter<rapidjson::StringBuffer>>(value, names);
  }
  CompactWriter writer;
  TreeWriter(&writer, names).Write(value);
  return writer.Take();
}

std::string WriteJsonWithRapidJson(const BindingProperty& value, const EnumNameResolver* names) {
  if (value.type() == BindingType::kEmpty) return std::string();
  return ThroughRapidJson<rapidjson::Writer<rapidjson::StringBuffer>>(value, names);
}

}  // namespace Voro
