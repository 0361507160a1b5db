// `kivhost login` and the sign-on service as a person runs them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "sim/local_platform.h"
#include "support/run_kivhost.h"
#include "support/sim_accounts.h"
#include "support/test_pki.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunKivhost;

// A file that is removed when the test ends.
class TempFile {
 public:
  explicit TempFile(const std::string& text) {
    char name[] = "/tmp/kivhost-login-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path_ = name;
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool Has(const CommandRun& run, const std::string& text) {
  return run.output.find(text) != std::string::npos;
}

// A region whose sign-on platform is LOC1 and whose servers are closed ports.
constexpr char kQsaRegion[] =
    R"({"globals": {"region": "local"}, "region_data": {"local": {"qsa_platform_id": "LOC1",)"
    R"( "servers": {"lcds": {"login_queue_url": "https://127.0.0.1:9", "lcds_host": "127.0.0.1",)"
    R"( "lcds_port": 9, "use_tls": false}}}}})";

constexpr char kQsaAccounts[] = R"({"enabledPlatforms": ["LOC1"], "accounts": [
  {"username": "alice", "password": "secret", "puuid": "p-alice", "accountId": 4001},
  {"username": "split", "password": "pw", "puuid": "p-split",
   "refusal": "account_state_platform_split"}]})";

TEST(KivhostLoginTest, RefusesIncompleteOrMisplacedOptions) {
  struct Case {
    const char* args;
    const char* message;
  };
  for (const Case& c : {
           Case{"login", "kivhost: 'login' needs --username USER and --password PASSWORD\n"},
           Case{"login --username alice",
                "kivhost: 'login' needs --username USER and --password PASSWORD\n"},
           Case{"login --password secret",
                "kivhost: 'login' needs --username USER and --password PASSWORD\n"},
           Case{"login --username", "kivhost: '--username' needs a value\n"},
           Case{"--username alice --password secret",
                "kivhost: '--username' goes with the 'login' command\n"},
           Case{"login --username a --password b --login-timeout 0",
                "kivhost: '--login-timeout' needs a number of seconds above 0, not '0'\n"},
           Case{"login --username a --password b api",
                "kivhost: 'api' cannot follow the command "
                "'login'\n"},
       }) {
    CommandRun run = RunKivhost(std::string("--plugin " KIV_PLUGIN_PATH " ") + c.args);
    EXPECT_EQ(run.exit_code, 2) << c.args << "\n" << run.output;
    EXPECT_TRUE(Has(run, c.message)) << c.args << "\n" << run.output;
    EXPECT_TRUE(Has(run, "usage: kivhost")) << c.args;
    EXPECT_FALSE(Has(run, "handshake:")) << c.args;
  }
  CommandRun help = RunKivhost("--help");
  EXPECT_EQ(help.exit_code, 0);
  for (const char* text : {"login --username USER --password PASSWORD [--login-timeout SECONDS]",
                           "--qsa-file FILE", "\"refusal\": \"account_state_disabled\"",
                           "--raise OnJsonApiEvent_qsa-auth_v1_authorization"}) {
    EXPECT_TRUE(Has(help, text)) << text << "\n" << help.output;
  }
}

TEST(KivhostLoginTest, StopsAtABadQsaFile) {
  TempFile qsa(R"({"accounts": [{"username": "a"}]})");
  CommandRun run = RunKivhost("--plugin " KIV_PLUGIN_PATH " --qsa-file " + qsa.path() +
                              " login --username a --password b");
  EXPECT_EQ(run.exit_code, 2) << run.output;
  EXPECT_TRUE(Has(run, "kivhost: qsa file " + qsa.path() +
                           ": accounts[0]: \"password\" is missing; it must be a string\n"))
      << run.output;
  EXPECT_FALSE(Has(run, "handshake:")) << run.output;
  CommandRun missing = RunKivhost("--plugin " KIV_PLUGIN_PATH " --qsa-file /nonexistent/q.json");
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_TRUE(Has(missing,
                  "kivhost: cannot read qsa file /nonexistent/q.json: No such file or "
                  "directory\n"))
      << missing.output;
}

