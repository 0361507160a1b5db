// Build and destroy a tree shaped like a typical response: a record of 20 fields, one of
// them a list of 1,000 records with strings, integers and nested records. The same shape
// is built as a RapidJSON Document with its default (pool) allocator, copying every key and
// string as its parser would. Reports nodes per second and bytes held per node for both,
// and the speed and memory ratios; then the ratios of the same tree with its keys set in
// ascending order, and with integers instead of texts as well (what ordering and interning
// cost).
//
//   build/default/bench/bench_binding_tree [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "binding/value/binding_property.h"
#include "binding/value/page_source.h"
#include "rules_floor.h"

namespace {

constexpr int kItems = 1000;

// Inputs prepared once, so that only building and destroying is measured.
struct Inputs {
  std::vector<std::string> root_keys;
  std::vector<std::string> root_texts;
  std::vector<std::string> names;
  std::vector<std::string> owners;
  std::vector<std::string> types = {"CHAMPION", "SKIN", "WARD", "BUNDLE"};
  std::vector<std::string> tiers = {"BRONZE", "SILVER", "GOLD", "PLATINUM", "DIAMOND"};

  Inputs() {
    for (int i = 0; i < 19; ++i) {
      root_keys.push_back("rootField" + std::to_string(i));
      root_texts.push_back("value of root field number " + std::to_string(i));
    }
    for (int i = 0; i < kItems; ++i) {
      names.push_back("catalog-item-" + std::to_string(i * 7919));
      owners.push_back("Owner Display Name " + std::to_string(i));
    }
  }
};

const Inputs& GetInputs() {
  static const Inputs inputs;
  return inputs;
}

// Nodes per tree: the root, its 20 fields, and per item the record, its 10 fields and the
// 6 fields of its two nested records.
constexpr int64_t kNodes = 1 + 20 + kItems * (1 + 10 + 4 + 2);

// How the tree is filled. kAsGiven is the measured shape; the other two show what two rules
// of the tree cost (structures kept in key order, every text interned): the same keys set in
// ascending order, and then also integers where the texts were.
enum class Fill { kAsGiven, kKeysInOrder, kKeysInOrderNoTexts };

template <Fill kFill>
void SetText(Voro::BindingProperty& field, const std::string& text, int64_t instead) {
  if constexpr (kFill == Fill::kKeysInOrderNoTexts) {
    field = instead;
  } else {
    field = text;
  }
}

template <Fill kFill>
void BuildBinding(Voro::BindingProperty& root) {
  const Inputs& in = GetInputs();
  for (int i = 0; i < 19; ++i) {
    Voro::BindingProperty& field = root[in.root_keys[i]];
    if (i % 3 == 0) {
      SetText<kFill>(field, in.root_texts[i], i);
    } else if (i % 3 == 1) {
      field = int64_t{i} * 1000003;
    } else {
      field = i % 2 == 0;
    }
  }
  Voro::BindingProperty& items = root["items"];
  items.MakeCollection();
  items.Reserve(kItems);
  for (int i = 0; i < kItems; ++i) {
    Voro::BindingProperty& item = items[i];
    if constexpr (kFill == Fill::kAsGiven) {
      item["id"] = int64_t{i} * 31;
      item["name"] = in.names[i];
      item["type"] = in.types[i % in.types.size()];
      item["price"] = uint64_t(450 + i % 6300);
      item["rp"] = int64_t{975};
      item["owned"] = i % 3 == 0;
      item["score"] = i * 0.25;
      item["active"] = true;
      Voro::BindingProperty& stats = item["stats"];
      stats["wins"] = int64_t{i % 97};
      stats["losses"] = int64_t{i % 89};
      stats["ratio"] = (i % 97) / 97.0;
      stats["tier"] = in.tiers[i % in.tiers.size()];
      Voro::BindingProperty& owner = item["owner"];
      owner["accountId"] = uint64_t{2000000000u} + i;
      owner["displayName"] = in.owners[i];
    } else {
      item["active"] = true;
      item["id"] = int64_t{i} * 31;
      SetText<kFill>(item["name"], in.names[i], i);
      item["owned"] = i % 3 == 0;
      Voro::BindingProperty& owner = item["owner"];
      owner["accountId"] = uint64_t{2000000000u} + i;
      SetText<kFill>(owner["displayName"], in.owners[i], i);
      item["price"] = uint64_t(450 + i % 6300);
      item["rp"] = int64_t{975};
      item["score"] = i * 0.25;
      Voro::BindingProperty& stats = item["stats"];
      stats["losses"] = int64_t{i % 89};
      stats["ratio"] = (i % 97) / 97.0;
      SetText<kFill>(stats["tier"], in.tiers[i % in.tiers.size()], i);
      stats["wins"] = int64_t{i % 97};
      SetText<kFill>(item["type"], in.types[i % in.types.size()], i);
    }
  }
}

using JsonValue = rapidjson::Value;
using JsonAllocator = rapidjson::Document::AllocatorType;

void AddString(JsonValue& object, const std::string& key, const std::string& text,
               JsonAllocator& a) {
  object.AddMember(JsonValue(key.c_str(), static_cast<rapidjson::SizeType>(key.size()), a),
                   JsonValue(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a), a);
}

template <typename T>
void AddNumber(JsonValue& object, const char* key, T number, JsonAllocator& a) {
  object.AddMember(JsonValue(key, a), JsonValue(number), a);
}

void BuildJson(rapidjson::Document& doc) {
  const Inputs& in = GetInputs();
  JsonAllocator& a = doc.GetAllocator();
  doc.SetObject();
  for (int i = 0; i < 19; ++i) {
    if (i % 3 == 0) {
      AddString(doc, in.root_keys[i], in.root_texts[i], a);
    } else if (i % 3 == 1) {
      doc.AddMember(JsonValue(in.root_keys[i].c_str(), a), JsonValue(int64_t{i} * 1000003), a);
    } else {
      doc.AddMember(JsonValue(in.root_keys[i].c_str(), a), JsonValue(i % 2 == 0), a);
    }
  }
  JsonValue items(rapidjson::kArrayType);
  items.Reserve(kItems, a);
  for (int i = 0; i < kItems; ++i) {
    JsonValue item(rapidjson::kObjectType);
    AddNumber(item, "id", int64_t{i} * 31, a);
    AddString(item, "name", in.names[i], a);
    AddString(item, "type", in.types[i % in.types.size()], a);
    AddNumber(item, "price", uint64_t(450 + i % 6300), a);
    AddNumber(item, "rp", int64_t{975}, a);
    AddNumber(item, "owned", i % 3 == 0, a);
    AddNumber(item, "score", i * 0.25, a);
    AddNumber(item, "active", true, a);
    JsonValue stats(rapidjson::kObjectType);
    AddNumber(stats, "wins", int64_t{i % 97}, a);
    AddNumber(stats, "losses", int64_t{i % 89}, a);
    AddNumber(stats, "ratio", (i % 97) / 97.0, a);
    AddString(stats, "tier", in.tiers[i % in.tiers.size()], a);
    item.AddMember(JsonValue("stats", a), stats, a);
    JsonValue owner(rapidjson::kObjectType);
    AddNumber(owner, "accountId", uint64_t{2000000000u} + i, a);
    AddString(owner, "displayName", in.owners[i], a);
    item.AddMember(JsonValue("owner", a), owner, a);
    items.PushBack(item, a);
  }
  doc.AddMember(JsonValue("items", a), items, a);
}

// Bytes in use on the C heap (arena and mmapped chunks).
size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// Memory a built tree holds: heap growth plus the 4096-byte pages it took from the page
// source. Spare blocks the source keeps mapped count no more than the free memory malloc
// keeps for RapidJSON.
double BindingBytesPerNode() {
  Voro::PageSource& pages = Voro::PageSource::Default();
  const size_t heap_before = HeapInUse();
  const size_t pages_before = pages.pages_in_use();
  double bytes;
  {
    Voro::BindingProperty root;
    BuildBinding<Fill::kAsGiven>(root);
    const size_t page_count = pages.pages_in_use() - pages_before;
    bytes = static_cast<double>(HeapInUse() - heap_before) +
            static_cast<double>(page_count * Voro::PageSource::kPageSize);
  }
  return bytes / kNodes;
}

double JsonBytesPerNode() {
  const size_t heap_before = HeapInUse();
  double bytes;
  {
    rapidjson::Document doc;
    BuildJson(doc);
    bytes = static_cast<double>(HeapInUse() - heap_before);
  }
  return bytes / kNodes;
}

template <Fill kFill>
void BM_BindingPropertyTree(benchmark::State& state) {
  for (auto _ : state) {
    Voro::BindingProperty root;
    BuildBinding<kFill>(root);
    benchmark::DoNotOptimize(root);
  }
  state.counters["nodes/s"] = benchmark::Counter(static_cast<double>(kNodes),
                                                 benchmark::Counter::kIsIterationInvariantRate);
  if constexpr (kFill == Fill::kAsGiven) state.counters["bytes/node"] = BindingBytesPerNode();
}
BENCHMARK(BM_BindingPropertyTree<Fill::kAsGiven>)
    ->Name("BM_BindingPropertyTree")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BindingPropertyTree<Fill::kKeysInOrder>)
    ->Name("BM_BindingPropertyTree_KeysInOrder")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BindingPropertyTree<Fill::kKeysInOrderNoTexts>)
    ->Name("BM_BindingPropertyTree_KeysInOrderNoTexts")
    ->Unit(benchmark::kMicrosecond);

