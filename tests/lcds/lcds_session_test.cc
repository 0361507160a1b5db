#include "lcds/lcds_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_member.h"
#include "sim/platform_services.h"
#include "sim/rtmp_server.h"
#include "support/test_pki.h"

namespace Voro {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kTimeout{5000};
constexpr milliseconds kShort{300};

class LcdsSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    Sim::PlatformAccount alice;
    alice.username = "alice";
    alice.password = "secret";
    alice.partner_credentials = "partner-token";
    alice.account_id = 7;
    alice.summoner_id = 70;
    alice.summoner_name = "Alice";
    alice.platform_id = "SIM1";
    platform_.AddAccount(alice);
    Sim::PlatformAccount banned = alice;
    banned.username = "banned";
    banned.login_error_code = "ACCOUNT_BANNED";
    platform_.AddAccount(banned);
    StartServer({});
  }

  void StartServer(Sim::RtmpServerOptions options) {
    options.tls = true;
    options.certificate_file = pki_->localhost_cert;
    options.key_file = pki_->server_key;
    server_ = std::make_unique<Sim::RtmpServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    platform_.Attach(*server_);
  }

  MaybeType<LoginResult> Login(const std::string& user, const std::string& password,
                               milliseconds timeout = kTimeout) {
    LoginCredentials credentials;
    credentials.username = user;
    credentials.auth_token = "queue-token";
    credentials.password = password;
    return session_.Login("localhost", server_->port(), true, Trusted(), credentials, "7", timeout);
  }

  TrustedCertificates Trusted() const { return TrustedCertificates::FromPemFile(pki_->ca_cert); }

  const testing::TestPki* pki_ = nullptr;
  Sim::PlatformServices platform_;
  std::unique_ptr<Sim::RtmpServer> server_;
  LcdsSession session_;
};

std::string Text(const AmfValue& object, const char* name) {
  const std::string* text = AmfString(AmfMember(object, name));
  return text ? *text : "<missing>";
}

TEST_F(LcdsSessionTest, LogsInOverTlsThroughEveryStep) {
  MaybeType<LoginResult> result = Login("alice", "secret");
  ASSERT_TRUE(result.ok()) << result.failure().messageId << ": " << result.failure().description;
  EXPECT_EQ(result.value().session_token, "sim-token-1");
  EXPECT_EQ(*AmfString(result.value().password), "secret");
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
}

TEST_F(LcdsSessionTest, SendsPasswordOrPartnerCredentials) {
  ASSERT_TRUE(Login("alice", "secret").ok());
  LoginCredentials partner;
  partner.username = "alice";
  partner.has_partner_credentials = true;
  partner.partner_credentials = "partner-token";
  ASSERT_TRUE(
      session_.Login("localhost", server_->port(), true, Trusted(), partner, "7", kTimeout).ok());
  std::vector<std::pair<std::string, std::string>> sent;  // (password, partnerCredentials)
  for (size_t i = 0; i < 2; ++i) {
    auto session = server_->WaitForSession(i, 5000);
    ASSERT_TRUE(session);
    auto login = session->WaitForMessage(
        [](const RtmpMessage& m) { return m.header.type == RtmpType::kAmf3Command; }, 5000);
    ASSERT_TRUE(login);
    const AmfValue credentials =
        AmfValue(AmfMember(login->command().arguments.at(0), "body").amf3().AsArray().dense.at(0));
    EXPECT_EQ(credentials.amf3().AsObject().class_name(),
              "com.vorogames.platform.login.AuthenticationCredentials");
    EXPECT_EQ(Text(credentials, "domain"), kDefaultPlatformDomain);
    EXPECT_EQ(Text(credentials, "clientVersion"), "QPX");
    EXPECT_EQ(Text(credentials, "authToken"), i == 0 ? "queue-token" : "");
    sent.emplace_back(Text(credentials, "password"), Text(credentials, "partnerCredentials"));
  }
  EXPECT_EQ(sent[0], (std::pair<std::string, std::string>{"secret", "<missing>"}));
  EXPECT_EQ(sent[1], (std::pair<std::string, std::string>{"<missing>", "partner-token"}));
}

