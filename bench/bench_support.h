// What the benchmark programs share: a console reporter that remembers each benchmark's
// counters (the median with --benchmark_repetitions, otherwise the single run), so that a
// program can print ratios against its peer at the end.
#pragma once

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kivbench {

// The value at `fraction` (0.5: the median) of the sorted values; 0 for none.
inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

class CounterReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      // A captured benchmark is named "<function>/<capture>" here, one with arguments
      // "<function>/<arguments>" ("BM_RoundTrip/tls:0/wake:1").
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      if (!median && medians_.count(name) != 0) continue;
      if (median) medians_.insert(name);
      for (const auto& [counter, value] : run.counters) counters_[name][counter] = value.value;
    }
  }

  // The counter of a benchmark, or nothing when the benchmark did not run (a filter).
  bool Find(const std::string& benchmark, const std::string& counter, double* value) const {
    auto run = counters_.find(benchmark);
    if (run == counters_.end()) return false;
    auto it = run->second.find(counter);
    if (it == run->second.end()) return false;
    *value = it->second;
    return true;
  }

 private:
  std::map<std::string, std::map<std::string, double>> counters_;
  std::set<std::string> medians_;
};

// The body of main: runs the benchmarks given on the command line, then `summary`.
inline int RunBenchmarks(int argc, char** argv,
                         const std::function<void(const CounterReporter&)>& summary) {
  // glibc moves its mmap and trim thresholds as a process frees large blocks, so the same
  // allocations are served by fresh mappings and page faults early in a run and by the heap
  // later: a benchmark's speed, and a peer's (msgpack-c's zone, RapidJSON's pool), would
  // depend on what ran before it (seen: msgpack::unpack at 170 or 560 MB/s on one input).
  // Fixed thresholds give every benchmark the settled heap of a long-running process.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CounterReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  summary(reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace kivbench
