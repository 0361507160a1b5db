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
#include "host/qsa_service.h"
#include "sim/local_platform.h"
#include "support/sim_accounts.h"
#include "support/test_pki.h"

namespace {

using Voro::Sim::LocalPlatform;
using Voro::Sim::Scenario;

constexpr auto kLoginWait = std::chrono::seconds(20);

// Alice's account with the host's sign-on service, on platform "LOC1".
kivhost::QsaAccount QsaAlice(const std::string& access_token = "at-alice") {
  kivhost::QsaAccount account;
  account.username = "alice";
  account.password = "wonderland";
  account.puuid = "qsa-puuid-1";
  account.id_token = R"({"token":"qsa-id-token","expiry":0})";
  account.access_token = R"({"token":")" + access_token + R"(","scopes":["openid"],"expiry":0})";
  return account;
}

class LoginFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    scenario_.accounts.push_back(Voro::testing::SimAlice());
    scenario_.platform.require_queue_token = true;
  }

  void TearDown() override {
    if (session_) session_->Shutdown();
    session_.reset();
    platform_.reset();
  }

  // Starts the simulated platform and the plugin in the host, pointed at each other.
  // `qsa_platform_id`: the region's sign-on platform (none when empty).
  void Start(const std::string& qsa_platform_id = "") {
    Voro::Sim::LocalPlatformOptions options;
    options.rtmps_port = 0;
    options.queue_port = 0;
    options.certificate_file = pki_->localhost_cert;
    options.key_file = pki_->server_key;
    platform_ = std::make_unique<LocalPlatform>(scenario_, options);
    std::string error;
    ASSERT_TRUE(platform_->Start(&error)) << error;

    const std::string region_file = pki_->dir + "/login-flow-region.json";
    std::ofstream(region_file) << platform_->RegionSettingsJson(qsa_platform_id);
    session_ = kivhost::HostSession::Load(KIV_PLUGIN_PATH, &error);
    ASSERT_NE(session_, nullptr) << error;
    ASSERT_TRUE(session_->host().endpoints().LoadRegionFile(region_file, &error)) << error;
    ASSERT_TRUE(session_->host().external_http().SetExtraCaFile(pki_->ca_cert, &error)) << error;
    command_line_.emplace_back("lcds-ca-file", pki_->ca_cert);
    session_->host().endpoints().SetCommandLineArgs(command_line_);
    session_->host().qsa().Configure(qsa_);
    session_->host().qsa().Install(&session_->host().endpoints());
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

  // The session's "error" member as "id messageId", or "" without one.
  std::string SessionError() {
    const std::string body = Call("GET", "/kiv-login/v1/session").body_json;
    auto member = [&](const char* name) {
      const std::string key = std::string("\"") + name + "\":\"";
      const size_t at = body.find(key, body.find(R"("error":)"));
      if (body.find(R"("error":)") == std::string::npos || at == std::string::npos)
        return std::string();
      const size_t start = at + key.size();
      return body.substr(start, body.find('"', start) - start);
    };
    const std::string id = member("id");
    return id.empty() ? "" : id + " " + member("messageId");
  }

  const Voro::testing::TestPki* pki_ = nullptr;
  Scenario scenario_;
  kivhost::QsaConfig qsa_;
  std::vector<std::pair<std::string, std::string>> command_line_;
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

TEST_F(LoginFlowTest, ResourcesArePublishedInOrderOnceLoggedIn) {
  Start();
  ASSERT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  ASSERT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  std::vector<std::string> resources = PublishedKivLoginResources();
  // Once logged in: the wallet, the packet, the platform's credentials, then the session.
  ASSERT_GE(resources.size(), 4u);
  resources.erase(resources.begin(), resources.end() - 4);
  EXPECT_EQ(resources, (std::vector<std::string>{"wallet", "login-data-packet",
                                                 "login-platform-credentials", "session"}));
  EXPECT_NE(Call("GET", "/kiv-login/v1/login-data-packet").body_json.find(R"("platformId":"SIM1")"),
            std::string::npos);
  bool platform_id_sent = false;
  for (const auto& record : session_->host().endpoints().records()) {
    if (record.sink == "platform-id") {
      platform_id_sent = record.arguments.find("SIM1") != std::string::npos;
    }
  }
  EXPECT_TRUE(platform_id_sent) << "the crash reporter learns the platform id";
}

TEST_F(LoginFlowTest, QueueRefusalsEndTheLoginWithTheirReason) {
  struct Refusal {
    const char* user;
    Voro::Sim::QueueOutcome outcome;
    const char* reason;
    const char* error;
  };
  const Refusal refusals[] = {
      {"banned", Voro::Sim::QueueOutcome::kBanned, "", "ALE-14FA382C ACCOUNT_BANNED"},
      {"inactive", Voro::Sim::QueueOutcome::kFailed, "account_inactive",
       "ALE-27D2C92B ACCOUNT_DISABLED"},
      {"leaving", Voro::Sim::QueueOutcome::kFailed, "account_transferring_out",
       "ALE-27B4C62D LOGIN-0008"},
      {"moved", Voro::Sim::QueueOutcome::kFailed, "account_transferred", "ALE-61A4D92F LOGIN-0010"},
  };
  for (const Refusal& refusal : refusals) {
    Voro::Sim::PlatformAccount account = Voro::testing::SimAlice();
    account.username = refusal.user;
    account.queue_outcome = refusal.outcome;
    account.queue_reason = refusal.reason;
    account.ban_reason = "testing";
    scenario_.accounts.push_back(account);
  }
  Start();
  for (const Refusal& refusal : refusals) {
    const size_t before = SessionStates().size();
    ASSERT_EQ(Call("POST", "/kiv-login/v1/session",
                   std::string(R"({"username":")") + refusal.user + R"(","password":"wonderland"})")
                  .status,
              201)
        << refusal.user;
    std::vector<std::string> states;
    const auto deadline = std::chrono::steady_clock::now() + kLoginWait;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      states = SessionStates();
    } while ((states.size() <= before + 1 || states.back() != "ERROR") &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(SessionError(), refusal.error) << refusal.user;
    const std::string result = Telemetry("login_result");
    EXPECT_NE(result.find(std::string(R"("login_error.id":")") + std::string(refusal.error, 12)),
              std::string::npos)
        << result;
  }
  EXPECT_TRUE(platform_->services().journal().empty()) << "no platform login was tried";
}

TEST_F(LoginFlowTest, APlatformFailureIsRetriedUntilItSucceeds) {
  scenario_.platform.faults.login = Voro::Sim::Fault::kError;
  Start();
  // A session exists already, so the login retries for as long as it takes.
  ASSERT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"no"})").status,
            201);
  ASSERT_EQ(WaitForSessionEnd().back(), "ERROR");
  ASSERT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  const auto deadline = std::chrono::steady_clock::now() + kLoginWait;
  while (platform_->services().journal().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  platform_->services().SetFaults({});
  EXPECT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  const std::string result = Telemetry("login_result");
  EXPECT_NE(result.find(R"("login_succeeded":"true")"), std::string::npos) << result;
  EXPECT_EQ(result.find(R"("login_attempts":"1")"), std::string::npos)
      << "more than one attempt: " << result;
}

TEST_F(LoginFlowTest, SignOnThroughTheHostsServiceThenTheQueueWithItsToken) {
  scenario_.accounts[0].access_token = "at-alice";
  qsa_.enabled_platforms = {"LOC1"};
  qsa_.accounts.push_back(QsaAlice());
  Start("LOC1");
  ASSERT_EQ(Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})")
                .status,
            201);
  ASSERT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  const std::string session = Call("GET", "/kiv-login/v1/session").body_json;
  EXPECT_NE(session.find(R"("puuid":"qsa-puuid-1")"), std::string::npos) << session;
  EXPECT_NE(session.find(R"("idToken":"qsa-id-token")"), std::string::npos) << session;
  // Logging out signs off from the service too: the login used its access token.
  EXPECT_EQ(session_->host().qsa().signed_on(), std::optional<std::string>("alice"));
  Call("DELETE", "/kiv-login/v1/session");
  EXPECT_EQ(session_->host().qsa().signed_on(), std::nullopt);
}

