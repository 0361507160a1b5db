// YAML text into a value tree: ParseYaml against yaml-cpp's YAML::Load on the same block
// style inputs, a ~100 KB nested document shaped like a login data packet and a ~5 MB list
// of records. Reports MB/s for both and the speed ratio per input.
//
//   /tmp/kb-yaml/bench/bench_yaml_reader --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <yaml-cpp/yaml.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "binding/codec/yaml_reader.h"

namespace {

std::string Indent(int level) { return std::string(static_cast<size_t>(level) * 2, ' '); }

// One record as a block mapping item of a sequence at `level`.
void AppendRecord(std::string& out, int level, int i) {
  const std::string pad = Indent(level);
  out += pad + "- id: " + std::to_string(100000 + i * 7) + "\n";
  out += pad + "  name: \"Catalog item " + std::to_string(i * 7919 % 100003) + "\"\n";
  out += pad + "  type: " + (i % 3 == 0 ? "CHAMPION" : i % 3 == 1 ? "SKIN" : "WARD") + "\n";
  out += pad + "  price: " + std::to_string(450 + i % 6300) + "\n";
  out += pad + "  discount: " + std::to_string(i % 40) + ".25\n";
  out += pad + "  owned: " + (i % 4 == 0 ? "true" : "false") + "\n";
  out += pad + "  purchased: " + (i % 5 == 0 ? "~" : std::to_string(1700000000 + i)) + "\n";
  out += pad + "  tags: [ranked, \"season-" + std::to_string(i % 14) + "\"]\n";
  out += pad + "  stats:\n";
  out += pad + "    wins: " + std::to_string(i % 97) + "\n";
  out += pad + "    losses: " + std::to_string(i % 89) + "\n";
  out += pad + "    tier: " + (i % 2 == 0 ? "GOLD" : "PLATINUM") + "\n";
}

// A login data packet: account and summoner records, settings, and lists of records.
std::string MakePacket() {
  std::string out;
  out += "account:\n";
  out += "  accountId: 2000123456\n  summonerId: 31337\n  displayName: Player One\n";
  out += "  region: EUW\n  locale: en_GB\n  banned: no\n  emailVerified: yes\n";
  out += "  createdAt: \"2014-06-01T12:00:00Z\"\n";
  out += "summoner:\n  level: 187\n  profileIconId: 4568\n  xp: 0.625\n  honor: 4\n";
  out += "  rankedStats:\n";
  for (const char* queue : {"solo", "flex", "tft"}) {
    out += std::string("    ") + queue + ":\n      tier: GOLD\n      division: II\n";
    out += "      points: 57\n      wins: 143\n      losses: 131\n      hotStreak: off\n";
  }
  out += "settings:\n";
  for (int i = 0; i < 60; ++i) {
    out += "  setting" + std::to_string(i) + ": " +
           (i % 3 == 0   ? std::to_string(i * 11)
            : i % 3 == 1 ? "enabled"
                         : "1.5") +
           "\n";
  }
  out += "friends:\n";
  for (int i = 0; i < 150; ++i) {
    out += "  - summonerId: " + std::to_string(40000 + i) + "\n";
    out += "    name: \"Friend number " + std::to_string(i) + "\"\n";
    out += "    status: " + std::string(i % 3 == 0 ? "inGame" : "away") + "\n";
    out += "    note: |\n      Met in a ranked game.\n      Plays support.\n";
  }
  out += "inventory:\n  items:\n";
  for (int i = 0; i < 320; ++i) AppendRecord(out, 2, i);
  return out;
}

std::string MakeRecords() {
  std::string out = "records:\n";
  for (int i = 0; out.size() < 5 * 1024 * 1024; ++i) AppendRecord(out, 1, i);
  return out;
}

const std::string& Packet() {
  static const std::string text = MakePacket();
  return text;
}

const std::string& Records() {
  static const std::string text = MakeRecords();
  return text;
}

void ParseOurs(benchmark::State& state, const std::string& text) {
  if (!Voro::ParseYaml(text).ok()) {
    state.SkipWithError("the input does not parse");
    return;
  }
  for (auto _ : state) {
    Voro::BindingResult result = Voro::ParseYaml(text);
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["input_bytes"] = static_cast<double>(text.size());
}

void ParseYamlCpp(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    YAML::Node node = YAML::Load(text);
    benchmark::DoNotOptimize(node);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["input_bytes"] = static_cast<double>(text.size());
}

void BM_ParseYaml_Packet(benchmark::State& state) { ParseOurs(state, Packet()); }
void BM_YamlCppLoad_Packet(benchmark::State& state) { ParseYamlCpp(state, Packet()); }
void BM_ParseYaml_Records(benchmark::State& state) { ParseOurs(state, Records()); }
void BM_YamlCppLoad_Records(benchmark::State& state) { ParseYamlCpp(state, Records()); }
BENCHMARK(BM_ParseYaml_Packet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_YamlCppLoad_Packet)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseYaml_Records)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_YamlCppLoad_Records)->Unit(benchmark::kMillisecond);

// MB/s of both parsers and their ratio for each input.
void PrintRatios(const kivbench::CounterReporter& r) {
  for (const char* input : {"Packet", "Records"}) {
    double ours = 0, theirs = 0;
    if (!r.Find(std::string("BM_ParseYaml_") + input, "bytes_per_second", &ours) ||
        !r.Find(std::string("BM_YamlCppLoad_") + input, "bytes_per_second", &theirs)) {
      continue;
    }
    const double size = static_cast<double>(std::string_view(input) == "Packet" ? Packet().size()
                                                                                : Records().size());
    std::printf("%s (%.0f bytes): ParseYaml %.1f MB/s, YAML::Load %.1f MB/s, ratio %.2f\n", input,
                size, ours / 1e6, theirs / 1e6, ours / theirs);
  }
}

}  // namespace

int main(int argc, char** argv) { return kivbench::RunBenchmarks(argc, argv, PrintRatios); }
