// The simulator's platform services as the client meets them: a real LcdsSession over TLS.
#include "sim/platform_services.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/value/base64.h"
#include "diag/gzip.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_member.h"
#include "lcds/amf/amf_test_support.h"
#include "lcds/flex_calls.h"
#include "lcds/lcds_session.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "sim/amf_builders.h"
#include "sim/scenario.h"
#include "support/sim_accounts.h"
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
    PlatformAccount alice = testing::SimAlice();
    alice.account_states = {"TRANSFERRING_OUT", "TRANSFERRING_OUT", "ENABLED"};
    platform_.AddAccount(alice);
    server_ = std::make_unique<RtmpServer>(RtmpServerOptions{
        .tls = true, .certificate_file = pki_->localhost_cert, .key_file = pki_->server_key});
    auto started = server_->Start();
    ASSERT_TRUE(started.ok()) << started.error();
    platform_.Attach(*server_);
    // Pushes are delivered by Tick, on the test's thread.
    session_.SetReceiveHandler([this](const Push& push) { pushes_.push_back(push); });
  }

  MaybeType<LoginResult> Login(const std::string& password = "wonderland",
                               const std::string& auth_token = "",
                               const std::string& user = "alice", milliseconds timeout = kTimeout) {
    const LoginCredentials credentials{user, auth_token, false, "", password};
    return session_.Login("localhost", server_->port(), true,
                          TrustedCertificates::FromPemFile(pki_->ca_cert), credentials,
                          user == "alice" ? "7" : "8", timeout);
  }

  MaybeType<Success> Reconnect() {
    return session_.Reconnect("localhost", server_->port(), true,
                              TrustedCertificates::FromPemFile(pki_->ca_cert), "7", kTimeout);
  }

  // Ticks the session until its connection is gone or `limit` has passed; whether it went.
  bool WaitForDisconnect(milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      session_.Tick();
      if (session_.IsDisconnected()) return true;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  // How often `line` is in the journal from index `from` on.
  long JournalCount(const std::string& line, size_t from = 0) {
    const std::vector<std::string> journal = platform_.journal();
    return std::count(journal.begin() + static_cast<long>(std::min(from, journal.size())),
                      journal.end(), line);
  }

  // Ticks the session until `count` pushes have arrived or five seconds have passed.
  std::vector<Push> WaitForPushes(size_t count) {
    for (int i = 0; i < 500 && pushes_.size() < count; ++i) {
      session_.Tick();
      std::this_thread::sleep_for(milliseconds(10));
    }
    return pushes_;
  }

  // Invokes and tells how the call came back: "fault <faultCode>|<faultString>", "ack
  // without a body", or "ok [<class> ]<value as JSON>".
  std::string Outcome(const std::string& service, const std::string& method,
                      const Amf3Item& argument = Amf3Item(Amf3Kind::kArray)) {
    auto future = session_.Invoke(service, method, argument, nullptr, nullptr);
    if (future.wait_for(kTimeout) != std::future_status::ready) return "no answer";
    const RTMP::CommandResult result = future.get();
    const AmfValue& value = result.value;
    if (!result.success) {
      return "fault " + MemberText(value, "faultCode") + "|" + MemberText(value, "faultString");
    }
    std::string class_name;
    if (value.is_amf3() && value.amf3().kind() == Amf3Kind::kObject) {
      class_name = std::string(value.amf3().AsObject().class_name());
    }
    if (class_name == "flex.messaging.messages.AcknowledgeMessage") {
      return IsAmfNullish(AmfMember(value, "body")) ? "ack without a body" : "ack with a body";
    }
    return "ok " + (class_name.empty() ? "" : class_name + " ") +
           WriteJson(ToBindingProperty(value));
  }
  // A service proxy call: message id, service, method and payload.
  std::string ProxyCall(std::initializer_list<const char*> texts) {
    auto array = std::make_shared<Amf3Array>();
    for (const char* text : texts) array->dense.push_back(Amf3Item::String(text));
    return Outcome("lcdsServiceProxy", "call", Amf3Item::Array(array));
  }

  const testing::TestPki* pki_ = nullptr;
  PlatformServices platform_;
  std::unique_ptr<RtmpServer> server_;
  LcdsSession session_;
  std::vector<Push> pushes_;
};

