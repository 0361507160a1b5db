// Gzip inflation of untrusted payloads: no crash, no overrun, the output cap holds, and the
// piecewise inflation agrees with a one-shot inflation of the same bytes.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "diag/gzip.h"

namespace {

// Small enough that every run stays quick; the cap logic is the same at any size.
constexpr size_t kFuzzMaxOutput = size_t{256} << 10;

// zlib in one call, into a buffer one byte larger than the cap.
int OneShot(const uint8_t* data, size_t size, std::vector<uint8_t>& out, size_t* produced) {
  z_stream z{};
  if (inflateInit2(&z, 31) != Z_OK) return Z_MEM_ERROR;
  z.next_in = const_cast<uint8_t*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&z, Z_FINISH);
  *produced = z.total_out;
  inflateEnd(&z);
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The service proxy starts the buffer at twice the compressed size.
  const Voro::InflateResult r = Voro::InflateGzip(data, size, 2 * size, kFuzzMaxOutput);
  if (r.ok()) {
    if (r.size() > r.capacity() || r.size() > kFuzzMaxOutput) std::abort();
  } else if (r.status() != Voro::kInflateDataError && r.status() != Voro::kInflateMemoryError) {
    std::abort();
  } else if (r.size() != 0) {
    std::abort();
  }

  static std::vector<uint8_t> expected(kFuzzMaxOutput + 1);
  size_t produced = 0;
  const int one_shot = OneShot(data, size, expected, &produced);
  const bool one_shot_ok = one_shot == Z_STREAM_END && produced <= kFuzzMaxOutput;
  if (one_shot_ok != r.ok()) std::abort();
  if (r.ok() && (produced != r.size() ||
                 (produced > 0 && std::memcmp(expected.data(), r.bytes().data(), produced) != 0))) {
    std::abort();
  }
  return 0;
}
