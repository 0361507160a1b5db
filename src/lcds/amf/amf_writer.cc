#include "lcds/amf/amf_writer.h"

#include <bit>
#include <cstring>
#include <string>
#include <utility>

#include "diag/log.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_debug_trace.h"
#include "lcds/amf/amf_externalizable.h"

namespace Voro {

namespace {

constexpr char kStringTooLarge[] = "String is larger than maximum encodable value.";
constexpr char kUInt24OutOfRange[] = "Value is out of range for UInt24: %d";
constexpr char kUndefinedSealedMember[] =
    "Unable to find member '%s' of class '%s' while writing an AMF3 object. Defaulting it to a "
    "Null item.";

constexpr size_t kMaxShortString = 0xFFFF;
// The largest length an AMF3 U29 header (length << 1 | 1) can carry.
constexpr size_t kMaxAmf3Length = 0x0FFFFFFF;
constexpr uint32_t kMaxAmf0Reference = 0xFFFF;

// Tracks nesting of one value while it is written.
class DepthGuard {
 public:
  explicit DepthGuard(size_t* depth) : depth_(depth) { ++*depth_; }
  ~DepthGuard() { --*depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  // A reader accepts values up to kMaxAmfWriteDepth levels deep: deeper values, and
  // containers whose members would be deeper, are written as Null.
  bool too_deep(bool container) const {
    return *depth_ > kMaxAmfWriteDepth || (container && *depth_ == kMaxAmfWriteDepth);
  }

 private:
  size_t* depth_;
};

}  // namespace

void AmfWriter::WriteU16(uint16_t value) {
  out_.push_back(static_cast<uint8_t>(value >> 8));
  out_.push_back(static_cast<uint8_t>(value));
}

void AmfWriter::WriteU24(uint32_t value) {
  if (value > 0xFFFFFF) Log(kLevelError, Tag::DBG, kUInt24OutOfRange, static_cast<int>(value));
  out_.push_back(static_cast<uint8_t>(value >> 16));
  out_.push_back(static_cast<uint8_t>(value >> 8));
  out_.push_back(static_cast<uint8_t>(value));
}

void AmfWriter::WriteU32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  out_.insert(out_.end(), bytes, bytes + 4);
}

void AmfWriter::WriteDouble(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  out_.insert(out_.end(), bytes, bytes + 8);
}

void AmfWriter::WriteU29(uint32_t value) {
  value &= 0x1FFFFFFF;
  if (value < 0x80) {
    out_.push_back(static_cast<uint8_t>(value));
  } else if (value < 0x4000) {
    out_.push_back(static_cast<uint8_t>((value >> 7) | 0x80));
    out_.push_back(static_cast<uint8_t>(value & 0x7F));
  } else if (value < 0x200000) {
    out_.push_back(static_cast<uint8_t>((value >> 14) | 0x80));
    out_.push_back(static_cast<uint8_t>(((value >> 7) & 0x7F) | 0x80));
    out_.push_back(static_cast<uint8_t>(value & 0x7F));
  } else {
    out_.push_back(static_cast<uint8_t>((value >> 22) | 0x80));
    out_.push_back(static_cast<uint8_t>(((value >> 15) & 0x7F) | 0x80));
    out_.push_back(static_cast<uint8_t>(((value >> 8) & 0x7F) | 0x80));
    out_.push_back(static_cast<uint8_t>(value & 0xFF));
  }
}

void AmfWriter::WriteBytes(std::string_view bytes) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void AmfWriter::WriteAmf0ShortString(std::string_view text) {
  if (text.size() > kMaxShortString) {
    Log(kLevelError, Tag::DBG, kStringTooLarge);
    WriteU16(0);
    return;
  }
  WriteU16(static_cast<uint16_t>(text.size()));
  WriteBytes(text);
}

void AmfWriter::WriteAmf0String(std::string_view text) {
  if (text.size() <= kMaxShortString) {
    WriteU8(0x02);
    WriteU16(static_cast<uint16_t>(text.size()));
  } else {
    WriteU8(0x0C);
    WriteU32(static_cast<uint32_t>(text.size()));
  }
  WriteBytes(text);
}

void AmfWriter::WriteAmf0Number(double value) {
  WriteU8(0x00);
  WriteDouble(value);
}

void AmfWriter::WriteAmf3String(std::string_view text) {
  if (text.empty()) {
    WriteU8(0x01);
    return;
  }
  const auto it = strings_.find(text);
  if (it != strings_.end()) {
    WriteU29(it->second << 1);
    return;
  }
  if (text.size() > kMaxAmf3Length) {
    Log(kLevelError, Tag::DBG, kStringTooLarge);
    WriteU8(0x01);
    return;
  }
  strings_.emplace(std::string(text), static_cast<uint32_t>(strings_.size()));
  WriteAmf3Length(text.size());
  WriteBytes(text);
}

void AmfWriter::WriteAmf3Length(size_t length) { WriteU29(static_cast<uint32_t>(length << 1 | 1)); }

// ---------------------------------------------------------------------------------------
// AMF0

void AmfWriter::WriteAmf0(const AmfValue& value) {
  if (value.is_amf0()) {
    WriteAmf0(value.amf0());
  } else {
    // The switch counts as a level, as it does for the reader.
    const DepthGuard guard(&depth_);
    if (guard.too_deep(true)) {
      WriteU8(static_cast<uint8_t>(Amf0Kind::kNull));
      return;
    }
    WriteU8(static_cast<uint8_t>(Amf0Kind::kAmf3Object));
    WriteAmf3(value.amf3());
  }
}

void AmfWriter::WriteAmf0(const Amf0Item& item) {
  const DepthGuard guard(&depth_);
  const Amf0Kind kind = item.kind();
  if (guard.too_deep(kind == Amf0Kind::kObject || kind == Amf0Kind::kTypedObject ||
                     kind == Amf0Kind::kEcmaArray || kind == Amf0Kind::kStrictArray)) {
    WriteU8(static_cast<uint8_t>(Amf0Kind::kNull));
    return;
  }
  switch (kind) {
    case Amf0Kind::kNumber:
      WriteAmf0Number(item.AsNumber());
      return;
    case Amf0Kind::kBoolean:
      WriteU8(0x01);
      WriteU8(item.AsBoolean() ? 1 : 0);
      return;
    case Amf0Kind::kString:
    case Amf0Kind::kLongString: {
      const std::string& text = item.AsString();
      if (item.kind() == Amf0Kind::kString) {
        WriteAmf0String(text);
        return;
      }
      WriteU8(0x0C);
      WriteU32(static_cast<uint32_t>(text.size()));
      WriteBytes(text);
      return;
    }
    case Amf0Kind::kObject:
    case Amf0Kind::kTypedObject:
      WriteAmf0Object(item);
      return;
    case Amf0Kind::kEcmaArray:
      WriteAmf0EcmaArray(item);
      return;
    case Amf0Kind::kStrictArray:
      WriteAmf0StrictArray(item);
      return;
    case Amf0Kind::kDate:
      WriteU8(0x0B);
      WriteDouble(static_cast<double>(item.AsDate()));
      WriteU16(0);
      return;
    case Amf0Kind::kNull:
    case Amf0Kind::kUndefined:
    case Amf0Kind::kObjectEnd:
    case Amf0Kind::kUnsupported:
    case Amf0Kind::kAmf3Object:
      WriteU8(static_cast<uint8_t>(item.kind()));
      return;
    case Amf0Kind::kMovieclip:
    case Amf0Kind::kReference:
    case Amf0Kind::kRecordset:
    case Amf0Kind::kXml:
      return;
  }
}

bool AmfWriter::Amf0Reference(const Amf0Item& item) {
  std::shared_ptr<const void> payload = item.SharedPayload();
  if (!payload) return false;
  const auto it = amf0_objects_.find(payload.get());
  if (it != amf0_objects_.end()) {
    if (it->second > kMaxAmf0Reference) {
      WriteU8(static_cast<uint8_t>(Amf0Kind::kNull));
    } else {
      WriteU8(static_cast<uint8_t>(Amf0Kind::kReference));
      WriteU16(static_cast<uint16_t>(it->second));
    }
    return true;
  }
  amf0_objects_.emplace(payload.get(), static_cast<uint32_t>(amf0_objects_.size()));
  held_.push_back(std::move(payload));
  return false;
}

void AmfWriter::WriteAmf0ObjectEnd() {
  WriteU16(0);
  WriteU8(static_cast<uint8_t>(Amf0Kind::kObjectEnd));
}

void AmfWriter::WriteAmf0Members(const Amf0MemberMap& members) {
  for (const auto& [name, value] : members) {
    if (name.size() > kMaxShortString) {
      Log(kLevelError, Tag::DBG, kStringTooLarge);
      continue;
    }
    WriteAmf0ShortString(name);
    WriteAmf0(value);
  }
}

void AmfWriter::WriteAmf0Object(const Amf0Item& item) {
  if (Amf0Reference(item)) return;
  const Amf0Object& object = item.AsObject();
  if (object.class_name.empty()) {
    WriteU8(static_cast<uint8_t>(Amf0Kind::kObject));
  } else if (object.class_name.size() > kMaxShortString) {
    // The name cannot travel; the members still can, in an anonymous object.
    Log(kLevelError, Tag::DBG, kStringTooLarge);
    WriteU8(static_cast<uint8_t>(Amf0Kind::kObject));
  } else {
    WriteU8(static_cast<uint8_t>(Amf0Kind::kTypedObject));
    WriteAmf0ShortString(object.class_name);
  }
  WriteAmf0Members(object.members);
  WriteAmf0ObjectEnd();
}

void AmfWriter::WriteAmf0EcmaArray(const Amf0Item& item) {
  if (Amf0Reference(item)) return;
  const Amf0EcmaArray& array = item.AsEcmaArray();
  uint32_t count = 0;
  for (const auto& entry : array) count += entry.first.size() <= kMaxShortString ? 1 : 0;
  WriteU8(static_cast<uint8_t>(Amf0Kind::kEcmaArray));
  WriteU32(count);
  for (const auto& [key, value] : array) {
    if (key.size() > kMaxShortString) {
      Log(kLevelError, Tag::DBG, kStringTooLarge);
      continue;
    }
    WriteAmf0ShortString(key);
    WriteAmf0(value);
  }
  WriteAmf0ObjectEnd();
}

void AmfWriter::WriteAmf0StrictArray(const Amf0Item& item) {
  if (Amf0Reference(item)) return;
  const Amf0StrictArray& array = item.AsStrictArray();
  WriteU8(static_cast<uint8_t>(Amf0Kind::kStrictArray));
  WriteU32(static_cast<uint32_t>(array.size()));
  for (const AmfValue& value : array) WriteAmf0(value);
}

// ---------------------------------------------------------------------------------------
// AMF3

bool AmfWriter::Amf3Reference(const Amf3Item& item) {
  if (item.kind() == Amf3Kind::kDate) {
    const auto [it, added] = dates_.emplace(item.AsDate(), object_count_);
    if (!added) {
      WriteU29(it->second << 1);
      return true;
    }
    ++object_count_;
    return false;
  }
  std::shared_ptr<const void> payload = item.SharedPayload();
  if (!payload) {
    ++object_count_;  // a payload already gone: written inline as an empty value
    return false;
  }
  const auto [it, added] = objects_.emplace(payload.get(), object_count_);
  if (!added) {
    WriteU29(it->second << 1);
    return true;
  }
  ++object_count_;
  held_.push_back(std::move(payload));
  return false;
}

void AmfWriter::WriteAmf3(const Amf3Item& item) {
  const DepthGuard guard(&depth_);
  const Amf3Kind kind = item.kind();
  if (guard.too_deep(kind == Amf3Kind::kArray || kind == Amf3Kind::kObject ||
                     kind == Amf3Kind::kVectorObject || kind == Amf3Kind::kDictionary)) {
    WriteU8(static_cast<uint8_t>(Amf3Kind::kNull));
    return;
  }
  if (kind == Amf3Kind::kLegacyXml) return;
  if (static_cast<uint32_t>(kind) >= kAmfKindCount) return;
  WriteU8(static_cast<uint8_t>(kind));
  switch (kind) {
    case Amf3Kind::kInteger:
      WriteU29(static_cast<uint32_t>(item.AsInteger()));
      return;
    case Amf3Kind::kDouble:
      WriteDouble(item.AsDouble());
      return;
    case Amf3Kind::kString:
      WriteAmf3String(item.AsString());
      return;
    case Amf3Kind::kDate:
      if (Amf3Reference(item)) return;
      WriteU29(0x01);
      WriteDouble(static_cast<double>(item.AsDate()));
      return;
    case Amf3Kind::kArray:
      WriteAmf3Array(item);
      return;
    case Amf3Kind::kObject:
      WriteAmf3Object(item);
      return;
    case Amf3Kind::kXml:
    case Amf3Kind::kByteArray: {
      if (Amf3Reference(item)) return;
      if (kind == Amf3Kind::kXml) {
        const std::string& text = item.AsXml();
        const size_t n = std::min(text.size(), kMaxAmf3Length);
        WriteAmf3Length(n);
        WriteBytes(std::string_view(text).substr(0, n));
      } else {
        const std::vector<uint8_t>& bytes = item.AsByteArray();
        const size_t n = std::min(bytes.size(), kMaxAmf3Length);
        WriteAmf3Length(n);
        out_.insert(out_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
      }
      return;
    }
    case Amf3Kind::kVectorInt:
    case Amf3Kind::kVectorUInt: {
      if (Amf3Reference(item)) return;
      const bool is_int = kind == Amf3Kind::kVectorInt;
      const size_t size =
          is_int ? item.AsVectorInt().items.size() : item.AsVectorUInt().items.size();
      const size_t n = std::min(size, kMaxAmf3Length);
      WriteAmf3Length(n);
      WriteU8(is_int ? item.AsVectorInt().fixed : item.AsVectorUInt().fixed);
      for (size_t i = 0; i < n; ++i) {
        WriteU32(is_int ? static_cast<uint32_t>(item.AsVectorInt().items[i])
                        : item.AsVectorUInt().items[i]);
      }
      return;
    }
    case Amf3Kind::kVectorDouble: {
      if (Amf3Reference(item)) return;
      const Amf3VectorDouble& vector = item.AsVectorDouble();
      const size_t n = std::min(vector.items.size(), kMaxAmf3Length);
      WriteAmf3Length(n);
      WriteU8(vector.fixed ? 1 : 0);
      for (size_t i = 0; i < n; ++i) WriteDouble(vector.items[i]);
      return;
    }
    case Amf3Kind::kVectorObject: {
      if (Amf3Reference(item)) return;
      const Amf3ObjectVector& vector = item.AsVectorObject();
      const size_t n = std::min(vector.items.size(), kMaxAmf3Length);
      WriteAmf3Length(n);
      WriteU8(vector.fixed ? 1 : 0);
      WriteAmf3String(vector.type_name);
      for (size_t i = 0; i < n; ++i) WriteAmf3(vector.items[i]);
      return;
    }
    case Amf3Kind::kDictionary: {
      if (Amf3Reference(item)) return;
      const Amf3Dictionary& dictionary = item.AsDictionary();
      const size_t n = std::min(dictionary.entries.size(), kMaxAmf3Length);
      WriteAmf3Length(n);
      WriteU8(dictionary.weak_keys ? 1 : 0);
      for (size_t i = 0; i < n; ++i) {
        WriteAmf3(dictionary.entries[i].first);
        WriteAmf3(dictionary.entries[i].second);
      }
      return;
    }
    default:
      return;  // Undefined, Null, False, True: the marker is all
  }
}

void AmfWriter::WriteAmf3Array(const Amf3Item& item) {
  if (Amf3Reference(item)) return;
  const Amf3Array& array = item.AsArray();
  const size_t n = std::min(array.dense.size(), kMaxAmf3Length);
  WriteAmf3Length(n);
  for (const auto& [key, value] : array.associative) {
    if (key.empty()) continue;  // would end the associative part
    WriteAmf3String(key);
    WriteAmf3(value);
  }
  WriteU8(0x01);
  for (size_t i = 0; i < n; ++i) WriteAmf3(array.dense[i]);
}

void AmfWriter::WriteAmf3Object(const Amf3Item& item) {
  if (Amf3Reference(item)) return;
  const Amf3Object& object = item.AsObject();
  std::shared_ptr<AmfClass> amf_class = object.amf_class();
  if (!amf_class) amf_class = std::make_shared<AmfClass>("", false, false);
  auto it = traits_.find(amf_class.get());
  if (it != traits_.end()) {
    WriteU29(it->second.index << 2 | 1);
  } else {
    TraitsEntry entry{static_cast<uint32_t>(traits_.size()), amf_class->Members(), amf_class};
    const size_t count = std::min(entry.members->size(), size_t{0x01FFFFFF});
    WriteU29(static_cast<uint32_t>(count << 4 | (amf_class->dynamic() ? 1u : 0u) << 3 |
                                   (amf_class->externalizable() ? 1u : 0u) << 2 | 0x03));
    WriteAmf3String(amf_class->name());
    for (size_t i = 0; i < count; ++i) WriteAmf3String((*entry.members)[i].name);
    it = traits_.emplace(amf_class.get(), std::move(entry)).first;
  }
  if (amf_class->externalizable()) {
    // Only the known classes have a body this program can write; other externalizable
    // objects go out as their traits alone.
    if (AmfExternalBodyName(amf_class->name()).empty()) return;
    const Amf3Item& body = object.external_body();
    if (body.is_undefined()) {
      WriteU8(static_cast<uint8_t>(Amf3Kind::kNull));
    } else {
      WriteAmf3(body);
    }
    return;
  }
  const AmfMemberList& members = *it->second.members;
  const size_t count = std::min(members.size(), size_t{0x01FFFFFF});
  for (size_t i = 0; i < count; ++i) {
    const Amf3Item& value = object.SealedValue(i);
    if (value.is_undefined()) {
      KIV_AMF_DEBUG_TRACE(kUndefinedSealedMember, members[i].name.c_str(),
                          amf_class->name().c_str());
      WriteU8(static_cast<uint8_t>(Amf3Kind::kNull));
    } else {
      WriteAmf3(value);
    }
  }
  if (!amf_class->dynamic()) return;
  for (const auto& [name, value] : object.dynamic_members()) {
    if (name.empty()) continue;  // would end the dynamic part
    WriteAmf3String(name);
    WriteAmf3(value);
  }
  WriteU8(0x01);
}

}  // namespace Voro