// Whether `bytes` are a gzip stream, fine as far as it goes, whose end is missing.
bool IsGzipCutShort(std::vector<uint8_t> bytes) {
  if (bytes.size() < 2 || bytes[0] != 0x1f || bytes[1] != 0x8b) return false;
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return false;
  std::vector<uint8_t> out(1 << 16);
  stream.next_in = bytes.data();
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = inflate(&stream, Z_NO_FLUSH);
  const bool all_read = stream.avail_in == 0;
  inflateEnd(&stream);
  return all_read && (status == Z_OK || status == Z_BUF_ERROR);
}

// A pushed service proxy response as "messageId|service.method|status|payload", the payload
// read as the client would: "plain|<text>", "gzip|<text>", "not-base64|<text>",
// "not-gzip|<the decoded bytes>" or "truncated" (a gzip stream missing its end).
std::string DescribeProxyResponse(const Push& push) {
  if (push.body.kind() != Amf3Kind::kObject ||
      push.body.AsObject().class_name() !=
          "com.vorogames.platform.serviceproxy.dispatch.LcdsServiceProxyResponse") {
    return "not a service proxy response";
  }
  const AmfValue body(push.body);
  const std::string payload = MemberText(body, "payload");
  std::string text = MemberText(body, "messageId") + "|" + MemberText(body, "serviceName") + "." +
                     MemberText(body, "methodName") + "|" + MemberText(body, "status") + "|";
  const Amf3Kind compressed = push.body.AsObject().GetMember("compressedPayload").kind();
  if (compressed == Amf3Kind::kFalse) return text + "plain|" + payload;
  if (compressed != Amf3Kind::kTrue) return text + "compressedPayload is not a boolean";
  std::vector<uint8_t> bytes;
  if (!Base64Decode(payload, &bytes)) return text + "not-base64|" + payload;
  const InflateResult inflated = InflateGzip(bytes.data(), bytes.size(), 0);
  if (inflated.ok()) return text + "gzip|" + std::string(inflated.text());
  // The client meets a data error either way, which cannot tell the two from each other.
  if (inflated.status() != kInflateDataError)
    return text + "inflate status " + std::to_string(inflated.status());
  if (IsGzipCutShort(bytes)) return text + "truncated";
  return text + "not-gzip|" + std::string(bytes.begin(), bytes.end());
}

TEST_F(PlatformServicesTest, ScriptedDestinationsAnswerTheirValueOrFault) {
  auto scenario = ParseScenario(R"(
platform:
  services:
    - destination: inventoryService
      operation: getItems
      value:
        __class: kiv.ItemList
        owner: alice
        items:
          - { __class: kiv.Item, name: sword }
          - { __class: kiv.Item, name: shield, bound: true }
    - destination: inventoryService
      operation: dropItem
      fault: { faultCode: Server.Processing, faultString: Item is bound }
    - { destination: inventoryService, value: 3 }
    - { operation: getBalance, value: [12500, 2.5, ip], array_collections: true }
    - { destination: storeService, operation: getOffers }
    - { destination: chatService, fault: { faultString: Muted } }
)");
  ASSERT_TRUE(scenario.ok()) << scenario.error();
  platform_.Configure(scenario.value().platform);
  ASSERT_TRUE(Login().ok());
  struct Case {
    const char* service;
    const char* method;
    const char* outcome;
  };
  const Case cases[] = {
      // The first match answers, though the destination-wide entry matches too. Every kiv.Item
      // has the members of both, the first's "bound" left out (null); members come in order
      // of their names, as the scenario's mappings keep them.
      {"inventoryService", "getItems",
       R"(ok kiv.ItemList {"items":[{"bound":null,"name":"sword"},{"bound":true,"name":"shield"}],)"
       R"("owner":"alice"})"},
      {"inventoryService", "dropItem", "fault Server.Processing|Item is bound"},
      {"inventoryService", "countItems", "ok 3"},
      {"bankService", "getBalance", R"(ok flex.messaging.io.ArrayCollection [12500,2.5,"ip"])"},
      {"chatService", "send", "fault Server.Processing|Muted"},
      {"storeService", "getOffers", "ack without a body"},   // scripted without a value
      {"storeService", "getBundles", "ack without a body"},  // nothing matches
  };
  const size_t from = platform_.journal().size();
  std::vector<std::string> expected_journal;
  for (const Case& c : cases) {
    EXPECT_EQ(Outcome(c.service, c.method), c.outcome) << c.service << "." << c.method;
    expected_journal.push_back(std::string(c.service) + "." + c.method);
  }
  const std::vector<std::string> journal = platform_.journal();
  EXPECT_EQ(std::vector<std::string>(journal.begin() + static_cast<long>(from), journal.end()),
            expected_journal);
}

