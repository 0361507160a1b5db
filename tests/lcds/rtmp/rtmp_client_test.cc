#include "lcds/rtmp/rtmp_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_member.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "sim/rtmp_server.h"
#include "support/manual_clock.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

using Sim::RtmpServer;
using Sim::RtmpServerSession;
using std::chrono::seconds;

constexpr int kWaitMs = 5000;

std::string FaultCode(const RTMP::CommandResult& result) {
  const std::string* code = AmfString(AmfMember(result.value, "faultCode"));
  return code ? *code : "<none>";
}

std::string FaultString(const RTMP::CommandResult& result) {
  const std::string* text = AmfString(AmfMember(result.value, "faultString"));
  return text ? *text : "<none>";
}

RtmpMessage CallMessage(const std::string& name, AmfValue argument = AmfValue(Amf0Item::Null())) {
  RtmpCommand command;
  command.name = name;
  command.arguments.push_back(std::move(argument));
  return RtmpMessage::Command(RtmpType::kAmf0Command, std::move(command));
}

Amf3Item ObjectWith(std::initializer_list<std::pair<const char*, Amf3Item>> members) {
  Amf3Item object(Amf3Kind::kObject);
  for (const auto& [name, value] : members) {
    object.MutableObject()->SetDynamicMember(name, value);
  }
  return object;
}

RTMP::CommandResult Get(std::future<RTMP::CommandResult>& future) {
  if (future.wait_for(seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "no answer";
    return {};
  }
  return future.get();
}

class RtmpClientTest : public ::testing::Test {
 protected:
  void SetUp() override { StartServer({}); }

  void StartServer(Sim::RtmpServerOptions options) {
    server_ = std::make_unique<RtmpServer>(options);
    sessions_made_ = 0;
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  // A client on a fresh connection, and the server's side of it.
  std::unique_ptr<RtmpClient> Connect() {
    RtmpConnectResult connected =
        ConnectRtmp("127.0.0.1", server_->port(), false, TrustedCertificates());
    EXPECT_TRUE(connected.ok()) << connected.error.message;
    if (!connected.ok()) {
      return nullptr;
    }
    auto client = std::make_unique<RtmpClient>(std::move(connected.connection));
    session_ = server_->WaitForSession(sessions_made_++, kWaitMs);
    return client;
  }

  // Answers every call "echo" with its argument (or as `answer` says).
  void Echo() {
    server_->SetCallHandler([](RtmpServerSession& session, const RtmpMessage& call) {
      if (call.command().name != "echo") {
        return false;
      }
      session.SendResult(
          call.header.type, call.command().transaction_id,
          call.command().arguments.empty() ? AmfValue() : call.command().arguments.back());
      return true;
    });
  }

  std::unique_ptr<RtmpServer> server_;
  std::shared_ptr<RtmpServerSession> session_;
  size_t sessions_made_ = 0;
};

TEST_F(RtmpClientTest, ConnectSendsTheCommandObjectAndTakesTheClientId) {
  auto client = Connect();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->Identity().client_id, "nil");
  auto future = client->ConnectCommand("rtmp://127.0.0.1/", "app:/x.swf", "");
  RTMP::CommandResult result = Get(future);
  EXPECT_TRUE(result.success);
  EXPECT_TRUE(client->connected());
  EXPECT_EQ(client->Identity().client_id, "sim-client-1");
  EXPECT_EQ(client->Identity().endpoint, "my-rtmp");

  auto connect = session_->WaitForCommand("connect", kWaitMs);
  ASSERT_TRUE(connect);
  EXPECT_EQ(connect->header.type, RtmpType::kAmf0Command);
  EXPECT_EQ(connect->header.chunk_stream_id, 3u);
  EXPECT_EQ(connect->command().transaction_id, 1);
  EXPECT_TRUE(connect->command().arguments.empty());
  const Amf0Object& object = connect->command().command_object.AsObject();
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.members) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"app", "audioCodecs", "capabilities", "flashVer",
                                            "fpad", "objectEncoding", "pageUrl", "swfUrl", "tcUrl",
                                            "videoCodecs", "videoFunction"}));
  EXPECT_EQ(object.members.at("flashVer").amf0().AsString(), "WIN 11,7,700,169");
  EXPECT_EQ(object.members.at("objectEncoding").amf0().AsNumber(), 1.0);
  EXPECT_EQ(object.members.at("audioCodecs").amf0().AsNumber(), 3575.0);
  EXPECT_EQ(object.members.at("tcUrl").amf0().AsString(), "rtmp://127.0.0.1/");
}

