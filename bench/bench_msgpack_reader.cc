// MessagePack decoding into a BindingProperty tree against msgpack-c's msgpack::unpack into
// its zone-allocated object tree, on the same bytes. Two inputs, encoded once with msgpack-c's
// packer: a ~100 KB nested document shaped like the data a login hands over (account,
// settings, friends, inventory, match history), and a ~5 MB array of flat records. Both
// sides copy every string and blob out of the input. Reports MB/s and our speed ratio, and
// the speed of interning the input's texts alone: the floor of any decoder into our trees;
// and msgpack-c's own parser feeding the tree's rules done plainly (BM_RulesFloor_*).
//
//   bench_msgpack_reader [--benchmark_repetitions=5 --benchmark_report_aggregates_only=true]
#include <benchmark/benchmark.h>

#include <bit>
#include <cstdio>
#include <map>
#include <msgpack.hpp>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "binding/codec/msgpack_reader.h"
#include "rules_floor.h"

namespace {

using Packer = msgpack::packer<msgpack::sbuffer>;

void Str(Packer& p, const std::string& s) { p.pack(s); }
void Key(Packer& p, const char* key) { p.pack(std::string(key)); }

// One friend, item or match record.
void PackFriend(Packer& p, int i) {
  p.pack_map(6);
  Key(p, "accountId");
  p.pack(uint64_t{3000000000u} + i * 7);
  Key(p, "displayName");
  Str(p, "Friend Number " + std::to_string(i));
  Key(p, "status");
  Str(p, i % 3 == 0 ? "online" : i % 3 == 1 ? "away" : "offline");
  Key(p, "note");
  if (i % 5 == 0) {
    p.pack_nil();
  } else {
    Str(p, "met in match " + std::to_string(i));
  }
  Key(p, "favorite");
  p.pack(i % 7 == 0);
  Key(p, "groups");
  p.pack_array(2);
  Str(p, "General");
  Str(p, i % 2 == 0 ? "Team" : "Old friends");
}

void PackItem(Packer& p, int i) {
  p.pack_map(7);
  Key(p, "itemId");
  p.pack(i * 13 + 1);
  Key(p, "inventoryType");
  Str(p, i % 4 == 0 ? "BUNDLE" : i % 4 == 1 ? "BOOST" : "COSMETIC");
  Key(p, "purchaseDate");
  p.pack(int64_t{1700000000000} + i * 86400000ll);
  Key(p, "quantity");
  p.pack(i % 9);
  Key(p, "owned");
  p.pack(i % 2 == 0);
  Key(p, "price");
  p.pack(0.99 + i % 50);
  Key(p, "tags");
  p.pack_array(static_cast<uint32_t>(i % 4));
  for (int t = 0; t < i % 4; ++t) Str(p, "tag-" + std::to_string(t));
}

void PackMatch(Packer& p, int i) {
  p.pack_map(8);
  Key(p, "gameId");
  p.pack(uint64_t{5000000000ull} + i);
  Key(p, "queue");
  Str(p, i % 2 == 0 ? "RANKED" : "NORMAL");
  Key(p, "win");
  p.pack(i % 3 != 0);
  Key(p, "durationSeconds");
  p.pack(1200 + i * 17 % 900);
  Key(p, "stats");
  p.pack_map(5);
  Key(p, "kills");
  p.pack(i % 17);
  Key(p, "deaths");
  p.pack(i % 11);
  Key(p, "assists");
  p.pack(i % 23);
  Key(p, "gold");
  p.pack(8000 + i * 31 % 9000);
  Key(p, "damage");
  p.pack(12345.5 + i);
  Key(p, "team");
  p.pack_array(5);
  for (int t = 0; t < 5; ++t) p.pack(uint64_t{3000000000u} + i * 5 + t);
  Key(p, "replay");
  p.pack_bin(16);
  p.pack_bin_body("0123456789abcdef", 16);
  Key(p, "mode");
  Str(p, "STANDARD");
}

std::string LoginDocument() {
  msgpack::sbuffer buffer;
  Packer p(buffer);
  p.pack_map(9);
  Key(p, "account");
  p.pack_map(6);
  Key(p, "accountId");
  p.pack(uint64_t{2000000123u});
  Key(p, "displayName");
  Str(p, "Someone Somewhere");
  Key(p, "level");
  p.pack(142);
  Key(p, "region");
  Str(p, "EU-WEST");
  Key(p, "balance");
  p.pack(-1250);
  Key(p, "verified");
  p.pack(true);
  Key(p, "sessionToken");
  Str(p, std::string(600, 'T'));
  Key(p, "settings");
  p.pack_map(120);
  for (int i = 0; i < 120; ++i) {
    Str(p, "setting." + std::to_string(i) + ".value");
    if (i % 3 == 0) {
      p.pack(i * 1.25);
    } else if (i % 3 == 1) {
      p.pack(i);
    } else {
      Str(p, "option-" + std::to_string(i));
    }
  }
  Key(p, "friends");
  p.pack_array(250);
  for (int i = 0; i < 250; ++i) PackFriend(p, i);
  Key(p, "inventory");
  p.pack_array(300);
  for (int i = 0; i < 300; ++i) PackItem(p, i);
  Key(p, "matchHistory");
  p.pack_array(200);
  for (int i = 0; i < 200; ++i) PackMatch(p, i);
  Key(p, "features");
  p.pack_array(40);
  for (int i = 0; i < 40; ++i) Str(p, "feature_flag_" + std::to_string(i));
  Key(p, "serverTime");
  p.pack(int64_t{1765000000000});
  Key(p, "motd");
  Str(p, std::string(2000, 'm'));
  return std::string(buffer.data(), buffer.size());
}

std::string RecordArray() {
  msgpack::sbuffer buffer;
  Packer p(buffer);
  constexpr uint32_t kRecords = 32000;
  p.pack_array(kRecords);
  for (uint32_t i = 0; i < kRecords; ++i) {
    p.pack_map(8);
    Key(p, "id");
    p.pack(i);
    Key(p, "name");
    Str(p, "record-" + std::to_string(i * 7919u));
    Key(p, "value");
    p.pack(i * 0.001);
    Key(p, "count");
    p.pack(static_cast<int>(i % 1000) - 500);
    Key(p, "enabled");
    p.pack(i % 2 == 0);
    Key(p, "category");
    Str(p, i % 3 == 0 ? "alpha" : i % 3 == 1 ? "beta" : "gamma");
    Key(p, "timestamp");
    p.pack(uint64_t{1700000000000} + i);
    Key(p, "description");
    Str(p, "a description of record number " + std::to_string(i) + " for the benchmark");
  }
  return std::string(buffer.data(), buffer.size());
}

const std::string& Login() {
  static const std::string bytes = LoginDocument();
  return bytes;
}
const std::string& Records() {
  static const std::string bytes = RecordArray();
  return bytes;
}

void DecodeOurs(benchmark::State& state, const std::string& bytes) {
  // A decoder that silently fails would look fast; check once outside the timing.
  const Voro::MsgpackDecodeResult check = Voro::DecodeMsgpack(bytes);
  if (!check.result.ok() || check.consumed != bytes.size()) {
    state.SkipWithError("our decoder refused the input");
    return;
  }
  for (auto _ : state) {
    Voro::MsgpackDecodeResult r = Voro::DecodeMsgpack(bytes);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["KB"] = static_cast<double>(bytes.size()) / 1024;
}

void DecodePeer(benchmark::State& state, const std::string& bytes) {
  for (auto _ : state) {
    msgpack::object_handle handle = msgpack::unpack(bytes.data(), bytes.size());
    benchmark::DoNotOptimize(handle.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["KB"] = static_cast<double>(bytes.size()) / 1024;
}

// The least any decoder into our trees must do: intern every key and string of the input
// into a fresh per-tree table (with the same reserve as DecodeMsgpack), in
// document order, building nothing else. The texts are found once beforehand, so this
// measures interning alone; its gap to msgpack::unpack bounds how close DecodeMsgpack can come.
void CollectTexts(const msgpack::object& o, std::vector<std::string_view>* out) {
  std::vector<const msgpack::object*> work = {&o};
  while (!work.empty()) {
    const msgpack::object* at = work.back();
    work.pop_back();
    if (at->type == msgpack::type::STR) {
      out->emplace_back(at->via.str.ptr, at->via.str.size);
    } else if (at->type == msgpack::type::ARRAY) {
      for (uint32_t i = at->via.array.size; i-- > 0;) work.push_back(&at->via.array.ptr[i]);
    } else if (at->type == msgpack::type::MAP) {
      for (uint32_t i = at->via.map.size; i-- > 0;) {
        work.push_back(&at->via.map.ptr[i].val);
        work.push_back(&at->via.map.ptr[i].key);
      }
    }
  }
}

void InternFloor(benchmark::State& state, const std::string& bytes) {
  msgpack::object_handle handle = msgpack::unpack(bytes.data(), bytes.size());
  std::vector<std::string_view> texts;
  CollectTexts(handle.get(), &texts);
  for (auto _ : state) {
    Voro::BindingProperty root;
    if (bytes.size() / 48 >= (size_t{1} << 14)) root.ReserveStrings(bytes.size() / 48);
    Voro::StringInternTable& strings = root.strings();
    for (std::string_view text : texts) benchmark::DoNotOptimize(strings.Intern(text));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
  state.counters["texts"] = static_cast<double>(texts.size());
}

// The least any decoder into our trees must do with the rules of the tree kept: msgpack-c's
// own parser (no tree of its own) feeding the rules' floor, which interns, allocates nodes,
// finds keys and puts structures in key order as plainly as it can. DecodeMsgpack does the
// same work with its own parser; its gap to this floor is what its parser and its tree add.
class FloorVisitor : public msgpack::null_visitor {
 public:
  using Floor = kivbench::RulesFloor<true>;
  using Node = Floor::Node;

  explicit FloorVisitor(Floor* floor) : floor_(floor) {}

  bool visit_nil() { return Scalar(0); }
  bool visit_boolean(bool v) { return Scalar(v); }
  bool visit_positive_integer(uint64_t v) { return Scalar(v); }
  bool visit_negative_integer(int64_t v) { return Scalar(static_cast<uint64_t>(v)); }
  bool visit_float32(float v) { return Scalar(std::bit_cast<uint32_t>(v)); }
  bool visit_float64(double v) { return Scalar(std::bit_cast<uint64_t>(v)); }
  bool visit_str(const char* p, uint32_t n) {
    Frame& frame = frames_.back();
    if (in_key_) {
      frame.value = floor_->Field(frame.fields, std::string_view(p, n));
    } else {
      floor_->Text(Next(), std::string_view(p, n));
    }
    return true;
  }
  bool visit_bin(const char* p, uint32_t n) {
    floor_->Blob(Next(), std::string_view(p, n));
    return true;
  }
  bool start_map_key() {
    in_key_ = true;
    return true;
  }
  bool end_map_key() {
    in_key_ = false;
    return true;
  }
  bool start_map(uint32_t n) {
    Node* at = Next();
    frames_.push_back(Frame{floor_->Structure(at, n), nullptr, nullptr});
    return true;
  }
  bool end_map() {
    floor_->Finish(frames_.back().fields);
    frames_.pop_back();
    return true;
  }
  bool start_array(uint32_t n) {
    Node* at = Next();
    frames_.push_back(Frame{{}, nullptr, floor_->Collection(at, n)});
    return true;
  }
  bool end_array() {
    frames_.pop_back();
    return true;
  }
  Node& root() { return root_; }

 private:
  struct Frame {
    Floor::Fields fields;
    Node* value;     // a map's next value: the field its key gave
    Node* elements;  // an array's next element
  };
  // Where the next value goes.
  Node* Next() {
    if (frames_.empty()) return &root_;
    Frame& frame = frames_.back();
    if (frame.elements == nullptr) return frame.value;
    Node* at = frame.elements++;
    *at = Node{0, nullptr, 0};
    return at;
  }
  bool Scalar(uint64_t bits) {
    Floor::Number(Next(), bits);
    return true;
  }

  Floor* floor_;
  Node root_{0, nullptr, 0};
  std::vector<Frame> frames_;
  bool in_key_ = false;
};

void RulesFloor(benchmark::State& state, const std::string& bytes) {
  std::vector<void*> heap;
  for (auto _ : state) {
    FloorVisitor::Floor floor(&heap);
    floor.ReserveStrings(bytes.size() / 48);  // as DecodeMsgpack reserves
    FloorVisitor visitor(&floor);
    if (!msgpack::parse(bytes.data(), bytes.size(), visitor)) {
      state.SkipWithError("msgpack-c refused the input");
      break;
    }
    benchmark::DoNotOptimize(visitor.root());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_Ours_Login(benchmark::State& state) { DecodeOurs(state, Login()); }
void BM_MsgpackC_Login(benchmark::State& state) { DecodePeer(state, Login()); }
void BM_Ours_Records(benchmark::State& state) { DecodeOurs(state, Records()); }
void BM_MsgpackC_Records(benchmark::State& state) { DecodePeer(state, Records()); }
void BM_InternFloor_Login(benchmark::State& state) { InternFloor(state, Login()); }
void BM_InternFloor_Records(benchmark::State& state) { InternFloor(state, Records()); }
BENCHMARK(BM_Ours_Login)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MsgpackC_Login)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Ours_Records)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MsgpackC_Records)->Unit(benchmark::kMillisecond);
void BM_RulesFloor_Login(benchmark::State& state) { RulesFloor(state, Login()); }
void BM_RulesFloor_Records(benchmark::State& state) { RulesFloor(state, Records()); }
BENCHMARK(BM_InternFloor_Login)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InternFloor_Records)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RulesFloor_Login)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RulesFloor_Records)->Unit(benchmark::kMillisecond);

// MB/s and the ratio per input.
void PrintRatios(const kivbench::CounterReporter& r) {
  for (const char* input : {"Login", "Records"}) {
    double ours = 0, peer = 0;
    if (!r.Find(std::string("BM_Ours_") + input, "bytes_per_second", &ours) ||
        !r.Find(std::string("BM_MsgpackC_") + input, "bytes_per_second", &peer)) {
      continue;
    }
    std::printf("%-8s ours %8.1f MB/s   msgpack::unpack %8.1f MB/s   ratio %.2f\n", input,
                ours / 1e6, peer / 1e6, ours / peer);
    double floor = 0;
    if (r.Find(std::string("BM_InternFloor_") + input, "bytes_per_second", &floor)) {
      std::printf("%-8s interning alone %8.1f MB/s   ratio to msgpack::unpack %.2f\n", input,
                  floor / 1e6, floor / peer);
    }
    if (r.Find(std::string("BM_RulesFloor_") + input, "bytes_per_second", &floor)) {
      std::printf(
          "%-8s the tree's rules on msgpack-c's parser %8.1f MB/s   ratio %.2f (ours runs "
          "at %.2f of it)\n",
          input, floor / 1e6, floor / peer, ours / floor);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("inputs: login document %zu bytes, record array %zu bytes\n", Login().size(),
              Records().size());
  return kivbench::RunBenchmarks(argc, argv, PrintRatios);
}
