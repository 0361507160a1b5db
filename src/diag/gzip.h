// Gzip inflation of compressed payloads.
//
// Limits: only the gzip format (no zlib or raw deflate streams); the output is capped at
// kMaxInflatedSize bytes unless the caller gives a smaller cap. Inflation stops at the end of
// the first gzip member: bytes after it are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace Voro {

// Input is fed, and output produced, in pieces of this size.
inline constexpr size_t kInflatePieceSize = 16384;
// Largest output: a few kilobytes of input must not be able to claim all memory.
inline constexpr size_t kMaxInflatedSize = size_t{64} << 20;

// zlib's codes for the failures callers see.
inline constexpr int kInflateOk = 0;
inline constexpr int kInflateDataError = -3;    // Z_DATA_ERROR
inline constexpr int kInflateMemoryError = -4;  // Z_MEM_ERROR

// The inflated bytes, or a zlib status code.
class [[nodiscard]] InflateResult {
 public:
  InflateResult() = default;
  explicit InflateResult(int status) : status_(status) {}
  InflateResult(std::unique_ptr<uint8_t[]> data, size_t size, size_t capacity)
      : data_(std::move(data)), size_(size), capacity_(capacity) {}

  bool ok() const { return status_ == kInflateOk; }
  // 0 on success, else zlib's status (-3 data error, -4 memory error or output too large).
  int status() const { return status_; }
  // Empty unless ok().
  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }
  std::string_view text() const { return {reinterpret_cast<const char*>(data_.get()), size_}; }
  size_t size() const { return size_; }
  // The output buffer's final capacity (0 when no output buffer was needed).
  size_t capacity() const { return capacity_; }

 private:
  int status_ = kInflateOk;
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Inflates the gzip stream in input[0, size). The output buffer starts at initial_capacity
// bytes (or at the first piece's size when 0) and doubles when full, never past max_output;
// output that would pass max_output fails with -4. Input that ends before the stream does,
// bad data and a preset-dictionary request give -3. Any thread.
InflateResult InflateGzip(const uint8_t* input, size_t size, size_t initial_capacity,
                          size_t max_output = kMaxInflatedSize);

}  // namespace Voro
