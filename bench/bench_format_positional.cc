// Cost of formatting typical messages: plain numbered texts, printf specifications, and a
// template long enough to be cut at the buffer's end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "diag/format_positional.h"

namespace {

void BM_NumberedTexts(benchmark::State& state) {
  const std::string service = "summoner-service";
  for (auto _ : state) {
    std::string out =
        Voro::FormatPositional("Failed to invoke %1.%2 on destination %3: %4", service,
                               "getAccountState", "lcds.platform", "timeout");
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_NumberedTexts);

void BM_NumbersWithSpecifications(benchmark::State& state) {
  for (auto _ : state) {
    char buffer[Voro::kFormatBufferSize];
    const size_t n = Voro::FormatPositionalInto(buffer, sizeof buffer,
                                                "attempt %1$3d of %2$-5d delay %3$.2f s id %4$#x",
                                                7, 100, 12.345, uint32_t{0xbeef});
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buffer);
  }
}
BENCHMARK(BM_NumbersWithSpecifications);

// The C library on the same numbers, as a yardstick.
void BM_SnprintfYardstick(benchmark::State& state) {
  for (auto _ : state) {
    char buffer[Voro::kFormatBufferSize];
    const int n = std::snprintf(buffer, sizeof buffer, "attempt %3d of %-5d delay %.2f s id %#x", 7,
                                100, 12.345, 0xbeefu);
    benchmark::DoNotOptimize(n);
    benchmark::DoNotOptimize(buffer);
  }
}
BENCHMARK(BM_SnprintfYardstick);

void BM_CutAtBufferEnd(benchmark::State& state) {
  const std::string body(6000, 'x');
  for (auto _ : state) {
    std::string out = Voro::FormatPositional("%1 %2", body, body);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(Voro::kFormatBufferSize - 1));
}
BENCHMARK(BM_CutAtBufferEnd);

}  // namespace
