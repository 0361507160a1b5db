// The simulator's platform services as the client meets them: a real LcdsSession over TLS.
#include "sim/platform_services.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/base64.h"
#include "diag/gzip.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_member.h"
#include "lcds/lcds_session.h"
#include "sim/amf_builders.h"
#include "support/test_pki.h"

namespace Voro::Sim {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kTimeout{5000};

class PlatformServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    PlatformAccount alice;
    alice.username = "alice";
    alice.password = "secret";
    alice.account_id = 7;
    alice.summoner_name = "Alice";
    alice.account_states = {"TRANSFERRING_OUT", "TRANSFERRING_OUT", "ENABLED"};
    platform_.AddAccount(alice);
    RtmpServerOptions options;
    options.tls = true;
    options.certificate_file = pki_->localhost_cert;
    options.key_file = pki_->server_key;
    server_ = std::make_unique<RtmpServer>(options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    platform_.Attach(*server_);
    session_.SetReceiveHandler([this](const Push& push) {
      std::lock_guard lock(mutex_);
      pushes_.push_back(push);
    });
  }

  MaybeType<LoginResult> Login(const std::string& password = "secret",
                               const std::string& auth_token = "") {
    LoginCredentials credentials;
    credentials.username = "alice";
    credentials.password = password;
    credentials.auth_token = auth_token;
    return session_.Login("localhost", server_->port(), true,
                          TrustedCertificates::FromPemFile(pki_->ca_cert), credentials, "7",
                          kTimeout);
  }

  // Ticks the session until `count` pushes have arrived or five seconds have passed.
  std::vector<Push> WaitForPushes(size_t count) {
    for (int i = 0; i < 500; ++i) {
      session_.Tick();
      {
        std::lock_guard lock(mutex_);
        if (pushes_.size() >= count) return pushes_;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    std::lock_guard lock(mutex_);
    return pushes_;
  }

  // Invokes and waits; the answer's value, or the failure's.
  RTMP::CommandResult Call(const std::string& service, const std::string& method,
                           const Amf3Item& argument, AmfValue* value) {
    auto future = session_.Invoke(
        service, method, argument, [value](const AmfValue& v) { *value = v; },
        [value](const AmfValue& v) { *value = v; });
    EXPECT_EQ(future.wait_for(kTimeout), std::future_status::ready);
    RTMP::CommandResult result = future.get();
    session_.Tick();
    return result;
  }

  static Amf3Item Texts(std::initializer_list<const char*> texts) {
    auto array = std::make_shared<Amf3Array>();
    for (const char* text : texts) array->dense.push_back(Amf3Item::String(text));
    return Amf3Item::Array(array);
  }

  const testing::TestPki* pki_ = nullptr;
  PlatformServices platform_;
  std::unique_ptr<RtmpServer> server_;
  LcdsSession session_;
  std::mutex mutex_;
  std::vector<Push> pushes_;
};

TEST_F(PlatformServicesTest, ServiceProxyAcknowledgesThenPushesTheResponse) {
  PlatformSettings settings;
  settings.service_proxy.delay_ms = 20;
  settings.service_proxy.answers.push_back({"inventory", "get", "OK", R"({"items": $payload})"});
  platform_.Configure(settings);
  ASSERT_TRUE(Login().ok());

  AmfValue ack;
  ASSERT_TRUE(Call("lcdsServiceProxy", "call", Texts({"uuid-1", "inventory", "get", "[1,2]"}), &ack)
                  .success);
  // The call itself is acknowledged without a body, so the answer is the acknowledge.
  EXPECT_EQ(ack.amf3().AsObject().class_name(), "flex.messaging.messages.AcknowledgeMessage");
  EXPECT_TRUE(IsAmfNullish(AmfMember(ack, "body")));
  ASSERT_TRUE(
      Call("lcdsServiceProxy", "call", Texts({"uuid-2", "store", "list", "x"}), &ack).success);

  const std::vector<Push> pushes = WaitForPushes(2);
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[0].body.AsObject().class_name(),
            "com.vorogames.platform.serviceproxy.dispatch.LcdsServiceProxyResponse");
  const AmfValue first(pushes[0].body);
  EXPECT_EQ(MemberText(first, "messageId"), "uuid-1");
  EXPECT_EQ(MemberText(first, "serviceName"), "inventory");
  EXPECT_EQ(MemberText(first, "methodName"), "get");
  EXPECT_EQ(MemberText(first, "status"), "OK");
  EXPECT_EQ(MemberText(first, "payload"), R"({"items": [1,2]})");
  EXPECT_FALSE(AmfMember(first, "compressedPayload").amf3().AsBoolean());
  EXPECT_EQ(MemberText(AmfValue(pushes[1].body), "payload"), "x") << "no answer matches: echo";
  EXPECT_EQ(platform_.journal().back(),
            "push com.vorogames.platform.serviceproxy.dispatch.LcdsServiceProxyResponse");
}

TEST_F(PlatformServicesTest, CompressedServiceProxyPayloadIsGzipInBase64) {
  PlatformSettings settings;
  settings.service_proxy.delay_ms = 0;
  settings.service_proxy.compress = true;
  platform_.Configure(settings);
  ASSERT_TRUE(Login().ok());
  const std::string payload(5000, 'z');
  AmfValue ack;
  ASSERT_TRUE(
      Call("lcdsServiceProxy", "call", Texts({"uuid-3", "chat", "history", payload.c_str()}), &ack)
          .success);
  const std::vector<Push> pushes = WaitForPushes(1);
  ASSERT_EQ(pushes.size(), 1u);
  const AmfValue response(pushes[0].body);
  EXPECT_TRUE(AmfMember(response, "compressedPayload").amf3().AsBoolean());
  std::vector<uint8_t> packed;
  ASSERT_TRUE(Base64Decode(MemberText(response, "payload"), &packed));
  EXPECT_LT(packed.size(), payload.size() / 10);
  const InflateResult inflated = InflateGzip(packed.data(), packed.size(), 0);
  ASSERT_TRUE(inflated.ok()) << inflated.status();
  EXPECT_EQ(inflated.text(), payload);
}

TEST_F(PlatformServicesTest, AccountStatesAnswerInTurnAndTheLastRepeats) {
  ASSERT_TRUE(Login().ok());
  std::vector<std::string> states;
  for (int i = 0; i < 4; ++i) {
    AmfValue state;
    ASSERT_TRUE(Call("accountService", "getAccountStateForCurrentSession",
                     Amf3Item(Amf3Kind::kArray), &state)
                    .success);
    states.push_back(*AmfString(state));
  }
  EXPECT_EQ(states, (std::vector<std::string>{"TRANSFERRING_OUT", "TRANSFERRING_OUT", "ENABLED",
                                              "ENABLED"}));
}

TEST_F(PlatformServicesTest, KickNotificationCarriesTheSessionToken) {
  PlatformSettings settings;
  BindingProperty body;
  body["sessionToken"] = "$token";
  body["reason"] = "logged in as $user ($account_id)";
  settings.pushes.push_back(
      {10, "com.vorogames.platform.messaging.ClientLoginKickNotification", "", body});
  platform_.Configure(settings);
  MaybeType<LoginResult> login = Login();
  ASSERT_TRUE(login.ok());

  std::vector<Push> pushes = WaitForPushes(1);
  ASSERT_EQ(pushes.size(), 1u);
  EXPECT_EQ(pushes[0].subtopic, "cn-7");
  EXPECT_EQ(pushes[0].body.AsObject().class_name(),
            "com.vorogames.platform.messaging.ClientLoginKickNotification");
  EXPECT_EQ(MemberText(AmfValue(pushes[0].body), "sessionToken"), login.value().session_token);
  EXPECT_EQ(MemberText(AmfValue(pushes[0].body), "reason"), "logged in as alice (7)");

  // A push on demand goes to every connection of the user.
  EXPECT_EQ(platform_.PushTo("alice", DynamicObject({{"n", Amf3Item::Integer(1)}}), "bc"), 1u);
  EXPECT_EQ(platform_.PushTo("nobody", DynamicObject({}), "bc"), 0u);
  pushes = WaitForPushes(2);
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[1].subtopic, "bc");
}

