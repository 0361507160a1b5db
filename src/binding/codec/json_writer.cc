// BindingProperty trees as JSON text: compact through CompactJsonWriter, pretty through
// RapidJSON's PrettyWriter.
//
// The tree is walked with an explicit stack, so a tree of any depth is written without
// recursion. Floats that JSON cannot express (NaN and the infinities) are written as null:
// the output stays valid JSON for every reader, as browsers' JSON.stringify does.
#include "binding/codec/json_writer.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "binding/codec/compact_json_writer.h"
#include "binding/value/base64.h"

namespace Voro {
namespace {

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
  CompactJsonWriter writer;
  TreeWriter(&writer, names).Write(value);
  return writer.Take();
}

std::string WriteJsonWithRapidJson(const BindingProperty& value, const EnumNameResolver* names) {
  if (value.type() == BindingType::kEmpty) return std::string();
  return ThroughRapidJson<rapidjson::Writer<rapidjson::StringBuffer>>(value, names);
}

}  // namespace Voro
