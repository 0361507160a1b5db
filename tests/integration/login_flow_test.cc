// Whole logins: the real plugin library in the substitute host, signing in against the
// simulated platform (TLS platform server and HTTPS login queue) on loopback; and the login
// module in-process, on a clock the test moves, for the login loop's time limit.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "integration/login_flow_fixture.h"

namespace {

using login_flow::LoginFlowTest;
using login_flow::WaitUntil;
using Voro::Sim::Fault;

// The credentials come from the command line: the login starts itself.
TEST_F(LoginFlowTest, ImmediateAutoLoginOverTlsPublishesItsResourcesInOrder) {
  command_line_.emplace_back("auto-login-username", "alice");
  command_line_.emplace_back("auto-login-password", "wonderland");
  Start();
  EXPECT_EQ(WaitForSessionEnd().back(), "SUCCEEDED") << ::testing::PrintToString(SessionStates());

  const std::string session = Call("GET", "/kiv-login/v1/session").body_json;
  for (const char* field :
       {R"("username":"alice")", R"("accountId":7)", R"("summonerId":70)", R"("connected":true)"}) {
    EXPECT_NE(session.find(field), std::string::npos) << field << "\n" << session;
  }
  EXPECT_EQ(Call("GET", "/kiv-login/v1/wallet").body_json, R"({"ip":1200,"vp":35})");
  EXPECT_NE(Call("GET", "/kiv-login/v1/login-data-packet").body_json.find(R"("platformId":"SIM1")"),
            std::string::npos);
  for (const char* field : {R"("login_attempts":"1")", R"("login_succeeded":"true")",
                            "login_auth_duration_seconds", "login_overall_duration_seconds"}) {
    EXPECT_TRUE(TelemetryHas(field)) << field << "\n" << Record("login_result");
  }
  EXPECT_FALSE(TelemetryNow("login_error.id"));
  const std::vector<std::string> journal = platform_->services().journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.front(), "loginService.login alice");
  EXPECT_EQ(journal.back(), "clientFacadeService.getLoginDataPacketForUser");
  // Once logged in: the wallet, the packet, the platform's credentials, then the session.
  const std::vector<std::string> resources = KivLoginResources();
  ASSERT_GE(resources.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(resources.end() - 4, resources.end()),
            (std::vector<std::string>{"wallet", "login-data-packet", "login-platform-credentials",
                                      "session"}));
  EXPECT_NE(Record("", "platform-id").find("SIM1"), std::string::npos) << "the crash reporter";
}

TEST_F(LoginFlowTest, FirstLoginEndsAfterItsSecondPlatformFailure) {
  scenario_.platform.faults.login = Fault::kError;
  Start();
  EXPECT_EQ(PostLogin("wonderland").status, 201);
  EXPECT_EQ(PostLogin("wonderland").status, 409) << "one login at a time";
  EXPECT_EQ(WaitForSessionEnd().back(), "ERROR");
  for (const char* field : {R"("login_attempts":"3")", R"("login_error.id":"ALE-4FBFEF56")",
                            R"("login_error.messageId":"UNSPECIFIED_ERROR")"}) {
    EXPECT_TRUE(TelemetryHas(field)) << field << "\n" << Record("login_result");
  }
  const std::vector<std::string> journal = platform_->services().journal();
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "loginService.login alice"), 2);
}

TEST_F(LoginFlowTest, LogoutDuringTheRetryWaitCancelsTheLogin) {
  StartRetryingLogin();
  // Runs once the login waits before its next attempt.
  EXPECT_EQ(Call("DELETE", "/kiv-login/v1/session").status, 0);
  EXPECT_TRUE(WaitUntil([&] { return TelemetryNow("LOGIN_CANCELLED"); }));
  EXPECT_TRUE(TelemetryHas(R"("login_error.id":"ALE-591382CE")")) << Record("login_result");
  EXPECT_EQ(Call("GET", "/kiv-login/v1/session").status, 404) << "the session is gone";
  EXPECT_EQ(KivLoginResources().back(), "session") << "its Delete comes last";
}

TEST_F(LoginFlowTest, APlatformFailureIsRetriedUntilItSucceeds) {
  StartRetryingLogin();
  const size_t before = SessionStates().size();
  platform_->services().SetFaults({});
  EXPECT_EQ(WaitForSessionEnd(before).back(), "SUCCEEDED");
  EXPECT_TRUE(TelemetryHas(R"("login_succeeded":"true")"));
  EXPECT_FALSE(TelemetryNow(R"("login_attempts":"1")"))
      << "more than one attempt: " << Record("login_result");
}