TEST_F(PlatformServicesTest, ServiceProxyAnswersPushWhatTheScenarioScripts) {
  struct Case {
    const char* compress;  // the global knob
    const char* knobs;     // of the one answer, besides service and payload
    std::vector<std::string> pushes;
  };
  const std::string call = "uuid-7|inventoryService.getItems|";
  const std::string text = R"({"items": [1]})";
  const Case cases[] = {
      {"false", "", {call + "OK|plain|" + text}},
      {"false", "compress: true", {call + "OK|gzip|" + text}},
      {"true", "compress: false", {call + "OK|plain|" + text}},
      {"true", "", {call + "OK|gzip|" + text}},
      {"false", "malformed: not-base64", {call + "OK|not-base64|not Base64: " + text}},
      {"false", "malformed: not-gzip", {call + "OK|not-gzip|" + text}},
      {"false", "malformed: truncated", {call + "OK|truncated"}},
      // A malformed payload is sent as compressed whatever compress says.
      {"false", "compress: false, malformed: not-gzip", {call + "OK|not-gzip|" + text}},
      {"false",
       "message_id: uuid-nobody",
       {"uuid-nobody|inventoryService.getItems|OK|plain|" + text}},
      {"false", "method: getItems, status: ACK", {call + "ACK|plain|" + text}},
      // No answer matches: the payload comes back as it went.
      {"false", "method: other", {call + "OK|plain|[1]"}},
      {"true", "method: other", {call + "OK|gzip|[1]"}},
      {"false", "also_ack: true", {call + "ACK|plain|", call + "OK|plain|" + text}},
      {"true",
       "also_ack: true, message_id: \"\", malformed: truncated",
       {"|inventoryService.getItems|ACK|plain|", "|inventoryService.getItems|OK|truncated"}},
  };
  ASSERT_TRUE(Login().ok());
  const std::string push_line =
      "push com.vorogames.platform.serviceproxy.dispatch.LcdsServiceProxyResponse";
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.compress) + " " + c.knobs);
    const std::string yaml = std::string("platform: { service_proxy: { delay_ms: 0, compress: ") +
                             c.compress + R"(, answers: [ { service: inventoryService, )" +
                             R"(payload: '{"items": $payload}', )" + c.knobs + " } ] } }";
    auto scenario = ParseScenario(yaml);
    ASSERT_TRUE(scenario.ok()) << scenario.error();
    platform_.Configure(scenario.value().platform);
    const size_t pushed = pushes_.size();
    const size_t journaled = platform_.journal().size();
    // The call itself is acknowledged without a body; the answers come as pushes.
    EXPECT_EQ(ProxyCall({"uuid-7", "inventoryService", "getItems", "[1]"}), "ack without a body");
    WaitForPushes(pushed + c.pushes.size());
    // Time for a push too many to show up.
    for (int i = 0; i < 5; ++i) {
      session_.Tick();
      std::this_thread::sleep_for(milliseconds(10));
    }
    std::vector<std::string> got;
    for (size_t i = pushed; i < pushes_.size(); ++i) {
      got.push_back(DescribeProxyResponse(pushes_[i]));
    }
    EXPECT_EQ(got, c.pushes);
    EXPECT_EQ(JournalCount("lcdsServiceProxy.call inventoryService.getItems", journaled), 1);
    EXPECT_EQ(JournalCount(push_line, journaled), static_cast<long>(c.pushes.size()));
  }
}

