#include "lcds/amf/amf_reader.h"

#include <bit>
#include <cmath>
#include <limits>
#include <utility>

#include "diag/log.h"
#include "diag/no_destructor.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_debug_trace.h"
#include "lcds/amf/amf_externalizable.h"

namespace Voro {

namespace {

constexpr char kMemberAdded[] =
    "Failed to find member '%s' of exisiting AMF class '%s'. The member will be added.";

std::string UnknownExternalizable(std::string_view class_name) {
  return "Cannot read an object of the externalizable AMF3 class '" + std::string(class_name) +
         "': its body format is unknown.";
}

// Object slots a body may allocate: a few per input byte, plus room for small bodies that
// use large registered classes.
constexpr uint64_t kBudgetPerByte = 8;
constexpr uint64_t kBudgetBase = 1 << 16;

const std::shared_ptr<const std::string>& EmptyString() {
  static NoDestructor<std::shared_ptr<const std::string>> text(
      std::make_shared<const std::string>());
  return *text;
}

// Dates travel as doubles; anything outside the 64-bit range (or NaN) becomes 0 or the
// nearest end rather than undefined behaviour.
int64_t DateFromDouble(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

class DepthGuard {
 public:
  explicit DepthGuard(size_t* depth) : depth_(depth) { ++*depth_; }
  ~DepthGuard() { --*depth_; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool too_deep() const { return *depth_ > kMaxAmfReadDepth; }

 private:
  size_t* depth_;
};

}  // namespace

AmfReader::AmfReader(std::span<const uint8_t> bytes, AmfClassRegistry& registry)
    : bytes_(bytes), budget_(kBudgetBase + kBudgetPerByte * bytes.size()), registry_(registry) {}

void AmfReader::End() {
  ended_ = true;
  pos_ = bytes_.size();
}

void AmfReader::Refuse(std::string error) {
  if (error_.empty()) {
    error_ = std::move(error);
    Log(kLevelError, Tag::DBG, "%s", error_.c_str());
  }
  End();
}

bool AmfReader::Fits(uint64_t count, uint64_t unit) {
  if (count <= remaining() / unit) return true;
  End();
  return false;
}

bool AmfReader::Charge(uint64_t slots) {
  if (slots <= budget_) {
    budget_ -= slots;
    return true;
  }
  End();
  return false;
}

// ---------------------------------------------------------------------------------------
// Primitives

uint8_t AmfReader::ReadU8() { return pos_ < bytes_.size() ? bytes_[pos_++] : 0; }

uint16_t AmfReader::ReadU16() {
  const uint16_t high = ReadU8();
  return static_cast<uint16_t>(high << 8 | ReadU8());
}

uint32_t AmfReader::ReadU24() {
  uint32_t value = 0;
  for (int i = 0; i < 3; ++i) value = value << 8 | ReadU8();
  return value;
}

uint32_t AmfReader::ReadU32() {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | ReadU8();
  return value;
}

double AmfReader::ReadDouble() {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = bits << 8 | ReadU8();
  return std::bit_cast<double>(bits);
}

uint32_t AmfReader::ReadU29Bits() {
  uint32_t value = 0;
  for (int i = 0; i < 3; ++i) {
    const uint8_t b = ReadU8();
    value = value << 7 | (b & 0x7F);
    if ((b & 0x80) == 0) return value;
  }
  return value << 8 | ReadU8();
}

int32_t AmfReader::ReadU29() {
  const uint32_t bits = ReadU29Bits();
  // Sign-extend from bit 28.
  return static_cast<int32_t>(bits << 3) >> 3;
}

std::string AmfReader::ReadAmf0ShortString() {
  const uint16_t length = ReadU16();
  if (length > remaining()) return std::string();
  std::string text(reinterpret_cast<const char*>(bytes_.data() + pos_), length);
  pos_ += length;
  return text;
}

std::shared_ptr<const std::string> AmfReader::ReadAmf3String() {
  const uint32_t header = ReadU29Bits();
  if ((header & 1) == 0) {
    const uint32_t index = header >> 1;
    return index < strings_.size() ? strings_[index] : EmptyString();
  }
  const uint32_t length = header >> 1;
  if (length == 0) return EmptyString();
  if (!Fits(length, 1)) return EmptyString();
  auto text = std::make_shared<const std::string>(
      reinterpret_cast<const char*>(bytes_.data() + pos_), length);
  pos_ += length;
  strings_.push_back(text);
  return text;
}

// ---------------------------------------------------------------------------------------
// AMF0

AmfValue AmfReader::ReadAmf0() {
  const DepthGuard guard(&depth_);
  if (guard.too_deep()) {
    End();
    return AmfValue();
  }
  if (at_end()) return Amf0Item(Amf0Kind::kNumber);  // a marker of zero, then zero bytes
  const uint8_t marker = ReadU8();
  if (marker == static_cast<uint8_t>(Amf0Kind::kAmf3Object)) return ReadAmf3();
  return ReadAmf0Item(marker);
}

bool AmfReader::ReadAmf0String(std::string* text) {
  if (ended_ || remaining() < 3 || bytes_[pos_] != static_cast<uint8_t>(Amf0Kind::kString)) {
    return false;
  }
  const size_t length = size_t{bytes_[pos_ + 1]} << 8 | bytes_[pos_ + 2];
  if (length > remaining() - 3) return false;
  text->assign(reinterpret_cast<const char*>(bytes_.data() + pos_ + 3), length);
  pos_ += 3 + length;
  return true;
}

bool AmfReader::ReadAmf0Number(double* number) {
  if (ended_ || remaining() < 9 || bytes_[pos_] != static_cast<uint8_t>(Amf0Kind::kNumber)) {
    return false;
  }
  ++pos_;
  *number = ReadDouble();
  return true;
}

void AmfReader::ReadAmf0Members(Amf0MemberMap* members) {
  while (!at_end()) {
    std::string name = ReadAmf0ShortString();
    if (name.empty() && !at_end() && bytes_[pos_] == static_cast<uint8_t>(Amf0Kind::kObjectEnd)) {
      ++pos_;
      return;
    }
    AmfValue value = ReadAmf0();
    members->insert_or_assign(std::move(name), std::move(value));
  }
}

Amf0Item AmfReader::ReadAmf0Item(uint8_t marker) {
  switch (static_cast<Amf0Kind>(marker)) {
    case Amf0Kind::kNumber:
      return Amf0Item::Number(ReadDouble());
    case Amf0Kind::kBoolean:
      return Amf0Item::Boolean(ReadU8() != 0);
    case Amf0Kind::kString:
      return Amf0Item::String(ReadAmf0ShortString());
    case Amf0Kind::kLongString: {
      const uint32_t length = ReadU32();
      if (!Fits(length, 1)) return Amf0Item::LongString("");
      Amf0Item item = Amf0Item::LongString(
          std::string_view(reinterpret_cast<const char*>(bytes_.data() + pos_), length));
      pos_ += length;
      return item;
    }
    case Amf0Kind::kDate: {
      const double value = ReadDouble();
      ReadU16();  // time zone, unused
      return Amf0Item::Date(DateFromDouble(value));
    }
    case Amf0Kind::kObject:
    case Amf0Kind::kTypedObject:
    case Amf0Kind::kEcmaArray: {
      const auto kind = static_cast<Amf0Kind>(marker);
      Amf0Item item(kind);
      if (kind == Amf0Kind::kEcmaArray) {
        ReadU32();  // the count is only a hint; the entries end with the end marker
      } else if (kind == Amf0Kind::kTypedObject) {
        item.MutableObject()->class_name = ReadAmf0ShortString();
      }
      const size_t entry = amf0_objects_.size();
      amf0_objects_.push_back({item, true});
      if (kind == Amf0Kind::kEcmaArray) {
        ReadAmf0Members(item.MutableEcmaArray());
      } else {
        ReadAmf0Members(&item.MutableObject()->members);
      }
      amf0_objects_[entry].in_progress = false;
      return item;
    }
    case Amf0Kind::kStrictArray: {
      const uint32_t count = ReadU32();
      if (!Fits(count, 1) || !Charge(count)) return Amf0Item();
      auto array = std::make_shared<Amf0StrictArray>();
      array->reserve(count);
      Amf0Item item = Amf0Item::StrictArray(array);
      const size_t entry = amf0_objects_.size();
      amf0_objects_.push_back({item, true});
      for (uint32_t i = 0; i < count && !at_end(); ++i) array->push_back(ReadAmf0());
      amf0_objects_[entry].in_progress = false;
      return item;
    }
    case Amf0Kind::kReference: {
      const uint16_t index = ReadU16();
      if (index >= amf0_objects_.size()) return Amf0Item();
      const Amf0Entry& entry = amf0_objects_[index];
      return entry.in_progress ? Amf0Item::BackReference(entry.item) : entry.item;
    }
    case Amf0Kind::kNull:
    case Amf0Kind::kUndefined:
    case Amf0Kind::kMovieclip:
    case Amf0Kind::kObjectEnd:
    case Amf0Kind::kUnsupported:
    case Amf0Kind::kRecordset:
    case Amf0Kind::kXml:
      return Amf0Item(static_cast<Amf0Kind>(marker));
    default:
      return Amf0Item();
  }
}

// ---------------------------------------------------------------------------------------
// AMF3

Amf3Item AmfReader::ReadAmf3() {
  const DepthGuard guard(&depth_);
  if (guard.too_deep()) {
    End();
    return Amf3Item();
  }
  return ReadAmf3Item(ReadU8());
}

Amf3Item AmfReader::Amf3Reference(uint32_t header) {
  const uint32_t index = header >> 1;
  if (index >= objects_.size()) return Amf3Item();
  const Amf3Entry& entry = objects_[index];
  return entry.in_progress ? Amf3Item::BackReference(entry.item) : entry.item;
}

size_t AmfReader::EnterAmf3(const Amf3Item& item) {
  objects_.push_back({item, true});
  return objects_.size() - 1;
}

Amf3Item AmfReader::ReadAmf3Item(uint8_t marker) {
  switch (static_cast<Amf3Kind>(marker)) {
    case Amf3Kind::kUndefined:
    case Amf3Kind::kNull:
    case Amf3Kind::kFalse:
    case Amf3Kind::kTrue:
    case Amf3Kind::kLegacyXml:
      return Amf3Item(static_cast<Amf3Kind>(marker));
    case Amf3Kind::kInteger:
      return Amf3Item::Integer(ReadU29());
    case Amf3Kind::kDouble:
      return Amf3Item::Double(ReadDouble());
    case Amf3Kind::kString:
      return Amf3Item::String(ReadAmf3String());
    case Amf3Kind::kObject:
      return ReadAmf3Object();
    default:
      break;
  }
  if (marker >= kAmfKindCount) return Amf3Item();
  const uint32_t header = ReadU29Bits();
  if ((header & 1) == 0) return Amf3Reference(header);
  const uint32_t count = header >> 1;
  switch (static_cast<Amf3Kind>(marker)) {
    case Amf3Kind::kDate: {
      Amf3Item item = Amf3Item::Date(DateFromDouble(ReadDouble()));
      objects_[EnterAmf3(item)].in_progress = false;
      return item;
    }
    case Amf3Kind::kXml:
    case Amf3Kind::kByteArray: {
      if (!Fits(count, 1)) return Amf3Item();
      const uint8_t* data = bytes_.data() + pos_;
      pos_ += count;
      Amf3Item item =
          marker == static_cast<uint8_t>(Amf3Kind::kXml)
              ? Amf3Item::Xml(std::string_view(reinterpret_cast<const char*>(data), count))
              : Amf3Item::ByteArray(std::vector<uint8_t>(data, data + count));
      objects_[EnterAmf3(item)].in_progress = false;
      return item;
    }
    case Amf3Kind::kArray: {
      if (!Fits(count, 1) || !Charge(count)) return Amf3Item();
      auto array = std::make_shared<Amf3Array>();
      Amf3Item item = Amf3Item::Array(array);
      const size_t entry = EnterAmf3(item);
      while (!at_end()) {
        std::shared_ptr<const std::string> key = ReadAmf3String();
        if (key->empty()) break;
        Amf3Item value = ReadAmf3();
        array->associative.insert_or_assign(*key, std::move(value));
      }
      if (Fits(count, 1)) {
        array->dense.reserve(count);
        for (uint32_t i = 0; i < count && !at_end(); ++i) array->dense.push_back(ReadAmf3());
      }
      objects_[entry].in_progress = false;
      return item;
    }
    case Amf3Kind::kVectorInt:
    case Amf3Kind::kVectorUInt:
    case Amf3Kind::kVectorDouble: {
      const bool fixed = ReadU8() != 0;
      const bool is_double = marker == static_cast<uint8_t>(Amf3Kind::kVectorDouble);
      if (!Fits(count, is_double ? 8 : 4)) return Amf3Item();
      Amf3Item item;
      if (marker == static_cast<uint8_t>(Amf3Kind::kVectorInt)) {
        auto vector = std::make_shared<Amf3VectorInt>();
        vector->fixed = fixed;
        vector->items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
          vector->items.push_back(static_cast<int32_t>(ReadU32()));
        }
        item = Amf3Item::VectorInt(std::move(vector));
      } else if (marker == static_cast<uint8_t>(Amf3Kind::kVectorUInt)) {
        auto vector = std::make_shared<Amf3VectorUInt>();
        vector->fixed = fixed;
        vector->items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) vector->items.push_back(ReadU32());
        item = Amf3Item::VectorUInt(std::move(vector));
      } else {
        auto vector = std::make_shared<Amf3VectorDouble>();
        vector->fixed = fixed;
        vector->items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) vector->items.push_back(ReadDouble());
        item = Amf3Item::VectorDouble(std::move(vector));
      }
      objects_[EnterAmf3(item)].in_progress = false;
      return item;
    }
    case Amf3Kind::kVectorObject: {
      auto vector = std::make_shared<Amf3ObjectVector>();
      vector->fixed = ReadU8() != 0;
      vector->type_name = *ReadAmf3String();
      if (!Fits(count, 1) || !Charge(count)) return Amf3Item();
      Amf3Item item = Amf3Item::VectorObject(vector);
      const size_t entry = EnterAmf3(item);
      vector->items.reserve(count);
      for (uint32_t i = 0; i < count && !at_end(); ++i) vector->items.push_back(ReadAmf3());
      objects_[entry].in_progress = false;
      return item;
    }
    case Amf3Kind::kDictionary: {
      auto dictionary = std::make_shared<Amf3Dictionary>();
      dictionary->weak_keys = ReadU8() != 0;
      if (!Fits(count, 2) || !Charge(2 * static_cast<uint64_t>(count))) return Amf3Item();
      Amf3Item item = Amf3Item::Dictionary(dictionary);
      const size_t entry = EnterAmf3(item);
      dictionary->entries.reserve(count);
      for (uint32_t i = 0; i < count && !at_end(); ++i) {
        Amf3Item key = ReadAmf3();
        Amf3Item value = ReadAmf3();
        dictionary->entries.emplace_back(std::move(key), std::move(value));
      }
      objects_[entry].in_progress = false;
      return item;
    }
    default:
      return Amf3Item();
  }
}

