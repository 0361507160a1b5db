// JSON reading and writing against RapidJSON's own DOM on the same texts: a ~100 KB nested
// document shaped like a login data packet and a ~5 MB array of records, both generated
// here with a fixed seed, and for parsing also one large object whose member names come in
// descending order.
//
// Parse: ParseJson vs rapidjson::Document::Parse (default flags, recursive), vs the same
// parse with kParseIterativeFlag (the way ParseJson must read, so that no input exhausts the
// stack), vs RapidJSON's SAX reader with a handler that builds nothing, and vs the floor of
// any tree of ours built the way ParseJson reads (simdjson's parse plus interning every
// text; see BM_InternFloor), and vs simdjson's parse feeding the tree's rules done plainly
// (BM_RulesFloor). Write: WriteJson over the parsed tree vs rapidjson::Writer over the
// parsed Document, vs the write floor (the rules' floor built from the same text and written
// plainly through the same formatting; BM_WriteFloor), and vs that Writer over our tree's
// walk (BM_WalkTree). Reports MB/s of JSON text (the compact input), the tree's pages, and
// the ratios at the end.
//
//   build/default/bench/bench_json --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "bench_support.h"
#include "binding/codec/compact_json_writer.h"
#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/value/page_source.h"
#include "rules_floor.h"

namespace {

// A small deterministic generator, so that both documents are the same on every run.
class Random {
 public:
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ >> 16);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
  std::string Word(size_t min, size_t max) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string word(min + Below(static_cast<uint32_t>(max - min + 1)), ' ');
    for (char& c : word) c = kLetters[Below(sizeof(kLetters) - 1)];
    return word;
  }
  double Fraction() { return Below(1000000) / 1000.0 + 0.125; }

 private:
  uint64_t state_ = 0x2545F4914F6CDD1Du;
};

using Value = rapidjson::Value;
using Allocator = rapidjson::Document::AllocatorType;

Value Text(const std::string& text, Allocator& a) {
  return Value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()), a);
}

// Takes `value` over (RapidJSON moves on AddMember), temporary or not.
template <typename V>
void Add(Value& object, const char* key, V&& value, Allocator& a) {
  Value& moved = value;
  object.AddMember(Value(key, a), moved, a);
}