TEST_F(PlatformServicesTest, ScheduledPushesCarryTheSessionsValuesAndWholeCollections) {
  const std::string kick = "com.vorogames.platform.messaging.ClientLoginKickNotification";
  BindingProperty kick_body;
  kick_body["sessionToken"] = "$token";
  kick_body["reason"] = "logged in as $user ($account_id)";
  BindingProperty body = ParseJson(R"({"items":[1,{"n":["a","b"]}],"after":"$user"})").value();
  PlatformSettings settings;
  // Pushes due together go in the order given.
  settings.pushes = {{10, kick, "", kick_body},
                     {10, "kiv.Inventory", "inv", body, /*array_collections=*/true}};
  platform_.Configure(settings);
  MaybeType<LoginResult> login = Login();
  ASSERT_TRUE(login.ok());
  std::vector<Push> pushes = WaitForPushes(2);
  ASSERT_EQ(pushes.size(), 2u);
  const AmfValue kicked(pushes[0].body);
  EXPECT_EQ(pushes[0].body.AsObject().class_name(), kick);
  EXPECT_EQ(MemberText(kicked, "sessionToken"), login.value().session_token);
  EXPECT_EQ(pushes[0].subtopic + " " + MemberText(kicked, "reason"), "cn-7 logged in as alice (7)");

  // On the wire each list was an ArrayCollection with its body: nothing after it shifted.
  const Amf3Item& items = pushes[1].body.AsObject().GetMember("items");
  ASSERT_EQ(items.kind(), Amf3Kind::kObject);
  EXPECT_EQ(items.AsObject().class_name(), kArrayCollectionClassName);
  EXPECT_TRUE(items.AsObject().amf_class()->externalizable());
  // A list still; the anonymous object inside keeps its members as dynamic ones, which do
  // not convert.
  EXPECT_EQ(WriteJson(ToBindingProperty(items)), R"([1,{}])");
  EXPECT_EQ(MemberText(AmfValue(pushes[1].body), "after"), "alice");
  body["after"] = "alice";
  EXPECT_EQ(amf_testing::Amf3Hex(pushes[1].body),
            amf_testing::Amf3Hex(AsArrayCollections(TypedDynamicObject("kiv.Inventory", body))));
  EXPECT_EQ(pushes[1].subtopic, "inv");
  EXPECT_EQ(JournalCount("push kiv.Inventory"), 1) << "a class the platform gives no meaning";

  // A push on demand goes to every connection of the user.
  EXPECT_EQ(platform_.PushTo("alice", DynamicObject({{"n", Amf3Item::Integer(1)}}), "bc"), 1u);
  EXPECT_EQ(platform_.PushTo("nobody", DynamicObject({}), "bc"), 0u);
  pushes = WaitForPushes(3);
  ASSERT_EQ(pushes.size(), 3u);
  EXPECT_EQ(pushes[2].subtopic, "bc");
}

