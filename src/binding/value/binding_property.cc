#include "binding/value/binding_property.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "binding/value/work_stack.h"

namespace Voro {

namespace {

template <typename T>
T* NewRecord(BindingStorage* storage) {
  static_assert(sizeof(T) <= SmallObjectAllocator::kMaxSize, "payload records are small");
  return static_cast<T*>(storage->allocator().Allocate(sizeof(T)));
}

template <typename T>
void DeleteRecord(BindingStorage* storage, T* record) {
  record->~T();
  storage->allocator().Free(record, sizeof(T));
}

std::span<BindingFieldSlot> SlotsOf(const BindingStructureRecord* record) {
  return {record->slots, record->size};
}

// The first slot whose key is not below `name`.
size_t LowerBound(const BindingStructureRecord* record, std::string_view name) {
  size_t low = 0;
  size_t high = record->size;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (BindingKeyLess::Less(record->slots[middle].key->view(), name)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// As LowerBound, for `name` not above slot `below`: walks down from there. In a small
// structure filled in the same order as others before it, the walk's branches repeat, where a
// binary search's would not.
size_t LowerBoundFromEnd(const BindingStructureRecord* record, std::string_view name,
                         size_t below) {
  size_t index = below;
  while (index > 0 && !BindingKeyLess::Less(record->slots[index - 1].key->view(), name)) --index;
  return index;
}

const std::vector<uint8_t>& EmptyBlob() {
  static const std::vector<uint8_t> empty;
  return empty;
}

}  // namespace

const BindingProperty& BindingProperty::EmptyValue() {
  static constinit const BindingProperty empty;
  return empty;
}

void BindingProperty::DiscardTree() {
  BindingStorage* storage = storage_;
  // Every record that owns heap memory is on one of the storage's lists; everything else
  // lives in the allocator's pages or the string table and goes with them.
  HeapOwningRecord* blobs = storage->blob_records();
  for (HeapOwningRecord* r = blobs->next; r != blobs; r = r->next) {
    static_cast<BindingBlobRecord*>(r)->bytes.~vector();
  }
  HeapOwningRecord* collections = storage->collection_records();
  for (HeapOwningRecord* r = collections->next; r != collections; r = r->next) {
    auto* record = static_cast<BindingCollectionRecord*>(r);
    const size_t bytes = record->capacity * sizeof(BindingProperty);
    if (record->data != nullptr && SmallObjectAllocator::OnHeap(bytes)) {
      storage->allocator().FreeAny(record->data, bytes);
    }
  }
  HeapOwningRecord* structures = storage->structure_records();
  for (HeapOwningRecord* r = structures->next; r != structures; r = r->next) {
    auto* record = static_cast<BindingStructureRecord*>(r);
    const size_t bytes = record->capacity * sizeof(BindingFieldSlot);
    if (record->slots != nullptr && SmallObjectAllocator::OnHeap(bytes)) {
      storage->allocator().FreeAny(record->slots, bytes);
    }
  }
  tag_ = BindingType::kEmpty;
  payload_.u64 = 0;
  delete storage;
  storage_ = nullptr;
}

// ---- Copy and move ----

BindingProperty::BindingProperty(const BindingProperty& other) { CopyFrom(other); }

// NOLINTNEXTLINE(bugprone-exception-escape,performance-noexcept-move-constructor)
BindingProperty::BindingProperty(BindingProperty&& other) {
  if (other.owns_storage_) {
    payload_ = other.payload_;
    storage_ = other.storage_;
    tag_ = other.tag_;
    other.payload_.u64 = 0;
    other.storage_ = nullptr;
    other.tag_ = BindingType::kEmpty;
  } else {
    CopyFrom(other);
    other.Reset();
  }
}

BindingProperty& BindingProperty::operator=(const BindingProperty& other) {
  if (this == &other) return *this;
  if (storage_ != nullptr && storage_ == other.storage_) {
    // One tree: either node may be inside the other, so copy through a separate tree.
    BindingProperty copy(other);  // NOLINT(performance-unnecessary-copy-initialization)
    Reset();
    CopyFrom(copy);
  } else {
    Reset();
    CopyFrom(other);
  }
  return *this;
}

// NOLINTNEXTLINE(bugprone-exception-escape,performance-noexcept-move-constructor)
BindingProperty& BindingProperty::operator=(BindingProperty&& other) {
  if (this == &other) return *this;
  if (owns_storage_ && other.owns_storage_) {
    std::swap(payload_, other.payload_);
    std::swap(storage_, other.storage_);
    std::swap(tag_, other.tag_);
    other.Reset();
    return *this;
  }
  if (storage_ == nullptr || storage_ != other.storage_) {
    Reset();
    CopyFrom(other);
    other.Reset();
    return *this;
  }
  if (other.Contains(this)) {
    // The destination lies inside the source, which ends empty: nothing of it survives.
    other.Reset();
    return *this;
  }
  BindingProperty copy(other);
  other.Reset();  // before this node's reset, which may free `other`
  Reset();
  CopyFrom(copy);
  return *this;
}

bool BindingProperty::Contains(const BindingProperty* node) const {
  WorkStack<const BindingProperty*> work;
  work.push(this);
  while (!work.empty()) {
    const BindingProperty* current = work.pop();
    if (current == node) return true;
    if (current->tag_ == BindingType::kCollection) {
      for (const BindingProperty& element : current->Elements()) {
        if (&element == node) return true;
        if (element.tag_ >= BindingType::kCollection) work.push(&element);
      }
    } else if (current->tag_ == BindingType::kStructure) {
      for (const BindingFieldSlot& slot : SlotsOf(current->payload_.structure)) {
        if (slot.value == node) return true;
        if (slot.value->tag_ >= BindingType::kCollection) work.push(slot.value);
      }
    }
  }
  return false;
}

bool BindingProperty::CopyShallow(const BindingProperty& source) {
  switch (source.tag_) {
    case BindingType::kEmpty:
      return false;
    case BindingType::kBool:
    case BindingType::kSigned:
    case BindingType::kUnsigned:
    case BindingType::kFloat:
      payload_ = source.payload_;
      tag_ = source.tag_;
      return false;
    case BindingType::kString: {
      const InternedString* entry = source.payload_.string;
      if (entry->size() == 0) {
        payload_.string = entry;
      } else if (storage_ != nullptr && storage_ == source.storage_) {
        StringInternTable::AddRef(entry);
        payload_.string = entry;
      } else {
        payload_.string = EnsureStorage()->strings().Intern(entry->view());
      }
      tag_ = BindingType::kString;
      return false;
    }
    case BindingType::kBlob:
      SetBlob(source.payload_.blob->bytes);
      return false;
    case BindingType::kEnum:
      SetEnum(*source.payload_.enumeration);
      return false;
    case BindingType::kCollection:
      MakeCollection();
      Reserve(source.payload_.collection->size);
      return true;
    case BindingType::kStructure:
      MakeStructure();
      ReserveFields(source.payload_.structure->size);
      return true;
  }
  return false;
}

void BindingProperty::CopyFrom(const BindingProperty& source) {
  if (!CopyShallow(source)) return;
  struct Item {
    const BindingProperty* from;
    BindingProperty* to;
  };
  WorkStack<Item> work;
  work.push({&source, this});
  while (!work.empty()) {
    const Item item = work.pop();
    BindingStorage* storage = item.to->storage_;
    if (item.from->tag_ == BindingType::kCollection) {
      BindingCollectionRecord* target = item.to->payload_.collection;
      for (const BindingProperty& element : item.from->Elements()) {
        // Capacity was reserved, so earlier elements do not move.
        BindingProperty* copy =
            new (&target->data[target->size]) BindingProperty(ElementKey(), storage);
        ++target->size;
        if (copy->CopyShallow(element)) work.push({&element, copy});
      }
    } else {
      const bool same_storage = storage == item.from->storage_;
      for (const BindingFieldSlot& slot : SlotsOf(item.from->payload_.structure)) {
        const InternedString* entry = slot.key;
        if (same_storage) {
          StringInternTable::AddRef(entry);
        } else {
          entry = storage->strings().Intern(entry->view());
        }
        // Source order is the target order, so each field goes at the end.
        BindingProperty& copy = item.to->InsertField(item.to->payload_.structure->size, entry);
        if (copy.CopyShallow(*slot.value)) work.push({slot.value, &copy});
      }
    }
  }
}

// ---- Setters ----

void BindingProperty::SetString(std::string_view text) {
  // Intern before the reset: the text may belong to this node's own payload.
  const InternedString* entry =
      text.empty() ? InternedString::Empty() : EnsureStorage()->strings().Intern(text);
  Reset();
  payload_.string = entry;
  tag_ = BindingType::kString;
}

void BindingProperty::InstallBlob(BindingBlobRecord* record) {
  Reset();
  record->LinkAfter(storage_->blob_records());
  payload_.blob = record;
  tag_ = BindingType::kBlob;
}

void BindingProperty::NewBlob(const uint8_t* data, size_t size) {
  auto* record = NewRecord<BindingBlobRecord>(EnsureStorage());
  try {
    new (record) BindingBlobRecord();
    record->bytes.assign(data, data + size);
  } catch (...) {
    DeleteRecord(storage_, record);
    throw;
  }
  InstallBlob(record);
}

void BindingProperty::SetBlob(const std::vector<uint8_t>& bytes) {
  NewBlob(bytes.data(), bytes.size());
}

void BindingProperty::SetBlob(std::vector<uint8_t>&& bytes) {
  auto* record = new (NewRecord<BindingBlobRecord>(EnsureStorage())) BindingBlobRecord();
  record->bytes = std::move(bytes);
  InstallBlob(record);
}

void BindingProperty::SetBlob(const void* data, size_t size) {
  NewBlob(static_cast<const uint8_t*>(data), data == nullptr ? 0 : size);
}

void BindingProperty::SetEnum(BindingEnum value) {
  auto* record = new (NewRecord<BindingEnum>(EnsureStorage())) BindingEnum(value);
  Reset();
  payload_.enumeration = record;
  tag_ = BindingType::kEnum;
}

void BindingProperty::MakeCollection() {
  if (tag_ == BindingType::kCollection) return;
  Reset();
  BindingStorage* storage = EnsureStorage();
  payload_.collection = new (NewRecord<BindingCollectionRecord>(storage)) BindingCollectionRecord();
  payload_.collection->LinkAfter(storage->collection_records());
  tag_ = BindingType::kCollection;
}

void BindingProperty::MakeStructure() {
  if (tag_ == BindingType::kStructure) return;
  Reset();
  BindingStorage* storage = EnsureStorage();
  payload_.structure = new (NewRecord<BindingStructureRecord>(storage)) BindingStructureRecord();
  payload_.structure->LinkAfter(storage->structure_records());
  tag_ = BindingType::kStructure;
}

void BindingProperty::MakeCollection(size_t room) {
  if (tag_ != BindingType::kEmpty || room > kMaxCollectionSize) {
    MakeCollection();
    Reserve(room);
    return;
  }
  MakeCollection();
  if (room == 0) return;
  BindingCollectionRecord* record = payload_.collection;
  record->data = static_cast<BindingProperty*>(
      storage_->allocator().AllocateAny(room * sizeof(BindingProperty)));
  record->capacity = static_cast<uint32_t>(room);
}

void BindingProperty::MakeStructure(size_t room) {
  if (tag_ != BindingType::kEmpty || room > kMaxCollectionSize) {
    MakeStructure();
    ReserveFields(room);
    return;
  }
  MakeStructure();
  if (room == 0) return;
  BindingStructureRecord* record = payload_.structure;
  record->slots = static_cast<BindingFieldSlot*>(
      storage_->allocator().AllocateAny(room * sizeof(BindingFieldSlot)));
  record->capacity = static_cast<uint32_t>(room);
}

void BindingProperty::ReserveFields(size_t n) {
  if (tag_ != BindingType::kStructure) return;
  if (n > kMaxCollectionSize) throw std::length_error("BindingProperty::ReserveFields");
  if (n > payload_.structure->capacity) GrowStructure(n);
}

void BindingProperty::GrowStructure(size_t capacity) {
  BindingStructureRecord* record = payload_.structure;
  auto* slots = static_cast<BindingFieldSlot*>(
      storage_->allocator().AllocateAny(capacity * sizeof(BindingFieldSlot)));
  if (record->size != 0) std::memcpy(slots, record->slots, record->size * sizeof(BindingFieldSlot));
  if (record->slots != nullptr) {
    storage_->allocator().FreeAny(record->slots, record->capacity * sizeof(BindingFieldSlot));
  }
  record->slots = slots;
  record->capacity = static_cast<uint32_t>(capacity);
}

void BindingProperty::Reserve(size_t n) {
  if (tag_ != BindingType::kCollection) return;
  if (n > kMaxCollectionSize) throw std::length_error("BindingProperty::Reserve");
  if (n > payload_.collection->capacity) GrowCollection(n);
}

void BindingProperty::GrowCollection(size_t capacity) {
  BindingCollectionRecord* record = payload_.collection;
  auto* data = static_cast<BindingProperty*>(
      storage_->allocator().AllocateAny(capacity * sizeof(BindingProperty)));
  for (uint32_t i = 0; i < record->size; ++i) {
    new (&data[i]) BindingProperty(RelocateKey(), record->data[i]);
    record->data[i].~BindingProperty();
  }
  if (record->data != nullptr) {
    storage_->allocator().FreeAny(record->data, record->capacity * sizeof(BindingProperty));
  }
  record->data = data;
  record->capacity = static_cast<uint32_t>(capacity);
}

// ---- Release ----

void BindingProperty::ReleasePayload() {
  BindingStorage* storage = storage_;
  switch (tag_) {
    case BindingType::kString:
      if (payload_.string->size() != 0) storage->strings().Release(payload_.string);
      return;
    case BindingType::kBlob:
      payload_.blob->Unlink();
      DeleteRecord(storage, payload_.blob);
      return;
    case BindingType::kEnum:
      DeleteRecord(storage, payload_.enumeration);
      return;
    case BindingType::kCollection:
    case BindingType::kStructure:
      break;
    default:
      return;
  }
  // Containers are released from two lists linked through their records, so a tree of any
  // depth or width is released without recursion and without allocating.
  BindingCollectionRecord* collections = nullptr;
  BindingStructureRecord* structures = nullptr;
  auto detach = [&](BindingProperty& node) {
    switch (node.tag_) {
      case BindingType::kString:
        storage->strings().Release(node.payload_.string);
        break;
      case BindingType::kBlob:
        node.payload_.blob->Unlink();
        DeleteRecord(storage, node.payload_.blob);
        break;
      case BindingType::kEnum:
        DeleteRecord(storage, node.payload_.enumeration);
        break;
      case BindingType::kCollection:
        node.payload_.collection->pending = collections;
        collections = node.payload_.collection;
        break;
      case BindingType::kStructure:
        node.payload_.structure->pending = structures;
        structures = node.payload_.structure;
        break;
      default:
        break;
    }
    node.tag_ = BindingType::kEmpty;
  };
  detach(*this);
  while (collections != nullptr || structures != nullptr) {
    if (collections != nullptr) {
      BindingCollectionRecord* record = collections;
      collections = record->pending;
      for (uint32_t i = 0; i < record->size; ++i) {
        detach(record->data[i]);
        record->data[i].~BindingProperty();
      }
      if (record->data != nullptr) {
        storage->allocator().FreeAny(record->data, record->capacity * sizeof(BindingProperty));
      }
      record->Unlink();
      DeleteRecord(storage, record);
    } else {
      BindingStructureRecord* record = structures;
      structures = record->pending;
      for (const BindingFieldSlot& slot : SlotsOf(record)) {
        storage->strings().Release(slot.key);
        detach(*slot.value);
        slot.value->~BindingProperty();
        storage->allocator().Free(slot.value, sizeof(BindingProperty));
      }
      if (record->slots != nullptr) {
        storage->allocator().FreeAny(record->slots, record->capacity * sizeof(BindingFieldSlot));
      }
      record->Unlink();
      DeleteRecord(storage, record);
    }
  }
}

// ---- Inspection and access ----

size_t BindingProperty::size() const {
  switch (tag_) {
    case BindingType::kEmpty:
      return 0;
    case BindingType::kString:
      return payload_.string->size();
    case BindingType::kBlob:
      return payload_.blob->bytes.size();
    case BindingType::kCollection:
      return payload_.collection->size;
    case BindingType::kStructure:
      return payload_.structure->size;
    default:
      return 1;
  }
}

size_t BindingProperty::size_for_append() const {
  return tag_ == BindingType::kCollection ? payload_.collection->size : 0;
}

const std::vector<uint8_t>& BindingProperty::GetBlob(const std::vector<uint8_t>& def) const {
  return tag_ == BindingType::kBlob ? payload_.blob->bytes : def;
}

const std::vector<uint8_t>& BindingProperty::GetBlob() const { return GetBlob(EmptyBlob()); }

BindingEnum BindingProperty::GetEnum(BindingEnum def) const {
  return tag_ == BindingType::kEnum ? *payload_.enumeration : def;
}

const BindingProperty& BindingProperty::Element(size_t index) const {
  if (tag_ != BindingType::kCollection || index >= payload_.collection->size) {
    return EmptyValue();
  }
  return payload_.collection->data[index];
}

BindingProperty& BindingProperty::MutableElement(size_t index) {
  // A decoder's common step, kept small: the next element of a collection with room.
  if (tag_ == BindingType::kCollection) {
    BindingCollectionRecord* record = payload_.collection;
    if (index == record->size && index < record->capacity) {
      auto* element = new (&record->data[index]) BindingProperty(ElementKey(), storage_);
      record->size = static_cast<uint32_t>(index + 1);
      return *element;
    }
  }
  return MutableElementSlow(index);
}

BindingProperty& BindingProperty::MutableElementSlow(size_t index) {
  MakeCollection();
  BindingCollectionRecord* record = payload_.collection;
  if (index < record->size) return record->data[index];
  if (index >= kMaxCollectionSize) throw std::length_error("BindingProperty::MutableElement");
  if (index >= record->capacity) {
    const size_t doubled = std::max<size_t>(4, size_t{record->capacity} * 2);
    GrowCollection(std::min(kMaxCollectionSize, std::max(index + 1, doubled)));
  }
  while (record->size <= index) {
    new (&record->data[record->size]) BindingProperty(ElementKey(), storage_);
    ++record->size;
  }
  return record->data[index];
}

std::span<BindingProperty> BindingProperty::Elements() {
  if (tag_ != BindingType::kCollection) return {};
  return {payload_.collection->data, payload_.collection->size};
}

std::span<const BindingProperty> BindingProperty::Elements() const {
  if (tag_ != BindingType::kCollection) return {};
  return {payload_.collection->data, payload_.collection->size};
}

const BindingProperty* BindingProperty::FindField(std::string_view name) const {
  if (tag_ != BindingType::kStructure) return nullptr;
  const BindingStructureRecord* record = payload_.structure;
  const size_t index = LowerBound(record, name);
  if (index == record->size || record->slots[index].key->view() != name) return nullptr;
  return record->slots[index].value;
}

const BindingProperty& BindingProperty::Field(std::string_view name) const {
  const BindingProperty* field = FindField(name);
  return field == nullptr ? EmptyValue() : *field;
}

namespace {

// Slots above an insertion point move one by one up to this many (a remembered key
// sequence's longest), and with memmove beyond.
constexpr size_t kSlotsMovedInPlace = FieldInsertMemo::kMaxSteps;

// Whether `key` holds `name`: inline for the short keys of records, where a call to memcmp
// costs more than the comparison.
[[gnu::always_inline]] inline bool IsKey(const InternedString* key, std::string_view name) {
  return key->size() == name.size() &&
         InternedText::EqualBytes(key->data(), name.data(), name.size());
}

// Puts `key` and `value` at `index` of the record's sorted slots.
// REQUIRES: the record has room for one more slot.
[[gnu::always_inline]] inline void PlaceSlot(BindingStructureRecord* record, size_t index,
                                             const InternedString* key, BindingProperty* value) {
  BindingFieldSlot* slots = record->slots;
  const size_t size = record->size;
  if (size - index > kSlotsMovedInPlace) {
    std::memmove(&slots[index + 1], &slots[index], (size - index) * sizeof(BindingFieldSlot));
  } else {
    // A record's few slots move one by one: a call to memmove costs more than the move. The
    // empty asm keeps the optimiser from turning the loop back into that call.
    for (size_t i = size; i > index;) {
      --i;
      asm("" : "+r"(i));
      slots[i + 1] = slots[i];
    }
  }
  slots[index] = BindingFieldSlot{key, value};
  record->size = static_cast<uint32_t>(size + 1);
}

}  // namespace

BindingProperty& BindingProperty::MutableField(std::string_view name) {
  // The common step of records of one shape, kept apart so that it stays small: the
  // structure follows a remembered key sequence, is given the sequence's next key, and has
  // room for it. Everything else goes the long way.
  if (tag_ == BindingType::kStructure) {
    BindingStructureRecord* record = payload_.structure;
    const uint32_t size = record->size;
    if (record->memo_generation != 0 && size != 0 && size < record->capacity) {
      const FieldInsertMemo& memo = storage_->insert_memos()->slots[record->memo_slot];
      if (memo.generation == record->memo_generation && size < memo.size &&
          memo.erasures == storage_->strings().erasures() &&
          name.size() <= 16 &&  // longer keys are compared by a call, which needs a frame
          IsKey(memo.keys[size], name)) {
        if (void* memory = storage_->allocator().TryAllocate(sizeof(BindingProperty))) {
          auto* value = new (memory) BindingProperty(ElementKey(), storage_);
          const InternedString* key = memo.keys[size];
          StringInternTable::AddRef(key);
          PlaceSlot(record, memo.positions[size], key, value);
          return *value;
        }
      }
    }
  }
  return MutableFieldSlow(name);
}

BindingProperty& BindingProperty::MutableFieldSlow(std::string_view name) {
  if (tag_ == BindingType::kEmpty && storage_ != nullptr && !name.empty()) {
    if (BindingProperty* value = BeginKnownStructure(name)) return *value;
  }
  MakeStructure();
  BindingStructureRecord* record = payload_.structure;
  const size_t size = record->size;
  FieldInsertMemo* memo = nullptr;  // the sequence this structure follows, if any
  if (name.empty()) {
    record->memo_generation = 0;
  } else if (size == 0) {
    FieldInsertMemos* memos = storage_->insert_memos_for_new_structure();
    if (memos != nullptr) {
      const size_t slot = FieldInsertMemos::SlotFor(name);
      memo = &memos->slots[slot];
      record->memo_slot = static_cast<uint8_t>(slot);
      record->memo_generation = memo->generation;
      if (memo->size == 0 || memo->erasures != storage_->strings().erasures() ||
          !IsKey(memo->keys[0], name)) {
        // Another first key: the slot records this structure's sequence from now on.
        memo = &memos->Restart(slot, storage_->strings().erasures());
        record->memo_generation = memo->generation;
      } else if (memo->size > record->capacity) {
        // Likely the sequence's shape again: its slots at once, not grown on the way.
        GrowStructure(memo->size);
      }
    }
  } else if (record->memo_generation != 0) {
    memo = &storage_->insert_memos()->slots[record->memo_slot];
    if (memo->generation != record->memo_generation ||
        memo->erasures != storage_->strings().erasures() || size > memo->size ||
        size == FieldInsertMemo::kMaxSteps) {
      record->memo_generation = 0;
      memo = nullptr;
    }
  }
  if (memo != nullptr && size < memo->size) {
    // The structure holds the sequence's first `size` keys, which differ from its next one.
    const InternedString* key = memo->keys[size];
    if (IsKey(key, name)) {
      StringInternTable::AddRef(key);
      return InsertField(memo->positions[size], key);
    }
    record->memo_generation = 0;  // it leaves the sequence here
    memo = nullptr;
  }
  // Fields often arrive in ascending order (sorted writers, records of one shape): a key
  // above the last one goes at the end without a search.
  size_t index = size;
  if (index != 0 && !BindingKeyLess::Less(record->slots[index - 1].key->view(), name)) {
    index = index <= 16 ? LowerBoundFromEnd(record, name, index - 1) : LowerBound(record, name);
    if (index < record->size && IsKey(record->slots[index].key, name)) {
      return *record->slots[index].value;
    }
  }
  const InternedString* key = storage_->strings().Intern(name);
  BindingProperty& value = InsertField(index, key);
  if (memo != nullptr) {
    // At the end of the sequence it follows: the sequence grows by this step.
    memo->keys[size] = key;
    memo->positions[size] = static_cast<uint8_t>(index);
    memo->size = static_cast<uint32_t>(size + 1);
  }
  return value;
}

BindingProperty* BindingProperty::BeginKnownStructure(std::string_view name) {
  // The first field of a record of a remembered shape (a list of records built one by one):
  // the structure is made with room for the whole sequence and its first field in one step,
  // where the long way makes an empty structure, grows it and then inserts.
  FieldInsertMemos* memos = storage_->insert_memos();
  if (memos == nullptr) return nullptr;
  const size_t slot = FieldInsertMemos::SlotFor(name);
  const FieldInsertMemo& memo = memos->slots[slot];
  if (memo.size == 0 || memo.erasures != storage_->strings().erasures() ||
      !IsKey(memo.keys[0], name)) {
    return nullptr;
  }
  auto* record = new (NewRecord<BindingStructureRecord>(storage_)) BindingStructureRecord();
  record->LinkAfter(storage_->structure_records());
  record->memo_slot = static_cast<uint8_t>(slot);
  record->memo_generation = memo.generation;
  payload_.structure = record;
  tag_ = BindingType::kStructure;
  // From here a failure leaves an empty structure, as the long way would.
  record->slots = static_cast<BindingFieldSlot*>(
      storage_->allocator().AllocateAny(memo.size * sizeof(BindingFieldSlot)));
  record->capacity = memo.size;
  auto* value = new (storage_->allocator().Allocate(sizeof(BindingProperty)))
      BindingProperty(ElementKey(), storage_);
  const InternedString* key = memo.keys[0];
  StringInternTable::AddRef(key);
  record->slots[0] = BindingFieldSlot{key, value};
  record->size = 1;
  return value;
}

BindingProperty& BindingProperty::AppendField(std::string_view name) {
  MakeStructure();
  return AppendField(storage_->strings().Intern(name));
}

BindingProperty& BindingProperty::AppendFieldSlow(const InternedString* key) {
  try {
    MakeStructure();
  } catch (...) {
    storage_->strings().Release(key);
    throw;
  }
  BindingStructureRecord* record = payload_.structure;
  // FinishFields sorts, and a record of a shape it sorted lately costs it no comparison.
  if (record->size != 0) record->unordered = true;
  record->memo_generation = 0;
  return InsertField(record->size, key);
}

bool BindingProperty::FinishFieldsByMemo() {
  BindingStructureRecord* record = payload_.structure;
  const FieldOrderMemo* known =
      storage_->field_orders().Find(record->slots, record->size, storage_->strings().erasures());
  if (known == nullptr) return false;
  known->Apply(record->slots, record->size);
  record->unordered = false;
  return true;
}

void BindingProperty::FinishFields() {
  if (TryFinishFieldsWithoutFreeing()) return;
  BindingStructureRecord* record = payload_.structure;
  BindingFieldSlot* const slots = record->slots;
  const size_t size = record->size;
  FieldOrderMemos& memos = storage_->field_orders();
  // A shape of more fields than a memo holds leaves the memos as they are.
  FieldOrderMemo* memo =
      size <= FieldOrderMemo::kMaxFields ? &memos.Replace(size, slots[0].key) : nullptr;
  if (memo != nullptr) {
    memo->size = 0;
    for (size_t i = 0; i < size; ++i) memo->keys[i] = slots[i].key;
  }
  const auto less = [](const BindingFieldSlot& a, const BindingFieldSlot& b) {
    return a.key != b.key && BindingKeyLess::Less(a.key->view(), b.key->view());
  };
  // Stable, so that repeated keys stay in the order they came. A record's handful of fields
  // sorts in place; std::stable_sort would take a buffer from the heap for each.
  constexpr size_t kInsertionSortLimit = 32;
  if (size <= kInsertionSortLimit) {
    for (size_t i = 1; i < size; ++i) {
      const BindingFieldSlot moving = slots[i];
      size_t j = i;
      for (; j > 0 && less(moving, slots[j - 1]); --j) slots[j] = slots[j - 1];
      slots[j] = moving;
    }
  } else {
    std::stable_sort(slots, slots + size, less);
  }
  // Of each run of one key, the last value stays.
  size_t kept = 0;
  for (size_t i = 0; i < size; ++i) {
    if (i + 1 < size && slots[i + 1].key == slots[i].key) {
      storage_->strings().Release(slots[i].key);
      // Releases its payload: the node does not own the storage.
      slots[i].value->~BindingProperty();
      storage_->allocator().Free(slots[i].value, sizeof(BindingProperty));
      continue;
    }
    slots[kept++] = slots[i];
  }
  record->size = static_cast<uint32_t>(kept);
  record->unordered = false;
  // Only an order without repeated keys is remembered: it is a plain permutation.
  if (memo != nullptr && kept == size) memo->Learn(slots, size, storage_->strings().erasures());
}

BindingProperty& BindingProperty::InsertField(size_t index, const InternedString* key) {
  BindingStructureRecord* record = payload_.structure;
  BindingProperty* value;
  try {
    if (record->size == record->capacity) {
      if (record->size >= kMaxCollectionSize) throw std::length_error("BindingProperty::field");
      // A record's handful of fields first, then room for a typical record's dozen at once
      // (the slot array leaves the small-object allocator there anyway), then doubling.
      const size_t grown = record->capacity == 0   ? 4
                           : record->capacity == 4 ? 16
                                                   : size_t{record->capacity} * 2;
      GrowStructure(std::min(kMaxCollectionSize, grown));
    }
    value = new (storage_->allocator().Allocate(sizeof(BindingProperty)))
        BindingProperty(ElementKey(), storage_);
  } catch (...) {
    storage_->strings().Release(key);
    throw;
  }
  PlaceSlot(record, index, key, value);
  return *value;
}

BindingFieldRange<false> BindingProperty::Fields() {
  return BindingFieldRange<false>(tag_ == BindingType::kStructure ? payload_.structure : nullptr);
}

BindingFieldRange<true> BindingProperty::Fields() const {
  return BindingFieldRange<true>(tag_ == BindingType::kStructure ? payload_.structure : nullptr);
}

// ---- Equality ----

bool operator==(const BindingProperty& a, const BindingProperty& b) {
  struct Item {
    const BindingProperty* a;
    const BindingProperty* b;
  };
  WorkStack<Item> work;
  work.push({&a, &b});
  while (!work.empty()) {
    const Item item = work.pop();
    const BindingProperty& x = *item.a;
    const BindingProperty& y = *item.b;
    if (x.tag_ != y.tag_) return false;
    switch (x.tag_) {
      case BindingType::kEmpty:
        break;
      case BindingType::kBool:
      case BindingType::kSigned:
      case BindingType::kUnsigned:
        if (x.payload_.u64 != y.payload_.u64) return false;
        break;
      case BindingType::kFloat:
        if (!(x.payload_.f64 == y.payload_.f64)) return false;
        break;
      case BindingType::kString:
        if (x.payload_.string->view() != y.payload_.string->view()) return false;
        break;
      case BindingType::kBlob:
        if (x.payload_.blob->bytes != y.payload_.blob->bytes) return false;
        break;
      case BindingType::kEnum:
        if (*x.payload_.enumeration != *y.payload_.enumeration) return false;
        break;
      case BindingType::kCollection: {
        auto xs = x.Elements();
        auto ys = y.Elements();
        if (xs.size() != ys.size()) return false;
        for (size_t i = 0; i < xs.size(); ++i) work.push({&xs[i], &ys[i]});
        break;
      }
      case BindingType::kStructure: {
        const std::span<BindingFieldSlot> xs = SlotsOf(x.payload_.structure);
        const std::span<BindingFieldSlot> ys = SlotsOf(y.payload_.structure);
        if (xs.size() != ys.size()) return false;
        for (size_t i = 0; i < xs.size(); ++i) {
          if (xs[i].key->view() != ys[i].key->view()) return false;
          work.push({xs[i].value, ys[i].value});
        }
        break;
      }
    }
  }
  return true;
}

}  // namespace Voro
