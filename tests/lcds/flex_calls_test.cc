#include "lcds/flex_calls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "lcds/amf/amf_member.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/flex_messages.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "lcds/rtmp/rtmp_loopback.h"
#include "sim/rtmp_server.h"

namespace Voro {
namespace {

using std::chrono::seconds;

using FlexCallsTest = testing::RtmpLoopbackTest;
using testing::Fault;
using testing::Get;
using testing::ObjectWith;
using testing::Text;

TEST_F(FlexCallsTest, TheIdentityCarriesTheClientIdOnceConnected) {
  Answer();
  EXPECT_EQ(FlexIdentityOf(*client_).endpoint, "my-rtmp");
  EXPECT_EQ(FlexIdentityOf(*client_).client_id, "nil");
  auto connect = client_->ConnectCommand("rtmp://127.0.0.1/", "app:/x.swf", "");
  ASSERT_TRUE(Get(connect).success);
  const FlexClientIdentity identity = FlexIdentityOf(*client_);
  EXPECT_EQ(identity.endpoint, "my-rtmp");
  EXPECT_EQ(identity.client_id, "sim-client-1");
}

TEST_F(FlexCallsTest, PushesAreDecodedForTheHandler) {
  std::vector<Push> pushes;
  client_->SetReceiveHandler(
      DecodingPushes([&pushes](const Push& push) { pushes.push_back(push); }));
  ASSERT_TRUE(session_->SendPush(
      ObjectWith({{"headers", ObjectWith({{kFlexSubtopicHeader, Amf3Item::String("bc")}})},
                  {"clientId", Amf3Item::String("bc-7")},
                  {"body", Amf3Item::String("news")}})));
  ASSERT_TRUE(session_->SendCommand(RtmpType::kAmf0Command, "receive", 0, {}));
  const auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (pushes.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client_->Pump();
  }
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[0].subtopic, "bc");
  EXPECT_EQ(pushes[0].client_id, "bc-7");
  EXPECT_EQ(pushes[0].body.AsString(), "news");
  EXPECT_EQ(pushes[1].subtopic, "n/a");  // no argument at all
  EXPECT_EQ(pushes[1].client_id, "n/a");
  EXPECT_EQ(pushes[1].body.kind(), Amf3Kind::kUndefined);
}

TEST_F(FlexCallsTest, FlexMessagesGoAsCommandsWithoutAName) {
  Answer();
  MessageIdGenerator ids;
  auto remoting = SendRemoting(*client_, ids, "demoService", "getDemo",
                               amf_testing::Array3({Amf3Item::String("arg")}));
  EXPECT_EQ(Get(remoting).value.amf3().AsArray().dense.at(0).AsString(), "arg");
  auto command = SendFlexCommand(*client_, MakeCommandMessage(ids, "", kFlexSubscribeOperation));
  EXPECT_TRUE(Get(command).success);

  std::vector<std::string> sent;  // type, chunk stream, name, object, the Flex message
  for (const RtmpMessage& m : session_->received()) {
    if (!IsCommandRtmpType(m.header.type)) continue;
    const RtmpCommand& call = m.command();
    const AmfValue& flex = call.arguments.back();
    sent.push_back(
        std::to_string(m.header.type) + " " + std::to_string(m.header.chunk_stream_id) + " '" +
        call.name + "' " + (call.command_object.kind() == Amf0Kind::kNull ? "null " : "? ") +
        std::to_string(call.arguments.size()) + " " +
        std::string(flex.amf3().AsObject().class_name()) + " " + Text(flex, "destination") + " " +
        Text(flex, "operation") + " " + Text(flex, "clientId"));
  }
  EXPECT_EQ(sent,
            (std::vector<std::string>{
                "17 3 '' null 1 flex.messaging.messages.RemotingMessage demoService getDemo nil",
                "20 3 '' null 1 flex.messaging.messages.CommandMessage - - -"}));

  auto amf0_client = Connect(/*object_encoding=*/0);
  ASSERT_TRUE(amf0_client);
  auto refused = SendRemoting(*amf0_client, ids, "demoService", "getDemo", Amf3Item::Null());
  ASSERT_EQ(refused.wait_for(seconds(0)), std::future_status::ready);
  EXPECT_EQ(Fault(refused.get()), "RTMP_OBJECT_ENCODING: Wrong object encoding");
}

}  // namespace
}  // namespace Voro
