// Whole logins: the real plugin library in the substitute host, signing in against the
// simulated platform (TLS platform server and HTTPS login queue) on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/api_client.h"
#include "host/host_session.h"
#include "sim/local_platform.h"
#include "support/test_pki.h"

namespace {

using Voro::Sim::LocalPlatform;
using Voro::Sim::Scenario;

constexpr auto kLoginWait = std::chrono::seconds(20);

Voro::Sim::PlatformAccount Alice() {
  Voro::Sim::PlatformAccount alice;
  alice.username = "alice";
  alice.password = "wonderland";
  alice.account_id = 7;
  alice.summoner_id = 70;
  alice.summoner_name = "Alice";
  alice.profile_icon_id = 12;
  alice.ip_balance = 1200;
  alice.vp_balance = 35;
  alice.platform_id = "SIM1";
  return alice;
}

class LoginFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    scenario_.accounts.push_back(Alice());
    scenario_.platform.require_queue_token = true;
  }

  void TearDown() override {
    if (session_) session_->Shutdown();
    session_.reset();
    platform_.reset();
  }

  // Starts the simulated platform and the plugin in the host, pointed at each other.
  void Start() {
    Voro::Sim::LocalPlatformOptions options;
    options.rtmps_port = 0;
    options.queue_port = 0;
    options.certificate_file = pki_->localhost_cert;
    options.key_file = pki_->server_key;
    platform_ = std::make_unique<LocalPlatform>(scenario_, options);
    std::string error;
    ASSERT_TRUE(platform_->Start(&error)) << error;

    const std::string region_file = pki_->dir + "/login-flow-region.json";
    std::ofstream(region_file)
        << R"({"globals": {"region": "sim"}, "region_data": {"sim": {"servers": {"lcds": {)"
        << R"("login_queue_url": "https://localhost:)" << platform_->queue_port() << R"(",)"
        << R"("lcds_host": "localhost", "lcds_port": )" << platform_->rtmps_port()
        << R"(, "use_tls": true}}}}})";
    session_ = kivhost::HostSession::Load(KIV_PLUGIN_PATH, &error);
    ASSERT_NE(session_, nullptr) << error;
    ASSERT_TRUE(session_->host().endpoints().LoadRegionFile(region_file, &error)) << error;
    ASSERT_TRUE(session_->host().external_http().SetExtraCaFile(pki_->ca_cert, &error)) << error;
    session_->host().endpoints().SetCommandLineArgs({{"lcds-ca-file", pki_->ca_cert}});
    ASSERT_TRUE(session_->Create(kivhost::HostVersion{}).accepted);
    ASSERT_TRUE(session_->Initialize());
  }

  kivhost::ApiCallResult Call(const std::string& method, const std::string& path,
                              const std::string& body = "") {
    kivhost::ApiCallResult result;
    const ApiEndpointRecord* endpoint =
        kivhost::FindEndpoint(*session_->descriptor().api, kivhost::MethodCode(method), path);
    EXPECT_NE(endpoint, nullptr) << path;
    if (endpoint == nullptr) return result;
    kivhost::ApiCall call;
    call.method = kivhost::MethodCode(method);
    call.path = path;
    if (!body.empty()) {
      call.content_type = "application/json";
      call.body = body;
    }
    std::string error;
    session_->thread().Invoke(
        [&] { EXPECT_TRUE(kivhost::CallEndpoint(*endpoint, call, &result, &error)) << error; });
    return result;
  }

  // The session resource's published states, in order, until one is `final_state` or
  // ERROR (or the wait ends).
  std::vector<std::string> WaitForSessionEnd(const std::string& final_state = "SUCCEEDED") {
    const auto deadline = std::chrono::steady_clock::now() + kLoginWait;
    while (std::chrono::steady_clock::now() < deadline) {
      std::vector<std::string> states = SessionStates();
      if (!states.empty() && (states.back() == final_state || states.back() == "ERROR")) {
        return states;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return SessionStates();
  }

  std::vector<std::string> SessionStates() const {
    std::vector<std::string> states;
    for (const auto& event : session_->host().event_log()) {
      if (event.kind != kivhost::EventRecord::kPublished ||
          event.name != "OnJsonApiEvent_kiv-login_v1_session") {
        continue;
      }
      const size_t at = event.payload.find(R"("state":")");
      if (at == std::string::npos) continue;
      const size_t start = at + 9;
      states.push_back(event.payload.substr(start, event.payload.find('"', start) - start));
    }
    return states;
  }

  // The published resource names after the first success, in order.
  std::vector<std::string> PublishedKivLoginResources() const {
    std::vector<std::string> names;
    for (const std::string& name : session_->host().published_events()) {
      if (name.rfind("OnJsonApiEvent_kiv-login_v1_", 0) == 0) names.push_back(name.substr(28));
    }
    return names;
  }

  // The fields of the last telemetry event `name` the host received, as JSON.
  std::string Telemetry(const std::string& name) const {
    std::string last;
    for (const auto& record : session_->host().endpoints().records()) {
      if (record.sink == "events" && record.name == name) last = record.arguments;
    }
    return last;
  }

  const Voro::testing::TestPki* pki_ = nullptr;
  Scenario scenario_;
  std::unique_ptr<LocalPlatform> platform_;
  std::unique_ptr<kivhost::HostSession> session_;
};

TEST_F(LoginFlowTest, ImmediateLoginOverTls) {
  Start();
  kivhost::ApiCallResult posted =
      Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})");
  EXPECT_EQ(posted.status, 201) << posted.error;
  EXPECT_NE(posted.body_json.find(R"("state":"IN_PROGRESS")"), std::string::npos)
      << posted.body_json;
  const std::vector<std::string> states = WaitForSessionEnd();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), "SUCCEEDED") << ::testing::PrintToString(states);

  kivhost::ApiCallResult session = Call("GET", "/kiv-login/v1/session");
  EXPECT_NE(session.body_json.find(R"("username":"alice")"), std::string::npos)
      << session.body_json;
  EXPECT_NE(session.body_json.find(R"("accountId":7)"), std::string::npos) << session.body_json;
  EXPECT_NE(session.body_json.find(R"("summonerId":70)"), std::string::npos) << session.body_json;
  EXPECT_NE(session.body_json.find(R"("connected":true)"), std::string::npos) << session.body_json;
  kivhost::ApiCallResult wallet = Call("GET", "/kiv-login/v1/wallet");
  EXPECT_EQ(wallet.body_json, R"({"ip":1200,"vp":35})");

  const std::string result = Telemetry("login_result");
  EXPECT_NE(result.find(R"("login_attempts":"1")"), std::string::npos) << result;
  EXPECT_NE(result.find(R"("login_succeeded":"true")"), std::string::npos) << result;
  EXPECT_EQ(result.find("login_error.id"), std::string::npos) << result;
  EXPECT_NE(result.find("login_auth_duration_seconds"), std::string::npos) << result;
  EXPECT_NE(result.find("login_overall_duration_seconds"), std::string::npos) << result;

  const std::vector<std::string> journal = platform_->services().journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.front(), "loginService.login alice");
  EXPECT_EQ(journal.back(), "clientFacadeService.getLoginDataPacketForUser");
}

