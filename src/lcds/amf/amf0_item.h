// AMF0 values: Amf0Item, the AMF0 object and array payloads and AmfValue (an AMF0 or an
// AMF3 item).
//
// Numbers, booleans and dates are held by value; strings, objects and arrays through
// shared, reference-counted ownership (copies share the payload). As with AMF3 items, a
// decoded reference to an enclosing object is held without ownership so that cyclic
// graphs are freed with their message.
//
// Threads: items are plain values used by one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf_kind.h"

namespace Voro {

class Amf0Item;
class AmfValue;
struct Amf0Object;
// Array entries are AmfValues: AMF0 lets an AMF3 value (behind 0x11) stand in any place a
// value may, array entries included.
using Amf0EcmaArray = std::map<std::string, AmfValue, std::less<>>;
using Amf0StrictArray = std::vector<AmfValue>;

class Amf0Item {
 public:
  // Undefined.
  Amf0Item() noexcept = default;
  // A kind with its default payload (zero, an empty string, an empty container).
  explicit Amf0Item(Amf0Kind kind);

  static Amf0Item Null() { return Amf0Item(Amf0Kind::kNull); }
  static Amf0Item Number(double value);
  static Amf0Item Boolean(bool value);
  static Amf0Item String(std::string_view text);
  static Amf0Item String(std::shared_ptr<const std::string> text);
  static Amf0Item LongString(std::string_view text);
  static Amf0Item Date(int64_t milliseconds);
  static Amf0Item Object(std::shared_ptr<Amf0Object> object);
  static Amf0Item EcmaArray(std::shared_ptr<Amf0EcmaArray> array);
  static Amf0Item StrictArray(std::shared_ptr<Amf0StrictArray> array);
  // An item that refers to `target`'s payload without owning it (for graphs with cycles).
  static Amf0Item BackReference(const Amf0Item& target);
  static const Amf0Item& UndefinedItem();

  // Copying shares the payload. Kinds without a model (Movieclip, Reference, ObjectEnd,
  // Unsupported, Recordset, Xml, Amf3Object) copy as the kind alone.
  Amf0Item(const Amf0Item& other);
  Amf0Item& operator=(const Amf0Item& other);
  Amf0Item(Amf0Item&& other) noexcept;
  Amf0Item& operator=(Amf0Item&& other) noexcept;
  ~Amf0Item() = default;

  Amf0Kind kind() const { return kind_; }
  std::string_view kind_name() const { return Amf0KindName(kind_); }
  bool is_back_reference() const { return !payload_ && !back_.expired(); }

  // ---- Casts: the payload, or the default when the kind differs (Null silently) ----
  double AsNumber() const;
  bool AsBoolean() const;
  // String or LongString.
  const std::string& AsString() const;
  int64_t AsDate() const;
  // Object or TypedObject.
  const Amf0Object& AsObject() const;
  const Amf0EcmaArray& AsEcmaArray() const;
  const Amf0StrictArray& AsStrictArray() const;

  // ---- The shared payload for changes; null when the kind differs ----
  Amf0Object* MutableObject() const;
  Amf0EcmaArray* MutableEcmaArray() const;
  Amf0StrictArray* MutableStrictArray() const;

  std::shared_ptr<const void> SharedPayload() const;
  const void* PayloadIdentity() const { return payload_ ? payload_.get() : back_.lock().get(); }

 private:
  Amf0Item(Amf0Kind kind, std::shared_ptr<const void> payload)
      : kind_(kind), payload_(std::move(payload)) {}
  const void* PayloadFor(Amf0Kind kind, Amf0Kind also) const;
  void CopyFrom(const Amf0Item& other);

  Amf0Kind kind_ = Amf0Kind::kUndefined;
  union {
    double d;
    int64_t i;
  } scalar_ = {.i = 0};
  std::shared_ptr<const void> payload_;
  std::weak_ptr<const void> back_;
};

// Either format's item: the members of an AMF0 object and the arguments of a command may
// be AMF3 values (written behind the AMF0 switch marker 0x11).
class AmfValue {
 public:
  AmfValue() = default;                                 // AMF0 Undefined
  AmfValue(Amf0Item item) : value_(std::move(item)) {}  // NOLINT(google-explicit-constructor)
  AmfValue(Amf3Item item) : value_(std::move(item)) {}  // NOLINT(google-explicit-constructor)

  bool is_amf0() const { return value_.index() == 0; }
  bool is_amf3() const { return value_.index() == 1; }
  // REQUIRES: the matching is_amf0()/is_amf3().
  const Amf0Item& amf0() const { return std::get<0>(value_); }
  const Amf3Item& amf3() const { return std::get<1>(value_); }
  Amf0Item& amf0() { return std::get<0>(value_); }
  Amf3Item& amf3() { return std::get<1>(value_); }

 private:
  std::variant<Amf0Item, Amf3Item> value_;
};

// Members in ascending byte-wise key order, which is also the order they are written in.
using Amf0MemberMap = std::map<std::string, AmfValue, std::less<>>;

struct Amf0Object {
  // Empty for an anonymous object; otherwise the object is a typed object on the wire.
  std::string class_name;
  Amf0MemberMap members;
};

}  // namespace Voro
