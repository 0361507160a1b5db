#include "diag/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace Voro {

namespace {

// 15 bits of window, +16 for the gzip wrapper only.
constexpr int kGzipWindowBits = 31;

class InflateStream {
 public:
  InflateStream() { status_ = inflateInit2(&stream_, kGzipWindowBits); }
  ~InflateStream() {
    if (status_ == Z_OK) {
      inflateEnd(&stream_);
    }
  }
  InflateStream(const InflateStream&) = delete;
  InflateStream& operator=(const InflateStream&) = delete;

  int init_status() const { return status_; }
  z_stream* get() { return &stream_; }

 private:
  z_stream stream_{};
  int status_;
};

// The growing output buffer.
class Output {
 public:
  Output(size_t initial_capacity, size_t max_output)
      : capacity_(std::min(initial_capacity, max_output)), max_(max_output) {}

  // REQUIRES: count > 0. False when the output would pass the cap or memory runs out.
  bool Append(const uint8_t* bytes, size_t count) {
    if (count > max_ - size_) {
      return false;
    }
    if (data_ == nullptr || size_ + count > capacity_) {
      size_t capacity = capacity_ == 0 ? count : capacity_;
      while (capacity < size_ + count) {
        capacity = capacity > max_ / 2 ? max_ : capacity * 2;
      }
      std::unique_ptr<uint8_t[]> grown(new (std::nothrow) uint8_t[capacity]);
      if (grown == nullptr) {
        return false;
      }
      if (size_ > 0) {
        std::memcpy(grown.get(), data_.get(), size_);
      }
      data_ = std::move(grown);
      capacity_ = capacity;
    }
    std::memcpy(data_.get() + size_, bytes, count);
    size_ += count;
    return true;
  }

  InflateResult Finish() {
    const size_t capacity = data_ == nullptr ? 0 : capacity_;
    return InflateResult(std::move(data_), size_, capacity);
  }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_;
  size_t max_;
};

}  // namespace

InflateResult InflateGzip(const uint8_t* input, size_t size, size_t initial_capacity,
                          size_t max_output) {
  InflateStream stream;
  if (stream.init_status() != Z_OK) {
    return InflateResult(stream.init_status());
  }
  z_stream* z = stream.get();
  Output output(initial_capacity, max_output);
  uint8_t scratch[kInflatePieceSize];

  size_t offset = 0;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    const size_t piece = std::min(kInflatePieceSize, size - offset);
    // Out of input before the end of the stream.
    if (piece == 0) {
      return InflateResult(Z_DATA_ERROR);
    }
    // zlib does not write through next_in.
    z->next_in = const_cast<uint8_t*>(input + offset);
    z->avail_in = static_cast<uInt>(piece);
    offset += piece;
    do {
      z->next_out = scratch;
      z->avail_out = sizeof scratch;
      status = inflate(z, Z_NO_FLUSH);
      switch (status) {
        case Z_OK:
        case Z_STREAM_END:
        case Z_BUF_ERROR:  // no progress possible with this piece: read the next one
          break;
        case Z_NEED_DICT:
          return InflateResult(Z_DATA_ERROR);
        default:
          return InflateResult(status);
      }
      const size_t produced = sizeof scratch - z->avail_out;
      if (produced > 0 && !output.Append(scratch, produced)) {
        return InflateResult(Z_MEM_ERROR);
      }
    } while (z->avail_out == 0);
  }
  return output.Finish();
}

}  // namespace Voro