// Account, summoner, settings, a catalogue of champions with their skins, queues and
// friends: the mix of short keys, names, ids, flags and ratios of a login answer.
std::string MakeLoginPacket() {
  Random r;
  rapidjson::Document doc;
  Allocator& a = doc.GetAllocator();
  doc.SetObject();
  Value account(rapidjson::kObjectType);
  Add(account, "accountId", Value(uint64_t{2000000001}), a);
  Add(account, "displayName", Text("Player " + r.Word(5, 10), a), a);
  Add(account, "region", Text("EUW1", a), a);
  Add(account, "createdAt", Value(int64_t{1262304000000}), a);
  Add(account, "emailVerified", Value(true), a);
  Add(doc, "account", account, a);
  Value summoner(rapidjson::kObjectType);
  Add(summoner, "level", Value(187), a);
  Add(summoner, "xpToNext", Value(-1250), a);
  Add(summoner, "icon", Value(4568), a);
  Add(summoner, "ratio", Value(0.5234), a);
  Add(doc, "summoner", summoner, a);
  Value settings(rapidjson::kObjectType);
  for (int i = 0; i < 40; ++i) {
    Add(settings, ("setting" + std::to_string(i)).c_str(),
        i % 3 == 0   ? Text(r.Word(3, 12), a)
        : i % 3 == 1 ? Value(r.Fraction())
                     : Value(i % 2 == 0),
        a);
  }
  Add(doc, "settings", settings, a);
  Value champions(rapidjson::kArrayType);
  for (int i = 0; i < 280; ++i) {
    Value champion(rapidjson::kObjectType);
    Add(champion, "id", Value(i + 1), a);
    Add(champion, "name", Text(r.Word(4, 12), a), a);
    Add(champion, "owned", Value(r.Below(2) == 0), a);
    Add(champion, "freeToPlay", Value(r.Below(10) == 0), a);
    Add(champion, "winRate", Value(r.Fraction() / 1000.0), a);
    Add(champion, "masteryPoints", Value(uint64_t{r.Next()}), a);
    Value skins(rapidjson::kArrayType);
    const uint32_t skin_count = 1 + r.Below(5);
    for (uint32_t s = 0; s < skin_count; ++s) {
      Value skin(rapidjson::kObjectType);
      Add(skin, "id", Value((i + 1) * 1000 + static_cast<int>(s)), a);
      Add(skin, "name", Text(r.Word(6, 20), a), a);
      Add(skin, "owned", Value(s == 0), a);
      skins.PushBack(skin, a);
    }
    Add(champion, "skins", skins, a);
    champions.PushBack(champion, a);
  }
  Add(doc, "champions", champions, a);
  Value queues(rapidjson::kArrayType);
  for (int i = 0; i < 30; ++i) {
    Value queue(rapidjson::kObjectType);
    Add(queue, "id", Value(400 + i), a);
    Add(queue, "type", Text(r.Word(8, 16), a), a);
    Add(queue, "ranked", Value(i % 4 == 0), a);
    Add(queue, "minLevel", Value(i % 30), a);
    Value maps(rapidjson::kArrayType);
    maps.PushBack(11, a).PushBack(12, a);
    Add(queue, "maps", maps, a);
    queues.PushBack(queue, a);
  }
  Add(doc, "queues", queues, a);
  Value friends(rapidjson::kArrayType);
  for (int i = 0; i < 250; ++i) {
    Value peer(rapidjson::kObjectType);
    Add(peer, "summonerId", Value(uint64_t{3000000000u} + r.Below(1000000)), a);
    Add(peer, "name", Text(r.Word(5, 14), a), a);
    Add(peer, "status", Text(i % 3 == 0 ? "inGame" : "online", a), a);
    Add(peer, "note", Text(r.Word(0, 30), a), a);
    friends.PushBack(peer, a);
  }
  Add(doc, "friends", friends, a);
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> writer(out);
  doc.Accept(writer);
  return out.GetString();
}

// Match history records, each a dozen fields with one nested object and a short array.
std::string MakeRecords() {
  Random r;
  rapidjson::Document doc;
  Allocator& a = doc.GetAllocator();
  doc.SetArray();
  for (int i = 0; i < 24000; ++i) {
    Value record(rapidjson::kObjectType);
    Add(record, "gameId", Value(uint64_t{5000000000u} + static_cast<uint64_t>(i)), a);
    Add(record, "champion", Text(r.Word(4, 12), a), a);
    Add(record, "queue", Text(r.Word(6, 10), a), a);
    Add(record, "win", Value(r.Below(2) == 0), a);
    Add(record, "kills", Value(static_cast<int>(r.Below(25))), a);
    Add(record, "deaths", Value(static_cast<int>(r.Below(15))), a);
    Add(record, "delta", Value(static_cast<int>(r.Below(200)) - 100), a);
    Add(record, "gold", Value(r.Fraction()), a);
    Add(record, "duration", Value(r.Below(3600)), a);
    Value stats(rapidjson::kObjectType);
    Add(stats, "damage", Value(r.Below(100000)), a);
    Add(stats, "vision", Value(r.Fraction() / 10.0), a);
    Add(stats, "position", Text(r.Word(3, 7), a), a);
    Add(record, "stats", stats, a);
    Value items(rapidjson::kArrayType);
    for (int k = 0; k < 6; ++k) items.PushBack(Value(3000 + r.Below(200)), a);
    Add(record, "items", items, a);
    doc.PushBack(record, a);
  }
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> writer(out);
  doc.Accept(writer);
  return out.GetString();
}

// One object of 200,000 members whose names come in descending order: the worst order for
// a structure kept sorted, which must still build in n log n.
const std::string& DescendingKeys() {
  static const std::string text = [] {
    std::string out = "{";
    for (int i = 200000; i-- > 0;) {
      out += "\"member-" + std::to_string(1000000 + i) + "\":" + std::to_string(i);
      out += i == 0 ? "}" : ",";
    }
    return out;
  }();
  return text;
}

