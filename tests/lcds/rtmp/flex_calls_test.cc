#include "lcds/flex_calls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_member.h"
#include "lcds/flex_messages.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "sim/rtmp_server.h"

namespace Voro {
namespace {

class FlexCallsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(&error)) << error;
    // Answers as the platform does: an acknowledge object whose body is the call's body.
    server_.SetCallHandler([](Sim::RtmpServerSession& session, const RtmpMessage& call) {
      const AmfValue& message = call.command().arguments.at(0);
      Amf3Item ack(Amf3Kind::kObject);
      ack.MutableObject()->SetDynamicMember("body", ToAmf3(AmfMember(message, "body")));
      session.SendResult(call.header.type, call.command().transaction_id, AmfValue(ack));
      return true;
    });
    RtmpConnectResult connected = ConnectRtmp("127.0.0.1", server_.port(), false, {});
    ASSERT_TRUE(connected.ok()) << connected.error.message;
    client_ = std::make_unique<RtmpClient>(std::move(connected.connection));
    session_ = server_.WaitForSession(0, 5000);
  }

  static Amf3Item ToAmf3(const AmfValue& value) {
    return value.is_amf3() ? value.amf3() : Amf3Item();
  }

  Sim::RtmpServer server_;
  std::unique_ptr<RtmpClient> client_;
  std::shared_ptr<Sim::RtmpServerSession> session_;
  MessageIdGenerator ids_;
};

TEST_F(FlexCallsTest, RemotingGoesAsAnAmf3CommandAndAnswersWithTheAcknowledgeBody) {
  auto array = std::make_shared<Amf3Array>();
  array->dense.push_back(Amf3Item::String("arg"));
  auto remoting =
      SendRemoting(*client_, ids_, "summonerService", "getSummoner", Amf3Item::Array(array));
  ASSERT_EQ(remoting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  RTMP::CommandResult result = remoting.get();
  ASSERT_TRUE(result.success);
  ASSERT_TRUE(result.value.is_amf3());
  ASSERT_EQ(result.value.amf3().kind(), Amf3Kind::kArray);
  EXPECT_EQ(result.value.amf3().AsArray().dense.at(0).AsString(), "arg");

  auto sent = session_->WaitForMessage(
      [](const RtmpMessage& m) {
        return m.header.type == RtmpType::kAmf3Command && m.command().transaction_id == 1;
      },
      5000);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->header.chunk_stream_id, 3u);
  EXPECT_EQ(sent->command().name, "");
  EXPECT_EQ(sent->command().command_object.kind(), Amf0Kind::kNull);
  ASSERT_EQ(sent->command().arguments.size(), 1u);
  const AmfValue& message = sent->command().arguments[0];
  ASSERT_TRUE(message.is_amf3());
  EXPECT_EQ(message.amf3().AsObject().class_name(), "flex.messaging.messages.RemotingMessage");
  EXPECT_EQ(*AmfString(AmfMember(message, "destination")), "summonerService");
  EXPECT_EQ(*AmfString(AmfMember(message, "operation")), "getSummoner");
  EXPECT_EQ(*AmfString(AmfMember(message, "clientId")), "nil");
}

TEST_F(FlexCallsTest, CommandMessagesGoAsAmf0Commands) {
  Amf3Item command = MakeCommandMessage(ids_, "", kFlexSubscribeOperation);
  auto future = SendFlexCommand(*client_, command);
  ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(future.get().success);
  auto sent = session_->WaitForMessage(
      [](const RtmpMessage& m) { return m.header.type == RtmpType::kAmf0Command; }, 5000);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->command().name, "");
  EXPECT_EQ(sent->command().transaction_id, 1);
  ASSERT_TRUE(sent->command().arguments.at(0).is_amf3());
  EXPECT_EQ(sent->command().arguments[0].amf3().AsObject().class_name(),
            "flex.messaging.messages.CommandMessage");
}

TEST(FlexCallsEncodingTest, RemotingNeedsAmf3ObjectEncoding) {
  Sim::RtmpServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  RtmpConnectResult connected = ConnectRtmp("127.0.0.1", server.port(), false, {});
  ASSERT_TRUE(connected.ok());
  RtmpClient client(std::move(connected.connection), /*object_encoding=*/0);
  MessageIdGenerator ids;
  auto future = SendRemoting(client, ids, "d", "o", Amf3Item::Null());
  ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_FALSE(future.get().success);
}

}  // namespace
}  // namespace Voro
