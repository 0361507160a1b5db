#include "lcds/flex_calls.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <vector>

#include "lcds/flex_messages.h"
#include "lcds/rtmp/rtmp_loopback.h"

namespace Voro {
namespace {

using FlexCallsTest = testing::RtmpLoopbackTest;
using testing::Get;
using testing::Text;

TEST_F(FlexCallsTest, FlexMessagesGoAsCommandsWithoutANameUnderTheClientsIdentity) {
  Answer();
  MessageIdGenerator ids;
  auto remoting = SendRemoting(*client_, ids, "demoService", "getDemo",
                               amf_testing::Array3({Amf3Item::String("arg")}));
  EXPECT_EQ(Get(remoting).value.amf3().AsArray().dense.at(0).AsString(), "arg");
  auto command = SendFlexCommand(*client_, MakeCommandMessage(ids, "", kFlexSubscribeOperation));
  EXPECT_TRUE(Get(command).success);
  // Once connected, the identity carries the client id the server gave.
  auto connect = client_->ConnectCommand("rtmp://127.0.0.1/", "app:/x.swf", "");
  ASSERT_TRUE(Get(connect).success);
  auto connected = SendRemoting(*client_, ids, "demoService", "getDemo", Amf3Item::Null());
  EXPECT_TRUE(Get(connected).success);

  std::vector<std::string> sent;  // type, chunk stream, name, object, the Flex message, endpoint
  for (const RtmpMessage& m : session_->received()) {
    if (!IsCommandRtmpType(m.header.type) || m.command().name == "connect") continue;
    const RtmpCommand& call = m.command();
    const AmfValue& flex = call.arguments.back();
    sent.push_back(std::to_string(m.header.type) + " " + std::to_string(m.header.chunk_stream_id) +
                   " '" + call.name + "' " +
                   (call.command_object.kind() == Amf0Kind::kNull ? "null " : "? ") +
                   std::to_string(call.arguments.size()) + " " +
                   std::string(flex.amf3().AsObject().class_name()) + " " +
                   Text(flex, "destination") + " " + Text(flex, "operation") + " " +
                   Text(flex, "clientId") + " " + Text(AmfMember(flex, "headers"), "DSEndpoint"));
  }
  EXPECT_EQ(sent, (std::vector<std::string>{
                      "17 3 '' null 1 flex.messaging.messages.RemotingMessage demoService "
                      "getDemo nil my-rtmp",
                      "20 3 '' null 1 flex.messaging.messages.CommandMessage - - - -",
                      "17 3 '' null 1 flex.messaging.messages.RemotingMessage demoService "
                      "getDemo sim-client-1 my-rtmp"}));

  auto amf0_client = Connect(/*object_encoding=*/0);
  ASSERT_TRUE(amf0_client);
  auto refused = SendRemoting(*amf0_client, ids, "demoService", "getDemo", Amf3Item::Null());
  ASSERT_EQ(refused.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_EQ(testing::Fault(refused.get()), "RTMP_OBJECT_ENCODING: Wrong object encoding");
}

}  // namespace
}  // namespace Voro
