// Encode and decode a Flex RemotingMessage whose body is a login-data-packet-like object
// graph of about 100 KB on the wire: nine hundred catalog entries of a handful of classes,
// with skins in ArrayCollections, dates and many repeated strings.
//
// Two shapes of the same graph: "shared classes" (every object of a class refers to one
// definition, so traits go out once and are referenced after) and "one definition per
// object" (the same names, but every object carries its own traits, as an encoder without a
// traits table writes). The npm peer of the cross-check cannot follow traits references, so
// the second shape is the one measured on both sides: with KIV_BENCH_AMF_PEER_INPUT=PATH
// this program writes those bytes to PATH, and
//   node tests/crosscheck/amf/bench_peer.js PATH
// measures the peer on them in its own process.
//
//   build/default/bench/bench_amf [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_writer.h"

namespace {

using Voro::Amf3Item;
using Voro::Amf3Object;
using Voro::AmfClass;
using Voro::AmfMemberList;
using Voro::AmfTypeHint;

constexpr int kChampions = 900;
constexpr int kSkinsPerChampion = 4;

class GraphBuilder {
 public:
  explicit GraphBuilder(bool shared_classes) : shared_(shared_classes) {}

  Amf3Item Message() {
    auto packet = NewObject("com.example.login.LoginDataPacket",
                            {"accountSummary", "catalog", "gameTypeConfigs", "platformId",
                             "serverTime", "playerStatSummaries"});
    std::vector<Amf3Item> catalog;
    for (int i = 0; i < kChampions; ++i) catalog.push_back(Champion(i));
    Set(packet, "catalog", Collection(std::move(catalog)));
    std::vector<Amf3Item> configs;
    for (int i = 0; i < 24; ++i) {
      auto config = NewObject("com.example.game.GameTypeConfig",
                              {"id", "name", "pickMode", "banTimerDuration",
                               "mainPickTimerDuration", "exclusivePick", "allowTrades"});
      Set(config, "id", Amf3Item::Integer(i));
      Set(config, "name", Amf3Item::String(i % 2 ? "BLIND_PICK" : "DRAFT_MODE"));
      Set(config, "pickMode",
          Amf3Item::String(i % 3 ? "AllRandomPickStrategy" : "DraftModeSinglePickStrategy"));
      Set(config, "banTimerDuration", Amf3Item::Integer(30));
      Set(config, "mainPickTimerDuration", Amf3Item::Integer(90));
      Set(config, "exclusivePick", Amf3Item::Boolean(i % 2 == 0));
      Set(config, "allowTrades", Amf3Item::Boolean(true));
      configs.push_back(Amf3Item::Object(config));
    }
    Set(packet, "gameTypeConfigs", Collection(std::move(configs)));
    auto summary = NewObject("com.example.login.AccountSummary",
                             {"accountId", "username", "admin", "hasBetaAccess", "summonerName"});
    Set(summary, "accountId", Amf3Item::Double(2.0e11));
    Set(summary, "username", Amf3Item::String("player.one"));
    Set(summary, "admin", Amf3Item::Boolean(false));
    Set(summary, "hasBetaAccess", Amf3Item::Boolean(true));
    Set(summary, "summonerName", Amf3Item::String("Player One"));
    Set(packet, "accountSummary", Amf3Item::Object(summary));
    Set(packet, "platformId", Amf3Item::String("EUW1"));
    Set(packet, "serverTime", Amf3Item::Date(1700000000000));
    std::vector<Amf3Item> stats;
    for (int i = 0; i < 40; ++i) {
      auto stat = NewObject("com.example.stats.PlayerStatSummary",
                            {"playerStatSummaryType", "wins", "losses", "leaves", "modifyDate"});
      Set(stat, "playerStatSummaryType", Amf3Item::String("RankedSolo5x5"));
      Set(stat, "wins", Amf3Item::Integer(i * 13));
      Set(stat, "losses", Amf3Item::Integer(i * 11));
      Set(stat, "leaves", Amf3Item::Integer(i % 3));
      Set(stat, "modifyDate", Amf3Item::Date(1600000000000 + i * 86400000LL));
      stats.push_back(Amf3Item::Object(stat));
    }
    Set(packet, "playerStatSummaries", Collection(std::move(stats)));

    auto message = NewObject("flex.messaging.messages.RemotingMessage",
                             {"body", "clientId", "destination", "headers", "messageId",
                              "operation", "source", "timestamp", "timeToLive"});
    auto body = std::make_shared<Voro::Amf3Array>();
    body->dense.push_back(Amf3Item::Object(packet));
    Set(message, "body", Amf3Item::Array(body));
    Set(message, "clientId", Amf3Item::String("8A7C1C5E-0F0B-4E3E-9F35-3C7F8F3B2D11"));
    Set(message, "destination", Amf3Item::String("clientFacadeService"));
    auto headers = NewObject("", {}, /*dynamic=*/true);
    headers->SetDynamicMember("DSId", Amf3Item::String("8A7C1C5E-0F0B-4E3E-9F35-3C7F8F3B2D11"));
    headers->SetDynamicMember("DSRequestTimeout", Amf3Item::Integer(60));
    headers->SetDynamicMember("DSEndpoint", Amf3Item::String("my-rtmps"));
    Set(message, "headers", Amf3Item::Object(headers));
    Set(message, "messageId", Amf3Item::String("2E4C4A9B-8D41-4D67-9C1D-5E2B8F7C6A30"));
    Set(message, "operation", Amf3Item::String("getLoginDataPacketForUser"));
    Set(message, "source", Amf3Item::Null());
    Set(message, "timestamp", Amf3Item::Integer(0));
    Set(message, "timeToLive", Amf3Item::Integer(0));
    return Amf3Item::Object(message);
  }