// A login that reaches no server is given up at the time-out: kivhost logs out and waits
// for the plugin to close the session before it shuts the plugin down.
TEST(KivhostLoginTest, ALoginWithoutServersTimesOutAndLogsOut) {
  TempFile region(
      R"({"globals": {"region": "local"}, "region_data": {"local": {"servers": {"lcds": )"
      R"({"login_queue_url": "https://127.0.0.1:9", "lcds_host": "127.0.0.1", "lcds_port": 9}}}}})");
  CommandRun run = RunKivhost("--plugin " KIV_PLUGIN_PATH
                              " login --username alice --password pw "
                              "--login-timeout 2 --region-file " +
                              region.path());
  EXPECT_EQ(run.exit_code, 1) << run.output;
  for (const char* text : {
           "login: POST /kiv-login/v1/session as \"alice\"\n",
           "login: started, status 201\n",
           "login: state IN_PROGRESS\n",
           "login: no result after 2 seconds, state IN_PROGRESS\n",
           "login: DELETE /kiv-login/v1/session\n",
           "login: session closed\n",
           "telemetry event login_result\n",
           "    login_succeeded = false\n",
           "shutdown: done",
       }) {
    EXPECT_TRUE(Has(run, text)) << text << "\n---\n" << run.output;
  }
  EXPECT_FALSE(Has(run, "login: succeeded")) << run.output;
  // The close came before the plugin was shut down.
  EXPECT_LT(run.output.find("login: session closed"), run.output.find("shutdown: done"));
}

// A sign-on the service refuses, or a token it fails to hand out, ends the login in ERROR
// with the mapped failure and its telemetry.
TEST(KivhostLoginTest, RefusedSignOnEndsInError) {
  TempFile region(kQsaRegion);
  TempFile accounts(kQsaAccounts);
  TempFile down(R"({"enabledPlatforms": ["LOC1"], "failures": {"gas": {"status": 503,)"
                R"( "message": "maintenance"}}})");
  TempFile no_token(
      std::string(kQsaAccounts).substr(0, std::string(kQsaAccounts).size() - 1) +
      R"(, "failures": {"access-token": {"status": 400}, "error": {"status": 500}}})");
  struct Case {
    const TempFile* qsa;
    const char* credentials;
    const char* error;
  };
  for (const Case& c : {
           Case{&accounts, "--username alice --password wrong",
                "login: failed: id ALE-54000003, messageId INVALID_CREDENTIALS, description QSA "
                "rejected credentials.\n"},
           Case{&accounts, "--username split --password pw",
                "login: failed: id ALE-54000007, messageId LOGIN-0010, description QSA rejected "
                "auth: account has been transferred out.\n"},
           Case{&down, "--username alice --password secret",
                "login: failed: id ALE-54000002, messageId FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE, "
                "description Server error: Error response for POST "
                "/qsa-auth/v1/authorization/gas: maintenance\n"},
           Case{&no_token, "--username alice --password secret",
                "login: failed: id ALE-54000004, messageId UNSPECIFIED_ERROR, description "
                "Unexpected message from QSA: Error response for GET "
                "/qsa-auth/v1/authorization/access-token: kivhost qsa: injected failure\n"},
       }) {
    CommandRun run =
        RunKivhost("--plugin " KIV_PLUGIN_PATH " --region-file " + region.path() + " --qsa-file " +
                   c.qsa->path() + " login --login-timeout 30 " + c.credentials);
    EXPECT_EQ(run.exit_code, 1) << run.output;
    EXPECT_TRUE(Has(run, "login: started, status 201\n")) << run.output;
    EXPECT_TRUE(Has(run, "login: state ERROR\n")) << run.output;
    EXPECT_TRUE(Has(run, c.error)) << c.error << "\n---\n" << run.output;
    EXPECT_TRUE(Has(run, "telemetry event login_result\n")) << run.output;
    EXPECT_TRUE(Has(run, "    login_succeeded = false\n")) << run.output;
  }
}

// The sign-on service's access token changes: raised as a client core raises it, the update
// reaches the plugin, which follows that resource.
TEST(KivhostLoginTest, AccessTokenUpdateReachesThePlugin) {
  CommandRun run =
      RunKivhost("--plugin " KIV_PLUGIN_PATH
                 " --raise OnJsonApiEvent_qsa-auth_v1_authorization "
                 R"('{"uri":"/qsa-auth/v1/authorization/access-token","eventType":"Update",)"
                 R"("data":{"token":"at-2","scopes":["openid"],"expiry":99}}')");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(Has(run,
                  "event: delivered OnJsonApiEvent_qsa-auth_v1_authorization "
                  R"({"uri":"/qsa-auth/v1/authorization/access-token","eventType":"Update",)"
                  R"("data":{"token":"at-2","scopes":["openid"],"expiry":99}})"))
      << run.output;
}

// Whole logins against the simulated platform on loopback, with kivhost as a separate
// process, as a person runs it.
class KivhostLoginAgainstSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    scenario_.accounts.push_back(Voro::testing::SimAlice());
  }

  // Starts the platform; returns kivhost's options that point the plugin at it.
  std::string Start(const std::string& qsa_platform_id) {
    Voro::Sim::LocalPlatformOptions options;
    options.rtmps_port = 0;
    options.queue_port = 0;
    options.certificate_file = pki_->localhost_cert;
    options.key_file = pki_->server_key;
    platform_ = std::make_unique<Voro::Sim::LocalPlatform>(scenario_, options);
    std::string error;
    EXPECT_TRUE(platform_->Start(&error)) << error;
    region_ = std::make_unique<TempFile>(platform_->RegionSettingsJson(qsa_platform_id));
    return "--plugin " KIV_PLUGIN_PATH " --region-file " + region_->path() + " --ca " +
           pki_->ca_cert + " --lcds-ca-file=" + pki_->ca_cert;
  }

  void TearDown() override { platform_.reset(); }

  const Voro::testing::TestPki* pki_ = nullptr;
  Voro::Sim::Scenario scenario_;
  std::unique_ptr<Voro::Sim::LocalPlatform> platform_;
  std::unique_ptr<TempFile> region_;
};

