#include "lcds/rtmp/rtmp_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "lcds/rtmp/rtmp_loopback.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

using namespace testing;
using Sim::RtmpServer;
using Sim::RtmpServerSession;
using std::chrono::seconds;
constexpr int kWaitMs = kRtmpWaitMs;

RtmpMessage CallMessage(const std::string& name, AmfValue argument = AmfValue(Amf0Item::Null())) {
  RtmpCommand command;
  command.name = name;
  command.arguments.push_back(std::move(argument));
  return RtmpMessage::Command(RtmpType::kAmf0Command, std::move(command));
}

using RtmpClientTest = RtmpLoopbackTest;

TEST_F(RtmpClientTest, ConnectsCallsAcrossChunkSizesAndAcknowledgesPerWindow) {
  Sim::RtmpServerOptions options;
  options.chunk_size = 4096;
  options.window_ack_size = 5000;
  StartServer(options);
  Answer();
  EXPECT_EQ(client_->client_id(), "nil");
  auto future = client_->ConnectCommand("rtmp://127.0.0.1/", "app:/x.swf", "");
  EXPECT_TRUE(Get(future).success);
  EXPECT_TRUE(client_->connected());
  EXPECT_EQ(client_->client_id(), "sim-client-1");
  const std::string text(12'000, 'k');
  auto echo = client_->Call(CallMessage("echo", AmfValue(Amf0Item::LongString(text))));
  EXPECT_EQ(Get(echo).value.amf0().AsString(), text);
  auto big = client_->Call(
      CallMessage("echo", AmfValue(Amf0Item::LongString(std::string(0x1000000, 'x')))));
  EXPECT_EQ(Fault(Get(big)), "RTMP_MESSAGE_TOO_LARGE: Message too large");

  auto connect = session_->WaitForCommand("connect", kWaitMs);
  ASSERT_TRUE(connect);
  EXPECT_EQ(connect->header.type, RtmpType::kAmf0Command);
  EXPECT_EQ(connect->header.chunk_stream_id, 3u);
  EXPECT_TRUE(connect->command().arguments.empty());
  const Amf0Object& object = connect->command().command_object.AsObject();
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.members) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"app", "audioCodecs", "capabilities", "flashVer",
                                            "fpad", "objectEncoding", "pageUrl", "swfUrl", "tcUrl",
                                            "videoCodecs", "videoFunction"}));
  EXPECT_EQ(object.members.at("flashVer").amf0().AsString(), "WIN 11,7,700,169");
  EXPECT_EQ(object.members.at("objectEncoding").amf0().AsNumber(), 1.0);
  EXPECT_EQ(object.members.at("audioCodecs").amf0().AsNumber(), 3575.0);
  EXPECT_EQ(object.members.at("tcUrl").amf0().AsString(), "rtmp://127.0.0.1/");
  std::vector<int64_t> ids;
  for (const RtmpMessage& m : session_->received()) {
    if (IsCommandRtmpType(m.header.type)) ids.push_back(m.command().transaction_id);
  }
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2}));  // the refused call was never sent
  auto ack = session_->WaitForMessage(
      [](const RtmpMessage& m) { return m.header.type == RtmpType::kAcknowledgement; }, kWaitMs);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->header.chunk_stream_id, 2u);
  EXPECT_GE(ack->value(), 5000u);
  EXPECT_LT(ack->value(), 20'000u);
}

