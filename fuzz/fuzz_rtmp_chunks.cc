// The RTMP chunk stream as a server would send it: chunks reassembled and parsed by type,
// every message written back through the chunk writer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_quiet.h"
#include "lcds/net/transport.h"
#include "lcds/rtmp/chunk_stream.h"
#include "lcds/rtmp/rtmp_message.h"

namespace {

class InputTransport final : public Voro::Transport {
 public:
  InputTransport(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  Voro::TransportResult Write(const uint8_t*, size_t count) override {
    return Voro::TransportResult::Success(count);
  }
  Voro::TransportResult Read(uint8_t* buffer, size_t count) override {
    const size_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, data_ + position_, n);
    position_ += n;
    return n < count ? Voro::TransportResult::Failure(0, "end", n)
                     : Voro::TransportResult::Success(n);
  }
  Voro::TransportResult ReadSome(uint8_t* buffer, size_t capacity) override {
    return Read(buffer, std::max<size_t>(1, std::min(capacity, size_ - position_)));
  }
  bool WaitReadable(int) override { return position_ < size_; }
  bool WaitReadableOrWoken(int, int) override { return position_ < size_; }
  void Close() override {}

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_support::QuietLogger();
  InputTransport transport(data, size);
  Voro::ChunkReader reader;
  Voro::ChunkWriter writer;
  std::vector<uint8_t> out;
  for (;;) {
    Voro::ChunkReadResult result = reader.ReadChunk(transport);
    if (!result.ok()) {
      break;
    }
    if (result.message) {
      const std::vector<uint8_t> body = Voro::EncodeRtmpBody(*result.message);
      out.clear();
      Voro::RtmpHeader header = result.message->header;
      header.chunk_stream_id =
          std::max<uint32_t>(2, std::min<uint32_t>(header.chunk_stream_id, 65599));
      (void)writer.WriteMessage(header, body, out);
    }
  }
  return 0;
}
