// The kivhost command as a person runs it: loads, events, the wait stack, refusals, the
// plugin's endpoints through `call` and `api`, and `kivhost login`.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sim/local_platform.h"
#include "support/run_kivhost.h"
#include "support/sim_accounts.h"
#include "support/test_pki.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunKivhost;
using kivhost::testing::TempFile;

const std::string kPlugin = "--plugin " KIV_PLUGIN_PATH " ";
// A region whose servers nobody listens on: a login stays in progress.
constexpr char kUnreachableRegion[] =
    R"({"globals": {"region": "local"}, "region_data": {"local": {"servers": {"lcds": )"
    R"({"login_queue_url": "https://127.0.0.1:9", "lcds_host": "127.0.0.1", "lcds_port": 9}}}}})";

// Each of `texts` is in `output`, each after the one before.
void ExpectInOrder(const std::string& output, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& text : texts) {
    at = output.find(text, at);
    ASSERT_NE(at, std::string::npos) << text << "\n---\n" << output;
  }
}

// One run shows each step of a load, events both ways, and, on SIGUSR1 once the plugin is
// up, the (empty) wait stack while kivhost runs.
TEST(KivhostCommandTest, ShowsALoadEventsAndTheWaitStack) {
  TempFile region(R"({"globals": {"region": "local"}, "region_data": {}})");
  const std::string token_update =
      R"({"uri":"/qsa-auth/v1/authorization/access-token","eventType":"Update",)"
      R"("data":{"token":"at-2","scopes":["openid"],"expiry":99}})";
  CommandRun run = kivhost::testing::RunProgram(
      "out=$(mktemp); " KIV_KIVHOST_PATH,
      "--host-version 17.1.0 " + kPlugin + "--region-file " + region.path() +
          " --auto-login-username=alice --raise OnServiceProxyAsyncEvent "
          R"('{"uuid":"u1","serviceName":"svc","methodName":"m","payload":"",)"
          R"("status":"","error":""}' --raise OnJsonApiEvent_qsa-auth_v1_authorization ')" +
          token_update +
          "' --run-for 2 >$out 2>&1 & pid=$!; for i in $(seq 200); do "
          "grep -q 'initialize: ready' $out && break; sleep 0.05; done; "
          "kill -USR1 $pid; wait $pid; echo exit $?; cat $out; rm $out");
  run.ExpectHas({
      "exit 0\n",
      "handshake: host plugin API 17.1.0, descriptor now 17.1.0: accepted\n",
      "plugin: short name \"kiv-login\"\n",
      "api table: ",
      "plugin log: ALWAYS| zop-be-kiv-login initialized, user agent "
      "\"VoroClient/17.1.0 (kiv-login)\"\n",
      "memory (after initialize): peak live bytes ",
      "shutdown: done, 2 log lines from the plugin\n",
      // The plugin follows the plugin manager's resource and hears of its update.
      "event: raised OnJsonApiEvent_plugin-manager_v1_status {\"uri\":\"/plugin-manager/v1/"
      "status\",\"eventType\":\"Update\",\"data\":{\"state\":\"PluginsInitialized\"}}\n",
      "event: delivered OnJsonApiEvent_plugin-manager_v1_status ",
      // Its own service-proxy events arrive through its flag-1 subscription.
      "event: delivered OnServiceProxyAsyncEvent ",
      "plugin log:  ERROR| Could not find registered handler for async service proxy event "
      "svc.m\n",
      "event: delivered OnJsonApiEvent_qsa-auth_v1_authorization " + token_update + "\n",
  });
  // Nobody subscribed to the general name.
  EXPECT_FALSE(run.Has("event: delivered OnJsonApiEvent ")) << run.output;
  ExpectInOrder(run.output, {"initialize: ready\n",
                             "\nkivhost: stack requested; wait stack (innermost last): empty\n",
                             "shutdown: done"});
}

