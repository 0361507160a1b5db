// Positional formatting of arbitrary templates: no overrun of the caller's buffer, always
// terminated, and the same result every time.
//
// Input: byte 0 picks how many arguments (0-8), byte 1 where in the pool they start, byte 2
// the buffer size; the rest is the template.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "diag/format_positional.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static int object = 0;
  const Voro::FormatArg pool[] = {
      Voro::FormatArg("text"),
      Voro::FormatArg(-42),
      Voro::FormatArg(std::numeric_limits<uint64_t>::max()),
      Voro::FormatArg(3.5),
      Voro::FormatArg('c'),
      Voro::FormatArg(static_cast<const void*>(&object)),
      Voro::FormatArg(int8_t{-1}),
      Voro::FormatArg(""),
      Voro::FormatArg(1e300),
      Voro::FormatArg(std::numeric_limits<int64_t>::min()),
      Voro::FormatArg(5000),
      Voro::FormatArg(-5000),
  };
  constexpr size_t kPool = sizeof pool / sizeof pool[0];
  std::vector<Voro::FormatArg> args;
  const size_t count = data[0] % 9;
  for (size_t i = 0; i < count; ++i) args.push_back(pool[(data[1] + i) % kPool]);
  constexpr size_t kSizes[] = {0, 1, 2, 7, 64, 300, Voro::kFormatBufferSize};
  const size_t buffer_size = kSizes[data[2] % (sizeof kSizes / sizeof kSizes[0])];
  const std::string_view tmpl(reinterpret_cast<const char*>(data + 3), size - 3);

  // Exactly the size given, so any overrun is caught.
  std::vector<char> first(buffer_size), second(buffer_size);
  const size_t n = Voro::FormatPositionalArgs(first.data(), buffer_size, tmpl, args);
  if (buffer_size == 0) {
    if (n != 0) std::abort();
    return 0;
  }
  if (n >= buffer_size || first[n] != '\0') std::abort();
  const size_t again = Voro::FormatPositionalArgs(second.data(), buffer_size, tmpl, args);
  if (again != n || std::memcmp(first.data(), second.data(), n) != 0) std::abort();
  return 0;
}