template <typename Floor>
void BuildFloor(Floor& f, typename Floor::Node* root) {
  using Node = typename Floor::Node;
  using Fields = typename Floor::Fields;
  const Inputs& in = GetInputs();
  Fields fields = f.Structure(root, 20);
  for (int i = 0; i < 19; ++i) {
    Node* field = f.Field(fields, in.root_keys[i]);
    if (i % 3 == 0) {
      f.Text(field, in.root_texts[i]);
    } else {
      Floor::Number(field, uint64_t(i) * 1000003);
    }
  }
  Node* items = f.Collection(f.Field(fields, "items"), kItems);
  for (int i = 0; i < kItems; ++i) {
    Node* item = &items[i];
    *item = Node{0, nullptr, 0};
    Fields slots = f.Structure(item, 10);
    Floor::Number(f.Field(slots, "id"), uint64_t(i) * 31);
    f.Text(f.Field(slots, "name"), in.names[i]);
    f.Text(f.Field(slots, "type"), in.types[i % in.types.size()]);
    Floor::Number(f.Field(slots, "price"), 450 + i % 6300);
    Floor::Number(f.Field(slots, "rp"), 975);
    Floor::Number(f.Field(slots, "owned"), i % 3 == 0);
    Floor::Number(f.Field(slots, "score"), i);
    Floor::Number(f.Field(slots, "active"), 1);
    Fields stats = f.Structure(f.Field(slots, "stats"), 4);
    Floor::Number(f.Field(stats, "wins"), i % 97);
    Floor::Number(f.Field(stats, "losses"), i % 89);
    Floor::Number(f.Field(stats, "ratio"), i % 97);
    f.Text(f.Field(stats, "tier"), in.tiers[i % in.tiers.size()]);
    f.Finish(stats);
    Fields owner = f.Structure(f.Field(slots, "owner"), 2);
    Floor::Number(f.Field(owner, "accountId"), uint64_t{2000000000u} + i);
    f.Text(f.Field(owner, "displayName"), in.owners[i]);
    f.Finish(owner);
    f.Finish(slots);
  }
  f.Finish(fields);
}

