#include "lcds/lcds_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "lcds/rtmp/rtmp_loopback.h"
#include "sim/platform_services.h"
#include "support/sim_accounts.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

using std::chrono::milliseconds;
using testing::ObjectWith;
using testing::Text;

constexpr milliseconds kTimeout{5000};
constexpr milliseconds kShort{300};

class LcdsSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    Sim::PlatformAccount alice = testing::SimAlice();
    alice.partner_credentials = "partner-token";
    platform_.AddAccount(alice);
    alice.username = "banned";
    alice.login_error_code = "ACCOUNT_BANNED";
    platform_.AddAccount(alice);
    StartServer({});
  }

  void StartServer(Sim::RtmpServerOptions options) {
    options.tls = true;
    options.certificate_file = pki_->localhost_cert;
    options.key_file = pki_->server_key;
    server_ = std::make_unique<Sim::RtmpServer>(options);
    auto started = server_->Start();
    ASSERT_TRUE(started.ok()) << started.error();
    platform_.Attach(*server_);
  }

  MaybeType<LoginResult> Login(const std::string& user, milliseconds timeout = kTimeout,
                               bool partner = false) {
    LoginCredentials credentials;
    credentials.username = user;
    credentials.auth_token = partner ? "" : "queue-token";
    credentials.password = partner ? "" : "wonderland";
    credentials.has_partner_credentials = partner;
    credentials.partner_credentials = partner ? "partner-token" : "";
    return session_.Login("localhost", server_->port(), true, Trusted(), credentials, "7", timeout);
  }

  TrustedCertificates Trusted() const { return TrustedCertificates::FromPemFile(pki_->ca_cert); }

  const testing::TestPki* pki_ = nullptr;
  Sim::PlatformServices platform_;
  std::unique_ptr<Sim::RtmpServer> server_;
  LcdsSession session_;
};

TEST_F(LcdsSessionTest, LogsInOverTlsThroughEveryStepAndOutWithEitherCredentials) {
  MaybeType<LoginResult> result = Login("alice");
  ASSERT_TRUE(result.ok()) << result.failure().messageId << ": " << result.failure().description;
  EXPECT_EQ(result.value().session_token, "sim-token-1");
  EXPECT_EQ(*AmfString(result.value().password), "wonderland");
  EXPECT_EQ(Text(result.value().login_data_packet, "platformId"), "SIM1");
  const AmfValue all = AmfMember(result.value().login_data_packet, "allSummonerData");
  EXPECT_EQ(Text(AmfMember(all, "summoner"), "name"), "Alice");
  EXPECT_EQ(session_.session_token(), "sim-token-1");
  EXPECT_EQ(session_.username(), "alice");
  EXPECT_EQ(platform_.journal(),
            (std::vector<std::string>{"loginService.login alice", "unsubscribe gn-7",
                                      "unsubscribe cn-7", "unsubscribe bc", "subscribe gn-7",
                                      "subscribe cn-7", "subscribe bc", "auth alice",
                                      "clientFacadeService.getLoginDataPacketForUser"}));
  const auto subscriptions = session_.subscriptions();
  ASSERT_EQ(subscriptions.size(), 3u);
  EXPECT_EQ(subscriptions[2].subtopic, "bc");
  EXPECT_EQ(subscriptions[2].client_id, "bc-7");
  EXPECT_FALSE(session_.IsDisconnected());

  session_.Logout();
  EXPECT_EQ(platform_.journal().back(), "loginService.logout alice");
  EXPECT_FALSE(session_.IsDisconnected());  // no client any more
  EXPECT_FALSE(session_.Invoke("s", "m", Amf3Item::Null(), nullptr, nullptr).get().success);

  // Partner credentials instead of the password.
  ASSERT_TRUE(Login("alice", kTimeout, /*partner=*/true).ok());
  const char* sent[][3] = {{"queue-token", "wonderland", "-"}, {"", "-", "partner-token"}};
  for (size_t i = 0; i < 2; ++i) {
    auto login = server_->WaitForSession(i, 5000)->WaitForMessage(
        [](const RtmpMessage& m) { return m.header.type == RtmpType::kAmf3Command; }, 5000);
    ASSERT_TRUE(login);
    const AmfValue credentials =
        AmfValue(AmfMember(login->command().arguments.at(0), "body").amf3().AsArray().dense.at(0));
    EXPECT_EQ(credentials.amf3().AsObject().class_name(),
              "com.vorogames.platform.login.AuthenticationCredentials");
    EXPECT_EQ(Text(credentials, "domain"), kDefaultPlatformDomain);
    EXPECT_EQ(Text(credentials, "clientVersion"), "QPX");
    EXPECT_EQ(Text(credentials, "authToken"), sent[i][0]);
    EXPECT_EQ(Text(credentials, "password"), sent[i][1]);
    EXPECT_EQ(Text(credentials, "partnerCredentials"), sent[i][2]);
  }
}