TEST_F(RtmpClientTest, TransactionIdsCountFromOne) {
  Echo();
  auto client = Connect();
  ASSERT_TRUE(client);
  auto first = client->Call(CallMessage("echo"));
  auto second = client->Call(CallMessage("echo"));
  EXPECT_TRUE(Get(first).success);
  EXPECT_TRUE(Get(second).success);
  std::vector<int64_t> ids;
  for (const RtmpMessage& m : session_->received()) {
    if (IsCommandRtmpType(m.header.type)) {
      ids.push_back(m.command().transaction_id);
    }
  }
  EXPECT_EQ(ids, (std::vector<int64_t>{1, 2}));
}

TEST_F(RtmpClientTest, AnAcknowledgeBodyIsTheAnswer) {
  server_->SetCallHandler([](RtmpServerSession& session, const RtmpMessage& call) {
    const std::string& name = call.command().name;
    AmfValue answer =
        name == "ack" ? AmfValue(ObjectWith({{"body", Amf3Item::Integer(5)}}))
        : name == "number"
            ? AmfValue(Amf0Item::Number(5))
            : AmfValue(ObjectWith({{"body", Amf3Item::Null()}, {"other", Amf3Item::Integer(9)}}));
    session.SendResult(call.header.type, call.command().transaction_id, answer);
    return true;
  });
  auto client = Connect();
  ASSERT_TRUE(client);
  auto ack = client->Call(CallMessage("ack"));
  auto number = client->Call(CallMessage("number"));
  auto null_body = client->Call(CallMessage("null-body"));
  RTMP::CommandResult a = Get(ack);
  RTMP::CommandResult n = Get(number);
  RTMP::CommandResult z = Get(null_body);
  ASSERT_TRUE(a.success);
  ASSERT_TRUE(a.value.is_amf3());
  EXPECT_EQ(a.value.amf3().AsInteger(), 5);
  ASSERT_TRUE(n.value.is_amf0());
  EXPECT_EQ(n.value.amf0().AsNumber(), 5.0);
  // A Null body leaves the whole object as the answer.
  EXPECT_TRUE(IsAmfObject(z.value));
}

TEST_F(RtmpClientTest, ErrorAnswersFailWithTheFaultObject) {
  auto client = Connect();
  ASSERT_TRUE(client);
  auto future = client->Call(CallMessage("nobody-handles-this"));
  RTMP::CommandResult result = Get(future);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(FaultCode(result), RtmpServer::kUnhandledFaultCode);
}

TEST_F(RtmpClientTest, UnmatchedAnswersAndOtherCommandsChangeNothing) {
  server_->SetCallHandler([](RtmpServerSession& session, const RtmpMessage& call) {
    const int64_t id = call.command().transaction_id;
    // Noise first: an answer for no call, an onstatus, an unknown command.
    session.SendResult(RtmpType::kAmf0Command, id + 100, AmfValue(Amf0Item::Number(1)));
    session.SendCommand(RtmpType::kAmf0Command, "onstatus", 0, {AmfValue(Amf0Item::Null())});
    session.SendCommand(RtmpType::kAmf0Command, "onBWDone", 0, {});
    session.SendResult(call.header.type, id, AmfValue(Amf0Item::String("real")));
    return true;
  });
  auto client = Connect();
  ASSERT_TRUE(client);
  int pushes = 0;
  client->SetReceiveHandler([&pushes](const Push&) { ++pushes; });
  auto future = client->Call(CallMessage("x"));
  RTMP::CommandResult result = Get(future);
  ASSERT_TRUE(result.success);
  EXPECT_EQ(result.value.amf0().AsString(), "real");
  client->Pump();
  EXPECT_EQ(pushes, 0);
}