TEST_F(PlatformServicesTest, QueueTokenRuleAndMalformedAnswers) {
  PlatformSettings settings;
  settings.require_queue_token = true;
  platform_.Configure(settings);
  platform_.SetTokenCheck([](const std::string& user, const std::string& token) {
    return user == "alice" && token == "issued";
  });
  MaybeType<LoginResult> refused = Login("wonderland", "forged");
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.failure().messageId, "LOGIN-0001");
  ASSERT_TRUE(Login("wrong password", "issued").ok()) << "the token is what counts";

  settings.require_queue_token = false;
  settings.faults.login_data_packet = Fault::kMalformed;
  platform_.Configure(settings);
  MaybeType<LoginResult> malformed = Login("wonderland", "", "alice", milliseconds(300));
  ASSERT_FALSE(malformed.ok());
  EXPECT_EQ(malformed.failure().messageId, "TIMED_OUT")
      << "an unreadable answer is no answer: " << malformed.failure().description;
  EXPECT_FALSE(session_.IsDisconnected()) << "and it does not cost the connection";
}

TEST_F(PlatformServicesTest, LoginDataPacketAccountStatesAndLogoutAreJournaledAndObserved) {
  std::vector<std::string> observed;
  std::mutex observed_mutex;
  platform_.SetObserver([&](const std::string& line) {
    std::lock_guard lock(observed_mutex);
    observed.push_back(line);
  });
  PlatformAccount bob = testing::SimAlice();
  bob.username = "bob";
  bob.account_id = 8;
  bob.reconnect_credentials["serverPort"] = uint64_t{5100};
  platform_.AddAccount(bob);
  MaybeType<LoginResult> login = Login("wonderland", "", "bob");
  ASSERT_TRUE(login.ok()) << login.failure().description;
  const AmfValue reconnect =
      AmfMember(AmfMember(login.value().login_data_packet, "reconnectInfo"), "playerCredentials");
  EXPECT_EQ(AmfMember(reconnect, "serverPort").amf3().AsInteger(), 5100);
  login = Login();
  ASSERT_TRUE(login.ok());
  EXPECT_TRUE(IsAmfNullish(AmfMember(login.value().login_data_packet, "reconnectInfo")));
  const auto state = [this] {
    return Outcome("accountService", "getAccountStateForCurrentSession");
  };
  std::string states;
  for (int i = 0; i < 4; ++i) states += state() + " ";
  EXPECT_EQ(states, R"(ok "TRANSFERRING_OUT" ok "TRANSFERRING_OUT" ok "ENABLED" ok "ENABLED" )")
      << "the last repeats";
  // The turns are the connection's: a new one starts them over.
  ASSERT_TRUE(Login().ok());
  EXPECT_EQ(state(), R"(ok "TRANSFERRING_OUT")");
  session_.Logout();
  EXPECT_EQ(platform_.journal().back(), "loginService.logout alice");
  std::lock_guard lock(observed_mutex);
  EXPECT_EQ(observed, platform_.journal());
}

TEST_F(PlatformServicesTest, DropsTheSessionAfterItsLoginAndAgainOnlyWithARange) {
  struct Case {
    const char* name;
    DropSettings drops;
    bool drops_again;
  };
  const Case cases[] = {
      {"once", {.after_ms = 100}, false},
      {"every", {.after_ms = 100, .every_ms = DelayRange{50, 150}, .seed = 7}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PlatformSettings settings;
    settings.drops = c.drops;
    platform_.Configure(settings);
    const size_t from = platform_.journal().size();
    ASSERT_TRUE(Login().ok());
    ASSERT_TRUE(WaitForDisconnect(kTimeout)) << "the server drops the logged-in connection";
    EXPECT_EQ(JournalCount("drop alice", from), 1);

    MaybeType<Success> back = Reconnect();
    ASSERT_TRUE(back.ok()) << back.failure().description;
    EXPECT_EQ(JournalCount("reconnect alice", from), 1);
    EXPECT_EQ(JournalCount("loginService.login alice", from), 1) << "a reconnect does not log in";
    if (c.drops_again) {
      // Each reconnected connection goes within the range's max; the margin is for slow runs.
      for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WaitForDisconnect(milliseconds(150 + 3000))) << "drop " << i + 2;
        back = Reconnect();
        ASSERT_TRUE(back.ok()) << back.failure().description;
      }
      EXPECT_EQ(JournalCount("drop alice", from), 3);
      EXPECT_EQ(JournalCount("reconnect alice", from), 3);
    } else {
      // Three times the first delay pass without another drop.
      EXPECT_FALSE(WaitForDisconnect(milliseconds(300)));
      EXPECT_EQ(JournalCount("drop alice", from), 1);
    }
  }
}