TEST_F(LcdsSessionTest, ReportsEachFailureWithItsIdentifierAndMessage) {
  struct Case {
    const char* what;
    Sim::PlatformFaults faults;
    const char* user;
    const char* id;
    const char* message;
  };
  auto faults = [](auto set) {
    Sim::PlatformFaults f;
    set(f);
    return f;
  };
  const Case cases[] = {
      {"login unanswered", faults([](auto& f) { f.login = Sim::Fault::kNoAnswer; }), "alice",
       "TIMED_OUT", "Timeout while waiting for LoginAsync"},
      {"root cause", {}, "banned", "ACCOUNT_BANNED", "rootCause Error from platform"},
      {"no root cause", faults([](auto& f) { f.login = Sim::Fault::kError; }), "alice",
       "UNSPECIFIED_ERROR", "Login command result did not have a root cause"},
      {"subscription unanswered", faults([](auto& f) { f.subscribe = Sim::Fault::kNoAnswer; }),
       "alice", "TIMED_OUT", "Timeout while waiting for AuthenticateChannelAsync"},
      {"channel login unanswered", faults([](auto& f) { f.channel_login = Sim::Fault::kNoAnswer; }),
       "alice", "TIMED_OUT", "Timeout while waiting for AuthenticateChannelAsync"},
      {"channel login refused", faults([](auto& f) { f.channel_login = Sim::Fault::kError; }),
       "alice", "CHANNEL_AUTH_FAILED", "AuthenticateChannelAsync failed."},
      {"data packet unanswered",
       faults([](auto& f) { f.login_data_packet = Sim::Fault::kNoAnswer; }), "alice", "TIMED_OUT",
       "Timeout while waiting for getLoginDataPacketForUser"},
      {"data packet refused", faults([](auto& f) { f.login_data_packet = Sim::Fault::kError; }),
       "alice", "FAILED_TO_GET_LOGIN_DATA_PACKET", "getLoginDataPacketForUser failed"},
  };
  for (const Case& c : cases) {
    platform_.SetFaults(c.faults);
    MaybeType<LoginResult> result = Login(c.user, "secret", kShort);
    ASSERT_FALSE(result.ok()) << c.what;
    EXPECT_EQ(result.failure().id, "") << c.what;
    EXPECT_EQ(result.failure().messageId, c.id) << c.what;
    EXPECT_EQ(result.failure().description, c.message) << c.what;
  }
}

TEST_F(LcdsSessionTest, ConnectFailures) {
  const uint16_t port = server_->port();
  server_->Stop();
  MaybeType<LoginResult> refused =
      session_.Login("localhost", port, true, Trusted(), {}, "7", kShort);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure().messageId, "CONNECT_FAILED");
  EXPECT_EQ(refused.failure().description, "Failed to connect with socket");

  Sim::RtmpServerOptions silent;
  silent.answer_connect = false;
  StartServer(silent);
  server_->SetCallHandler([](Sim::RtmpServerSession&, const RtmpMessage&) { return true; });
  MaybeType<Success> connect =
      session_.Connect("localhost", server_->port(), true, Trusted(), kShort);
  ASSERT_FALSE(connect.ok());
  EXPECT_EQ(connect.failure().messageId, "CONNECT_COMMAND_FAILED");
  EXPECT_EQ(connect.failure().description, "Timeout while waiting for connect command");

  MaybeType<Success> untrusted =
      session_.Connect("localhost", server_->port(), true, TrustedCertificates::BuiltIn(), kShort);
  ASSERT_FALSE(untrusted.ok());
  EXPECT_EQ(untrusted.failure().messageId, "CONNECT_FAILED");
}

TEST_F(LcdsSessionTest, ReconnectsWithTheStoredTokenAfterADrop) {
  MaybeType<Success> early =
      session_.Reconnect("localhost", server_->port(), true, Trusted(), "7", kTimeout);
  ASSERT_FALSE(early.ok());
  EXPECT_EQ(early.failure().messageId, "CHANNEL_AUTH_FAILED");
  EXPECT_EQ(early.failure().description, "No channel authentication credentials available.");

  ASSERT_TRUE(Login("alice", "secret").ok());
  server_->WaitForSession(0, 5000)->Drop();
  for (int i = 0; i < 500 && !session_.IsDisconnected(); ++i) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_TRUE(session_.IsDisconnected());

  // A call while disconnected fails at once, with the text, without being sent.
  std::string failure_text;
  auto offline = session_.Invoke("summonerService", "get", Amf3Item::Null(), nullptr,
                                 [&](const AmfValue& v) { failure_text = *AmfString(v); });
  ASSERT_EQ(offline.wait_for(milliseconds(0)), std::future_status::ready);
  EXPECT_FALSE(offline.get().success);
  EXPECT_EQ(failure_text, "Required RTMP connection is not established.");

  MaybeType<Success> again =
      session_.Reconnect("localhost", server_->port(), true, Trusted(), "7", kTimeout);
  ASSERT_TRUE(again.ok()) << again.failure().description;
  EXPECT_FALSE(session_.IsDisconnected());
  const auto journal = platform_.journal();
  EXPECT_EQ(journal.back(), "auth alice");

  bool succeeded = false;
  auto online = session_.Invoke(
      "summonerService", "get", Amf3Item::Null(), [&](const AmfValue&) { succeeded = true; },
      nullptr);
  ASSERT_EQ(online.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_TRUE(online.get().success);
  EXPECT_FALSE(succeeded);  // callbacks wait for Tick
  session_.Tick();
  EXPECT_TRUE(succeeded);
}

TEST_F(LcdsSessionTest, LogoutTellsTheServerAndCloses) {
  ASSERT_TRUE(Login("alice", "secret").ok());
  session_.Logout();
  EXPECT_EQ(platform_.journal().back(), "loginService.logout alice");
  EXPECT_FALSE(session_.IsDisconnected());  // no client any more
  auto after = session_.Invoke("s", "m", Amf3Item::Null(), nullptr, nullptr);
  EXPECT_FALSE(after.get().success);
}

}  // namespace
}  // namespace Voro