TEST_F(KivhostLoginAgainstSimulatorTest, QueuedLoginShowsItsPlaceThenTheSessionAndWallet) {
  scenario_.login_queue.players_ahead = 12;
  scenario_.login_queue.nodes = 3;
  scenario_.login_queue.rate = 20;
  scenario_.login_queue.delay_ms = 100;
  const std::string options = Start("");
  CommandRun run =
      RunKivhost(options + " login --username alice --password wonderland --login-timeout 60");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  for (const char* text : {
           "login: started, status 201\n",
           "login: state IN_PROGRESS\n",
           "login: state IN_PROGRESS, queue position 12\n",
           "login: state SUCCEEDED\n",
           "login: succeeded\n",
           "GET /kiv-login/v1/session:\n{\n",
           "    \"state\": \"SUCCEEDED\"",
           "    \"username\": \"alice\"",
           "    \"accountId\": 7",
           "    \"summonerId\": 70",
           "    \"connected\": true",
           "GET /kiv-login/v1/wallet:\n{\n    \"ip\": 1200,\n    \"vp\": 35\n}\n",
           "telemetry event login_queue_timing\n",
           "telemetry event login_result\n",
           "    login_attempts = 1\n",
           "    login_succeeded = true\n",
           "telemetry common data platform_id = ",
           "telemetry common data account_id = ",
           "shutdown: done",
       }) {
    EXPECT_TRUE(Has(run, text)) << text << "\n---\n" << run.output;
  }
  EXPECT_FALSE(Has(run, "login_error.id")) << run.output;
  // The place in the queue comes before the success, each change on its own line.
  EXPECT_LT(run.output.find("queue position "), run.output.find("login: state SUCCEEDED"));
}

TEST_F(KivhostLoginAgainstSimulatorTest, SignOnThroughTheQsaFileThenTheQueue) {
  const std::string options = Start("LOC1");
  TempFile qsa(R"({"enabledPlatforms": ["LOC1"], "accounts": [{"username": "alice",)"
               R"( "password": "secret", "puuid": "p-alice", "accountId": 7,)"
               R"( "idToken": {"token": "id-alice", "expiry": 0},)"
               R"( "accessToken": {"token": "at-alice", "scopes": ["openid"], "expiry": 0}}]})");
  CommandRun run = RunKivhost(options + " --qsa-file " + qsa.path() +
                              " login --username alice --password secret --login-timeout 60");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  for (const char* text : {
           "plugin log: ALWAYS| Logging in with QSA.\n",
           "login: state SUCCEEDED\n",
           "    \"puuid\": \"p-alice\"",
           "    \"idToken\": \"id-alice\"",
           "    login_succeeded = true\n",
       }) {
    EXPECT_TRUE(Has(run, text)) << text << "\n---\n" << run.output;
  }
}

}  // namespace