TEST(KivhostCommandTest, RefusalsStopBeforeOrAtTheHandshake) {
  TempFile bad_qsa(R"({"accounts": [{"username": "a"}]})");
  TempFile bad_region(R"({"globals": {"region": "local"}})");
  struct Case {
    std::string args;
    int exit_code;
    std::string text;
  };
  const Case cases[] = {
      {"--host-version 18.0.0 " + kPlugin, 1,
       "Description: zop-be-kiv-login which supports plugin API 17.1.0 is not compatible with "
       "core's plugin API 18.0.0\nhandshake: host plugin API 18.0.0, descriptor now 18.0.0: "
       "rejected\n"},
      {"--plugin /nonexistent/libkiv-login.so", 1, "cannot load /nonexistent/libkiv-login.so"},
      {"--host-version 17.x", 2, "kivhost: '17.x' is not a version (MAJOR.MINOR.PATCH)\n"},
      {"--bogus", 2, "kivhost: unknown argument '--bogus'\nusage: kivhost"},
      {kPlugin + "login --username alice", 2,
       "kivhost: 'login' needs --username USER and --password PASSWORD\nusage: kivhost"},
      {kPlugin + "--qsa-file " + bad_qsa.path() + " login --username a --password b", 2,
       "kivhost: qsa file " + bad_qsa.path() +
           ": accounts[0]: \"password\" is missing; it must be a string\n"},
      {kPlugin + "--qsa-file /nonexistent/q.json", 2,
       "kivhost: cannot read qsa file /nonexistent/q.json: No such file or directory\n"},
      {kPlugin + "--region-file " + bad_region.path(), 2,
       "kivhost: region file " + bad_region.path() +
           " must hold an object with the objects \"globals\" and \"region_data\"\n"},
      {kPlugin + "--ca /nonexistent/ca.pem", 2,
       "kivhost: cannot read the CA file '/nonexistent/ca.pem'\n"},
      {kPlugin + "events --as-plugin 0", 2,
       "kivhost: '--as-plugin' needs a whole number from 1 to 4294967295, not '0'\nusage: "
       "kivhost"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandRun run = RunKivhost(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
    run.ExpectHas({c.text});
    if (c.exit_code == 2) {
      // Said first, and nothing loaded.
      EXPECT_EQ(run.output.find(c.text), 0u) << run.output;
      EXPECT_FALSE(run.Has("handshake:")) << run.output;
    }
  }
  CommandRun help = RunKivhost("--help");
  EXPECT_EQ(help.exit_code, 0);
  help.ExpectHas({"login --username USER --password PASSWORD [--login-timeout SECONDS]",
                  "--region-file FILE", "--NAME=VALUE", "--qsa-file FILE",
                  "\"refusal\": \"account_state_disabled\"",
                  "--raise OnJsonApiEvent_qsa-auth_v1_authorization",
                  "  events [--as-plugin ID] [--filter NAME] [--for SECONDS]\n",
                  "       [--as-plugin ID] [--filter NAME] [--events-for SECONDS]\n",
                  "  --as-plugin ID      act also as another plugin with the id ID"});
}

// The login endpoints, called the way another plugin reaches them: kivhost finds each one in
// the API table the real library handed over and calls its callback.
TEST(KivhostCommandTest, TheApiTableListsEveryEndpointInOrder) {
  CommandRun run = RunKivhost(kPlugin + "api");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  run.ExpectHas({"api table: 18 endpoints, ", "      responseRrrorName (named)\n",
                 "  Voro::Client::Api LoginSession\n"});
  const char* endpoints[] = {
      "POST /kiv-login/v1/access-token  (PostKivLoginV1AccessToken)\n",
      "POST /kiv-login/v1/session  (PostKivLoginV1Session) -> LoginSession\n",
      "GET /kiv-login/v1/session  (GetKivLoginV1Session) -> LoginSession\n",
      "DELETE /kiv-login/v1/session  (DeleteKivLoginV1Session)\n",
      "POST /kiv-login/v1/session/invoke  (PostKivLoginV1SessionInvoke) -> LcdsResponse\n",
      "GET /kiv-login/v1/wallet  (GetKivLoginV1Wallet) -> LoginSessionWallet\n",
      "GET /kiv-login/v1/login-data-packet  (GetKivLoginV1LoginDataPacket)\n",
      "GET /kiv-login/v1/login-platform-credentials  (GetKivLoginV1LoginPlatformCredentials)",
      "GET /kiv-login/v1/login-in-game-creds  (GetKivLoginV1LoginInGameCreds)\n",
      "POST /kiv-login/v1/summoner-created  (PostKivLoginV1SummonerCreated)\n",
      "POST /kiv-login/v1/change-summoner-name  (PostKivLoginV1ChangeSummonerName)\n",
      "POST /kiv-login/v1/new-player-flow-completed  (PostKivLoginV1NewPlayerFlowCompleted)\n",
      "GET /kiv-login/v1/account-state  (GetKivLoginV1AccountState) -> AccountStateResource\n",
      "POST /kiv-login/v1/account-state  (PostKivLoginV1AccountState)\n",
      "POST /kiv-login/v1/service-proxy-uuid-requests  (PostKivLoginV1ServiceProxyUuidRequests)",
      "POST /kiv-login/v1/service-proxy-method-requests  "
      "(PostKivLoginV1ServiceProxyMethodRequests)",
      "POST /kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}  "
      "(PostKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName)",
      "DELETE /kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}  "
      "(DeleteKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName)",
  };
  std::vector<std::string> lines;
  for (const char* endpoint : endpoints) lines.push_back(std::string("\n  ") + endpoint);
  ExpectInOrder(run.output, lines);
}

TEST(KivhostCommandTest, CallsWithoutASession) {
  // The plugin's answers themselves are pinned by LoginModuleTest; these show how `call`
  // passes arguments and bodies and prints what comes back.
  struct Case {
    std::string args;
    int exit_code;
    std::string expected;
  };
  const Case cases[] = {
      {"GET /kiv-login/v1/wallet", 1,
       "status: 404\nerror: No session currently exists, you must initiate a login first.\n"},
      {"GET /kiv-login/v1/login-in-game-creds", 1,
       "status: 404\nerror: No Game Credentials from Login Queue found\n"},
      // The router refuses a body that does not convert before the handler runs.
      {R"(POST /kiv-login/v1/session --json '{"username":5}')", 1,
       "error: Couldn't assign value to 'username' because the input is not a string.\n"},
      // A YAML body; the login it starts is cancelled when the host shuts down.
      {"POST /kiv-login/v1/session --yaml 'username: alice'", 0, "status: 201\n"},
      {"DELETE /kiv-login/v1/service-proxy-async-requests/svc/get --arg pluginId=7", 0,
       "call: DELETE /kiv-login/v1/service-proxy-async-requests/svc/get -> "
       "DeleteKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName\n"
       "status: none set (succeeded)\n"},
      {"DELETE /kiv-login/v1/service-proxy-async-requests/svc/get --arg pluginId=p", 1,
       "error: Value p for 'pluginId' of type uint32 is in an incorrect format"},
      {"POST /kiv-login/v1/session/invoke --arg destination=d --arg method=m --arg 'args=[1]'", 1,
       "status: 404\nerror: No login session exists.\n"},
      {"POST /kiv-login/v1/session/invoke --arg destination=d --arg method=m --arg args=5", 1,
       "status: 400\nerror: The arguments of an invoke must be a list.\n"},
      {"GET /kiv-login/v1/nothing", 1,
       "call: the plugin has no endpoint GET /kiv-login/v1/nothing\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    CommandRun run = RunKivhost(kPlugin + "call " + c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
    run.ExpectHas({c.expected});
  }
}

// A login that reaches no server is given up at the time-out: kivhost logs out and waits
// for the plugin to close the session before it shuts the plugin down.
TEST(KivhostLoginTest, ALoginWithoutServersTimesOutAndLogsOut) {
  TempFile region(kUnreachableRegion);
  CommandRun run = RunKivhost(kPlugin + "login --username alice --password pw " +
                              "--login-timeout 2 --region-file " + region.path());
  EXPECT_EQ(run.exit_code, 1) << run.output;
  run.ExpectHas({"login: POST /kiv-login/v1/session as \"alice\"\n", "login: started, status 201\n",
                 "login: state IN_PROGRESS\n",
                 "login: no result after 2 seconds, state IN_PROGRESS\n",
                 "login: DELETE /kiv-login/v1/session\n", "login: session closed\n",
                 "telemetry event login_result\n", "    login_succeeded = false\n"});
  EXPECT_FALSE(run.Has("login: succeeded")) << run.output;
  // The close came before the plugin was shut down.
  ExpectInOrder(run.output, {"login: session closed", "shutdown: done"});
}

// A sign-on the service refuses, or a token it fails to hand out, ends the login in ERROR
// with the mapped failure and its telemetry.
TEST(KivhostLoginTest, RefusedSignOnEndsInError) {
  TempFile region(
      R"({"globals": {"region": "local"}, "region_data": {"local": {"qsa_platform_id": "LOC1",)"
      R"( "servers": {"lcds": {"login_queue_url": "https://127.0.0.1:9", "lcds_host": )"
      R"("127.0.0.1", "lcds_port": 9, "use_tls": false}}}}})");
  TempFile qsa(R"({"enabledPlatforms": ["LOC1"], "accounts": [{"username": "alice",)"
               R"( "password": "secret", "puuid": "p-alice", "accountId": 4001}],)"
               R"( "failures": {"access-token": {"status": 400}, "error": {"status": 500}}})");
  struct Case {
    const char* credentials;
    const char* error;
  };
  for (const Case& c : {
           Case{"--username alice --password wrong",
                "login: failed: id ALE-54000003, messageId INVALID_CREDENTIALS, description QSA "
                "rejected credentials.\n"},
           Case{"--username alice --password secret",
                "login: failed: id ALE-54000004, messageId UNSPECIFIED_ERROR, description "
                "Unexpected message from QSA: Error response for GET "
                "/qsa-auth/v1/authorization/access-token: kivhost qsa: injected failure\n"},
       }) {
    SCOPED_TRACE(c.credentials);
    CommandRun run = RunKivhost(kPlugin + "--region-file " + region.path() + " --qsa-file " +
                                qsa.path() + " login --login-timeout 30 " + c.credentials);
    EXPECT_EQ(run.exit_code, 1) << run.output;
    run.ExpectHas({"login: started, status 201\n", "login: state ERROR\n", c.error,
                   "telemetry event login_result\n", "    login_succeeded = false\n"});
  }
}

// Whole logins against the simulated platform on loopback, over TLS with the test
// authority's localhost certificate; kivhost a separate process.
class KivhostLoginAgainstSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    scenario_.accounts.push_back(Voro::testing::SimAlice());
  }
  // Starts the platform; returns kivhost's options for it, with `qsa_platform_id` as the
  // region's sign-on platform (none when empty).
  std::string StartPlatform(const std::string& qsa_platform_id = "") {
    platform_ = std::make_unique<Voro::Sim::LocalPlatform>(
        scenario_, Voro::testing::TlsPlatformOptions(*pki_));
    auto started = platform_->Start();
    EXPECT_TRUE(started.ok()) << started.error();
    region_ = std::make_unique<TempFile>(platform_->RegionSettingsJson(qsa_platform_id));
    return kPlugin + "--region-file " + region_->path() + " --ca " + pki_->ca_cert +
           " --lcds-ca-file=" + pki_->ca_cert;
  }

  const Voro::testing::TestPki* pki_ = nullptr;
  Voro::Sim::Scenario scenario_;
  std::unique_ptr<Voro::Sim::LocalPlatform> platform_;
  std::unique_ptr<TempFile> region_;
};

// Queued, with the password and signed on through the host's service from its file (the
// queue then takes its token).
TEST_F(KivhostLoginAgainstSimulatorTest, QueuedLoginShowsItsPlaceThenTheSessionAndWallet) {
  scenario_.login_queue = {.players_ahead = 12, .nodes = 3, .rate = 20, .delay_ms = 100};
  TempFile qsa(R"({"enabledPlatforms": ["LOC1"], "accounts": [{"username": "alice",)"
               R"( "password": "secret", "puuid": "p-alice", "accountId": 7,)"
               R"( "idToken": {"token": "id-alice", "expiry": 0},)"
               R"( "accessToken": {"token": "at-alice", "scopes": ["openid"], "expiry": 0}}]})");
  for (const bool sign_on : {false, true}) {
    SCOPED_TRACE(sign_on ? "signed on" : "password");
    CommandRun run = RunKivhost(
        StartPlatform(sign_on ? "LOC1" : "") + (sign_on ? " --qsa-file " + qsa.path() : "") +
        " --wait-timeout 0.05 login --username alice --login-timeout 60 --password " +
        (sign_on ? "secret" : "wonderland"));
    EXPECT_EQ(run.exit_code, 0) << run.output;
    if (sign_on) {
      run.ExpectHas({"plugin log: ALWAYS| Logging in with QSA.\n", "    \"puuid\": \"p-alice\"",
                     "    \"idToken\": \"id-alice\""});
    }
    run.ExpectHas({
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
        // The queue's 100 ms sleeps outlast the 0.05 s time-out of the wait watch.
        "kivhost: a wait has been open for more than 0.05 s; wait stack (innermost last):\n"
        "  Wait: sleep (open 0.",
    });
    EXPECT_FALSE(run.Has("login_error.id")) << run.output;
    // The place in the queue comes before the success, each change on its own line.
    ExpectInOrder(run.output, {"queue position ", "login: state SUCCEEDED"});
  }
}

// --stay keeps the session: the simulator drops it once, it reconnects, and each step shows
// on a line of its own before the logout at the end. (The reconnect's delay is drawn below
// 5 s, so the stay is longer than that.)
TEST_F(KivhostLoginAgainstSimulatorTest, StayShowsTheSessionKeptThroughADrop) {
  scenario_.platform.drops.after_ms = 200;
  CommandRun run =
      RunKivhost(StartPlatform() + " login --username alice --password wonderland --stay 7");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  ExpectInOrder(run.output, {
                                "login: succeeded\n",
                                "login: staying logged in for 7 seconds\n",
                                "login: platform connection lost, reconnecting\n",
                                "login: reconnect attempt in ",
                                "login: reconnected\n",
                                "login: still logged in, logging out\n",
                                "login: DELETE /kiv-login/v1/session\n",
                                "login: session closed\n",
                            });
  run.ExpectHas({"login: state SUCCEEDED, platform connection down\n"});
  const std::vector<std::string> journal = platform_->services().journal();
  EXPECT_EQ(std::count(journal.begin(), journal.end(), "reconnect alice"), 1);
}

// kivhost as another plugin: `events` prints, one JSON line each on standard output, what the
// plugin publishes to it; here the session the command line's login starts (its servers are
// unreachable, so it stays in progress until kivhost shuts the plugin down).
TEST(KivhostEventsTest, EventsPrintsWhatTheObserverHearsAsJsonLines) {
  TempFile region(kUnreachableRegion);
  const std::string session =
      R"({"data":{"accountId":0,"connected":false,"gasToken":null,"idToken":"",)"
      R"("isNewPlayer":false,"puuid":"","state":"IN_PROGRESS","userAuthToken":"","username":""},)"
      R"("eventType":"Update","uri":"/kiv-login/v1/session"})";
  struct Case {
    std::string options;
    std::string listening;  // what kivhost tells on standard error
    std::string lines;      // standard output, whole
  };
  const Case cases[] = {
      {"--filter 'OnJsonApiEvent_*'",
       "events: listening as plugin 1 to 'OnJsonApiEvent_*' for 2 s\n",
       R"({"event":"OnJsonApiEvent_kiv-login_v1_session","payload":)" + session + "}\n"},
      {"--as-plugin 12", "events: listening as plugin 12 to every event for 2 s\n",
       R"({"event":"OnJsonApiEvent_kiv-login_v1_session","payload":)" + session + "}\n" +
           R"({"event":"OnJsonApiEvent","payload":)" + session + "}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    CommandRun run = kivhost::testing::RunProgram(
        "err=$(mktemp); " KIV_KIVHOST_PATH,
        kPlugin + "--region-file " + region.path() +
            " --auto-login-username=alice --auto-login-password=pw events --for 2 " + c.options +
            " 2>$err; echo \"exit $?\"; cat $err; rm $err");
    const size_t end = run.output.find("exit 0\n");
    ASSERT_NE(end, std::string::npos) << run.output;
    EXPECT_EQ(run.output.substr(0, end), c.lines) << run.output;
    // Everything else went to standard error, in order.
    ExpectInOrder(run.output.substr(end), {"initialize: ready\n", c.listening, "shutdown: done"});
  }
}

// A service-proxy answer goes to the plugin that asked: kivhost as plugin 7 hears it after
// the call's answer; as plugin 8 it does not. The plugin's own subscription hears it either way.
TEST(KivhostEventsTest, AnAnswerAddressedToOnePluginReachesOnlyThatPlugin) {
  const std::string call =
      "call POST /kiv-login/v1/service-proxy-uuid-requests --arg serviceName=kiv.store "
      "--arg methodName=get --arg pluginId=7 --arg payload= --events-for 1 --as-plugin ";
  for (const std::string plugin : {"7", "8"}) {
    SCOPED_TRACE(plugin);
    CommandRun run = RunKivhost(kPlugin + call + plugin);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    const std::string body = "body:\n\"";
    const size_t at = run.output.find(body);
    ASSERT_NE(at, std::string::npos) << run.output;
    const std::string uuid = run.output.substr(at + body.size(), 36);
    const std::string payload =
        R"({"error":"No login session exists.","methodName":"","payload":"","serviceName":"",)"
        R"("status":"","uuid":")" +
        uuid + "\"}";
    const std::string line = R"({"event":"OnServiceProxyUuidEvent","payload":)" + payload + "}\n";
    run.ExpectHas({"event: published to plugin 7 OnServiceProxyUuidEvent " + payload + "\n",
                   "event: delivered OnServiceProxyUuidEvent " + payload + "\n"});
    if (plugin == "7") {
      // The answer, then the event (plugin log lines may come between), then the event log.
      const size_t event = run.output.find("\n" + line, at);
      ASSERT_NE(event, std::string::npos) << run.output;
      EXPECT_LT(event, run.output.find("event: raised")) << run.output;
      run.ExpectHas({"event: delivered to plugin 7 OnServiceProxyUuidEvent " + payload + "\n"});
    } else {
      EXPECT_FALSE(run.Has(line)) << run.output;
      EXPECT_FALSE(run.Has("event: delivered to plugin")) << run.output;
    }
  }
}

}  // namespace