 private:
  Amf3Item Champion(int i) {
    auto champion =
        NewObject("com.example.catalog.ChampionDTO",
                  {"championId", "owned", "active", "freeToPlay", "botEnabled", "rankedPlayEnabled",
                   "purchased", "endDate", "skins", "displayName"});
    Set(champion, "championId", Amf3Item::Integer(i + 1));
    Set(champion, "owned", Amf3Item::Boolean(i % 3 == 0));
    Set(champion, "active", Amf3Item::Boolean(true));
    Set(champion, "freeToPlay", Amf3Item::Boolean(i % 10 == 0));
    Set(champion, "botEnabled", Amf3Item::Boolean(i % 2 == 0));
    Set(champion, "rankedPlayEnabled", Amf3Item::Boolean(true));
    Set(champion, "purchased", Amf3Item::Double(1.4e12 + i * 1000.0));
    Set(champion, "endDate", Amf3Item::Integer(0));
    Set(champion, "displayName", Amf3Item::String("Champion " + std::to_string(i % 40)));
    std::vector<Amf3Item> skins;
    for (int s = 0; s < kSkinsPerChampion; ++s) {
      auto skin = NewObject("com.example.catalog.ChampionSkinDTO",
                            {"skinId", "championId", "owned", "freeToPlayReward", "stillObtainable",
                             "lastSelected", "winCountRemaining", "skinName"});
      Set(skin, "skinId", Amf3Item::Integer((i + 1) * 1000 + s));
      Set(skin, "championId", Amf3Item::Integer(i + 1));
      Set(skin, "owned", Amf3Item::Boolean(s == 0));
      Set(skin, "freeToPlayReward", Amf3Item::Boolean(false));
      Set(skin, "stillObtainable", Amf3Item::Boolean(s != 3));
      Set(skin, "lastSelected", Amf3Item::Boolean(s == 1));
      Set(skin, "winCountRemaining", Amf3Item::Integer(0));
      Set(skin, "skinName", Amf3Item::String(s == 0 ? "DEFAULT" : "Skin " + std::to_string(s)));
      skins.push_back(Amf3Item::Object(skin));
    }
    Set(champion, "skins", Collection(std::move(skins)));
    return Amf3Item::Object(champion);
  }

  Amf3Item Collection(std::vector<Amf3Item> items) {
    auto source = std::make_shared<Voro::Amf3Array>();
    source->dense = std::move(items);
    auto collection = NewObject("flex.messaging.io.ArrayCollection", {"source"});
    Set(collection, "source", Amf3Item::Array(source));
    return Amf3Item::Object(collection);
  }

  std::shared_ptr<Amf3Object> NewObject(const std::string& name,
                                        const std::vector<std::string>& members,
                                        bool dynamic = false) {
    std::shared_ptr<AmfClass> amf_class;
    if (shared_) {
      amf_class = registry_.Find(name);
      if (!amf_class || name.empty()) amf_class = nullptr;
    }
    if (!amf_class) {
      AmfMemberList list;
      for (const auto& m : members) list.push_back({m, AmfTypeHint::Any()});
      amf_class = shared_ ? registry_.Create(name, false, dynamic, std::move(list))
                          : std::make_shared<AmfClass>(name, false, dynamic, std::move(list));
    }
    return std::make_shared<Amf3Object>(amf_class);
  }

  static void Set(const std::shared_ptr<Amf3Object>& object, const char* name, Amf3Item value) {
    object->SetMember(name, value);
  }

  const bool shared_;
  Voro::AmfClassRegistry registry_;
};

// An RTMP Flex invoke body: a null command name slot as servers send it, then the message
// behind the AMF3 switch.
std::vector<uint8_t> Encode(const Amf3Item& message) {
  Voro::AmfWriter writer;
  writer.WriteAmf0(Voro::AmfValue(message));
  return writer.TakeBytes();
}

struct Inputs {
  Amf3Item shared_message = GraphBuilder(true).Message();
  Amf3Item distinct_message = GraphBuilder(false).Message();
  std::vector<uint8_t> shared_bytes = Encode(shared_message);
  std::vector<uint8_t> distinct_bytes = Encode(distinct_message);

  Inputs() {
    std::fprintf(stderr, "message bytes: shared classes %zu, one definition per object %zu\n",
                 shared_bytes.size(), distinct_bytes.size());
    if (const char* path = std::getenv("KIV_BENCH_AMF_PEER_INPUT")) {
      // The AMF3 value alone, without the AMF0 switch marker.
      if (std::FILE* file = std::fopen(path, "wb")) {
        std::fwrite(distinct_bytes.data() + 1, 1, distinct_bytes.size() - 1, file);
        std::fclose(file);
      }
    }
  }
};

const Inputs& GetInputs() {
  static const Inputs inputs;
  return inputs;
}

void BM_Encode(benchmark::State& state, bool shared) {
  const Inputs& in = GetInputs();
  const Amf3Item& message = shared ? in.shared_message : in.distinct_message;
  size_t bytes = 0;
  for (auto _ : state) {
    std::vector<uint8_t> out = Encode(message);
    bytes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_Decode(benchmark::State& state, bool shared) {
  const Inputs& in = GetInputs();
  const std::vector<uint8_t>& bytes = shared ? in.shared_bytes : in.distinct_bytes;
  Voro::AmfClassRegistry registry;
  for (auto _ : state) {
    Voro::AmfReader reader(bytes, registry);
    Voro::AmfValue value = reader.ReadAmf0();
    benchmark::DoNotOptimize(&value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

BENCHMARK_CAPTURE(BM_Encode, shared_classes, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Decode, shared_classes, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Encode, one_definition_per_object, false)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Decode, one_definition_per_object, false)->Unit(benchmark::kMicrosecond);

}  // namespace
