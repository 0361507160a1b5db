// The RTMP chunk stream: messages cut into chunks for writing and chunks reassembled into
// messages on reading. One ChunkReader and one ChunkWriter per connection, both used only by
// the connection's worker thread.
//
// Limits on what the peer sends (stricter than the published format, which has none):
//  - a Set Chunk Size of 0 or above 0x7FFFFFFF ends the connection;
//  - the bytes of partly received messages, over all chunk streams, never exceed
//    kMaxPartialMessageBytes; a peer that tries ends the connection. Memory grows with the
//    bytes that actually arrived, never with an announced length.
// A chunk of format 1, 2 or 3 on a chunk stream without a previous header continues from an
// all-zero header. Continuation chunks of a message whose timestamp needed the extended
// field repeat that field, on reading and on writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "lcds/net/transport.h"
#include "lcds/rtmp/rtmp_message.h"

namespace Voro {

inline constexpr uint32_t kDefaultChunkSize = 128;
inline constexpr uint32_t kMaxChunkSize = 0x7FFFFFFF;
inline constexpr size_t kMaxPartialMessageBytes = 64 * 1024 * 1024;
inline constexpr uint32_t kExtendedTimestampMarker = 0xFFFFFF;
inline constexpr uint32_t kMaxMessageLength = 0xFFFFFF;

inline constexpr char kInvalidChunkSizeMessage[] = "Invalid chunk size %u received.";
inline constexpr char kPartialMessagesTooLargeMessage[] =
    "Partial RTMP messages exceed 67108864 bytes.";

struct [[nodiscard]] ChunkReadResult {
  bool failed = false;
  std::string error;                   // when failed
  std::optional<RtmpMessage> message;  // a message this chunk completed
  bool ok() const { return !failed; }
};

class ChunkReader {
 public:
  // Reads one chunk. A completed message is parsed by type; a Set Chunk Size or Abort
  // takes effect here before the message is returned. Reads ahead: what the transport has
  // beyond this chunk stays buffered here for the next call, so a burst of chunks costs one
  // read instead of three or four per chunk.
  ChunkReadResult ReadChunk(Transport& transport);
  // True when bytes read ahead wait here: the next ReadChunk starts without the transport.
  bool buffered() const { return input_begin_ < input_end_; }

  uint32_t chunk_size() const { return chunk_size_; }
  // Every byte of the chunks read so far (for acknowledgements); read-ahead not counted.
  uint64_t bytes_read() const { return bytes_read_; }
  size_t partial_bytes() const { return partial_bytes_; }

 private:
  struct Partial {
    RtmpHeader header;
    std::vector<uint8_t> body;
  };
  TransportResult ReadExact(Transport& transport, uint8_t* buffer, size_t count);
  ChunkReadResult Complete(uint32_t chunk_stream_id);

  uint32_t chunk_size_ = kDefaultChunkSize;
  uint64_t bytes_read_ = 0;
  size_t partial_bytes_ = 0;
  std::unordered_map<uint32_t, RtmpHeader> previous_;
  std::unordered_map<uint32_t, Partial> partial_;
  // Read-ahead: input_[input_begin_, input_end_) is received and not yet taken.
  std::vector<uint8_t> input_;
  size_t input_begin_ = 0;
  size_t input_end_ = 0;
};

class ChunkWriter {
 public:
  // Appends the chunks of one message to `out`. header.length is set from the body; the
  // chunk stream id must be 2..65599. Returns false (nothing written) for an id out of
  // range or a body longer than kMaxMessageLength.
  bool WriteMessage(RtmpHeader header, std::span<const uint8_t> body, std::vector<uint8_t>& out);

  uint32_t chunk_size() const { return chunk_size_; }

 private:
  uint32_t chunk_size_ = kDefaultChunkSize;
  std::unordered_map<uint32_t, RtmpHeader> previous_;
};

// The basic header of a chunk: 1, 2 or 3 bytes by chunk stream id. REQUIRES: 2 <= id <= 65599.
void AppendBasicHeader(uint8_t format, uint32_t chunk_stream_id, std::vector<uint8_t>& out);

}  // namespace Voro