TEST_F(LcdsSessionTest, ReportsEachFailureWithItsIdentifierAndMessage) {
  using F = Sim::PlatformFaults;
  constexpr Sim::Fault kSilent = Sim::Fault::kNoAnswer;
  constexpr Sim::Fault kError = Sim::Fault::kError;
  // The step that fails (none: a banned account), how, and what the caller is told.
  const std::tuple<Sim::Fault F::*, Sim::Fault, const char*, const char*> rows[] = {
      {&F::login, kSilent, "TIMED_OUT", "Timeout while waiting for LoginAsync"},
      {nullptr, kError, "ACCOUNT_BANNED", "rootCause Error from platform"},
      {&F::login, kError, "UNSPECIFIED_ERROR", "Login command result did not have a root cause"},
      {&F::subscribe, kSilent, "TIMED_OUT", "Timeout while waiting for AuthenticateChannelAsync"},
      {&F::channel_login, kSilent, "TIMED_OUT",
       "Timeout while waiting for AuthenticateChannelAsync"},
      {&F::channel_login, kError, "CHANNEL_AUTH_FAILED", "AuthenticateChannelAsync failed."},
      {&F::login_data_packet, kSilent, "TIMED_OUT",
       "Timeout while waiting for getLoginDataPacketForUser"},
      {&F::login_data_packet, kError, "FAILED_TO_GET_LOGIN_DATA_PACKET",
       "getLoginDataPacketForUser failed"},
  };
  for (const auto& [step, fault, id, message] : rows) {
    SCOPED_TRACE(message);
    F faults;
    if (step != nullptr) faults.*step = fault;
    platform_.SetFaults(faults);
    MaybeType<LoginResult> result = Login(step ? "alice" : "banned", kShort);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().id, "");
    EXPECT_EQ(result.failure().messageId, id);
    EXPECT_EQ(result.failure().description, message);
  }
}

TEST_F(LcdsSessionTest, ConnectFailures) {
  const uint16_t port = server_->port();
  server_->Stop();
  auto refused = session_.Login("localhost", port, true, Trusted(), {}, "7", kShort);
  EXPECT_EQ(refused.failure().messageId, "CONNECT_FAILED");
  EXPECT_EQ(refused.failure().description, "Failed to connect with socket");

  Sim::RtmpServerOptions silent;
  silent.answer_connect = false;
  StartServer(silent);
  server_->SetCallHandler([](Sim::RtmpServerSession&, const RtmpMessage&) { return true; });
  auto connect = session_.Connect("localhost", server_->port(), true, Trusted(), kShort);
  EXPECT_EQ(connect.failure().messageId, "CONNECT_COMMAND_FAILED");
  EXPECT_EQ(connect.failure().description, "Timeout while waiting for connect command");
  MaybeType<Success> untrusted =
      session_.Connect("localhost", server_->port(), true, TrustedCertificates::BuiltIn(), kShort);
  EXPECT_EQ(untrusted.failure().messageId, "CONNECT_FAILED");
}

TEST_F(LcdsSessionTest, ReconnectsWithTheStoredTokenAfterADrop) {
  auto reconnect = [this] {
    return session_.Reconnect("localhost", server_->port(), true, Trusted(), "7", kTimeout);
  };
  MaybeType<Success> early = reconnect();
  EXPECT_EQ(early.failure().messageId, "CHANNEL_AUTH_FAILED");
  EXPECT_EQ(early.failure().description, "No channel authentication credentials available.");

  ASSERT_TRUE(Login("alice").ok());
  server_->WaitForSession(0, 5000)->Drop();
  for (int i = 0; i < 500 && !session_.IsDisconnected(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_TRUE(session_.IsDisconnected());
  // A call while disconnected fails at once, with the text, without being sent.
  std::string failure_text;
  auto offline = session_.Invoke("demoService", "get", Amf3Item::Null(), nullptr,
                                 [&](const AmfValue& v) { failure_text = *AmfString(v); });
  ASSERT_EQ(offline.wait_for(milliseconds(0)), std::future_status::ready);
  EXPECT_FALSE(offline.get().success);
  EXPECT_EQ(failure_text, "Required RTMP connection is not established.");

  MaybeType<Success> again = reconnect();
  ASSERT_TRUE(again.ok()) << again.failure().description;
  EXPECT_FALSE(session_.IsDisconnected());
  EXPECT_EQ(platform_.journal().back(), "auth alice");
  bool succeeded = false;
  auto online = session_.Invoke(
      "demoService", "get", Amf3Item::Null(), [&](const AmfValue&) { succeeded = true; }, nullptr);
  ASSERT_EQ(online.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(online.get().success);
  EXPECT_FALSE(succeeded);  // callbacks wait for Tick
  session_.Tick();
  EXPECT_TRUE(succeeded);
}

TEST_F(LcdsSessionTest, PushesArriveDecodedInTickOnEachNewClient) {
  std::vector<std::string> seen;  // "handler subtopic client body"
  auto handler = [&seen](const char* name) {
    return [&seen, name](const Push& push) {
      seen.push_back(std::string(name) + " " + push.subtopic + " " + push.client_id + " " +
                     push.body.AsString());
    };
  };
  auto push = [](Sim::RtmpServerSession& session, const char* body) {
    return session.SendPush(
        ObjectWith({{"headers", ObjectWith({{kFlexSubtopicHeader, Amf3Item::String("bc")}})},
                    {"clientId", Amf3Item::String("bc-7")},
                    {"body", Amf3Item::String(body)}}));
  };
  auto tick_until = [this, &seen](size_t count) {
    for (int i = 0; i < 500 && seen.size() < count; ++i) {
      session_.Tick();
      std::this_thread::sleep_for(milliseconds(10));
    }
  };
  session_.SetReceiveHandler(handler("first"));  // before there is a client
  ASSERT_TRUE(Login("alice").ok());
  ASSERT_TRUE(push(*server_->WaitForSession(0, 5000), "one"));
  tick_until(1);
  session_.SetReceiveHandler(handler("second"));  // on the current client
  ASSERT_TRUE(push(*server_->WaitForSession(0, 5000), "two"));
  tick_until(2);
  EXPECT_EQ(seen, (std::vector<std::string>{"first bc bc-7 one", "second bc bc-7 two"}));
}

}  // namespace
}  // namespace Voro
