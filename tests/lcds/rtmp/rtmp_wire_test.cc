#include <gtest/gtest.h>

#include <functional>
#include <numeric>
#include <string_view>
#include <tuple>
#include <vector>

#include "lcds/amf/amf_test_support.h"
#include "lcds/rtmp/chunk_stream.h"
#include "lcds/rtmp/handshake.h"
#include "lcds/rtmp/rtmp_message.h"
#include "support/memory_transport.h"

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::MemoryTransport;
// Hex pairs, with 'quoted' ASCII spelled out: "02 0001 'x'".
constexpr auto Wire = amf_testing::FromHex;

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  return bytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes Slice(const Bytes& bytes, size_t from, size_t count) {
  return Bytes(bytes.begin() + static_cast<ptrdiff_t>(from),
               bytes.begin() + static_cast<ptrdiff_t>(from + count));
}

RtmpHeader Header(uint32_t chunk_stream, uint8_t type, uint32_t stream, uint32_t timestamp = 0,
                  bool delta = false) {
  return {0, chunk_stream, type, stream, timestamp, delta};
}

TEST(ChunkStreamTest, WriterPicksHeaderFormatsAndTheReaderRestoresEveryMessage) {
  const Bytes big = Pattern(300), extended = Pattern(200), one_chunk = Pattern(4000),
              huge = Pattern(70000);
  const std::tuple<const char*, RtmpHeader, Bytes, Bytes> steps[] = {
      // name, header, body, wire
      {"cut at 128 bytes", Header(3, 9, 0), big,
       Concat({Wire("03 000000 00012C 09 00000000"), Slice(big, 0, 128), Wire("C3"),
               Slice(big, 128, 128), Wire("C3"), Slice(big, 256, 44)})},
      {"absolute", Header(5, 8, 0), {5}, Wire("05 000000 000001 08 00000000 05")},
      {"absolute again: format 0", Header(5, 8, 0), {5}, Wire("05 000000 000001 08 00000000 05")},
      {"new stream", Header(4, 9, 1, 1000), {1, 2}, Wire("04 0003E8 000002 09 01000000 0102")},
      {"timestamp only: format 2", Header(4, 9, 1, 40, true), {1, 2}, Wire("84 000028 0102")},
      {"no change: format 3", Header(4, 9, 1, 40, true), {1, 2}, Wire("C4 0102")},
      {"length: format 1", Header(4, 9, 1, 40, true), {1}, Wire("44 000028 000001 09 01")},
      {"stream: format 0", Header(4, 9, 2, 40, true), {1}, Wire("04 000028 000001 09 02000000 01")},
      {"extended timestamp in every chunk", Header(3, 9, 0, 0xFFFFFF), extended,
       Concat({Wire("03 FFFFFF 0000C8 09 00000000 00FFFFFF"), Slice(extended, 0, 128),
               Wire("C3 00FFFFFF"), Slice(extended, 128, 72)})},
      {"2-byte id", Header(64, 8, 0), {7}, Wire("00 00 000000 000001 08 00000000 07")},
      {"3-byte id", Header(65599, 8, 0), {7}, Wire("01 FF FF 000000 000001 08 00000000 07")},
      {"chunk size", Header(2, 1, 0), {0, 0, 16, 0}, Wire("02 000000 000004 01 00000000 00001000")},
      {"one chunk of 4000", Header(3, 9, 0), one_chunk,
       Concat({Wire("03 000000 000FA0 09 00000000"), one_chunk})},
      {"larger chunk size",
       Header(2, 1, 0),
       {0, 2, 0, 0},
       Wire("02 000000 000004 01 00000000 00020000")},
      {"one chunk of 70000", Header(3, 9, 0), huge,
       Concat({Wire("03 000000 011170 09 00000000"), huge})},
  };
  ChunkWriter writer;
  Bytes stream;
  for (const auto& [name, header, body, wire] : steps) {
    SCOPED_TRACE(name);
    Bytes out;
    ASSERT_TRUE(writer.WriteMessage(header, body, out));
    EXPECT_EQ(out, wire);
    stream.insert(stream.end(), out.begin(), out.end());
  }
  EXPECT_EQ(writer.chunk_size(), 0x20000u);

  // The reader reads ahead: the input whole, or cut into pieces as a network may deliver it
  // (one byte at a time also sends the 70000-byte body straight to its place).
  for (const size_t piece : {SIZE_MAX, size_t{1}, size_t{5}, size_t{1000}}) {
    SCOPED_TRACE(piece);
    MemoryTransport transport(stream);
    transport.read_some_limit = piece;
    ChunkReader reader;
    for (const auto& [name, header, body, wire] : steps) {
      SCOPED_TRACE(name);
      ChunkReadResult result;
      do result = reader.ReadChunk(transport);
      while (result.ok() && !result.message);
      ASSERT_TRUE(result.message) << result.error;
      const RtmpHeader& read = result.message->header;
      EXPECT_EQ(read.chunk_stream_id, header.chunk_stream_id);
      EXPECT_EQ(read.type, header.type);
      EXPECT_EQ(read.message_stream_id, header.message_stream_id);
      EXPECT_EQ(read.timestamp, header.timestamp);
      EXPECT_EQ(read.timestamp_is_delta, wire[0] >= 0x40);  // by the format read
      EXPECT_EQ(EncodeRtmpBody(*result.message), body);
    }
    EXPECT_EQ(reader.chunk_size(), 0x20000u);
    EXPECT_EQ(reader.bytes_read(), stream.size());
    EXPECT_EQ(reader.partial_bytes(), 0u);
    EXPECT_FALSE(reader.buffered());
    EXPECT_FALSE(reader.ReadChunk(transport).ok());  // the end of the input
  }
}

TEST(ChunkStreamTest, ChunkStreamIdsTakeOneToThreeBytesWithinTheirRange) {
  const std::pair<uint32_t, Bytes> cases[] = {{2, {0xC2}},         {63, {0xFF}},
                                              {64, {0xC0, 0}},     {319, {0xC0, 0xFF}},
                                              {320, {0xC1, 0, 1}}, {65599, {0xC1, 0xFF, 0xFF}}};
  for (const auto& [id, expected] : cases) {
    Bytes out;
    AppendBasicHeader(3, id, out);
    EXPECT_EQ(out, expected) << "chunk stream " << id;
  }
  ChunkWriter writer;
  Bytes out;
  EXPECT_FALSE(writer.WriteMessage(Header(1, 9, 0), Bytes{1}, out));
  EXPECT_FALSE(writer.WriteMessage(Header(65600, 9, 0), Bytes{1}, out));
  EXPECT_FALSE(writer.WriteMessage(Header(3, 9, 0), Bytes(0x1000000), out));
  EXPECT_TRUE(out.empty());
}

TEST(ChunkStreamTest, AbortDropsThePartialMessageOfItsStream) {
  const Bytes old_body = Pattern(200);
  MemoryTransport transport(Concat({Wire("05 000000 0000C8 09 00000000"), Slice(old_body, 0, 128),
                                    Wire("02 000000 000004 02 00000000 00000005"),
                                    Wire("05 000000 000002 09 00000000 EEFF")}));
  ChunkReader reader;
  EXPECT_FALSE(reader.ReadChunk(transport).message);
  EXPECT_EQ(reader.partial_bytes(), 128u);
  ChunkReadResult abort = reader.ReadChunk(transport);
  ASSERT_TRUE(abort.message);
  EXPECT_EQ(abort.message->header.type, RtmpType::kAbort);
  EXPECT_EQ(reader.partial_bytes(), 0u);
  ChunkReadResult fresh = reader.ReadChunk(transport);
  ASSERT_TRUE(fresh.message);
  EXPECT_EQ(std::get<Bytes>(fresh.message->payload), Wire("EEFF"));
}

TEST(ChunkStreamTest, ReaderFailures) {
  // Chunks of 0xFFFFFE bytes leave every 0xFFFFFF-byte message one byte short: four such
  // partial messages fit under 64 MiB, the fifth does not.
  constexpr uint32_t kChunk = 0xFFFFFE;
  Bytes too_much = Wire("02 000000 000004 01 00000000 00FFFFFE");
  for (uint8_t id = 3; id <= 7; ++id) {
    too_much.insert(too_much.end(), {id, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x09, 0, 0, 0, 0});
    if (id < 7) too_much.resize(too_much.size() + kChunk, 0x5A);
  }
  const struct {
    Bytes wire;
    const char* error;
    uint32_t chunk_size = kDefaultChunkSize;
    size_t partial_bytes = 0;
  } rows[] = {
      {Wire("03 0000"), "Socket gracefully closed from the other side."},
      {Wire("02 000000 000004 01 00000000 00000000"), "Invalid chunk size 0 received."},
      {Wire("02 000000 000004 01 00000000 80000000"), "Invalid chunk size 2147483648 received."},
      {std::move(too_much), "Partial RTMP messages exceed 67108864 bytes.", kChunk, 4 * kChunk},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    MemoryTransport transport(row.wire);
    ChunkReader reader;
    ChunkReadResult result;
    while ((result = reader.ReadChunk(transport)).ok()) {
    }
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(reader.chunk_size(), row.chunk_size);
    EXPECT_EQ(reader.partial_bytes(), row.partial_bytes);
  }
}

TEST(HandshakeTest, ClientAnswersS1AndChecksTheVersionAndTheEcho) {
  const Bytes s1 = Pattern(kHandshakePacketSize);
  const struct {
    const char* name;
    uint8_t version;  // 0: no answer
    std::function<void(Bytes&)> change;
    const char* error;
  } rows[] = {
      {"an echo", 3, [](Bytes&) {}, ""},
      {"another second time field", 3, [](Bytes& s2) { s2[5] = 0x55; }, ""},
      {"another version", 6, [](Bytes&) {}, "Unexpected version (6) in RTMP handshake."},
      {"another time", 3, [](Bytes& s2) { s2[3] ^= 1; }, "Handshake response was invalid"},
      {"another last random byte", 3, [](Bytes& s2) { s2.back() ^= 0x80; },
       "Handshake response was invalid"},
      {"no answer", 0, nullptr, "Socket gracefully closed from the other side."},
  };
  std::vector<Bytes> randoms;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    MemoryTransport transport;
    transport.on_write = [&](MemoryTransport& t) {  // S0, S1, and C1 as S2 after the change
      if (row.version == 0 || t.output.size() != 1 + kHandshakePacketSize) return;
      Bytes s2(t.output.begin() + 1, t.output.end());
      row.change(s2);
      t.Append(Concat({{row.version}, s1, s2}));
    };
    const TransportResult result = ClientHandshake(transport);
    EXPECT_EQ(result.ok() ? "" : result.message, row.error);
    if (!result.ok()) continue;
    const Bytes& out = transport.output;
    ASSERT_EQ(out.size(), 1 + 2 * kHandshakePacketSize);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(Slice(out, 5, 4), Bytes(4, 0));  // C1: time, zero, random bytes
    // C2 is S1 with the second time field replaced.
    EXPECT_EQ(Slice(out, 1 + kHandshakePacketSize, 4), Slice(s1, 0, 4));
    EXPECT_EQ(Slice(out, 9 + kHandshakePacketSize, 1528), Slice(s1, 8, 1528));
    randoms.push_back(Slice(out, 9, 1528));
  }
  ASSERT_EQ(randoms.size(), 2u);
  EXPECT_NE(randoms[0], randoms[1]);  // fresh for every attempt
}

TEST(RtmpMessageTest, BodiesOnTheWire) {
  EXPECT_EQ(EncodeRtmpBody(RtmpMessage::UserControl(kUserControlPingResponse, {1234})),
            Wire("0007 000004D2"));
  EXPECT_EQ(EncodeRtmpBody(RtmpMessage::PeerBandwidth(2500000, 2)), Wire("002625A0 02"));
  RtmpMessage ping = DecodeRtmpBody(Header(0, RtmpType::kUserControl, 0), Wire("0006 000004D2 01"));
  EXPECT_EQ(ping.user_control().event_type, kUserControlPingRequest);
  EXPECT_EQ(ping.user_control().values, (std::vector<uint32_t>{1234}));  // tail ignored
  // Missing bytes read as zero.
  EXPECT_EQ(DecodeRtmpBody(Header(0, RtmpType::kWindowAckSize, 0), Wire("0102")).value(),
            0x01020000u);
  RtmpCommand command;
  command.transaction_id = 3;
  command.arguments.push_back(AmfValue(Amf3Item::Integer(5)));
  const Bytes body = EncodeRtmpBody(RtmpMessage::Command(RtmpType::kAmf3Command, command));
  // Format, Null name, Number 3, Null object, AMF3 switch, Integer 5.
  EXPECT_EQ(body, Wire("00 05 00 4008000000000000 05 11 04 05"));
  const RtmpMessage decoded = DecodeRtmpBody(Header(0, RtmpType::kAmf3Command, 0), body);
  EXPECT_EQ(decoded.command().transaction_id, 3);
  EXPECT_EQ(decoded.command().arguments.at(0).amf3().AsInteger(), 5);
}

TEST(RtmpMessageTest, DecodesCommandBodiesOfAnyShapeWithoutFailing) {
  const uint8_t amf0 = RtmpType::kAmf0Command;
  const std::tuple<const char*, uint8_t, const char*, const char*, int64_t> rows[] = {
      {"AMF3 double id", amf0, "05 11 05 4023800000000000", "", 9},
      {"NaN id", amf0, "05 00 7FF8000000000000", "", 0},
      {"AMF3 name and id", amf0, "11 06 03 'x' 11 04 02", "x", 2},
      {"data keeps byte 0", RtmpType::kAmf3Data, "02 0001 'x' 00 3FF0000000000000", "x", 1},
      {"empty", amf0, "", "", 0},
      {"a string cut short", amf0, "02 FFFF 'a'", "", 0},
      {"an id cut short, read as zeros", amf0, "02 0002 'xy' 00 3FF0", "xy", 1},
      {"a string for the id", amf0, "02 0001 'x' 02 0001 '7'", "x", 0},
      {"an object name", amf0, "03 00", "", 0},
      {"a marker AMF0 lacks", amf0, "0D 02 0001 'y'", "", 0},
      {"an AMF3 non-string name", amf0, "11 04 05", "", 0},
  };
  for (const auto& [name, type, hex, command, id] : rows) {  // name, type, body, command, id
    SCOPED_TRACE(name);
    const Bytes body = Wire(hex);
    RtmpMessage message = DecodeRtmpBody(Header(0, type, 0), body);
    EXPECT_EQ(message.command().name, command);
    EXPECT_EQ(message.command().transaction_id, id);
    if (type != amf0) continue;
    message = DecodeRtmpBody(Header(0, RtmpType::kAmf3Command, 0),
                             Concat({{0x00}, body}));  // the format byte skipped
    EXPECT_EQ(message.command().name, command);
    EXPECT_EQ(message.command().transaction_id, id);
  }
}

TEST(RtmpMessageTest, KnowsWhichTypesItCanParse) {
  for (int type = 0; type < 256; ++type) {
    const bool expected = (type >= 1 && type <= 6) || type == 8 || type == 9 || type == 15 ||
                          type == 17 || type == 18 || type == 20;
    EXPECT_EQ(IsSupportedRtmpType(static_cast<uint8_t>(type)), expected) << type;
  }
}

}  // namespace
}  // namespace Voro
