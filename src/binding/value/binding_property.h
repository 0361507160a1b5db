// The dynamic value of the binding layer: every value exchanged with the host is a tree of
// BindingProperty nodes.
//
// A node is 16 bytes on a 32-bit target (payload, storage pointer, tag, owns-storage flag).
// A node made by a constructor is a root: it owns the tree's BindingStorage, created on the
// first operation that needs a string, blob, enum, collection or structure payload.
// Elements of collections and values of structures share their root's storage and must not
// outlive the root. Payload records come from the storage's small-object allocator; strings
// are interned per tree.
//
// Copying is deep (into the destination's own storage). Moving between two roots exchanges
// the nodes; any other move deep-copies and empties the source. Copy, move, reset and
// destruction walk trees without recursion, so a tree of any depth is safe.
//
// Threads: a tree is not synchronised; one thread uses it at a time. Only the process-wide
// page source behind all allocators is shared (and locked).
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/value/binding_storage.h"
#include "binding/value/binding_type.h"
#include "binding/value/string_intern_table.h"

namespace Voro {

class BindingProperty;

// Byte-wise order of key texts: unsigned bytes, a shorter prefix first.
struct BindingKeyLess {
  // Most keys differ in their first byte: decide that without calling memcmp.
  // Short keys that share a first byte are compared in place: a call to memcmp costs more.
  static bool Less(std::string_view a, std::string_view b) {
    if (!a.empty() && !b.empty() && a[0] != b[0]) {
      return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
    }
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    if (n > 16) return a.compare(b) < 0;
    for (size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
  }
};

struct BindingBlobRecord;
struct BindingCollectionRecord;
struct BindingStructureRecord;
template <bool kConst>
class BindingFieldRange;

class BindingProperty {
 public:
  // Collections never grow beyond this many elements (the limit of a 32-bit address space).
  static constexpr size_t kMaxCollectionSize = 268435455;

  // Only the tree itself creates element nodes.
  class ElementKey {
    friend class BindingProperty;
    ElementKey() = default;
  };

  // An "empty" root.
  constexpr BindingProperty() noexcept = default;
  // An element of a tree whose storage is `storage` (never null).
  BindingProperty(ElementKey, BindingStorage* storage) noexcept
      : storage_(storage), owns_storage_(false) {}

  // A root holding a deep copy of `other`.
  BindingProperty(const BindingProperty& other);
  // A root; takes over `other` when it is a root, otherwise copies it. `other` ends "empty".
  // Not noexcept: moving an element out of a tree copies, which allocates.
  // NOLINTNEXTLINE(bugprone-exception-escape,performance-noexcept-move-constructor)
  BindingProperty(BindingProperty&& other);
  // Deep copy into this node's own storage. Either node may be inside the other's tree.
  BindingProperty& operator=(const BindingProperty& other);
  // Exchange when both are roots; otherwise a deep copy. `other` ends "empty".
  // NOLINTNEXTLINE(bugprone-exception-escape,performance-noexcept-move-constructor)
  BindingProperty& operator=(BindingProperty&& other);
  ~BindingProperty() {
    if (owns_storage_ && storage_ != nullptr) {
      DiscardTree();
    } else {
      Reset();
    }
  }

  // The shared static "empty" value returned by const access to missing things.
  static const BindingProperty& EmptyValue();