// The queue's refusals: the reason travels from the queue to the session.
TEST_F(LoginFlowTest, QueueRefusalsEndTheLoginWithTheirReason) {
  struct Refusal {
    const char* user;
    Voro::Sim::QueueOutcome outcome;
    const char* reason;
    const char* error;
  };
  const Refusal refusals[] = {
      {"banned", Voro::Sim::QueueOutcome::kBanned, "", "ALE-14FA382C ACCOUNT_BANNED"},
      {"moved", Voro::Sim::QueueOutcome::kFailed, "account_transferred", "ALE-61A4D92F LOGIN-0010"},
  };
  for (const Refusal& refusal : refusals) {
    Voro::Sim::PlatformAccount& account = scenario_.accounts.emplace_back(scenario_.accounts[0]);
    account.username = refusal.user;
    account.queue_outcome = refusal.outcome;
    account.queue_reason = refusal.reason;
  }
  Start();
  for (const Refusal& refusal : refusals) {
    SCOPED_TRACE(refusal.user);
    const size_t before = SessionStates().size() + 1;  // past this login's IN_PROGRESS
    ASSERT_EQ(PostLogin("wonderland", refusal.user).status, 201);
    WaitForSessionEnd(before);
    EXPECT_EQ(SessionError(), refusal.error);
    EXPECT_TRUE(
        TelemetryHas(std::string(R"("login_error.id":")") + std::string(refusal.error, 12)));
  }
  EXPECT_TRUE(platform_->services().journal().empty()) << "no platform login was tried";
}

// Two sign-on failures and an unreadable access token show the wiring; the whole mapping is
// pinned by the login unit tests.
TEST_F(LoginFlowTest, SignOnFailuresEndTheLoginWithTheirError) {
  qsa_.enabled_platforms = {"LOC1"};
  qsa_.accounts.push_back({.username = "alice", .password = "wonderland", .puuid = "p-1"});
  Start("LOC1");
  struct Row {
    kivhost::QsaEndpoint endpoint;
    kivhost::QsaFailure failure;
    const char* error;
  };
  const Row rows[] = {
      {kivhost::QsaEndpoint::kSignOn,
       {503, "maintenance", std::nullopt},
       "ALE-54000002 FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE"},
      {kivhost::QsaEndpoint::kSignOn,
       {400, "no", "account_state_platform_split"},
       "ALE-54000007 LOGIN-0010"},
      {kivhost::QsaEndpoint::kAccessToken,
       {401, "expired", std::nullopt},
       "ALE-54000003 INVALID_CREDENTIALS"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.error);
    host_->qsa().SetFailure(kivhost::QsaEndpoint::kSignOn, std::nullopt);
    host_->qsa().SetFailure(row.endpoint, row.failure);
    // The sign-on happens inside the request: the answer already shows its outcome.
    kivhost::ApiCallResult posted = PostLogin("wonderland");
    EXPECT_EQ(posted.status, 201);
    EXPECT_NE(posted.body_json.find(R"("state":"ERROR")"), std::string::npos) << posted.body_json;
    EXPECT_EQ(SessionError(), row.error);
    EXPECT_TRUE(TelemetryHas(std::string(R"("login_error.id":")") + std::string(row.error, 12)));
    EXPECT_EQ(host_->qsa().signed_on(), std::nullopt);
  }
  EXPECT_TRUE(platform_->services().journal().empty());
}

// Initialize raises the plugin manager's PluginsInitialized: a login with the partner
// credentials of the command line starts itself, signs on with the host's service and
// passes the queue with its token; logging out signs off.
TEST_F(LoginFlowTest, PartnerCredentialsFromTheCommandLineSignOnByThemselves) {
  scenario_.accounts[0].access_token = "at-partner";
  qsa_.enabled_platforms = {"LOC1"};
  kivhost::QsaAccount account{
      .username = "LOC1|partner", .password = "gp-token-42", .puuid = "p-1"};
  account.access_token = R"({"token":"at-partner","scopes":["openid"],"expiry":0})";
  qsa_.accounts.push_back(account);
  command_line_.emplace_back("garena-plus-token", "gp-token-42");
  Start("LOC1");
  ASSERT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  EXPECT_EQ(host_->qsa().signed_on(), std::optional<std::string>("LOC1|partner"));
  EXPECT_NE(Call("GET", "/kiv-login/v1/session").body_json.find(R"("puuid":"p-1")"),
            std::string::npos);
  Call("DELETE", "/kiv-login/v1/session");
  EXPECT_EQ(host_->qsa().signed_on(), std::nullopt);
}

// The login loop's 300-second limit: the platform login always fails, and the minutes of
// retries pass in a few seconds on a clock the test moves.
TEST_F(LoginFlowTest, ALaterLoginRetriesUntilThreeHundredSecondsHavePassed) {
  scenario_.platform.require_queue_token = false;
  scenario_.platform.faults.login = Fault::kError;
  const std::string region_file = StartPlatform(false);
  manual_clock_.emplace();
  ASSERT_NE(StartInProcess(region_file), nullptr);

  // The first login the queue refuses; the second, started while a session exists, keeps
  // retrying its failing platform login.
  ASSERT_EQ(PostLogin("no").status, 201);
  ASSERT_TRUE(WaitUntil([&] { return TelemetryNow("INVALID_CREDENTIALS"); }));
  const int64_t start = Voro::SteadyNowNanoseconds();
  ASSERT_EQ(PostLogin("wonderland").status, 201);
  MoveClockUntil(250, [&] { return TelemetryNow("TIMED_OUT"); });
  const std::string result = Record("login_result");
  EXPECT_TRUE(TelemetryHas(R"("login_error.id":"ALE-F4774DEC")")) << result;
  EXPECT_TRUE(TelemetryHas(R"("login_error.messageId":"LOGIN_OR_RECONNECT_TIMED_OUT")"));
  EXPECT_GE(Voro::SteadyNowNanoseconds() - start, int64_t{300} * 1'000'000'000);
  // Attempts are counted 1, 3, 5, ...: several were made, and the count is odd.
  const size_t at = result.find(R"("login_attempts":")");
  ASSERT_NE(at, std::string::npos) << result;
  const int attempts = std::atoi(result.c_str() + at + 18);
  EXPECT_GE(attempts, 5);
  EXPECT_EQ(attempts % 2, 1);
  // The session stays, closed, showing why.
  EXPECT_EQ(SessionError(), "ALE-F4774DEC LOGIN_OR_RECONNECT_TIMED_OUT");
  thread_->Invoke([&] {
    auto* module = static_cast<Voro::LoginModule*>(module_.module);
    EXPECT_EQ(module->CurrentSession()->state, Voro::Client::Api::LoginSessionStates::ERROR);
    EXPECT_EQ(module->session_context()->login(), nullptr);
  });
}

}  // namespace