const std::string& LoginPacket() {
  static const std::string text = MakeLoginPacket();
  return text;
}
const std::string& Records() {
  static const std::string text = MakeRecords();
  return text;
}

void SetRate(benchmark::State& state, const std::string& text) {
  state.counters["MB/s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
  state.counters["KB"] = static_cast<double>(text.size()) / 1000.0;
}

void BM_ParseJson(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  {  // the tree's memory from the page source (arrays over 2 KiB are on the heap besides)
    const size_t before = Voro::PageSource::Default().pages_in_use();
    const Voro::BindingResult tree = Voro::ParseJson(text);
    state.counters["tree pages KB"] = static_cast<double>(
        (Voro::PageSource::Default().pages_in_use() - before) * Voro::PageSource::kPageSize / 1000);
  }
  for (auto _ : state) {
    Voro::BindingResult result = Voro::ParseJson(text);
    if (!result.ok()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(result);
  }
  SetRate(state, text);
}

void BM_RapidJsonParse(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse(text.c_str());
    if (doc.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
  }
  SetRate(state, text);
}

// The DOM parsed the way ParseJson must parse (iteratively, so that no input exhausts the
// stack): the peer doing the same kind of reading as we do.
void BM_RapidJsonParseIterative(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  for (auto _ : state) {
    rapidjson::Document doc;
    doc.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    if (doc.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc);
  }
  SetRate(state, text);
}

// RapidJSON's SAX reader alone, building nothing: the floor under any tree built from it.
void BM_RapidJsonSaxOnly(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  for (auto _ : state) {
    std::string copy = text;  // in situ, as ParseJson reads
    rapidjson::InsituStringStream stream(copy.data());
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::Reader reader;
    if (!reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag>(stream,
                                                                                    handler)) {
      state.SkipWithError("parse failed");
    }
    benchmark::DoNotOptimize(copy);
  }
  SetRate(state, text);
}

// The least ParseJson's simdjson path must do besides building the tree: parse (with a
// parser kept between texts, as ParseJson keeps one) and intern every key and string into a
// fresh per-tree table with the same reserve as ParseJson. The gap between this and
// rapidjson::Document::Parse bounds how close ParseJson can come to the DOM.
void InternAll(simdjson::dom::element root, Voro::StringInternTable& strings) {
  std::vector<simdjson::dom::element> work = {root};
  while (!work.empty()) {
    const simdjson::dom::element element = work.back();
    work.pop_back();
    switch (element.type()) {
      case simdjson::dom::element_type::STRING:
        benchmark::DoNotOptimize(strings.Intern(element.get_string().value_unsafe()));
        break;
      case simdjson::dom::element_type::ARRAY: {
        const simdjson::dom::array array = element.get_array().value_unsafe();
        for (simdjson::dom::element item : array) work.push_back(item);
        break;
      }
      case simdjson::dom::element_type::OBJECT: {
        const simdjson::dom::object object = element.get_object().value_unsafe();
        for (simdjson::dom::key_value_pair field : object) {
          benchmark::DoNotOptimize(strings.Intern(field.key));
          work.push_back(field.value);
        }
        break;
      }
      default:
        break;
    }
  }
}

void BM_InternFloor(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element document;
    if (parser.parse(text.data(), text.size()).get(document) != simdjson::SUCCESS) {
      state.SkipWithError("parse failed");
      break;
    }
    Voro::BindingProperty root;
    if (text.size() / 64 >= (size_t{1} << 14)) root.ReserveStrings(text.size() / 64);
    InternAll(document, root.strings());
  }
  SetRate(state, text);
}

// The tree's rules on simdjson's parse: ParseJson's own front end feeding the rules' floor
// (interning, one node per field, keys found and in key order), done plainly. With a parser
// kept between texts, and with a fresh one per text, as ParseJson takes for a text over
// 1 MiB so that an idle process does not keep a large document's buffers.
using JsonFloor = kivbench::RulesFloor<true>;

// Depth first and in the text's order, as ParseJson builds (the inputs here nest a few
// levels, so recursion is safe).
void BuildFloor(simdjson::dom::element element, JsonFloor& floor, JsonFloor::Node* into) {
  using simdjson::dom::element_type;
  using Voro::BindingType;
  switch (element.type()) {
    case element_type::STRING:
      floor.Text(into, element.get_string().value_unsafe());
      return;
    case element_type::ARRAY: {
      const simdjson::dom::array array = element.get_array().value_unsafe();
      JsonFloor::Node* next = floor.Collection(into, array.size());
      for (simdjson::dom::element item : array) {
        *next = JsonFloor::Node{0, nullptr, 0};
        BuildFloor(item, floor, next++);
      }
      return;
    }
    case element_type::OBJECT: {
      const simdjson::dom::object object = element.get_object().value_unsafe();
      JsonFloor::Fields fields = floor.Structure(into, object.size());
      for (simdjson::dom::key_value_pair field : object) {
        BuildFloor(field.value, floor, floor.Field(fields, field.key));
      }
      floor.Finish(fields);
      return;
    }
    case element_type::INT64: {  // classified as ParseJson does
      const int64_t number = element.get_int64().value_unsafe();
      JsonFloor::Number(into, static_cast<uint64_t>(number),
                        number < 0 ? BindingType::kSigned : BindingType::kUnsigned);
      return;
    }
    case element_type::UINT64:
      JsonFloor::Number(into, element.get_uint64().value_unsafe(), BindingType::kUnsigned);
      return;
    case element_type::DOUBLE:
      JsonFloor::Number(into, std::bit_cast<uint64_t>(element.get_double().value_unsafe()),
                        BindingType::kFloat);
      return;
    case element_type::BOOL:
      JsonFloor::Number(into, element.get_bool().value_unsafe() ? 1 : 0, BindingType::kBool);
      return;
    case element_type::NULL_VALUE:
      JsonFloor::Number(into, 0, BindingType::kEmpty);
      return;
  }
}

template <bool kKeepParser>
void RulesFloor(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  std::vector<void*> heap;
  simdjson::dom::parser kept;
  for (auto _ : state) {
    simdjson::dom::parser fresh;
    simdjson::dom::parser& parser = kKeepParser ? kept : fresh;
    simdjson::dom::element document;
    if (parser.parse(text.data(), text.size()).get(document) != simdjson::SUCCESS) {
      state.SkipWithError("parse failed");
      break;
    }
    JsonFloor floor(&heap);
    floor.ReserveStrings(text.size() / 64);
    JsonFloor::Node root{0, nullptr, 0};
    BuildFloor(document, floor, &root);
    benchmark::DoNotOptimize(root);
  }
  SetRate(state, text);
}
void BM_RulesFloor(benchmark::State& state, const std::string& (*input)()) {
  RulesFloor<true>(state, input);
}
void BM_RulesFloorFreshParser(benchmark::State& state, const std::string& (*input)()) {
  RulesFloor<false>(state, input);
}

void BM_WriteJson(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  const Voro::BindingResult tree = Voro::ParseJson(text);
  for (auto _ : state) {
    std::string out = Voro::WriteJson(tree.value());
    benchmark::DoNotOptimize(out);
  }
  SetRate(state, text);
}

void BM_RapidJsonWrite(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  rapidjson::Document doc;
  doc.Parse(text.c_str());
  for (auto _ : state) {
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    doc.Accept(writer);
    benchmark::DoNotOptimize(out.GetString());
  }
  SetRate(state, text);
}

// The write floor: the floor's tree (the tree's rules done plainly, built as ParseJson
// builds) written by a plain recursive walk through the same CompactJsonWriter as WriteJson.
// What any writer of a tree kept by these rules pays, since the formatting is RapidJSON's.
void WriteFloor(const JsonFloor::Node& node, Voro::CompactJsonWriter& out) {
  using Voro::BindingType;
  switch (static_cast<BindingType>(node.tag)) {
    case BindingType::kStructure: {
      const auto* record = reinterpret_cast<const Voro::BindingStructureRecord*>(node.payload);
      out.StartObject();
      for (uint32_t i = 0; i < record->size; ++i) {
        const Voro::BindingFieldSlot& slot = record->slots[i];
        out.Key(slot.key->data(), slot.key->size());
        WriteFloor(*reinterpret_cast<const JsonFloor::Node*>(slot.value), out);
      }
      out.EndObject();
      return;
    }
    case BindingType::kCollection: {
      const auto* record = reinterpret_cast<const Voro::BindingCollectionRecord*>(node.payload);
      const auto* elements = reinterpret_cast<const JsonFloor::Node*>(record->data);
      out.StartArray();
      for (uint32_t i = 0; i < record->size; ++i) WriteFloor(elements[i], out);
      out.EndArray();
      return;
    }
    case BindingType::kString: {
      const auto* text = reinterpret_cast<const Voro::InternedString*>(node.payload);
      out.String(text->data(), text->size());
      return;
    }
    case BindingType::kFloat: {
      const double d = std::bit_cast<double>(node.payload);
      std::isfinite(d) ? out.Double(d) : out.Null();
      return;
    }
    case BindingType::kSigned:
      out.Int64(static_cast<int64_t>(node.payload));
      return;
    case BindingType::kUnsigned:
      out.Uint64(node.payload);
      return;
    case BindingType::kBool:
      out.Bool(node.payload != 0);
      return;
    default:
      out.Null();
      return;
  }
}

void BM_WriteFloor(benchmark::State& state, const std::string& (*input)()) {
  const std::string& text = input();
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (parser.parse(text.data(), text.size()).get(document) != simdjson::SUCCESS) {
    state.SkipWithError("parse failed");
    return;
  }
  std::vector<void*> heap;
  JsonFloor floor(&heap);
  floor.ReserveStrings(text.size() / 64);
  JsonFloor::Node root{0, nullptr, 0};
  BuildFloor(document, floor, &root);
  const auto write = [&root] {
    Voro::CompactJsonWriter writer;
    WriteFloor(root, writer);
    return writer.Take();
  };
  if (write() != Voro::WriteJson(Voro::ParseJson(text).value())) {
    state.SkipWithError("the floor writes another text than WriteJson");
    return;
  }
  for (auto _ : state) {
    std::string out = write();
    benchmark::DoNotOptimize(out);
  }
  SetRate(state, text);
}

// What writing costs besides walking the tree: each side's walk alone, visiting every value
// and key the way its writer does and producing nothing. RapidJSON's Writer over the DOM,
// less the DOM's walk, plus our tree's walk: what a writer of our trees costs that formats
// text as fast as RapidJSON's Writer, as WriteJson did through that Writer. The walk alone
// is what any writer of our trees pays before its first byte.
void BM_WalkTree(benchmark::State& state, const std::string& (*input)()) {
  const Voro::BindingResult tree = Voro::ParseJson(input());
  for (auto _ : state) {
    uint64_t seen = 0;
    std::vector<const Voro::BindingProperty*> work = {&tree.value()};
    while (!work.empty()) {
      const Voro::BindingProperty& value = *work.back();
      work.pop_back();
      switch (value.type()) {
        case Voro::BindingType::kString:
          seen += value.GetString().size();
          break;
        case Voro::BindingType::kCollection: {  // pushed last first: visited in order
          const std::span<const Voro::BindingProperty> elements = value.Elements();
          for (size_t i = elements.size(); i-- > 0;) work.push_back(&elements[i]);
          break;
        }
        case Voro::BindingType::kStructure: {
          const size_t first = work.size();
          for (const Voro::BindingField<true> field : value.Fields()) {
            seen += field.key.size();
            work.push_back(&field.value);
          }
          std::reverse(work.begin() + static_cast<std::ptrdiff_t>(first), work.end());
          break;
        }
        default:
          seen += value.GetUnsigned();
          break;
      }
    }
    benchmark::DoNotOptimize(seen);
  }
  SetRate(state, input());
}

void BM_RapidJsonWalk(benchmark::State& state, const std::string& (*input)()) {
  rapidjson::Document doc;
  doc.Parse(input().c_str());
  for (auto _ : state) {
    rapidjson::BaseReaderHandler<> nothing;
    benchmark::DoNotOptimize(doc.Accept(nothing));
  }
  SetRate(state, input());
}

BENCHMARK_CAPTURE(BM_ParseJson, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RapidJsonParse, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ParseJson, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RapidJsonParse, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ParseJson, descending_keys, &DescendingKeys)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RapidJsonParse, descending_keys, &DescendingKeys)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RapidJsonParseIterative, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RapidJsonParseIterative, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RapidJsonSaxOnly, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RapidJsonSaxOnly, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InternFloor, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_InternFloor, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RulesFloor, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RulesFloor, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RulesFloorFreshParser, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteJson, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RapidJsonWrite, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteJson, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RapidJsonWrite, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WriteFloor, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WriteFloor, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_WalkTree, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RapidJsonWalk, login, &LoginPacket)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_WalkTree, records, &Records)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RapidJsonWalk, records, &Records)->Unit(benchmark::kMillisecond);