  // ---- Setters: each releases the old payload first ----
  void SetBool(bool value) { SetScalar(BindingType::kBool, value ? 1 : 0); }
  void SetSigned(int64_t value) { SetScalar(BindingType::kSigned, static_cast<uint64_t>(value)); }
  void SetUnsigned(uint64_t value) { SetScalar(BindingType::kUnsigned, value); }
  void SetFloat(double value) {
    Reset();
    tag_ = BindingType::kFloat;
    payload_.f64 = value;
  }
  // Interned in the tree's storage; an empty or null text is the shared empty string.
  void SetString(std::string_view text);
  // Takes over one reference to `entry`, which belongs to this tree's string table (for
  // decoders that intern through their own cache).
  void SetInternedString(const InternedString* entry) {
    Reset();
    payload_.string = entry;
    tag_ = BindingType::kString;
  }
  void SetString(const char* text) { SetString(text == nullptr ? std::string_view() : text); }
  void SetBlob(const std::vector<uint8_t>& bytes);
  void SetBlob(std::vector<uint8_t>&& bytes);  // takes the caller's bytes
  // REQUIRES: data points to size bytes (or size is 0).
  void SetBlob(const void* data, size_t size);
  void SetEnum(BindingEnum value);
  void SetEnum(int32_t value, uint32_t type_hash) { SetEnum(BindingEnum{value, type_hash}); }
  // Signed integers of any width become "signed", unsigned ones "unsigned".
  template <std::integral T>
  requires(!std::same_as<T, bool>) void SetInteger(T value) {
    if constexpr (std::is_signed_v<T>) {
      SetSigned(static_cast<int64_t>(value));
    } else {
      SetUnsigned(static_cast<uint64_t>(value));
    }
  }
  // An empty collection, unless the node already is a collection (then unchanged).
  void MakeCollection();
  // An empty structure, unless the node already is a structure (then unchanged).
  void MakeStructure();
  // MakeCollection and Reserve(room), or MakeStructure and ReserveFields(room), in one step:
  // for readers that know a container's size before its contents.
  void MakeCollection(size_t room);
  void MakeStructure(size_t room);
  // Releases the payload and makes the node "empty"; storage and root flag stay.
  void Reset() {
    if (static_cast<uint8_t>(tag_) > static_cast<uint8_t>(BindingType::kFloat)) ReleasePayload();
    tag_ = BindingType::kEmpty;
    payload_.u64 = 0;
  }
  // Grows a collection's capacity to n elements; does nothing on other tags.
  // Throws std::length_error when n > kMaxCollectionSize.
  void Reserve(size_t n);
  // Grows a structure's room to n fields; does nothing on other tags.
  void ReserveFields(size_t n);
  // Makes room in the tree's string table for `n` distinct strings in all, so that a
  // decoder that can estimate them from its input does not rehash the table as it grows.
  // Changes no value; the storage is created if needed.
  void ReserveStrings(size_t n) { EnsureStorage()->strings().Reserve(n); }
  // ReserveStrings for a decoder's input of `input_bytes` holding about one distinct text per
  // `bytes_per_text`: a few more or fewer only moves one rehash. Inputs of a few KiB and more
  // reserve (growing to a few thousand entries rehashed the table nine times or more), up to
  // a million texts; a smaller input's handful fits the table's first buckets.
  void ReserveStringsForInput(size_t input_bytes, size_t bytes_per_text) {
    constexpr size_t kMinReserved = size_t{1} << 6;
    constexpr size_t kMaxReserved = size_t{1} << 20;
    const size_t estimate = input_bytes / bytes_per_text;
    if (estimate >= kMinReserved) ReserveStrings(estimate < kMaxReserved ? estimate : kMaxReserved);
  }
  // The tree's string table, the storage created if needed (for decoders that intern
  // texts before they know the node they go to).
  StringInternTable& strings() { return EnsureStorage()->strings(); }

  BindingProperty& operator=(bool value) {
    SetBool(value);
    return *this;
  }
  template <std::integral T>
  requires(!std::same_as<T, bool>) BindingProperty& operator=(T value) {
    SetInteger(value);
    return *this;
  }
  BindingProperty& operator=(double value) {
    SetFloat(value);
    return *this;
  }
  BindingProperty& operator=(float value) {
    SetFloat(value);
    return *this;
  }
  BindingProperty& operator=(const char* text) {
    SetString(text);
    return *this;
  }
  BindingProperty& operator=(std::string_view text) {
    SetString(text);
    return *this;
  }
  BindingProperty& operator=(const std::string& text) {
    SetString(std::string_view(text));
    return *this;
  }
  BindingProperty& operator=(const std::vector<uint8_t>& bytes) {
    SetBlob(bytes);
    return *this;
  }
  BindingProperty& operator=(std::vector<uint8_t>&& bytes) {
    SetBlob(std::move(bytes));
    return *this;
  }
  BindingProperty& operator=(BindingEnum value) {
    SetEnum(value);
    return *this;
  }