TEST_F(PlatformServicesTest, ReconnectInfoIsInTheLoginDataPacketWhenConfigured) {
  PlatformAccount bob;
  bob.username = "bob";
  bob.password = "pw";
  bob.account_id = 8;
  bob.reconnect_credentials["serverIp"] = "127.0.0.1";
  bob.reconnect_credentials["serverPort"] = uint64_t{5100};
  platform_.AddAccount(bob);
  LoginCredentials credentials{"bob", "", false, "", "pw"};
  MaybeType<LoginResult> login =
      session_.Login("localhost", server_->port(), true,
                     TrustedCertificates::FromPemFile(pki_->ca_cert), credentials, "8", kTimeout);
  ASSERT_TRUE(login.ok()) << login.failure().description;
  const AmfValue credentials_value =
      AmfMember(AmfMember(login.value().login_data_packet, "reconnectInfo"), "playerCredentials");
  EXPECT_EQ(MemberText(credentials_value, "serverIp"), "127.0.0.1");
  EXPECT_EQ(AmfMember(credentials_value, "serverPort").amf3().AsInteger(), 5100);
  MaybeType<LoginResult> plain = Login();
  ASSERT_TRUE(plain.ok());
  EXPECT_TRUE(IsAmfNullish(AmfMember(plain.value().login_data_packet, "reconnectInfo")));
}

TEST_F(PlatformServicesTest, QueueTokenRuleAndMalformedAnswers) {
  PlatformSettings settings;
  settings.require_queue_token = true;
  platform_.Configure(settings);
  platform_.SetTokenCheck([](const std::string& user, const std::string& token) {
    return user == "alice" && token == "issued";
  });
  MaybeType<LoginResult> refused = Login("secret", "forged");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure().messageId, "LOGIN-0001");
  ASSERT_TRUE(Login("wrong password", "issued").ok()) << "the token is what counts";

  settings.require_queue_token = false;
  settings.faults.login_data_packet = Fault::kMalformed;
  platform_.Configure(settings);
  LoginCredentials credentials{"alice", "", false, "", "secret"};
  MaybeType<LoginResult> malformed = session_.Login("localhost", server_->port(), true,
                                                    TrustedCertificates::FromPemFile(pki_->ca_cert),
                                                    credentials, "7", milliseconds(300));
  ASSERT_FALSE(malformed.ok());
  EXPECT_EQ(malformed.failure().messageId, "TIMED_OUT")
      << "an unreadable answer is no answer: " << malformed.failure().description;
  EXPECT_FALSE(session_.IsDisconnected()) << "and it does not cost the connection";
}

TEST_F(PlatformServicesTest, LogoutIsJournaledWithTheUserAndObserved) {
  std::vector<std::string> observed;
  std::mutex observed_mutex;
  platform_.SetObserver([&](const std::string& line) {
    std::lock_guard lock(observed_mutex);
    observed.push_back(line);
  });
  ASSERT_TRUE(Login().ok());
  session_.Logout();
  EXPECT_EQ(platform_.journal().back(), "loginService.logout alice");
  std::lock_guard lock(observed_mutex);
  EXPECT_EQ(observed, platform_.journal());
}

}  // namespace
}  // namespace Voro::Sim