TEST_F(RtmpClientTest, AnswersAreFoundAmidNoiseAndPingsAreAnswered) {
  server_->SetCallHandler([](RtmpServerSession& session, const RtmpMessage& call) {
    const std::string& name = call.command().name;
    const int64_t id = call.command().transaction_id;
    if (name == "unhandled") return false;
    // Noise first: an answer for no call, an onstatus, an unknown command.
    session.SendResult(RtmpType::kAmf0Command, id + 100, AmfValue(Amf0Item::Number(1)));
    session.SendCommand(RtmpType::kAmf0Command, "onstatus", 0, {AmfValue(Amf0Item::Null())});
    session.SendCommand(RtmpType::kAmf0Command, "onBWDone", 0, {});
    const AmfValue answer = name == "ack" ? AmfValue(ObjectWith({{"body", Amf3Item::Integer(5)}}))
                            : name == "number" ? AmfValue(Amf0Item::Number(5))
                                               : AmfValue(ObjectWith({{"body", Amf3Item::Null()}}));
    session.SendResult(call.header.type, id, answer);
    return true;
  });
  ASSERT_TRUE(session_->SendPing(1234));
  int pushes = 0;
  client_->SetReceiveHandler([&pushes](const AmfValue&) { ++pushes; });
  auto ack = client_->Call(CallMessage("ack"));
  auto number = client_->Call(CallMessage("number"));
  auto null_body = client_->Call(CallMessage("null-body"));
  auto unhandled = client_->Call(CallMessage("unhandled"));
  EXPECT_EQ(Get(ack).value.amf3().AsInteger(), 5);
  EXPECT_EQ(Get(number).value.amf0().AsNumber(), 5.0);
  EXPECT_TRUE(IsAmfObject(Get(null_body).value));  // a Null body leaves the whole object
  const RTMP::CommandResult failed = Get(unhandled);
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(Fault(failed).rfind(RtmpServer::kUnhandledFaultCode, 0), 0u) << Fault(failed);
  client_->Pump();
  EXPECT_EQ(pushes, 0);
  auto pong = session_->WaitForMessage(
      [](const RtmpMessage& m) { return m.header.type == RtmpType::kUserControl; }, kWaitMs);
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->header.chunk_stream_id, 2u);
  EXPECT_EQ(pong->header.message_stream_id, 0u);
  EXPECT_EQ(pong->user_control().event_type, kUserControlPingResponse);
  EXPECT_EQ(pong->user_control().values, (std::vector<uint32_t>{1234}));
}