  // ---- Inspection ----
  BindingType type() const { return tag_; }
  bool is_root() const { return owns_storage_; }
  // The tree's storage; null for a root that has not needed one yet.
  BindingStorage* storage() const { return storage_; }
  // "empty" 0; "string" bytes; "blob" bytes; "collection" elements; "structure" fields;
  // every other tag 1.
  size_t size() const;

  // ---- Strict readers: the default unless the tag is exactly the reader's own ----
  bool GetBool(bool def = false) const {
    return tag_ == BindingType::kBool ? payload_.u64 != 0 : def;
  }
  int64_t GetSigned(int64_t def = 0) const {
    return tag_ == BindingType::kSigned ? static_cast<int64_t>(payload_.u64) : def;
  }
  uint64_t GetUnsigned(uint64_t def = 0) const {
    return tag_ == BindingType::kUnsigned ? payload_.u64 : def;
  }
  double GetFloat(double def = 0.0) const {
    return tag_ == BindingType::kFloat ? payload_.f64 : def;
  }
  // The text stays valid while this node holds it. It is NUL-terminated.
  std::string_view GetString(std::string_view def = {}) const {
    return tag_ == BindingType::kString ? payload_.string->view() : def;
  }
  const std::vector<uint8_t>& GetBlob(const std::vector<uint8_t>& def) const;
  const std::vector<uint8_t>& GetBlob() const;  // an empty vector by default
  BindingEnum GetEnum(BindingEnum def = {}) const;

  // ---- Converting readers: never fail (see the table in binding_property_readers.cc) ----
  bool ToBool() const;
  int64_t ToSigned(int64_t def = 0) const;
  uint64_t ToUnsigned(uint64_t def = 0) const;
  double ToDouble(double def = 0.0) const;
  std::string ToString() const;

  // ---- Elements ----
  // The element, or EmptyValue() when this is not a collection or index >= size().
  const BindingProperty& Element(size_t index) const;
  // Makes a collection and appends "empty" elements until `index` exists.
  // Throws std::length_error when index >= kMaxCollectionSize.
  BindingProperty& MutableElement(size_t index);
  // Appends an "empty" element to a collection (made first if needed) and returns it.
  BindingProperty& Append() { return MutableElement(size_for_append()); }
  std::span<BindingProperty> Elements();
  std::span<const BindingProperty> Elements() const;

  // ---- Fields ----
  // The field's value, or EmptyValue() when this is not a structure or has no such field.
  const BindingProperty& Field(std::string_view name) const;
  // The field, or null.
  const BindingProperty* FindField(std::string_view name) const;
  // Makes a structure and inserts the field as "empty" when missing. The reference stays
  // valid while other fields are added. A key below the last one moves the fields above it:
  // to build a large structure from input in any order, use AppendField and FinishFields.
  BindingProperty& MutableField(std::string_view name);
  // Makes a structure and appends an "empty" field without looking for the key: the way
  // to build a structure from input, whatever the order of its keys. Until FinishFields the
  // fields may be out of order and repeat keys, so nothing but AppendField may use the
  // structure in between (releasing it is fine). The reference stays valid as for
  // MutableField. The second form takes over one reference to `key`, which must belong to
  // this tree's string table.
  BindingProperty& AppendField(std::string_view name);
  inline BindingProperty& AppendField(const InternedString* key);
  // Puts the appended fields in key order; of repeated keys the last appended wins and the
  // others go. Cheap for keys in ascending order, and cheapest for a structure whose keys
  // came in the same order as those of one finished lately (records of one shape): it then
  // compares no key. Does nothing on other tags.
  void FinishFields();
  // FinishFields when it frees nothing: the fields are in key order already, or their keys
  // came as those of a structure finished lately (an order remembered only when no key was
  // repeated). False when it did nothing; FinishFields may then free repeated keys' values,
  // which a reader still holding a field's node must know first.
  inline bool TryFinishFieldsWithoutFreeing();
  // Fields as (key, value) in ascending byte order of the keys; empty unless a structure.
  BindingFieldRange<false> Fields();
  BindingFieldRange<true> Fields() const;

