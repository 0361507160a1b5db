// Throughput of gzip inflation for payload sizes the service proxy sees, from compressible
// JSON-like text and from nearly incompressible bytes; and zlib's own uncompress of the 1 MiB
// text beside it, the peer.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diag/gzip.h"

namespace {

std::vector<uint8_t> Gzip(const std::vector<uint8_t>& raw) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&z, raw.size()) + 64);
  z.next_in = const_cast<uint8_t*>(raw.data());
  z.avail_in = static_cast<uInt>(raw.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::vector<uint8_t> JsonLike(size_t size) {
  std::string text = "[";
  for (int i = 0; text.size() < size; ++i) {
    text += "{\"summonerId\":" + std::to_string(1000003 * i % 999983) + ",\"name\":\"player" +
            std::to_string(i) + "\",\"level\":" + std::to_string(i % 300) + "},";
  }
  text.resize(size);
  return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> Noise(size_t size) {
  std::vector<uint8_t> out(size);
  uint32_t x = 1;
  for (uint8_t& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

void Run(benchmark::State& state, const std::vector<uint8_t>& raw) {
  const std::vector<uint8_t> gz = Gzip(raw);
  for (auto _ : state) {
    Voro::InflateResult r = Voro::InflateGzip(gz.data(), gz.size(), 2 * gz.size());
    if (!r.ok() || r.size() != raw.size()) state.SkipWithError("inflation failed");
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(raw.size()));
  state.counters["ratio"] = static_cast<double>(raw.size()) / static_cast<double>(gz.size());
}

void BM_InflateJson(benchmark::State& state) {
  Run(state, JsonLike(static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_InflateJson)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20)->Arg(8 << 20);

// The peer: zlib's own one-call uncompress, into a buffer already of the right size (it
// cannot grow one), of the same text compressed at the same level in zlib's format.
void BM_ZlibUncompressJson(benchmark::State& state) {
  const std::vector<uint8_t> raw = JsonLike(static_cast<size_t>(state.range(0)));
  std::vector<uint8_t> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf packed_size = static_cast<uLongf>(packed.size());
  compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 6);
  std::vector<uint8_t> out(raw.size());
  for (auto _ : state) {
    uLongf out_size = static_cast<uLongf>(out.size());
    if (uncompress(out.data(), &out_size, packed.data(), packed_size) != Z_OK ||
        out_size != raw.size()) {
      state.SkipWithError("uncompress failed");
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(raw.size()));
}
BENCHMARK(BM_ZlibUncompressJson)->Arg(1 << 20);

void BM_InflateNoise(benchmark::State& state) {
  Run(state, Noise(static_cast<size_t>(state.range(0))));
}
BENCHMARK(BM_InflateNoise)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace
