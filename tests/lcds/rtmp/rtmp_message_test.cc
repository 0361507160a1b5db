#include "lcds/rtmp/rtmp_message.h"

#include <gtest/gtest.h>

#include <vector>

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;

RtmpMessage Decode(uint8_t type, const Bytes& body) {
  RtmpHeader header;
  header.type = type;
  header.length = static_cast<uint32_t>(body.size());
  return DecodeRtmpBody(header, body);
}

TEST(RtmpMessageTest, ANewMessageIsAnEmptyCommandWithANullObject) {
  RtmpMessage message;
  EXPECT_EQ(message.header.length, 0u);
  EXPECT_EQ(message.header.type, 0);
  const RtmpCommand& command = message.command();
  EXPECT_TRUE(command.name.empty());
  EXPECT_EQ(command.transaction_id, 0);
  EXPECT_EQ(command.command_object.kind(), Amf0Kind::kNull);
  EXPECT_TRUE(command.arguments.empty());
}

TEST(RtmpMessageTest, ControlBodiesAreBigEndian) {
  EXPECT_EQ(EncodeRtmpBody(RtmpMessage::Control(RtmpType::kSetChunkSize, 4096)),
            (Bytes{0x00, 0x00, 0x10, 0x00}));
  EXPECT_EQ(EncodeRtmpBody(RtmpMessage::UserControl(kUserControlPingResponse, {1234})),
            (Bytes{0x00, 0x07, 0x00, 0x00, 0x04, 0xD2}));
  EXPECT_EQ(EncodeRtmpBody(RtmpMessage::PeerBandwidth(2500000, 2)),
            (Bytes{0x00, 0x26, 0x25, 0xA0, 0x02}));

  RtmpMessage ping = Decode(RtmpType::kUserControl, {0x00, 0x06, 0x00, 0x00, 0x04, 0xD2, 0x01});
  EXPECT_EQ(ping.user_control().event_type, kUserControlPingRequest);
  EXPECT_EQ(ping.user_control().values, (std::vector<uint32_t>{1234}));  // tail ignored

  RtmpMessage short_ack = Decode(RtmpType::kWindowAckSize, {0x01, 0x02});
  EXPECT_EQ(short_ack.value(), 0x01020000u);  // missing bytes read as zero
}

TEST(RtmpMessageTest, Amf3CommandBodiesStartWithAFormatByte) {
  RtmpCommand command;
  command.transaction_id = 3;
  command.arguments.push_back(AmfValue(Amf3Item::Integer(5)));
  const Bytes body = EncodeRtmpBody(RtmpMessage::Command(RtmpType::kAmf3Command, command));
  // 00, Null name, Number 3, Null object, AMF3 switch, Integer 5
  EXPECT_EQ(body, (Bytes{0x00, 0x05, 0x00, 0x40, 0x08, 0, 0, 0, 0, 0, 0, 0x05, 0x11, 0x04, 0x05}));

  RtmpMessage decoded = Decode(RtmpType::kAmf3Command, body);
  EXPECT_EQ(decoded.command().name, "");
  EXPECT_EQ(decoded.command().transaction_id, 3);
  EXPECT_EQ(decoded.command().command_object.kind(), Amf0Kind::kNull);
  ASSERT_EQ(decoded.command().arguments.size(), 1u);
  ASSERT_TRUE(decoded.command().arguments[0].is_amf3());
  EXPECT_EQ(decoded.command().arguments[0].amf3().AsInteger(), 5);
}

TEST(RtmpMessageTest, ReadsTransactionIdsInEitherFormat) {
  // "_result", then the id as an AMF3 Integer 7, then an AMF3 Double 9.75.
  const Bytes amf3_integer = {0x02, 0x00, 0x07, '_',  'r',  'e', 's',
                              'u',  'l',  't',  0x11, 0x04, 0x07};
  EXPECT_EQ(Decode(RtmpType::kAmf0Command, amf3_integer).command().transaction_id, 7);
  EXPECT_EQ(Decode(RtmpType::kAmf0Command, amf3_integer).command().name, "_result");
  const Bytes amf3_double = {0x05, 0x11, 0x05, 0x40, 0x23, 0x80, 0, 0, 0, 0, 0};
  EXPECT_EQ(Decode(RtmpType::kAmf0Command, amf3_double).command().transaction_id, 9);
  // A NaN id reads as 0 rather than an undefined conversion.
  const Bytes nan = {0x05, 0x00, 0x7F, 0xF8, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Decode(RtmpType::kAmf0Command, nan).command().transaction_id, 0);
}

TEST(RtmpMessageTest, AmfDataKeepsItsFirstByte) {
  // Type 15 is not skipped: its first byte is the name's marker.
  const Bytes body = {0x02, 0x00, 0x01, 'x', 0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
  RtmpMessage message = Decode(RtmpType::kAmf3Data, body);
  EXPECT_EQ(message.command().name, "x");
  EXPECT_EQ(message.command().transaction_id, 1);
}

TEST(RtmpMessageTest, GarbageCommandBodiesDecodeWithoutFailing) {
  const Bytes bodies[] = {{}, {0x00}, {0xFF, 0xFF}, {0x02, 0xFF, 0xFF, 'a'}, {0x03, 0x00}};
  for (const Bytes& body : bodies) {
    RtmpMessage message = Decode(RtmpType::kAmf3Command, body);
    EXPECT_TRUE(message.command().name.empty());
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
