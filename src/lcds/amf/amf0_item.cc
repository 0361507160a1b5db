#include "lcds/amf/amf0_item.h"

#include <utility>

#include "diag/no_destructor.h"
#include "lcds/amf/amf_debug_trace.h"

namespace Voro {

namespace {

constexpr char kBadCast[] = "AMF0 item of type %s (%d) was incorrectly cast to type %s (%d).";
constexpr char kCopyUnsupported[] = "Copying AMF0 item of type %s (%d) is currently unsupported.";

template <typename T>
const T& DefaultOf() {
  static NoDestructor<T> value;
  return *value;
}

void TraceBadCast(Amf0Kind actual, Amf0Kind wanted) {
  KIV_AMF_DEBUG_TRACE(kBadCast, Amf0KindName(actual).data(), static_cast<int>(actual),
                      Amf0KindName(wanted).data(), static_cast<int>(wanted));
  (void)actual;
  (void)wanted;
}

bool CopiesPayload(Amf0Kind kind) {
  switch (kind) {
    case Amf0Kind::kNumber:
    case Amf0Kind::kBoolean:
    case Amf0Kind::kString:
    case Amf0Kind::kObject:
    case Amf0Kind::kNull:
    case Amf0Kind::kUndefined:
    case Amf0Kind::kEcmaArray:
    case Amf0Kind::kStrictArray:
    case Amf0Kind::kDate:
    // A long string and a typed object are a string and an object under another marker;
    // dropping their payloads on copy would lose data the decoder produced.
    case Amf0Kind::kLongString:
    case Amf0Kind::kTypedObject:
      return true;
    default:
      return false;
  }
}

}  // namespace

Amf0Item::Amf0Item(Amf0Kind kind) : kind_(kind) {
  switch (kind) {
    case Amf0Kind::kString:
    case Amf0Kind::kLongString:
      payload_ = std::make_shared<const std::string>();
      break;
    case Amf0Kind::kObject:
    case Amf0Kind::kTypedObject:
      payload_ = std::make_shared<Amf0Object>();
      break;
    case Amf0Kind::kEcmaArray:
      payload_ = std::make_shared<Amf0EcmaArray>();
      break;
    case Amf0Kind::kStrictArray:
      payload_ = std::make_shared<Amf0StrictArray>();
      break;
    default:
      break;
  }
}

Amf0Item Amf0Item::Number(double value) {
  Amf0Item item(Amf0Kind::kNumber, nullptr);
  item.scalar_.d = value;
  return item;
}

Amf0Item Amf0Item::Boolean(bool value) {
  Amf0Item item(Amf0Kind::kBoolean, nullptr);
  item.scalar_.i = value ? 1 : 0;
  return item;
}

Amf0Item Amf0Item::String(std::string_view text) {
  return Amf0Item(Amf0Kind::kString, std::make_shared<const std::string>(text));
}

Amf0Item Amf0Item::String(std::shared_ptr<const std::string> text) {
  if (!text) text = std::make_shared<const std::string>();
  return Amf0Item(Amf0Kind::kString, std::move(text));
}

Amf0Item Amf0Item::LongString(std::string_view text) {
  return Amf0Item(Amf0Kind::kLongString, std::make_shared<const std::string>(text));
}

Amf0Item Amf0Item::Date(int64_t milliseconds) {
  Amf0Item item(Amf0Kind::kDate, nullptr);
  item.scalar_.i = milliseconds;
  return item;
}

Amf0Item Amf0Item::Object(std::shared_ptr<Amf0Object> object) {
  if (!object) object = std::make_shared<Amf0Object>();
  return Amf0Item(Amf0Kind::kObject, std::move(object));
}

Amf0Item Amf0Item::EcmaArray(std::shared_ptr<Amf0EcmaArray> array) {
  if (!array) array = std::make_shared<Amf0EcmaArray>();
  return Amf0Item(Amf0Kind::kEcmaArray, std::move(array));
}

Amf0Item Amf0Item::StrictArray(std::shared_ptr<Amf0StrictArray> array) {
  if (!array) array = std::make_shared<Amf0StrictArray>();
  return Amf0Item(Amf0Kind::kStrictArray, std::move(array));
}

Amf0Item Amf0Item::BackReference(const Amf0Item& target) {
  Amf0Item item;
  item.kind_ = target.kind_;
  item.scalar_ = target.scalar_;
  if (target.payload_) {
    item.back_ = target.payload_;
  } else {
    item.back_ = target.back_;
  }
  return item;
}

const Amf0Item& Amf0Item::UndefinedItem() {
  static NoDestructor<Amf0Item> item;
  return *item;
}

Amf0Item::Amf0Item(const Amf0Item& other) { CopyFrom(other); }

Amf0Item& Amf0Item::operator=(const Amf0Item& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

Amf0Item::Amf0Item(Amf0Item&& other) noexcept
    : kind_(other.kind_),
      scalar_(other.scalar_),
      payload_(std::move(other.payload_)),
      back_(std::move(other.back_)) {
  other.kind_ = Amf0Kind::kUndefined;
}

Amf0Item& Amf0Item::operator=(Amf0Item&& other) noexcept {
  if (this != &other) {
    kind_ = other.kind_;
    scalar_ = other.scalar_;
    payload_ = std::move(other.payload_);
    back_ = std::move(other.back_);
    other.kind_ = Amf0Kind::kUndefined;
  }
  return *this;
}

void Amf0Item::CopyFrom(const Amf0Item& other) {
  // Hold the source's payload first: `other` may live inside the payload being released.
  std::shared_ptr<const void> payload = other.payload_;
  std::weak_ptr<const void> back = other.back_;
  const Amf0Kind kind = other.kind_;
  const auto scalar = other.scalar_;
  payload_.reset();
  back_.reset();
  kind_ = kind;
  scalar_.i = 0;
  if (!CopiesPayload(kind)) {
    KIV_AMF_DEBUG_TRACE(kCopyUnsupported, Amf0KindName(kind).data(), static_cast<int>(kind));
    return;
  }
  scalar_ = scalar;
  payload_ = std::move(payload);
  back_ = std::move(back);
}

std::shared_ptr<const void> Amf0Item::SharedPayload() const {
  return payload_ ? payload_ : back_.lock();
}

const void* Amf0Item::PayloadFor(Amf0Kind kind, Amf0Kind also) const {
  if (kind_ != kind && kind_ != also) {
    if (kind_ != Amf0Kind::kNull) TraceBadCast(kind_, kind);
    return nullptr;
  }
  return PayloadIdentity();
}

double Amf0Item::AsNumber() const {
  if (kind_ == Amf0Kind::kNumber) return scalar_.d;
  if (kind_ != Amf0Kind::kNull) TraceBadCast(kind_, Amf0Kind::kNumber);
  return 0.0;
}

bool Amf0Item::AsBoolean() const {
  if (kind_ == Amf0Kind::kBoolean) return scalar_.i != 0;
  if (kind_ != Amf0Kind::kNull) TraceBadCast(kind_, Amf0Kind::kBoolean);
  return false;
}

const std::string& Amf0Item::AsString() const {
  const void* p = PayloadFor(Amf0Kind::kString, Amf0Kind::kLongString);
  return p ? *static_cast<const std::string*>(p) : DefaultOf<std::string>();
}

int64_t Amf0Item::AsDate() const {
  if (kind_ == Amf0Kind::kDate) return scalar_.i;
  if (kind_ != Amf0Kind::kNull) TraceBadCast(kind_, Amf0Kind::kDate);
  return 0;
}

const Amf0Object& Amf0Item::AsObject() const {
  const void* p = PayloadFor(Amf0Kind::kObject, Amf0Kind::kTypedObject);
  return p ? *static_cast<const Amf0Object*>(p) : DefaultOf<Amf0Object>();
}

const Amf0EcmaArray& Amf0Item::AsEcmaArray() const {
  const void* p = PayloadFor(Amf0Kind::kEcmaArray, Amf0Kind::kEcmaArray);
  return p ? *static_cast<const Amf0EcmaArray*>(p) : DefaultOf<Amf0EcmaArray>();
}

const Amf0StrictArray& Amf0Item::AsStrictArray() const {
  const void* p = PayloadFor(Amf0Kind::kStrictArray, Amf0Kind::kStrictArray);
  return p ? *static_cast<const Amf0StrictArray*>(p) : DefaultOf<Amf0StrictArray>();
}

Amf0Object* Amf0Item::MutableObject() const {
  if (kind_ != Amf0Kind::kObject && kind_ != Amf0Kind::kTypedObject) return nullptr;
  return const_cast<Amf0Object*>(static_cast<const Amf0Object*>(PayloadIdentity()));
}

Amf0EcmaArray* Amf0Item::MutableEcmaArray() const {
  if (kind_ != Amf0Kind::kEcmaArray) return nullptr;
  return const_cast<Amf0EcmaArray*>(static_cast<const Amf0EcmaArray*>(PayloadIdentity()));
}

Amf0StrictArray* Amf0Item::MutableStrictArray() const {
  if (kind_ != Amf0Kind::kStrictArray) return nullptr;
  return const_cast<Amf0StrictArray*>(static_cast<const Amf0StrictArray*>(PayloadIdentity()));
}

}  // namespace Voro