TEST_F(LoginFlowTest, QueuedLoginShowsItsPlaceThenSucceeds) {
  scenario_.login_queue.players_ahead = 12;
  scenario_.login_queue.nodes = 3;
  scenario_.login_queue.rate = 20;
  scenario_.login_queue.delay_ms = 100;
  Start();
  EXPECT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  const std::vector<std::string> states = WaitForSessionEnd();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), "SUCCEEDED") << ::testing::PrintToString(states);
  bool queued = false;
  for (const auto& event : session_->host().event_log()) {
    if (event.name == "OnJsonApiEvent_kiv-login_v1_session" &&
        event.payload.find("estimatedPositionInQueue") != std::string::npos) {
      queued = true;
    }
  }
  EXPECT_TRUE(queued) << "the queue position was published";
  EXPECT_FALSE(Telemetry("login_queue_timing").empty());
}

TEST_F(LoginFlowTest, QueueRefusalEndsTheLogin) {
  Start();
  EXPECT_EQ(
      Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wrong"})").status,
      201);
  const std::vector<std::string> states = WaitForSessionEnd();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), "ERROR");
  kivhost::ApiCallResult session = Call("GET", "/kiv-login/v1/session");
  EXPECT_NE(session.body_json.find(R"("messageId":"INVALID_CREDENTIALS")"), std::string::npos)
      << session.body_json;
  const std::string result = Telemetry("login_result");
  EXPECT_NE(result.find(R"("login_error.messageId":"INVALID_CREDENTIALS")"), std::string::npos)
      << result;
  EXPECT_NE(result.find(R"("login_succeeded":"false")"), std::string::npos) << result;
  // A finished login makes room for the next one.
  EXPECT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  EXPECT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
}

TEST_F(LoginFlowTest, FirstLoginEndsAfterItsSecondPlatformFailure) {
  scenario_.platform.faults.login = Voro::Sim::Fault::kError;
  Start();
  EXPECT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  EXPECT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            409)
      << "one login at a time";
  const std::vector<std::string> states = WaitForSessionEnd();
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), "ERROR");
  const std::string result = Telemetry("login_result");
  EXPECT_NE(result.find(R"("login_attempts":"3")"), std::string::npos) << result;
  EXPECT_NE(result.find(R"("login_error.id":"ALE-4FBFEF56")"), std::string::npos) << result;
  EXPECT_NE(result.find(R"("login_error.messageId":"UNSPECIFIED_ERROR")"), std::string::npos)
      << result;
  size_t logins = 0;
  for (const std::string& line : platform_->services().journal()) {
    logins += line == "loginService.login alice" ? 1 : 0;
  }
  EXPECT_EQ(logins, 2u);
}

TEST_F(LoginFlowTest, LogoutDuringTheRetryWaitCancelsTheLogin) {
  scenario_.platform.faults.login = Voro::Sim::Fault::kError;
  Start();
  // A first login that the queue refuses, so that the next one retries without limit.
  EXPECT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"no"})").status,
            201);
  ASSERT_EQ(WaitForSessionEnd().back(), "ERROR");
  EXPECT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  const auto deadline = std::chrono::steady_clock::now() + kLoginWait;
  while (platform_->services().journal().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(platform_->services().journal().empty()) << "the platform login was tried";
  // Runs once the login waits before its next attempt.
  EXPECT_EQ(Call("DELETE", "/kiv-login/v1/session").status, 0);
  std::string result;
  while (result.find("LOGIN_CANCELLED") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    result = Telemetry("login_result");
  }
  EXPECT_NE(result.find(R"("login_error.id":"ALE-591382CE")"), std::string::npos) << result;
  EXPECT_NE(result.find(R"("login_error.messageId":"LOGIN_CANCELLED")"), std::string::npos)
      << result;
  EXPECT_EQ(Call("GET", "/kiv-login/v1/session").status, 404) << "the session is gone";
  const std::vector<std::string> resources = PublishedKivLoginResources();
  ASSERT_FALSE(resources.empty());
  EXPECT_EQ(resources.back(), "session") << "its Delete comes last";
}

}  // namespace
