#include "binding/base64.h"

namespace Voro {

std::string Base64Encode(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const uint32_t group = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  if (size - i == 1) {
    const uint32_t group = uint32_t{data[i]} << 16;
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += "==";
  } else if (size - i == 2) {
    const uint32_t group = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8;
    out += kAlphabet[group >> 18];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += '=';
  }
  return out;
}

}  // namespace Voro
