// Compact JSON text, written value by value: the bytes RapidJSON's Writer gives (its number
// formatting, its escapes) without its checks of each value's place, which the caller's walk
// already knows.
#pragma once

#include <rapidjson/internal/dtoa.h>
#include <rapidjson/internal/itoa.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

namespace Voro {

// Compact JSON into a growing buffer, called as RapidJSON's writers are (Key, String,
// StartObject, ...), so that one walk drives either. A comma goes before every value or key
// but the first of its container, a colon after every key.
class CompactJsonWriter {
 public:
  void Null() { Literal("null", 4); }
  void Bool(bool b) { b ? Literal("true", 4) : Literal("false", 5); }
  void Int(int i) { Int64(i); }
  void Int64(int64_t i) {
    char* p = BeginValue(21);
    size_ = static_cast<size_t>(rapidjson::internal::i64toa(i, p) - buffer_.data());
  }
  void Uint64(uint64_t u) {
    char* p = BeginValue(21);
    size_ = static_cast<size_t>(rapidjson::internal::u64toa(u, p) - buffer_.data());
  }
  // REQUIRES: d is finite.
  void Double(double d) {
    char* p = BeginValue(25);
    size_ = static_cast<size_t>(rapidjson::internal::dtoa(d, p) - buffer_.data());
  }
  void String(const char* text, size_t length) { Text(BeginValue(2 + length * 6), text, length); }
  void Key(const char* text, size_t length) {
    Text(BeginValue(3 + length * 6), text, length);
    buffer_[size_++] = ':';
    comma_ = false;
  }
  void StartArray() { Open('['); }
  void EndArray() { Close(']'); }
  void StartObject() { Open('{'); }
  void EndObject() { Close('}'); }

  // The text written, in the buffer itself rather than a copy (its spare room goes with it);
  // the writer starts afresh afterwards.
  std::string Take() {
    buffer_.resize(size_);
    size_ = 0;
    comma_ = false;
    return std::move(buffer_);
  }

 private:
  // Room for a value of up to `bytes` bytes and its comma; where the value goes.
  char* BeginValue(size_t bytes) {
    Reserve(bytes + 1);
    if (comma_) buffer_[size_++] = ',';
    comma_ = true;
    return buffer_.data() + size_;
  }
  void Literal(const char* text, size_t length) {
    std::memcpy(BeginValue(length), text, length);
    size_ += length;
  }
  void Open(char bracket) {
    *BeginValue(1) = bracket;
    ++size_;
    comma_ = false;
  }
  void Close(char bracket) {
    Reserve(1);
    buffer_[size_++] = bracket;
    comma_ = true;
  }
  void Reserve(size_t bytes) {
    if (buffer_.size() - size_ < bytes) buffer_.resize(std::max(buffer_.size() * 2, size_ + bytes));
  }
  // The quoted text at `out`, which has room for every byte escaped. Bytes below 0x20, the
  // quote and the backslash are escaped as RapidJSON does; all others are copied as they are.
  void Text(char* out, const char* text, size_t length) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char* p = out;
    *p++ = '"';
    size_t i = 0;
    while (i < length) {
      // Eight bytes at a time while none needs an escape: the usual text is copied whole.
      while (i + 8 <= length && !AnyNeedsEscape(text + i)) {
        std::memcpy(p, text + i, 8);
        p += 8;
        i += 8;
      }
      if (i == length) break;
      const auto c = static_cast<unsigned char>(text[i++]);
      const char escape = EscapeFor(c);
      if (escape == 0) {
        *p++ = static_cast<char>(c);
        continue;
      }
      *p++ = '\\';
      *p++ = escape;
      if (escape == 'u') {
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 0xF];
      }
    }
    *p++ = '"';
    size_ = static_cast<size_t>(p - buffer_.data());
  }
  static char EscapeFor(unsigned char c) {
    static constexpr char kShort[0x20] = {'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'b', 't', 'n',
                                          'u', 'f', 'r', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u',
                                          'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u', 'u'};
    if (c < 0x20) return kShort[c];
    return c == '"' || c == '\\' ? static_cast<char>(c) : 0;
  }
  // Whether any of the eight bytes at `p` is below 0x20, a quote or a backslash.
  static bool AnyNeedsEscape(const char* p) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    uint64_t x;
    std::memcpy(&x, p, 8);
    const uint64_t quote = x ^ (kOnes * '"');
    const uint64_t backslash = x ^ (kOnes * '\\');
    // A byte below n (n <= 0x80) sets its high bit in (x - n) & ~x.
    return (((x - kOnes * 0x20) & ~x) | ((quote - kOnes) & ~quote) |
            ((backslash - kOnes) & ~backslash)) &
           kHigh;
  }

  std::string buffer_ = std::string(256, '\0');
  size_t size_ = 0;
  bool comma_ = false;
};

}  // namespace Voro
