// An AMF3 value: a kind (equal to its wire marker) and at most one payload.
//
// Integers, doubles and dates are held by value; the boolean is the kind itself. Strings
// and every container are held through shared, reference-counted ownership: copies of an
// item share the payload, so a change made through one copy is seen through the others, and
// the codec recognises a repeated payload by its identity.
//
// A decoded graph may refer back to an object that encloses it. Such back references hold
// the payload without owning it (they cannot keep their own ancestor alive), so dropping a
// decoded message frees all of it. A back reference whose target is gone reads as the
// default of its kind.
//
// Threads: an item is a plain value used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lcds/amf/amf_kind.h"

namespace Voro {

class Amf3Object;
struct Amf3Array;
struct Amf3Dictionary;
struct Amf3ObjectVector;
template <typename T>
struct Amf3Vector;
using Amf3VectorInt = Amf3Vector<int32_t>;
using Amf3VectorUInt = Amf3Vector<uint32_t>;
using Amf3VectorDouble = Amf3Vector<double>;

class Amf3Item {
 public:
  // Undefined.
  Amf3Item() noexcept = default;
  // A kind with its default payload (zero, an empty string, an empty container; an Object
  // gets an anonymous dynamic class).
  explicit Amf3Item(Amf3Kind kind);

  static Amf3Item Null() { return Amf3Item(Amf3Kind::kNull); }
  static Amf3Item Boolean(bool value) {
    return Amf3Item(value ? Amf3Kind::kTrue : Amf3Kind::kFalse);
  }
  static Amf3Item Integer(int32_t value);
  static Amf3Item Double(double value);
  static Amf3Item String(std::string_view text);
  static Amf3Item String(std::shared_ptr<const std::string> text);
  static Amf3Item Date(int64_t milliseconds);
  static Amf3Item Xml(std::string_view text);
  static Amf3Item Xml(std::shared_ptr<const std::string> text);
  static Amf3Item Array(std::shared_ptr<Amf3Array> array);
  static Amf3Item Object(std::shared_ptr<Amf3Object> object);
  static Amf3Item ByteArray(std::vector<uint8_t> bytes);
  static Amf3Item ByteArray(std::shared_ptr<std::vector<uint8_t>> bytes);
  static Amf3Item VectorInt(std::shared_ptr<Amf3VectorInt> vector);
  static Amf3Item VectorUInt(std::shared_ptr<Amf3VectorUInt> vector);
  static Amf3Item VectorDouble(std::shared_ptr<Amf3VectorDouble> vector);
  static Amf3Item VectorObject(std::shared_ptr<Amf3ObjectVector> vector);
  static Amf3Item Dictionary(std::shared_ptr<Amf3Dictionary> dictionary);
  // An item that refers to `target`'s payload without owning it (for graphs with cycles).
  static Amf3Item BackReference(const Amf3Item& target);

  // The one shared Undefined item (returned for missing members).
  static const Amf3Item& UndefinedItem();

  // Copying shares the payload. LegacyXml cannot be copied: the copy has the kind only.
  Amf3Item(const Amf3Item& other);
  Amf3Item& operator=(const Amf3Item& other);
  Amf3Item(Amf3Item&& other) noexcept;
  Amf3Item& operator=(Amf3Item&& other) noexcept;
  ~Amf3Item() = default;

  Amf3Kind kind() const { return kind_; }
  std::string_view kind_name() const { return Amf3KindName(kind_); }
  bool is_undefined() const { return kind_ == Amf3Kind::kUndefined; }
  bool is_null() const { return kind_ == Amf3Kind::kNull; }
  // True for a back reference made by BackReference.
  bool is_back_reference() const { return !payload_ && !back_.expired(); }

  // ---- Casts: the payload, or the default when the kind differs (Null silently) ----
  int32_t AsInteger() const;
  double AsDouble() const;
  // False/True; any other kind but Null is an error logged at ERROR level.
  bool AsBoolean() const;
  int64_t AsDate() const;
  const std::string& AsString() const;
  const std::string& AsXml() const;
  const Amf3Array& AsArray() const;
  const Amf3Object& AsObject() const;
  const std::vector<uint8_t>& AsByteArray() const;
  const Amf3VectorInt& AsVectorInt() const;
  const Amf3VectorUInt& AsVectorUInt() const;
  const Amf3VectorDouble& AsVectorDouble() const;
  const Amf3ObjectVector& AsVectorObject() const;
  const Amf3Dictionary& AsDictionary() const;

  // ---- The shared payload for changes; null when the kind differs ----
  Amf3Array* MutableArray() const;
  Amf3Object* MutableObject() const;
  std::vector<uint8_t>* MutableByteArray() const;
  Amf3VectorInt* MutableVectorInt() const;
  Amf3VectorUInt* MutableVectorUInt() const;
  Amf3VectorDouble* MutableVectorDouble() const;
  Amf3ObjectVector* MutableVectorObject() const;
  Amf3Dictionary* MutableDictionary() const;

  // The payload instance (null for kinds held by value); a back reference yields its
  // target while that is alive. Two items share a payload when these are equal.
  std::shared_ptr<const void> SharedPayload() const;
  const void* PayloadIdentity() const { return payload_ ? payload_.get() : back_.lock().get(); }
  // Scalar payload bits (Integer, Double, Date); for hashing and equality of keys.
  int64_t raw_integer() const { return scalar_.i; }

 private:
  Amf3Item(Amf3Kind kind, std::shared_ptr<const void> payload)
      : kind_(kind), payload_(std::move(payload)) {}
  // The payload when the kind is `kind`, else null (with the cast diagnostic unless Null).
  const void* PayloadFor(Amf3Kind kind) const;
  void CopyFrom(const Amf3Item& other);

  Amf3Kind kind_ = Amf3Kind::kUndefined;
  union {
    double d;
    int64_t i;
  } scalar_ = {.i = 0};
  std::shared_ptr<const void> payload_;
  std::weak_ptr<const void> back_;
};

}  // namespace Voro