  template <std::integral I>
  const BindingProperty& operator[](I index) const {
    return Element(static_cast<size_t>(index));
  }
  template <std::integral I>
  BindingProperty& operator[](I index) {
    return MutableElement(static_cast<size_t>(index));
  }
  const BindingProperty& operator[](std::string_view name) const { return Field(name); }
  BindingProperty& operator[](std::string_view name) { return MutableField(name); }
  const BindingProperty& operator[](const char* name) const {
    return Field(name == nullptr ? std::string_view() : name);
  }
  BindingProperty& operator[](const char* name) {
    return MutableField(name == nullptr ? std::string_view() : name);
  }

  // Deep equality: same tags and payloads; floats compare with ==, enums by value and hash.
  friend bool operator==(const BindingProperty& a, const BindingProperty& b);

 private:
  union Payload {
    uint64_t u64;
    double f64;
    const InternedString* string;
    BindingBlobRecord* blob;
    BindingEnum* enumeration;
    BindingCollectionRecord* collection;
    BindingStructureRecord* structure;
  };

  struct RelocateKey {};
  // Takes `from`'s bits; `from` is left "empty". For moving elements inside a buffer.
  BindingProperty(RelocateKey, BindingProperty& from) noexcept
      : payload_(from.payload_),
        storage_(from.storage_),
        tag_(from.tag_),
        owns_storage_(from.owns_storage_) {
    from.tag_ = BindingType::kEmpty;
  }

  void SetScalar(BindingType tag, uint64_t bits) {
    Reset();
    tag_ = tag;
    payload_.u64 = bits;
  }
  BindingStorage* EnsureStorage() {
    if (storage_ == nullptr) storage_ = new BindingStorage();
    return storage_;
  }
  // Destroys a root's tree together with its storage: only heap memory is freed one piece
  // at a time; the allocator's pages go back in one sweep.
  void DiscardTree();
  size_t size_for_append() const;
  void InstallBlob(BindingBlobRecord* record);
  void NewBlob(const uint8_t* data, size_t size);
  // Releases a string, blob, enum, collection or structure payload (without recursion).
  void ReleasePayload();
  // Whether `node` is this node or inside its tree below it.
  bool Contains(const BindingProperty* node) const;
  // REQUIRES: this node is "empty" and `source` is not inside this node's tree.
  void CopyFrom(const BindingProperty& source);
  // Copies a scalar, string, blob or enum payload; makes an empty container for a
  // collection or structure and returns true so that the caller fills it.
  [[nodiscard]] bool CopyShallow(const BindingProperty& source);
  void GrowCollection(size_t needed);
  void GrowStructure(size_t needed);
  // MutableField, AppendField and MutableElement beyond their common steps (see there).
  BindingProperty& MutableFieldSlow(std::string_view name);
  // MutableField's first field of a structure of a remembered shape; null to go the long way.
  BindingProperty* BeginKnownStructure(std::string_view name);
  BindingProperty& AppendFieldSlow(const InternedString* key);
  // TryFinishFieldsWithoutFreeing for an unordered structure: by a remembered order, or not.
  bool FinishFieldsByMemo();
  BindingProperty& MutableElementSlow(size_t index);
  // Inserts a field for `key` (taking over its reference) at `index` of the sorted slots.
  BindingProperty& InsertField(size_t index, const InternedString* key);

  Payload payload_ = {0};
  BindingStorage* storage_ = nullptr;
  BindingType tag_ = BindingType::kEmpty;
  bool owns_storage_ = true;