TEST_F(PlatformServicesTest, RefusesReconnectsByCountAndByTurn) {
  struct Case {
    ReconnectRefusals refusals;
    const char* outcomes;  // per reconnect: o accepted, x refused
  };
  const Case cases[] = {
      {{.count = 2}, "xxoo"},
      {{.every = 3}, "ooxoox"},
      {{.count = 1, .every = 2}, "xxoxo"},
      {{}, "ooo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcomes);
    PlatformSettings settings;
    settings.refuse_reconnects = c.refusals;
    platform_.Configure(settings);
    ASSERT_TRUE(Login().ok());
    const size_t from = platform_.journal().size();
    std::string outcomes;
    std::string journaled;
    for (size_t i = 0; c.outcomes[i] != '\0'; ++i) {
      const MaybeType<Success> back = Reconnect();
      outcomes += back.ok() ? 'o' : 'x';
      // The client's session tells a refused channel login by its own code, not the root cause.
      if (!back.ok()) {
        EXPECT_EQ(back.failure().messageId, "CHANNEL_AUTH_FAILED");
      }
    }
    const std::vector<std::string> journal = platform_.journal();
    for (size_t i = from; i < journal.size(); ++i) {
      if (journal[i] == "reconnect alice") journaled += 'o';
      if (journal[i] == "refuse reconnect alice") journaled += 'x';
    }
    EXPECT_EQ(outcomes, c.outcomes);
    EXPECT_EQ(journaled, c.outcomes);
  }
}

TEST_F(PlatformServicesTest, ARefusedReconnectCarriesItsRootCause) {
  PlatformSettings settings;
  settings.refuse_reconnects = {.count = 1, .root_cause = "KIV-NO-RETURN"};
  platform_.Configure(settings);
  ASSERT_TRUE(Login().ok());
  // The channel login a reconnect sends, on a connection of its own, its answer read raw.
  auto channel_login = [this] {
    RtmpConnectResult connected = ConnectRtmp("localhost", server_->port(), true,
                                              TrustedCertificates::FromPemFile(pki_->ca_cert));
    if (!connected.ok()) return RTMP::MakeFault("CONNECT", connected.error.message);
    RtmpClient client(std::move(connected.connection));
    auto connect = client.ConnectCommand("rtmps://localhost", kLcdsSwfUrl, "");
    if (connect.wait_for(kTimeout) != std::future_status::ready) {
      return RTMP::MakeFault("CONNECT", "no answer");
    }
    MessageIdGenerator ids;
    Amf3Item login = MakeCommandMessage(ids, "", 8);
    const std::string secret = "alice:" + platform_.SessionToken("alice");
    login.MutableObject()->SetMember("destination", Amf3Item::String("auth"));
    login.MutableObject()->SetMember(
        "body", Amf3Item::String(
                    Base64Encode(reinterpret_cast<const uint8_t*>(secret.data()), secret.size())));
    auto answer = SendFlexCommand(client, login);
    if (answer.wait_for(kTimeout) != std::future_status::ready) {
      return RTMP::MakeFault("LOGIN", "no answer");
    }
    return answer.get();
  };
  const RTMP::CommandResult refused = channel_login();
  ASSERT_FALSE(refused.success);
  EXPECT_EQ(MemberText(refused.value, "faultCode") + " " +
                MemberText(AmfMember(refused.value, "rootCause"), "errorCode"),
            "Server.Processing KIV-NO-RETURN");
  EXPECT_TRUE(channel_login().success) << "one refusal, then reconnects go through";
  EXPECT_EQ(JournalCount("refuse reconnect alice"), 1);
  EXPECT_EQ(JournalCount("reconnect alice"), 1);
}

}  // namespace
}  // namespace Voro::Sim