TEST_F(RtmpClientTest, CallsTimeOutAfterSixtySecondsAndLateAnswersAreDropped) {
  testing::ManualClock clock;
  std::promise<int64_t> held;
  server_->SetCallHandler([&held](RtmpServerSession&, const RtmpMessage& call) {
    held.set_value(call.command().transaction_id);
    return true;  // answered later
  });
  std::vector<RTMP::CommandResult> callbacks;
  auto future = client_->Call(
      CallMessage("slow"), [&callbacks](const RTMP::CommandResult& r) { callbacks.push_back(r); });
  const int64_t id = held.get_future().get();

  clock.AdvanceMilliseconds(59'999);
  client_->Pump();
  EXPECT_EQ(future.wait_for(seconds(0)), std::future_status::timeout);
  clock.AdvanceMilliseconds(1'001);
  client_->Pump();
  ASSERT_EQ(future.wait_for(seconds(0)), std::future_status::ready);
  EXPECT_EQ(Fault(future.get()), "RTMP_TIMEOUT: Timed out");
  ASSERT_EQ(callbacks.size(), 1u);  // the callback ran in that Pump
  EXPECT_EQ(Fault(callbacks[0]), "RTMP_TIMEOUT: Timed out");

  // The late answer finds no call; a later call still works.
  session_->SendResult(RtmpType::kAmf0Command, id, AmfValue(Amf0Item::Number(1)));
  Answer();
  auto next = client_->Call(CallMessage("echo", AmfValue(Amf0Item::Number(2))));
  EXPECT_EQ(Get(next).value.amf0().AsNumber(), 2.0);
  client_->Pump();
  EXPECT_EQ(callbacks.size(), 1u);
}

TEST_F(RtmpClientTest, OpenCallsFailWhenTheConnectionGoes) {
  std::atomic<int> seen{0};
  server_->SetCallHandler([&seen](RtmpServerSession&, const RtmpMessage&) {
    ++seen;
    return true;  // never answered
  });
  auto open = client_->Call(CallMessage("never"));
  while (seen == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  session_->Drop();
  EXPECT_EQ(Fault(Get(open)), "RTMP_DISCONNECT: Disconnected");
  EXPECT_TRUE(client_->disconnected());
  EXPECT_FALSE(client_->connected());
  auto later = client_->Call(CallMessage("later"));
  EXPECT_EQ(Fault(Get(later)), "RTMP_DISCONNECT: Disconnected");

  auto other = Connect();  // destroying a client fails its open calls too
  ASSERT_TRUE(other);
  open = other->Call(CallMessage("never"));
  other.reset();
  EXPECT_EQ(Fault(Get(open)), "RTMP_DISCONNECT: Disconnected");
}

TEST_F(RtmpClientTest, ABareConnectionDropsWhatArrivesAndStillSends) {
  // Without a wake-up on send, what is queued leaves at the next turn of the worker's poll.
  RtmpConnectResult connected =
      ConnectRtmp("127.0.0.1", server_->port(), false, {}, RtmpConnectionOptions{false});
  ASSERT_TRUE(connected.ok()) << connected.error.message;
  connected.connection->Start();  // no message handler
  auto session = server_->WaitForSession(sessions_made_, kWaitMs);
  ASSERT_TRUE(session);
  ASSERT_TRUE(session->SendPing(7));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(connected.connection->Send(CallMessage("after"), kCommandChunkStream, 0),
            RtmpSendStatus::kQueued);
  EXPECT_TRUE(session->WaitForCommand("after", kWaitMs));
  EXPECT_FALSE(connected.connection->closed());
}

TEST_F(RtmpClientTest, ConcurrentCallsGetTheirOwnAnswers) {
  Answer();
  std::atomic<int> pushes{0};
  client_->SetReceiveHandler([&pushes](const AmfValue&) { ++pushes; });
  std::atomic<bool> running{true};
  std::thread pusher_and_pumper([&] {
    while (running) {
      session_->SendPush(ObjectWith({{"body", Amf3Item::Integer(1)}}));
      client_->Pump();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 8; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        const double tag = t * 1000 + i;
        auto future = client_->Call(CallMessage("echo", AmfValue(Amf0Item::Number(tag))));
        const RTMP::CommandResult result = Get(future);
        wrong +=
            !result.success || !result.value.is_amf0() || result.value.amf0().AsNumber() != tag;
      }
    });
  }
  for (auto& caller : callers) caller.join();
  running = false;
  pusher_and_pumper.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(pushes, 0);
}

TEST_F(RtmpClientTest, UnreadableAnswersFailTheirCallPushesReachTheHandlerUndecodedOrNotAtAll) {
  // An object of an externalizable class without a known body: the reader cannot go on.
  const Amf3Item opaque = amf_testing::Object3(
      amf_testing::Class("kiv.Opaque", {}, false, /*externalizable=*/true), {});
  server_->SetCallHandler([&opaque](RtmpServerSession& session, const RtmpMessage& call) {
    const bool unreadable = call.command().name == "opaque";
    session.SendResult(call.header.type, call.command().transaction_id,
                       ObjectWith({{"body", unreadable ? opaque : Amf3Item::Integer(1)}}));
    return true;
  });
  std::vector<AmfValue> pushes;
  client_->SetReceiveHandler([&pushes](const AmfValue& push) { pushes.push_back(push); });
  const auto started = std::chrono::steady_clock::now();
  auto opaque_call = client_->Call(CallMessage("opaque"));
  const RTMP::CommandResult failed = Get(opaque_call);
  EXPECT_LT(std::chrono::steady_clock::now() - started, seconds(5));  // not by timeout
  EXPECT_FALSE(failed.success);
  EXPECT_EQ(Text(failed.value, "faultCode"), RTMP::kUnreadableFaultCode);
  EXPECT_EQ(Text(failed.value, "faultString"),
            "Cannot read an object of the externalizable AMF3 class 'kiv.Opaque': its body "
            "format is unknown.");
  ASSERT_TRUE(session_->SendPush(ObjectWith({{"body", opaque}})));
  // The connection stays in step: the next call and pushes arrive whole, in Pump.
  ASSERT_TRUE(session_->SendPush(
      ObjectWith({{"clientId", Amf3Item::String("gn-1")}, {"body", Amf3Item::Integer(2)}})));
  ASSERT_TRUE(session_->SendCommand(RtmpType::kAmf0Command, "receive", 0, {}));
  ASSERT_TRUE(session_->SendCommand(RtmpType::kAmf0Command, "receive", 0,
                                    {AmfValue(Amf0Item::String("plain"))}));
  auto plain_call = client_->Call(CallMessage("plain"));
  EXPECT_EQ(Get(plain_call).value.amf3().AsInteger(), 1);
  EXPECT_TRUE(pushes.empty());
  const auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (pushes.size() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    client_->Pump();
  }
  ASSERT_EQ(pushes.size(), 3u);
  ASSERT_TRUE(pushes[0].is_amf3());  // undecoded
  EXPECT_EQ(pushes[0].amf3().AsObject().class_name(), "");
  EXPECT_EQ(Text(pushes[0], "clientId"), "gn-1");
  EXPECT_EQ(AmfMember(pushes[0], "body").amf3().AsInteger(), 2);
  ASSERT_TRUE(pushes[1].is_amf0());  // no argument: Undefined
  EXPECT_EQ(pushes[1].amf0().kind(), Amf0Kind::kUndefined);
  ASSERT_TRUE(pushes[2].is_amf0());
  EXPECT_EQ(pushes[2].amf0().AsString(), "plain");
}

}  // namespace
}  // namespace Voro