  friend struct BindingCollectionRecord;
};

static_assert(sizeof(void*) != 4 || sizeof(BindingProperty) == 16,
              "a node is 16 bytes on a 32-bit target");

// The payload record of a blob.
struct BindingBlobRecord : HeapOwningRecord {
  std::vector<uint8_t> bytes;
};

// The payload record of a collection. `pending` links records waiting to be released.
struct BindingCollectionRecord : HeapOwningRecord {
  BindingProperty* data = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  BindingCollectionRecord* pending = nullptr;
};

// A field of a structure: its interned key and its value node. The slots are kept sorted by
// key; each value node lives apart from them, so a reference to a value survives the
// insertion of other fields, as it would in a node-based map.
struct BindingFieldSlot {
  const InternedString* key;
  BindingProperty* value;
};

// The payload record of a structure. `pending` links records waiting to be released;
// `unordered` marks fields appended since the structure was last in order, until
// FinishFields. While `memo_generation` is not 0, every field came through MutableField
// following (or recording) the key sequence of that generation in insert memo `memo_slot`.
struct BindingStructureRecord : HeapOwningRecord {
  BindingFieldSlot* slots = nullptr;
  uint32_t size = 0;
  uint32_t capacity = 0;
  BindingStructureRecord* pending = nullptr;
  bool unordered = false;
  uint8_t memo_slot = 0;
  uint32_t memo_generation = 0;
};

BindingProperty& BindingProperty::AppendField(const InternedString* key) {
  // A decoder's common step, inline and kept small: a structure with room reserved. The
  // field goes last, so nothing moves.
  if (tag_ == BindingType::kStructure) {
    BindingStructureRecord* record = payload_.structure;
    const uint32_t size = record->size;
    if (size < record->capacity) {
      if (void* memory = storage_->allocator().TryAllocate(sizeof(BindingProperty))) {
        if (size != 0) record->unordered = true;
        record->memo_generation = 0;
        auto* value = new (memory) BindingProperty(ElementKey(), storage_);
        record->slots[size] = BindingFieldSlot{key, value};
        record->size = size + 1;
        return *value;
      }
    }
  }
  return AppendFieldSlow(key);
}

bool BindingProperty::TryFinishFieldsWithoutFreeing() {
  if (tag_ != BindingType::kStructure || !payload_.structure->unordered) return true;
  return FinishFieldsByMemo();
}

// A field seen through iteration.
template <bool kConst>
struct BindingField {
  std::string_view key;
  std::conditional_t<kConst, const BindingProperty&, BindingProperty&> value;
};

template <bool kConst>
class BindingFieldIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = BindingField<kConst>;
  using difference_type = std::ptrdiff_t;
  using reference = BindingField<kConst>;
  using pointer = void;

  BindingFieldIterator() = default;
  explicit BindingFieldIterator(const BindingFieldSlot* slot) : slot_(slot) {}

  BindingField<kConst> operator*() const { return {slot_->key->view(), *slot_->value}; }
  BindingFieldIterator& operator++() {
    ++slot_;
    return *this;
  }
  BindingFieldIterator operator++(int) {
    BindingFieldIterator old = *this;
    ++slot_;
    return old;
  }
  friend bool operator==(const BindingFieldIterator& a, const BindingFieldIterator& b) {
    return a.slot_ == b.slot_;
  }

 private:
  const BindingFieldSlot* slot_ = nullptr;
};

template <bool kConst>
class BindingFieldRange {
 public:
  // `record` is null for a node that is not a structure.
  explicit BindingFieldRange(const BindingStructureRecord* record) : record_(record) {}
  BindingFieldIterator<kConst> begin() const {
    return BindingFieldIterator<kConst>(record_ == nullptr ? nullptr : record_->slots);
  }
  BindingFieldIterator<kConst> end() const {
    return BindingFieldIterator<kConst>(record_ == nullptr ? nullptr
                                                           : record_->slots + record_->size);
  }
  bool empty() const { return record_ == nullptr || record_->size == 0; }

 private:
  const BindingStructureRecord* record_;
};

}  // namespace Voro
