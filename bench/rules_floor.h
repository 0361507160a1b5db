// The least the value tree's rules ask of anything that builds one, done without the tree:
// every key and text interned in a fresh table, one node per field and one record per
// structure or collection from the small-object allocator, slot and element arrays of
// exactly the size needed. The storage goes back in one sweep and the heap arrays one by
// one, as the tree's own are. A benchmark measures the tree, or a reader building one,
// against this floor fed the same input.
//
// Two rules are kept only with kKeyRules: a key given to a structure is looked for among its
// keys (by entry: interned keys are equal exactly when they are one entry) before a field is
// added, and each structure is put in key order once, after its last field (the cheapest way
// to keep that rule when a structure's fields come all at once), by an order remembered for
// its shape. Without them the fields stay as given: less than the rules ask, so a bound
// below which the tree cannot go.
//
// Nodes, and the records and arrays of structures and collections, have the tree's own
// layout and tags, so what is built can be walked as the tree is (bench_json's write floor).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "binding/value/binding_storage.h"

namespace kivbench {

template <bool kKeyRules>
class RulesFloor {
 public:
  struct Node {  // a node's bytes: payload, storage, tag
    uint64_t payload;
    void* storage;
    uint8_t tag;
  };
  static_assert(sizeof(Node) == sizeof(Voro::BindingProperty));
  struct Fields {
    Voro::BindingStructureRecord* record;
    Voro::BindingFieldSlot* slots;
    size_t size;
  };

  explicit RulesFloor(std::vector<void*>* heap) : heap_(heap) {}
  ~RulesFloor() {
    for (void* p : *heap_) ::operator delete(p);
    heap_->clear();
  }
  RulesFloor(const RulesFloor&) = delete;
  RulesFloor& operator=(const RulesFloor&) = delete;

  // Room for `n` distinct texts, as a reader reserves for a large input.
  void ReserveStrings(size_t n) { storage_.strings().Reserve(n); }

  // A structure of up to `n` fields in `into`; its record holds them once Finish is called.
  Fields Structure(Node* into, size_t n) {
    auto* record = new (Record(sizeof(Voro::BindingStructureRecord))) Voro::BindingStructureRecord;
    record->slots = static_cast<Voro::BindingFieldSlot*>(Array(n * sizeof(Voro::BindingFieldSlot)));
    into->payload = reinterpret_cast<uintptr_t>(record);
    into->tag = static_cast<uint8_t>(Voro::BindingType::kStructure);
    return {record, record->slots, 0};
  }
  // A collection of `n` elements in `into`; the caller fills every element.
  Node* Collection(Node* into, size_t n) {
    auto* record =
        new (Record(sizeof(Voro::BindingCollectionRecord))) Voro::BindingCollectionRecord;
    record->data = static_cast<Voro::BindingProperty*>(Array(n * sizeof(Node)));
    record->size = static_cast<uint32_t>(n);
    into->payload = reinterpret_cast<uintptr_t>(record);
    into->tag = static_cast<uint8_t>(Voro::BindingType::kCollection);
    return reinterpret_cast<Node*>(record->data);
  }
  Node* Field(Fields& fields, std::string_view name) {
    const Voro::InternedString* key = storage_.strings().Intern(name);
    for (size_t i = 0; kKeyRules && i < fields.size; ++i) {
      if (fields.slots[i].key == key) {
        storage_.strings().Release(key);
        return reinterpret_cast<Node*>(fields.slots[i].value);
      }
    }
    auto* node = static_cast<Node*>(storage_.allocator().Allocate(sizeof(Node)));
    *node = Node{0, &storage_, 0};
    fields.slots[fields.size++] =
        Voro::BindingFieldSlot{key, reinterpret_cast<Voro::BindingProperty*>(node)};
    return node;
  }
  // Puts the structure's fields in key order: by the order remembered for the same keys
  // given in the same order (as the tree's readers do), else by sorting and remembering.
  void Finish(const Fields& fields) {
    using Voro::BindingFieldSlot;
    BindingFieldSlot* slots = fields.slots;
    const size_t n = fields.size;
    fields.record->size = static_cast<uint32_t>(n);
    if (!kKeyRules || n < 2) return;
    const uint64_t erasures = storage_.strings().erasures();
    if (const Voro::FieldOrderMemo* known = orders_.Find(slots, n, erasures)) {
      known->Apply(slots, n);
      return;
    }
    const auto less = [](const BindingFieldSlot& a, const BindingFieldSlot& b) {
      return Voro::BindingKeyLess::Less(a.key->view(), b.key->view());
    };
    if (n > Voro::FieldOrderMemo::kMaxFields) {  // more than a memo holds: sorted every time
      std::sort(slots, slots + n, less);
      return;
    }
    Voro::FieldOrderMemo& memo = orders_.Replace(n, slots[0].key);
    for (size_t i = 0; i < n; ++i) memo.keys[i] = slots[i].key;
    for (size_t i = 1; i < n; ++i) {
      const BindingFieldSlot moving = slots[i];
      size_t j = i;
      for (; j > 0 && less(moving, slots[j - 1]); --j) slots[j] = slots[j - 1];
      slots[j] = moving;
    }
    memo.Learn(slots, n, erasures);
  }
  void Text(Node* node, std::string_view text) {
    node->payload = reinterpret_cast<uintptr_t>(storage_.strings().Intern(text));
    node->tag = static_cast<uint8_t>(Voro::BindingType::kString);
  }
  // A copy of `bytes` the node owns, as a blob's.
  void Blob(Node* node, std::string_view bytes) {
    void* copy = Array(bytes.size());
    std::memcpy(copy, bytes.data(), bytes.size());
    node->payload = reinterpret_cast<uintptr_t>(copy);
    node->tag = static_cast<uint8_t>(Voro::BindingType::kBlob);
  }
  // Numbers, booleans and null: bits in the node, nothing else; `tag` says which.
  static void Number(Node* node, uint64_t bits,
                     Voro::BindingType tag = Voro::BindingType::kSigned) {
    node->payload = bits;
    node->tag = static_cast<uint8_t>(tag);
  }

 private:
  void* Record(size_t size) { return storage_.allocator().Allocate(size); }
  void* Array(size_t size) {
    void* p = storage_.allocator().AllocateAny(size);
    if (Voro::SmallObjectAllocator::OnHeap(size)) heap_->push_back(p);
    return p;
  }

  Voro::BindingStorage storage_;
  Voro::FieldOrderMemos orders_;
  std::vector<void*>* heap_;
};

}  // namespace kivbench