TEST_F(RtmpClientTest, CallsTimeOutAfterSixtySecondsAndLateAnswersAreDropped) {
  testing::ManualClock clock;
  std::promise<std::pair<std::shared_ptr<RtmpServerSession>, int64_t>> held;
  server_->SetCallHandler([&held](RtmpServerSession& session, const RtmpMessage& call) {
    held.set_value({session.shared_from_this(), call.command().transaction_id});
    return true;  // answered later
  });
  auto client = Connect();
  ASSERT_TRUE(client);
  std::vector<RTMP::CommandResult> callbacks;
  auto future = client->Call(
      CallMessage("slow"), [&callbacks](const RTMP::CommandResult& r) { callbacks.push_back(r); });
  auto [session, id] = held.get_future().get();

  clock.AdvanceMilliseconds(59'999);
  client->Pump();
  EXPECT_EQ(future.wait_for(seconds(0)), std::future_status::timeout);

  clock.AdvanceMilliseconds(1'001);
  client->Pump();
  ASSERT_EQ(future.wait_for(seconds(0)), std::future_status::ready);
  RTMP::CommandResult result = future.get();
  EXPECT_FALSE(result.success);
  EXPECT_EQ(FaultCode(result), "RTMP_TIMEOUT");
  EXPECT_EQ(FaultString(result), "Timed out");
  ASSERT_EQ(callbacks.size(), 1u);  // the callback ran in that Pump
  EXPECT_EQ(FaultCode(callbacks[0]), "RTMP_TIMEOUT");

  // The late answer finds no call; a later call still works.
  session->SendResult(RtmpType::kAmf0Command, id, AmfValue(Amf0Item::Number(1)));
  Echo();
  auto next = client->Call(CallMessage("echo", AmfValue(Amf0Item::Number(2))));
  EXPECT_EQ(Get(next).value.amf0().AsNumber(), 2.0);
  client->Pump();
  EXPECT_EQ(callbacks.size(), 1u);
}

TEST_F(RtmpClientTest, AnswersPingsOnTheControlStream) {
  auto client = Connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(session_->SendPing(1234));
  auto pong = session_->WaitForMessage(
      [](const RtmpMessage& m) { return m.header.type == RtmpType::kUserControl; }, kWaitMs);
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->header.chunk_stream_id, 2u);
  EXPECT_EQ(pong->header.message_stream_id, 0u);
  EXPECT_EQ(pong->user_control().event_type, kUserControlPingResponse);
  EXPECT_EQ(pong->user_control().values, (std::vector<uint32_t>{1234}));
}

TEST_F(RtmpClientTest, DeliversPushesInPump) {
  auto client = Connect();
  ASSERT_TRUE(client);
  std::vector<Push> pushes;
  client->SetReceiveHandler([&pushes](const Push& push) { pushes.push_back(push); });
  Amf3Item message = ObjectWith({{"headers", ObjectWith({{"DSSubtopic", Amf3Item::String("t")}})},
                                 {"clientId", Amf3Item::String("c-1")},
                                 {"body", Amf3Item::Integer(42)}});
  ASSERT_TRUE(session_->SendPush(message));
  // Pushes wait for Pump, however long they have been queued.
  for (int i = 0; i < 500 && pushes.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    client->Pump();
  }
  ASSERT_EQ(pushes.size(), 1u);
  EXPECT_EQ(pushes[0].subtopic, "t");
  EXPECT_EQ(pushes[0].client_id, "c-1");
  EXPECT_EQ(pushes[0].body.AsInteger(), 42);
}

TEST_F(RtmpClientTest, ADroppedConnectionFailsOpenAndLaterCalls) {
  std::atomic<bool> seen{false};
  server_->SetCallHandler([&seen](RtmpServerSession&, const RtmpMessage&) {
    seen = true;
    return true;  // never answered
  });
  auto client = Connect();
  ASSERT_TRUE(client);
  auto open = client->Call(CallMessage("never"));
  while (!seen) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  session_->Drop();
  RTMP::CommandResult result = Get(open);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(FaultCode(result), "RTMP_DISCONNECT");
  EXPECT_EQ(FaultString(result), "Disconnected");
  EXPECT_TRUE(client->disconnected());
  EXPECT_FALSE(client->connected());
  auto later = client->Call(CallMessage("later"));
  EXPECT_EQ(FaultCode(Get(later)), "RTMP_DISCONNECT");
}

TEST_F(RtmpClientTest, DestroyingTheClientFailsOpenCalls) {
  server_->SetCallHandler([](RtmpServerSession&, const RtmpMessage&) { return true; });
  auto client = Connect();
  ASSERT_TRUE(client);
  auto open = client->Call(CallMessage("never"));
  client.reset();
  EXPECT_EQ(FaultCode(Get(open)), "RTMP_DISCONNECT");
}

TEST_F(RtmpClientTest, RefusesAMessageTooLargeForTheHeader) {
  Echo();
  auto client = Connect();
  ASSERT_TRUE(client);
  auto big = client->Call(
      CallMessage("echo", AmfValue(Amf0Item::LongString(std::string(0x1000000, 'x')))));
  RTMP::CommandResult result = Get(big);
  EXPECT_FALSE(result.success);
  EXPECT_EQ(FaultCode(result), "RTMP_MESSAGE_TOO_LARGE");
  EXPECT_EQ(FaultString(result), "Message too large");
  // The connection is unharmed.
  auto small = client->Call(CallMessage("echo", AmfValue(Amf0Item::Number(3))));
  EXPECT_TRUE(Get(small).success);
}

TEST_F(RtmpClientTest, LargeAnswersCrossChunkSizeChanges) {
  Sim::RtmpServerOptions options;
  options.chunk_size = 4096;
  StartServer(options);
  Echo();
  auto client = Connect();
  ASSERT_TRUE(client);
  auto connect = client->ConnectCommand("rtmp://x/", "", "");
  ASSERT_TRUE(Get(connect).success);
  const std::string text(100'000, 'k');
  auto future = client->Call(CallMessage("echo", AmfValue(Amf0Item::LongString(text))));
  RTMP::CommandResult result = Get(future);
  ASSERT_TRUE(result.success);
  EXPECT_EQ(result.value.amf0().AsString(), text);
}

TEST_F(RtmpClientTest, AcknowledgesReceivedBytesPerWindow) {
  Sim::RtmpServerOptions options;
  options.window_ack_size = 5000;
  StartServer(options);
  Echo();
  auto client = Connect();
  ASSERT_TRUE(client);
  auto connect = client->ConnectCommand("rtmp://x/", "", "");
  ASSERT_TRUE(Get(connect).success);
  auto future =
      client->Call(CallMessage("echo", AmfValue(Amf0Item::LongString(std::string(12'000, 'a')))));
  ASSERT_TRUE(Get(future).success);
  auto ack = session_->WaitForMessage(
      [](const RtmpMessage& m) { return m.header.type == RtmpType::kAcknowledgement; }, kWaitMs);
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->header.chunk_stream_id, 2u);
  EXPECT_GE(ack->value(), 5000u);
  EXPECT_LT(ack->value(), 20'000u);
}

TEST_F(RtmpClientTest, WorksOverTlsWithTheServersCertificateVerified) {
  std::string why;
  const testing::TestPki* pki = testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  Sim::RtmpServerOptions options;
  options.tls = true;
  options.certificate_file = pki->localhost_cert;
  options.key_file = pki->server_key;
  StartServer(options);
  Echo();
  RtmpConnectResult connected = ConnectRtmp("localhost", server_->port(), true,
                                            TrustedCertificates::FromPemFile(pki->ca_cert));
  ASSERT_TRUE(connected.ok()) << connected.error.message;
  RtmpClient client(std::move(connected.connection));
  auto connect = client.ConnectCommand("rtmps://localhost/", "", "");
  EXPECT_TRUE(Get(connect).success);
  auto echo = client.Call(CallMessage("echo", AmfValue(Amf0Item::String("over tls"))));
  EXPECT_EQ(Get(echo).value.amf0().AsString(), "over tls");

  // The same server is refused by a client that trusts only the built-in authorities.
  RtmpConnectResult refused =
      ConnectRtmp("localhost", server_->port(), true, TrustedCertificates::BuiltIn());
  EXPECT_FALSE(refused.ok());
  EXPECT_EQ(refused.error.error_code, 1);  // SSL_ERROR_SSL
}

// Many callers at once while pushes arrive: every call gets its own answer (run under tsan).
TEST_F(RtmpClientTest, ConcurrentCallsGetTheirOwnAnswers) {
  Echo();
  auto client = Connect();
  ASSERT_TRUE(client);
  std::atomic<bool> pushing{true};
  std::thread pusher([&] {
    while (pushing) {
      session_->SendPush(ObjectWith({{"body", Amf3Item::Integer(1)}}));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::atomic<int> pushes{0};
  client->SetReceiveHandler([&pushes](const Push&) { ++pushes; });
  constexpr int kThreads = 8;
  constexpr int kCalls = 100;
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const double tag = t * 1000 + i;
        auto future = client->Call(CallMessage("echo", AmfValue(Amf0Item::Number(tag))));
        RTMP::CommandResult result = Get(future);
        if (!result.success || !result.value.is_amf0() || result.value.amf0().AsNumber() != tag) {
          ++wrong;
        }
      }
    });
  }
  std::atomic<bool> calling{true};
  std::thread pumper([&] {
    while (calling) {
      client->Pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (auto& caller : callers) {
    caller.join();
  }
  calling = false;
  pumper.join();
  pushing = false;
  pusher.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(pushes, 0);
}

}  // namespace
}  // namespace Voro