template <bool kKeyRules>
void BM_RulesFloor(benchmark::State& state) {
  using Floor = kivbench::RulesFloor<kKeyRules>;
  std::vector<void*> heap;
  heap.reserve(kItems + 8);
  for (auto _ : state) {
    Floor floor(&heap);
    typename Floor::Node root{0, nullptr, 0};
    BuildFloor(floor, &root);
    benchmark::DoNotOptimize(root);
  }
  state.counters["nodes/s"] = benchmark::Counter(static_cast<double>(kNodes),
                                                 benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_RulesFloor<false>)->Name("BM_RulesFloor")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RulesFloor<true>)->Name("BM_RulesFloor_KeyRules")->Unit(benchmark::kMicrosecond);

void BM_RapidJsonDocument(benchmark::State& state) {
  for (auto _ : state) {
    rapidjson::Document doc;
    BuildJson(doc);
    benchmark::DoNotOptimize(doc);
  }
  state.counters["nodes/s"] = benchmark::Counter(static_cast<double>(kNodes),
                                                 benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes/node"] = JsonBytesPerNode();
}
BENCHMARK(BM_RapidJsonDocument)->Unit(benchmark::kMicrosecond);

void PrintRatios(const kivbench::CounterReporter& r) {
  double ours = 0, theirs = 0, our_bytes = 0, their_bytes = 0;
  if (!r.Find("BM_BindingPropertyTree", "nodes/s", &ours) ||
      !r.Find("BM_RapidJsonDocument", "nodes/s", &theirs)) {
    return;
  }
  std::printf("nodes per tree: %lld\n", static_cast<long long>(kNodes));
  std::printf("speed ratio (BindingProperty / RapidJSON nodes/s): %.2f\n", ours / theirs);
  for (const char* variant : {"KeysInOrder", "KeysInOrderNoTexts"}) {
    double rate = 0;
    if (r.Find(std::string("BM_BindingPropertyTree_") + variant, "nodes/s", &rate)) {
      std::printf("  the same tree, %s: ratio %.2f\n", variant, rate / theirs);
    }
  }
  double floor = 0;
  if (r.Find("BM_RulesFloor", "nodes/s", &floor)) {
    std::printf(
        "  the rules alone, without the tree, keys as given: ratio %.2f (the tree runs at "
        "%.2f of it)\n",
        floor / theirs, ours / floor);
  }
  if (r.Find("BM_RulesFloor_KeyRules", "nodes/s", &floor)) {
    std::printf(
        "  the same with keys found and in order: ratio %.2f (the tree runs at %.2f of it)\n",
        floor / theirs, ours / floor);
  }
  if (r.Find("BM_BindingPropertyTree", "bytes/node", &our_bytes) &&
      r.Find("BM_RapidJsonDocument", "bytes/node", &their_bytes)) {
    std::printf("memory ratio (BindingProperty / RapidJSON bytes/node): %.2f\n",
                our_bytes / their_bytes);
  }
}

}  // namespace

int main(int argc, char** argv) { return kivbench::RunBenchmarks(argc, argv, PrintRatios); }