const AmfReader::Traits* AmfReader::ReadTraits(uint32_t bits) {
  if ((bits & 1) == 0) {
    const uint32_t index = bits >> 1;
    return index < traits_.size() ? traits_[index].get() : nullptr;
  }
  const bool externalizable = (bits & 2) != 0;
  const bool dynamic = (bits & 4) != 0;
  const uint32_t count = bits >> 3;
  if (!Fits(count, 1) || !Charge(count)) return nullptr;
  std::shared_ptr<const std::string> name = ReadAmf3String();
  std::vector<std::shared_ptr<const std::string>> names;
  names.reserve(count);
  for (uint32_t i = 0; i < count && !at_end(); ++i) names.push_back(ReadAmf3String());
  if (names.size() != count) {
    End();
    return nullptr;
  }
  const auto wire_members = [&names] {
    AmfMemberList members;
    members.reserve(names.size());
    for (const auto& n : names) members.push_back({*n, AmfTypeHint::Any()});
    return members;
  };
  std::shared_ptr<AmfClass> amf_class;
  if (name->empty()) {
    amf_class = std::make_shared<AmfClass>("", externalizable, dynamic, wire_members());
  } else {
    bool created = false;
    amf_class = registry_.FindOrCreate(*name, externalizable, dynamic, wire_members, &created);
    if (amf_class->externalizable() != externalizable) {
      // A body travels, or sealed members do, as the wire says: a registered definition
      // that says otherwise would lose one or the other when the object is written again.
      amf_class = std::make_shared<AmfClass>(*name, externalizable, dynamic, wire_members());
    } else if (!created) {
      // A registered class learns the members the wire shows it lacks, for good.
      for (const auto& n : names) {
        bool added = false;
        amf_class->EnsureMember(*n, AmfTypeHint::Any(), &added);
        if (added) KIV_AMF_DEBUG_TRACE(kMemberAdded, n->c_str(), name->c_str());
      }
    }
  }
  Traits traits{amf_class, amf_class->Members(), {}, externalizable, dynamic};
  traits.slots.reserve(names.size());
  for (const auto& n : names) traits.slots.push_back(FindMemberIn(*traits.members, *n));
  traits_.push_back(std::make_unique<Traits>(std::move(traits)));
  return traits_.back().get();
}

