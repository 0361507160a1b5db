#include "lcds/amf/amf3_item.h"

#include <utility>

#include "diag/log.h"
#include "diag/no_destructor.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_debug_trace.h"

namespace Voro {

namespace {

constexpr char kBadBooleanCast[] = "AMF3 item (type: %d) was incorrectly cast to a Amf3Boolean.";
constexpr char kBadCast[] = "AMF3 item of type %s (%d) was incorrectly cast to type %s (%d).";
constexpr char kCopyUnsupported[] = "Copying AMF3 item of type %s (%d) is currently unsupported.";

// Defaults handed out by the casts; never changed.
template <typename T>
const T& DefaultOf() {
  static NoDestructor<T> value;
  return *value;
}

const Amf3Object& DefaultObject() {
  static NoDestructor<Amf3Object> value(nullptr);
  return *value;
}

void TraceBadCast(Amf3Kind actual, Amf3Kind wanted) {
  KIV_AMF_DEBUG_TRACE(kBadCast, Amf3KindName(actual).data(), static_cast<int>(actual),
                      Amf3KindName(wanted).data(), static_cast<int>(wanted));
  (void)actual;
  (void)wanted;
}

}  // namespace

Amf3Item::Amf3Item(Amf3Kind kind) : kind_(kind) {
  switch (kind) {
    case Amf3Kind::kString:
    case Amf3Kind::kXml:
      payload_ = std::make_shared<const std::string>();
      break;
    case Amf3Kind::kArray:
      payload_ = std::make_shared<Amf3Array>();
      break;
    case Amf3Kind::kObject:
      payload_ = std::make_shared<Amf3Object>(std::make_shared<AmfClass>("", false, true));
      break;
    case Amf3Kind::kByteArray:
      payload_ = std::make_shared<std::vector<uint8_t>>();
      break;
    case Amf3Kind::kVectorInt:
      payload_ = std::make_shared<Amf3VectorInt>();
      break;
    case Amf3Kind::kVectorUInt:
      payload_ = std::make_shared<Amf3VectorUInt>();
      break;
    case Amf3Kind::kVectorDouble:
      payload_ = std::make_shared<Amf3VectorDouble>();
      break;
    case Amf3Kind::kVectorObject:
      payload_ = std::make_shared<Amf3ObjectVector>();
      break;
    case Amf3Kind::kDictionary:
      payload_ = std::make_shared<Amf3Dictionary>();
      break;
    default:
      break;
  }
}

Amf3Item Amf3Item::Integer(int32_t value) {
  Amf3Item item(Amf3Kind::kInteger, nullptr);
  item.scalar_.i = value;
  return item;
}

Amf3Item Amf3Item::Double(double value) {
  Amf3Item item(Amf3Kind::kDouble, nullptr);
  item.scalar_.d = value;
  return item;
}

Amf3Item Amf3Item::String(std::string_view text) {
  return Amf3Item(Amf3Kind::kString, std::make_shared<const std::string>(text));
}

Amf3Item Amf3Item::String(std::shared_ptr<const std::string> text) {
  if (!text) text = std::make_shared<const std::string>();
  return Amf3Item(Amf3Kind::kString, std::move(text));
}

Amf3Item Amf3Item::Date(int64_t milliseconds) {
  Amf3Item item(Amf3Kind::kDate, nullptr);
  item.scalar_.i = milliseconds;
  return item;
}

Amf3Item Amf3Item::Xml(std::string_view text) {
  return Amf3Item(Amf3Kind::kXml, std::make_shared<const std::string>(text));
}

Amf3Item Amf3Item::Xml(std::shared_ptr<const std::string> text) {
  if (!text) text = std::make_shared<const std::string>();
  return Amf3Item(Amf3Kind::kXml, std::move(text));
}

Amf3Item Amf3Item::Array(std::shared_ptr<Amf3Array> array) {
  if (!array) array = std::make_shared<Amf3Array>();
  return Amf3Item(Amf3Kind::kArray, std::move(array));
}

Amf3Item Amf3Item::Object(std::shared_ptr<Amf3Object> object) {
  if (!object) return Amf3Item(Amf3Kind::kObject);
  return Amf3Item(Amf3Kind::kObject, std::move(object));
}

Amf3Item Amf3Item::ByteArray(std::vector<uint8_t> bytes) {
  return Amf3Item(Amf3Kind::kByteArray, std::make_shared<std::vector<uint8_t>>(std::move(bytes)));
}

Amf3Item Amf3Item::ByteArray(std::shared_ptr<std::vector<uint8_t>> bytes) {
  if (!bytes) bytes = std::make_shared<std::vector<uint8_t>>();
  return Amf3Item(Amf3Kind::kByteArray, std::move(bytes));
}

Amf3Item Amf3Item::VectorInt(std::shared_ptr<Amf3VectorInt> vector) {
  if (!vector) vector = std::make_shared<Amf3VectorInt>();
  return Amf3Item(Amf3Kind::kVectorInt, std::move(vector));
}

Amf3Item Amf3Item::VectorUInt(std::shared_ptr<Amf3VectorUInt> vector) {
  if (!vector) vector = std::make_shared<Amf3VectorUInt>();
  return Amf3Item(Amf3Kind::kVectorUInt, std::move(vector));
}

Amf3Item Amf3Item::VectorDouble(std::shared_ptr<Amf3VectorDouble> vector) {
  if (!vector) vector = std::make_shared<Amf3VectorDouble>();
  return Amf3Item(Amf3Kind::kVectorDouble, std::move(vector));
}

Amf3Item Amf3Item::VectorObject(std::shared_ptr<Amf3ObjectVector> vector) {
  if (!vector) vector = std::make_shared<Amf3ObjectVector>();
  return Amf3Item(Amf3Kind::kVectorObject, std::move(vector));
}

Amf3Item Amf3Item::Dictionary(std::shared_ptr<Amf3Dictionary> dictionary) {
  if (!dictionary) dictionary = std::make_shared<Amf3Dictionary>();
  return Amf3Item(Amf3Kind::kDictionary, std::move(dictionary));
}

Amf3Item Amf3Item::BackReference(const Amf3Item& target) {
  Amf3Item item;
  item.kind_ = target.kind_;
  item.scalar_ = target.scalar_;
  if (target.payload_) {
    item.back_ = target.payload_;
  } else {
    item.back_ = target.back_;
  }
  return item;
}

const Amf3Item& Amf3Item::UndefinedItem() {
  static NoDestructor<Amf3Item> item;
  return *item;
}

Amf3Item::Amf3Item(const Amf3Item& other) { CopyFrom(other); }

Amf3Item& Amf3Item::operator=(const Amf3Item& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

Amf3Item::Amf3Item(Amf3Item&& other) noexcept
    : kind_(other.kind_),
      scalar_(other.scalar_),
      payload_(std::move(other.payload_)),
      back_(std::move(other.back_)) {
  other.kind_ = Amf3Kind::kUndefined;
}

Amf3Item& Amf3Item::operator=(Amf3Item&& other) noexcept {
  if (this != &other) {
    kind_ = other.kind_;
    scalar_ = other.scalar_;
    payload_ = std::move(other.payload_);
    back_ = std::move(other.back_);
    other.kind_ = Amf3Kind::kUndefined;
  }
  return *this;
}

void Amf3Item::CopyFrom(const Amf3Item& other) {
  // Hold the source's payload first: `other` may live inside the payload being released.
  std::shared_ptr<const void> payload = other.payload_;
  std::weak_ptr<const void> back = other.back_;
  const Amf3Kind kind = other.kind_;
  const auto scalar = other.scalar_;
  payload_.reset();
  back_.reset();
  kind_ = kind;
  scalar_.i = 0;
  if (kind == Amf3Kind::kLegacyXml || static_cast<uint32_t>(kind) >= kAmfKindCount) {
    KIV_AMF_DEBUG_TRACE(kCopyUnsupported, Amf3KindName(kind).data(), static_cast<int>(kind));
    return;
  }
  scalar_ = scalar;
  payload_ = std::move(payload);
  back_ = std::move(back);
}

std::shared_ptr<const void> Amf3Item::SharedPayload() const {
  return payload_ ? payload_ : back_.lock();
}

const void* Amf3Item::PayloadFor(Amf3Kind kind) const {
  if (kind_ != kind) {
    if (kind_ != Amf3Kind::kNull) TraceBadCast(kind_, kind);
    return nullptr;
  }
  // A back reference's target outlives every use made while its graph is alive.
  return payload_ ? payload_.get() : back_.lock().get();
}

int32_t Amf3Item::AsInteger() const {
  if (kind_ == Amf3Kind::kInteger) return static_cast<int32_t>(scalar_.i);
  if (kind_ != Amf3Kind::kNull) TraceBadCast(kind_, Amf3Kind::kInteger);
  return 0;
}

double Amf3Item::AsDouble() const {
  if (kind_ == Amf3Kind::kDouble) return scalar_.d;
  if (kind_ != Amf3Kind::kNull) TraceBadCast(kind_, Amf3Kind::kDouble);
  return 0.0;
}

bool Amf3Item::AsBoolean() const {
  if (kind_ == Amf3Kind::kTrue) return true;
  if (kind_ != Amf3Kind::kFalse && kind_ != Amf3Kind::kNull) {
    Log(kLevelError, Tag::DBG, kBadBooleanCast, static_cast<int>(kind_));
  }
  return false;
}

int64_t Amf3Item::AsDate() const {
  if (kind_ == Amf3Kind::kDate) return scalar_.i;
  if (kind_ != Amf3Kind::kNull) TraceBadCast(kind_, Amf3Kind::kDate);
  return 0;
}

const std::string& Amf3Item::AsString() const {
  const void* p = PayloadFor(Amf3Kind::kString);
  return p ? *static_cast<const std::string*>(p) : DefaultOf<std::string>();
}

const std::string& Amf3Item::AsXml() const {
  const void* p = PayloadFor(Amf3Kind::kXml);
  return p ? *static_cast<const std::string*>(p) : DefaultOf<std::string>();
}

const Amf3Array& Amf3Item::AsArray() const {
  const void* p = PayloadFor(Amf3Kind::kArray);
  return p ? *static_cast<const Amf3Array*>(p) : DefaultOf<Amf3Array>();
}

const Amf3Object& Amf3Item::AsObject() const {
  const void* p = PayloadFor(Amf3Kind::kObject);
  return p ? *static_cast<const Amf3Object*>(p) : DefaultObject();
}

const std::vector<uint8_t>& Amf3Item::AsByteArray() const {
  const void* p = PayloadFor(Amf3Kind::kByteArray);
  return p ? *static_cast<const std::vector<uint8_t>*>(p) : DefaultOf<std::vector<uint8_t>>();
}

const Amf3VectorInt& Amf3Item::AsVectorInt() const {
  const void* p = PayloadFor(Amf3Kind::kVectorInt);
  return p ? *static_cast<const Amf3VectorInt*>(p) : DefaultOf<Amf3VectorInt>();
}

const Amf3VectorUInt& Amf3Item::AsVectorUInt() const {
  const void* p = PayloadFor(Amf3Kind::kVectorUInt);
  return p ? *static_cast<const Amf3VectorUInt*>(p) : DefaultOf<Amf3VectorUInt>();
}

const Amf3VectorDouble& Amf3Item::AsVectorDouble() const {
  const void* p = PayloadFor(Amf3Kind::kVectorDouble);
  return p ? *static_cast<const Amf3VectorDouble*>(p) : DefaultOf<Amf3VectorDouble>();
}

const Amf3ObjectVector& Amf3Item::AsVectorObject() const {
  const void* p = PayloadFor(Amf3Kind::kVectorObject);
  return p ? *static_cast<const Amf3ObjectVector*>(p) : DefaultOf<Amf3ObjectVector>();
}

const Amf3Dictionary& Amf3Item::AsDictionary() const {
  const void* p = PayloadFor(Amf3Kind::kDictionary);
  return p ? *static_cast<const Amf3Dictionary*>(p) : DefaultOf<Amf3Dictionary>();
}

namespace {
template <typename T>
T* Mutable(Amf3Kind have, Amf3Kind want, const Amf3Item& item) {
  if (have != want) return nullptr;
  return const_cast<T*>(static_cast<const T*>(item.PayloadIdentity()));
}
}  // namespace

Amf3Array* Amf3Item::MutableArray() const {
  return Mutable<Amf3Array>(kind_, Amf3Kind::kArray, *this);
}
Amf3Object* Amf3Item::MutableObject() const {
  return Mutable<Amf3Object>(kind_, Amf3Kind::kObject, *this);
}
std::vector<uint8_t>* Amf3Item::MutableByteArray() const {
  return Mutable<std::vector<uint8_t>>(kind_, Amf3Kind::kByteArray, *this);
}
Amf3VectorInt* Amf3Item::MutableVectorInt() const {
  return Mutable<Amf3VectorInt>(kind_, Amf3Kind::kVectorInt, *this);
}
Amf3VectorUInt* Amf3Item::MutableVectorUInt() const {
  return Mutable<Amf3VectorUInt>(kind_, Amf3Kind::kVectorUInt, *this);
}
Amf3VectorDouble* Amf3Item::MutableVectorDouble() const {
  return Mutable<Amf3VectorDouble>(kind_, Amf3Kind::kVectorDouble, *this);
}
Amf3ObjectVector* Amf3Item::MutableVectorObject() const {
  return Mutable<Amf3ObjectVector>(kind_, Amf3Kind::kVectorObject, *this);
}
Amf3Dictionary* Amf3Item::MutableDictionary() const {
  return Mutable<Amf3Dictionary>(kind_, Amf3Kind::kDictionary, *this);
}

}  // namespace Voro
