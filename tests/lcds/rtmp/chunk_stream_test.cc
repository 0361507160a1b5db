#include "lcds/rtmp/chunk_stream.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "support/memory_transport.h"

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::MemoryTransport;

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
  return Bytes(bytes.begin() + static_cast<ptrdiff_t>(from),
               bytes.begin() + static_cast<ptrdiff_t>(from + count));
}

RtmpHeader Header(uint32_t chunk_stream, uint8_t type, uint32_t stream, uint32_t timestamp = 0,
                  bool delta = false) {
  RtmpHeader header;
  header.chunk_stream_id = chunk_stream;
  header.type = type;
  header.message_stream_id = stream;
  header.timestamp = timestamp;
  header.timestamp_is_delta = delta;
  return header;
}

// Reads chunks until one completes a message (or the input runs out).
ChunkReadResult ReadMessage(ChunkReader& reader, MemoryTransport& transport) {
  for (;;) {
    ChunkReadResult result = reader.ReadChunk(transport);
    if (!result.ok() || result.message) {
      return result;
    }
  }
}

// ---- Writing ----

TEST(ChunkWriterTest, CutsA300ByteBodyInto128And128And44) {
  const Bytes body = Pattern(300);
  ChunkWriter writer;
  Bytes out;
  ASSERT_TRUE(writer.WriteMessage(Header(3, 20, 0), body, out));
  const Bytes expected = Concat({{0x03, 0x00, 0x00, 0x00, 0x00, 0x01, 0x2C, 0x14, 0, 0, 0, 0},
                                 Slice(body, 0, 128),
                                 {0xC3},
                                 Slice(body, 128, 128),
                                 {0xC3},
                                 Slice(body, 256, 44)});
  EXPECT_EQ(out, expected);
}

TEST(ChunkWriterTest, ChoosesTheHeaderFormatFromThePreviousHeader) {
  ChunkWriter writer;
  const Bytes body = {0xAA, 0xBB};
  Bytes out;
  ASSERT_TRUE(writer.WriteMessage(Header(4, 9, 1, 1000), body, out));
  EXPECT_EQ(out, (Bytes{0x04, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x02, 0x09, 1, 0, 0, 0, 0xAA, 0xBB}));

  out.clear();  // only the timestamp (a delta) differs: format 2
  ASSERT_TRUE(writer.WriteMessage(Header(4, 9, 1, 40, true), body, out));
  EXPECT_EQ(out, (Bytes{0x84, 0x00, 0x00, 0x28, 0xAA, 0xBB}));

  out.clear();  // nothing differs: format 3
  ASSERT_TRUE(writer.WriteMessage(Header(4, 9, 1, 40, true), body, out));
  EXPECT_EQ(out, (Bytes{0xC4, 0xAA, 0xBB}));

  out.clear();  // another length: format 1
  ASSERT_TRUE(writer.WriteMessage(Header(4, 9, 1, 40, true), Bytes{0x01}, out));
  EXPECT_EQ(out, (Bytes{0x44, 0x00, 0x00, 0x28, 0x00, 0x00, 0x01, 0x09, 0x01}));

  out.clear();  // another message stream: format 0 even for a delta
  ASSERT_TRUE(writer.WriteMessage(Header(4, 9, 2, 40, true), Bytes{0x01}, out));
  EXPECT_EQ(out[0], 0x04);
  EXPECT_EQ(out.size(), 13u);
}