Amf3Item AmfReader::ReadAmf3Object() {
  const uint32_t header = ReadU29Bits();
  if ((header & 1) == 0) return Amf3Reference(header);
  const Traits* traits = ReadTraits(header >> 1);
  if (traits == nullptr) return Amf3Item();
  // The class may have grown since these traits were read; the object takes its size now.
  const std::shared_ptr<AmfClass> amf_class = traits->amf_class;
  if (!Charge(1 + amf_class->MemberCount())) return Amf3Item();
  auto object = std::make_shared<Amf3Object>(amf_class);
  Amf3Item item = Amf3Item::Object(object);
  const size_t entry = EnterAmf3(item);
  if (traits->externalizable) {
    if (AmfExternalBodyName(amf_class->name()).empty()) {
      Refuse(UnknownExternalizable(amf_class->name()));
      return Amf3Item();
    }
    // One AMF3 value, read with this body's tables like any other.
    object->set_external_body(ReadAmf3());
  } else {
    // Traits stay put: nested objects adding traits leave this one in place.
    const AmfMemberList& members = *traits->members;
    const std::vector<size_t>& slots = traits->slots;
    const bool dynamic = traits->dynamic;
    for (size_t i = 0; i < slots.size() && !at_end(); ++i) {
      Amf3Item value = ReadAmf3();
      const size_t slot = slots[i];
      object->SetSealedValue(slot, members[slot].name, value);
    }
    while (dynamic && !at_end()) {
      std::shared_ptr<const std::string> name = ReadAmf3String();
      if (name->empty()) break;
      object->SetDynamicMember(*name, ReadAmf3());
    }
  }
  objects_[entry].in_progress = false;
  return item;
}

}  // namespace Voro