// The ratios of each pair.
void PrintRatios(const kivbench::CounterReporter& r) {
  std::printf("input sizes: login %zu bytes, records %zu bytes\n", LoginPacket().size(),
              Records().size());
  const struct {
    const char* what;
    const char* ours;
    const char* theirs;
    const char* against;
  } pairs[] = {
      {"parse", "BM_ParseJson", "BM_RapidJsonParse", "RapidJSON"},
      {"parse vs iterative DOM", "BM_ParseJson", "BM_RapidJsonParseIterative", "RapidJSON"},
      {"parse vs SAX only", "BM_ParseJson", "BM_RapidJsonSaxOnly", "RapidJSON"},
      {"floor vs DOM", "BM_InternFloor", "BM_RapidJsonParse", "RapidJSON"},
      {"rules floor vs DOM", "BM_RulesFloor", "BM_RapidJsonParse", "RapidJSON"},
      {"  fresh parser", "BM_RulesFloorFreshParser", "BM_RapidJsonParse", "RapidJSON"},
      {"parse vs rules floor", "BM_ParseJson", "BM_RulesFloor", "floor"},
      {"  fresh parser", "BM_ParseJson", "BM_RulesFloorFreshParser", "floor"},
      {"write", "BM_WriteJson", "BM_RapidJsonWrite", "RapidJSON"},
      {"write floor vs Writer", "BM_WriteFloor", "BM_RapidJsonWrite", "RapidJSON"},
      {"write vs floor", "BM_WriteJson", "BM_WriteFloor", "floor"}};
  for (const auto& pair : pairs) {
    for (const char* input : {"login", "records", "descending_keys"}) {
      double ours = 0, theirs = 0;
      if (!r.Find(std::string(pair.ours) + "/" + input, "MB/s", &ours) ||
          !r.Find(std::string(pair.theirs) + "/" + input, "MB/s", &theirs)) {
        continue;
      }
      std::printf("%-22s %-7s: %8.1f MB/s vs %-9s %8.1f MB/s, ratio %.2f\n", pair.what, input, ours,
                  pair.against, theirs, ours / theirs);
    }
  }
  // Rates to seconds per megabyte: the figure adds and takes away times.
  for (const char* input : {"login", "records"}) {
    const std::string at = std::string("/") + input;
    double ours = 0, peer = 0, walk = 0, peer_walk = 0;
    if (!r.Find("BM_WriteJson" + at, "MB/s", &ours) ||
        !r.Find("BM_RapidJsonWrite" + at, "MB/s", &peer) ||
        !r.Find("BM_WalkTree" + at, "MB/s", &walk) ||
        !r.Find("BM_RapidJsonWalk" + at, "MB/s", &peer_walk)) {
      continue;
    }
    const double floor = 1 / (1 / peer - 1 / peer_walk + 1 / walk);
    std::printf(
        "writer over walk %-7s: RapidJSON's Writer over our tree's walk %8.1f MB/s, ratio %.2f "
        "(our walk %.1f MB/s, the DOM's %.1f); ours runs at %.2f of it\n",
        input, floor, floor / peer, walk, peer_walk, ours / floor);
  }
}

}  // namespace

int main(int argc, char** argv) { return kivbench::RunBenchmarks(argc, argv, PrintRatios); }