TEST_F(LoginFlowTest, SignOnFailuresMapToTheirLoginErrors) {
  qsa_.enabled_platforms = {"LOC1"};
  qsa_.accounts.push_back(QsaAlice());
  Start("LOC1");
  struct Row {
    kivhost::QsaFailure failure;
    const char* error;
  };
  const Row rows[] = {
      {{410, "gone", std::nullopt}, "ALE-54000001 LOGIN_CANCELED"},
      {{503, "maintenance", std::nullopt}, "ALE-54000002 FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE"},
      {{401, "who", std::nullopt}, "ALE-54000003 INVALID_CREDENTIALS"},
      {{404, "what", std::nullopt}, "ALE-54000004 UNSPECIFIED_ERROR"},
      {{400, "no", "account_state_disabled"}, "ALE-54000005 ACCOUNT_DISABLED"},
      {{400, "no", "account_state_transferring_out"}, "ALE-54000006 LOGIN-0008"},
      {{400, "no", "account_state_creating"}, "ALE-54000008 LOGIN-0009"},
      {{400, "no", "account_state_platform_split"}, "ALE-54000007 LOGIN-0010"},
      {{400, "no", "something_else"}, "ALE-54000004 UNSPECIFIED_ERROR"},
  };
  for (const Row& row : rows) {
    session_->host().qsa().SetFailure(kivhost::QsaEndpoint::kSignOn, row.failure);
    // The sign-on happens inside the request: the answer already shows its outcome.
    kivhost::ApiCallResult posted =
        Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})");
    EXPECT_EQ(posted.status, 201);
    EXPECT_NE(posted.body_json.find(R"("state":"ERROR")"), std::string::npos) << posted.body_json;
    EXPECT_EQ(SessionError(), row.error) << row.failure.status;
    const std::string result = Telemetry("login_result");
    EXPECT_NE(result.find(std::string(R"("login_error.id":")") + std::string(row.error, 12)),
              std::string::npos)
        << result;
  }
  // An access token that cannot be read ends the attempt too, and signs off again.
  session_->host().qsa().SetFailure(kivhost::QsaEndpoint::kSignOn, std::nullopt);
  session_->host().qsa().SetFailure(kivhost::QsaEndpoint::kAccessToken,
                                    kivhost::QsaFailure{401, "expired", std::nullopt});
  Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"wonderland"})");
  EXPECT_EQ(SessionError(), "ALE-54000003 INVALID_CREDENTIALS");
  EXPECT_EQ(session_->host().qsa().signed_on(), std::nullopt);
  EXPECT_TRUE(platform_->services().journal().empty());
}

TEST_F(LoginFlowTest, PartnerCredentialsFromTheCommandLineSignOnByThemselves) {
  scenario_.accounts[0].access_token = "at-partner";
  qsa_.enabled_platforms = {"LOC1"};
  kivhost::QsaAccount account = QsaAlice("at-partner");
  account.username = "LOC1|partner";
  account.password = "gp-token-42";
  qsa_.accounts.push_back(account);
  command_line_.emplace_back("garena-plus-token", "gp-token-42");
  // Initialize raises the plugin manager's PluginsInitialized: the login starts itself.
  Start("LOC1");
  ASSERT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  EXPECT_EQ(session_->host().qsa().signed_on(), std::optional<std::string>("LOC1|partner"));
}

TEST_F(LoginFlowTest, AutoLoginFromTheCommandLine) {
  command_line_.emplace_back("auto-login-username", "alice");
  command_line_.emplace_back("auto-login-password", "wonderland");
  Start();
  ASSERT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  EXPECT_EQ(platform_->services().journal().front(), "loginService.login alice");
}

}  // namespace
