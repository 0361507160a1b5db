#include "binding/value/base64.h"

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

namespace Voro {

namespace {

// The 6-bit value of an alphabet character; -1 for anything else (including "=").
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool IsBase64Alphabet(std::string_view text) {
  for (char c : text) {
    if (c != '=' && Base64Value(c) < 0) return false;
  }
  return true;
}

bool Base64Decode(std::string_view text, std::vector<uint8_t>* out) {
  out->clear();
  size_t data_length = text.size();
  while (data_length > 0 && text[data_length - 1] == '=') --data_length;
  const size_t padding = text.size() - data_length;
  if (padding > 2 || data_length % 4 == 1) return false;
  if (padding > 0 && text.size() % 4 != 0) return false;
  out->reserve(data_length / 4 * 3 + 2);
  uint32_t group = 0;
  int bits = 0;
  for (size_t i = 0; i < data_length; ++i) {
    const int value = Base64Value(text[i]);
    if (value < 0) return false;
    group = (group << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<uint8_t>(group >> bits));
      group &= (1u << bits) - 1;
    }
  }
  return true;
}

}  // namespace Voro