TEST(ChunkWriterTest, AbsoluteTimestampsAlwaysTakeAFullHeader) {
  ChunkWriter writer;
  Bytes first;
  Bytes second;
  ASSERT_TRUE(writer.WriteMessage(Header(3, 20, 0), Bytes{5}, first));
  ASSERT_TRUE(writer.WriteMessage(Header(3, 20, 0), Bytes{5}, second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(second[0], 0x03);
}

TEST(ChunkWriterTest, WritesTheExtendedTimestampInEveryChunk) {
  const Bytes body = Pattern(200);
  ChunkWriter writer;
  Bytes out;
  ASSERT_TRUE(writer.WriteMessage(Header(3, 20, 0, 0xFFFFFF), body, out));
  const Bytes expected = Concat({{0x03, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xC8, 0x14, 0, 0, 0, 0},
                                 {0x00, 0xFF, 0xFF, 0xFF},
                                 Slice(body, 0, 128),
                                 {0xC3, 0x00, 0xFF, 0xFF, 0xFF},
                                 Slice(body, 128, 72)});
  EXPECT_EQ(out, expected);
}

TEST(ChunkWriterTest, BasicHeaderTakesOneTwoOrThreeBytes) {
  const std::pair<uint32_t, Bytes> cases[] = {
      {2, {0xC2}},
      {63, {0xFF}},
      {64, {0xC0, 0x00}},
      {319, {0xC0, 0xFF}},
      {320, {0xC1, 0x00, 0x01}},
      {65599, {0xC1, 0xFF, 0xFF}},
  };
  for (const auto& [id, expected] : cases) {
    Bytes out;
    AppendBasicHeader(3, id, out);
    EXPECT_EQ(out, expected) << "chunk stream " << id;
  }
}

TEST(ChunkWriterTest, RefusesIdsOutOfRangeAndOversizedBodies) {
  ChunkWriter writer;
  Bytes out;
  EXPECT_FALSE(writer.WriteMessage(Header(1, 20, 0), Bytes{1}, out));
  EXPECT_FALSE(writer.WriteMessage(Header(65600, 20, 0), Bytes{1}, out));
  EXPECT_FALSE(writer.WriteMessage(Header(3, 20, 0), Bytes(0x1000000), out));
  EXPECT_TRUE(out.empty());
}

TEST(ChunkWriterTest, UsesTheChunkSizeItAnnounced) {
  ChunkWriter writer;
  Bytes out;
  ASSERT_TRUE(writer.WriteMessage(Header(2, 1, 0), Bytes{0x00, 0x00, 0x10, 0x00}, out));
  EXPECT_EQ(writer.chunk_size(), 4096u);
  out.clear();
  ASSERT_TRUE(writer.WriteMessage(Header(3, 20, 0), Pattern(4000), out));
  EXPECT_EQ(out.size(), 12u + 4000u);  // one chunk
}

// ---- Reading ----

TEST(ChunkReaderTest, ReassemblesChunksAcrossStreamsAndRoundTripsTheWriter) {
  ChunkWriter writer;
  Bytes wire;
  const Bytes body_a = Pattern(300);
  const Bytes body_b = Pattern(70);
  for (uint32_t id : {63u, 64u, 319u, 320u}) {
    ASSERT_TRUE(writer.WriteMessage(Header(id, 9, 7, 0xFFFFFF + id), body_a, wire));
  }
  ASSERT_TRUE(writer.WriteMessage(Header(5, 8, 7, 12, true), body_b, wire));

  MemoryTransport transport(wire);
  ChunkReader reader;
  for (uint32_t id : {63u, 64u, 319u, 320u}) {
    ChunkReadResult result = ReadMessage(reader, transport);
    ASSERT_TRUE(result.ok()) << result.error;
    ASSERT_TRUE(result.message);
    EXPECT_EQ(result.message->header.chunk_stream_id, id);
    EXPECT_EQ(result.message->header.timestamp, 0xFFFFFF + id);
    EXPECT_EQ(result.message->header.message_stream_id, 7u);
    EXPECT_EQ(std::get<Bytes>(result.message->payload), body_a);
  }
  ChunkReadResult last = ReadMessage(reader, transport);
  ASSERT_TRUE(last.message);
  EXPECT_EQ(std::get<Bytes>(last.message->payload), body_b);
  EXPECT_EQ(transport.position, wire.size());
  EXPECT_EQ(reader.bytes_read(), wire.size());
  EXPECT_EQ(reader.partial_bytes(), 0u);
}

TEST(ChunkReaderTest, ExtendedTimestampRepeatsInContinuationChunks) {
  const Bytes body = Pattern(200);
  MemoryTransport transport(Concat({{0x03, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xC8, 0x09, 0, 0, 0, 0},
                                    {0x01, 0x00, 0x00, 0x00},
                                    Slice(body, 0, 128),
                                    {0xC3, 0x01, 0x00, 0x00, 0x00},
                                    Slice(body, 128, 72)}));
  ChunkReader reader;
  ChunkReadResult first = reader.ReadChunk(transport);
  ASSERT_TRUE(first.ok());
  EXPECT_FALSE(first.message);
  ChunkReadResult second = reader.ReadChunk(transport);
  ASSERT_TRUE(second.message);
  EXPECT_EQ(second.message->header.timestamp, 0x01000000u);
  EXPECT_EQ(std::get<Bytes>(second.message->payload), body);
}

TEST(ChunkReaderTest, CompressedHeadersTakeTheRestFromThePreviousHeader) {
  MemoryTransport transport(Concat({
      {0x06, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x01, 0x08, 0x05, 0, 0, 0, 0x11},  // format 0
      {0x46, 0x00, 0x00, 0x14, 0x00, 0x00, 0x02, 0x09, 0x21, 0x22},           // format 1
      {0x86, 0x00, 0x00, 0x1E, 0x31, 0x32},                                   // format 2
      {0xC6, 0x41, 0x42},                                                     // format 3
  }));
  ChunkReader reader;
  const struct {
    uint32_t timestamp;
    uint8_t type;
    bool delta;
    Bytes body;
  } expected[] = {{10, 8, false, {0x11}},
                  {20, 9, true, {0x21, 0x22}},
                  {30, 9, true, {0x31, 0x32}},
                  {30, 9, true, {0x41, 0x42}}};
  for (const auto& e : expected) {
    ChunkReadResult result = reader.ReadChunk(transport);
    ASSERT_TRUE(result.message);
    EXPECT_EQ(result.message->header.timestamp, e.timestamp);
    EXPECT_EQ(result.message->header.type, e.type);
    EXPECT_EQ(result.message->header.message_stream_id, 5u);
    EXPECT_EQ(result.message->header.timestamp_is_delta, e.delta);
    EXPECT_EQ(std::get<Bytes>(result.message->payload), e.body);
  }
}

TEST(ChunkReaderTest, AReceivedChunkSizeAppliesToTheNextChunk) {
  const Bytes body = Pattern(5000);
  MemoryTransport transport(Concat({{0x02, 0, 0, 0, 0x00, 0x00, 0x04, 0x01, 0, 0, 0, 0},
                                    {0x00, 0x00, 0x10, 0x00},
                                    {0x03, 0, 0, 0, 0x00, 0x13, 0x88, 0x09, 0, 0, 0, 0},
                                    Slice(body, 0, 4096),
                                    {0xC3},
                                    Slice(body, 4096, 904)}));
  ChunkReader reader;
  ChunkReadResult set = reader.ReadChunk(transport);
  ASSERT_TRUE(set.message);
  EXPECT_EQ(set.message->value(), 4096u);
  EXPECT_EQ(reader.chunk_size(), 4096u);
  EXPECT_FALSE(reader.ReadChunk(transport).message);
  EXPECT_EQ(transport.position, 16u + 12u + 4096u);
  ChunkReadResult done = reader.ReadChunk(transport);
  ASSERT_TRUE(done.message);
  EXPECT_EQ(std::get<Bytes>(done.message->payload), body);
}

TEST(ChunkReaderTest, AbortDropsThePartialMessageOfItsStream) {
  const Bytes old_body = Pattern(200);
  MemoryTransport transport(Concat({{0x05, 0, 0, 0, 0x00, 0x00, 0xC8, 0x09, 0, 0, 0, 0},
                                    Slice(old_body, 0, 128),
                                    {0x02, 0, 0, 0, 0x00, 0x00, 0x04, 0x02, 0, 0, 0, 0},
                                    {0x00, 0x00, 0x00, 0x05},
                                    {0x05, 0, 0, 0, 0x00, 0x00, 0x02, 0x09, 0, 0, 0, 0},
                                    {0xEE, 0xFF}}));
  ChunkReader reader;
  EXPECT_FALSE(reader.ReadChunk(transport).message);
  EXPECT_EQ(reader.partial_bytes(), 128u);
  ChunkReadResult abort = reader.ReadChunk(transport);
  ASSERT_TRUE(abort.message);
  EXPECT_EQ(abort.message->header.type, RtmpType::kAbort);
  EXPECT_EQ(reader.partial_bytes(), 0u);
  ChunkReadResult fresh = reader.ReadChunk(transport);
  ASSERT_TRUE(fresh.message);
  EXPECT_EQ(std::get<Bytes>(fresh.message->payload), (Bytes{0xEE, 0xFF}));
}

TEST(ChunkReaderTest, RefusesInvalidChunkSizes) {
  const std::pair<Bytes, const char*> cases[] = {
      {{0, 0, 0, 0}, "Invalid chunk size 0 received."},
      {{0x80, 0, 0, 0}, "Invalid chunk size 2147483648 received."},
  };
  for (const auto& [value, text] : cases) {
    MemoryTransport transport(Concat({{0x02, 0, 0, 0, 0x00, 0x00, 0x04, 0x01, 0, 0, 0, 0}, value}));
    ChunkReader reader;
    ChunkReadResult result = reader.ReadChunk(transport);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.error, text);
    EXPECT_EQ(reader.chunk_size(), kDefaultChunkSize);
  }
}

TEST(ChunkReaderTest, CapsTheBytesOfPartialMessages) {
  // Chunks of 0xFFFFFE bytes leave every 0xFFFFFF-byte message one byte short: four such
  // partial messages fit under 64 MiB, the fifth does not.
  constexpr uint32_t kChunk = 0xFFFFFE;
  Bytes wire = {0x02, 0, 0, 0, 0x00, 0x00, 0x04, 0x01, 0, 0, 0, 0, 0x00, 0xFF, 0xFF, 0xFE};
  for (uint8_t id = 3; id <= 7; ++id) {
    const Bytes header = {id, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 0};
    wire.insert(wire.end(), header.begin(), header.end());
    if (id < 7) {
      wire.resize(wire.size() + kChunk, 0x5A);
    }
  }
  MemoryTransport transport(std::move(wire));
  ChunkReader reader;
  ASSERT_TRUE(reader.ReadChunk(transport).message);
  for (int i = 0; i < 4; ++i) {
    ChunkReadResult partial = reader.ReadChunk(transport);
    ASSERT_TRUE(partial.ok()) << partial.error;
    EXPECT_FALSE(partial.message);
  }
  EXPECT_EQ(reader.partial_bytes(), 4u * kChunk);
  ChunkReadResult refused = reader.ReadChunk(transport);
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.error, "Partial RTMP messages exceed 67108864 bytes.");
}

TEST(ChunkReaderTest, ATruncatedChunkFailsWithTheTransportMessage) {
  MemoryTransport transport(Bytes{0x03, 0x00, 0x00});
  ChunkReader reader;
  ChunkReadResult result = reader.ReadChunk(transport);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error, "Socket gracefully closed from the other side.");
}

}  // namespace
}  // namespace Voro
