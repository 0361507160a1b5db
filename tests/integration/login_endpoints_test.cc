// The login endpoints, called the way another plugin reaches them: kivhost finds each one
// in the API table the real library handed over and calls its callback.
#include <gtest/gtest.h>

#include <string>

#include "support/run_kivhost.h"

namespace {

using kivhost::testing::CommandRun;
using kivhost::testing::RunKivhost;

CommandRun Call(const std::string& args) {
  return RunKivhost("--plugin " KIV_PLUGIN_PATH " call " + args);
}

void ExpectIn(const CommandRun& run, const std::string& text) {
  EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n---\n" << run.output;
}

TEST(LoginEndpointsTest, TheApiTableListsEveryEndpointInOrder) {
  CommandRun run = RunKivhost("--plugin " KIV_PLUGIN_PATH " api");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  ExpectIn(run, "api table: 18 endpoints, ");
  const char* endpoints[] = {
      "  POST /kiv-login/v1/access-token  (PostKivLoginV1AccessToken)\n",
      "  POST /kiv-login/v1/session  (PostKivLoginV1Session) -> LoginSession\n",
      "  GET /kiv-login/v1/session  (GetKivLoginV1Session) -> LoginSession\n",
      "  DELETE /kiv-login/v1/session  (DeleteKivLoginV1Session)\n",
      "  POST /kiv-login/v1/session/invoke  (PostKivLoginV1SessionInvoke) -> LcdsResponse\n",
      "  GET /kiv-login/v1/wallet  (GetKivLoginV1Wallet) -> LoginSessionWallet\n",
      "  GET /kiv-login/v1/login-data-packet  (GetKivLoginV1LoginDataPacket)\n",
      "  GET /kiv-login/v1/login-platform-credentials  (GetKivLoginV1LoginPlatformCredentials)",
      "  GET /kiv-login/v1/login-in-game-creds  (GetKivLoginV1LoginInGameCreds)\n",
      "  POST /kiv-login/v1/summoner-created  (PostKivLoginV1SummonerCreated)\n",
      "  POST /kiv-login/v1/change-summoner-name  (PostKivLoginV1ChangeSummonerName)\n",
      "  POST /kiv-login/v1/new-player-flow-completed  (PostKivLoginV1NewPlayerFlowCompleted)\n",
      "  GET /kiv-login/v1/account-state  (GetKivLoginV1AccountState) -> AccountStateResource\n",
      "  POST /kiv-login/v1/account-state  (PostKivLoginV1AccountState)\n",
      "  POST /kiv-login/v1/service-proxy-uuid-requests  (PostKivLoginV1ServiceProxyUuidRequests)",
      "  POST /kiv-login/v1/service-proxy-method-requests  "
      "(PostKivLoginV1ServiceProxyMethodRequests)",
      "  POST /kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}  "
      "(PostKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName)",
      "  DELETE /kiv-login/v1/service-proxy-async-requests/{serviceName}/{methodName}  "
      "(DeleteKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName)",
  };
  size_t at = 0;
  for (const char* endpoint : endpoints) {
    size_t found = run.output.find(endpoint, at);
    ASSERT_NE(found, std::string::npos) << endpoint << "\n---\n" << run.output;
    at = found;
  }
  ExpectIn(run, "      responseRrrorName (named)\n");
  ExpectIn(run, "  Voro::Client::Api LoginSession\n");
}

TEST(LoginEndpointsTest, AnswersOfTheSessionEndpointsWithoutASession) {
  struct Case {
    std::string args;
    int exit_code;
    std::string expected;
  };
  const Case cases[] = {
      {"GET /kiv-login/v1/session", 1,
       "status: 404\nerror: No session currently exists, you must initiate a login first.\n"},
      {"GET /kiv-login/v1/wallet", 1,
       "status: 404\nerror: No session currently exists, you must initiate a login first.\n"},
      {"GET /kiv-login/v1/login-in-game-creds", 1,
       "status: 404\nerror: No Game Credentials from Login Queue found\n"},
      {"GET /kiv-login/v1/account-state", 1,
       "status: 404\nerror: No account state currently exists\n"},
      {"POST /kiv-login/v1/summoner-created --json 5", 1, "status: 400\nerror: Not logged in.\n"},
      {"POST /kiv-login/v1/new-player-flow-completed", 1, "status: 400\nerror: Not logged in.\n"},
      // The router refuses a body that does not convert before the handler runs.
      {R"(POST /kiv-login/v1/session --json '{"username":5}')", 1,
       "error: Couldn't assign value to 'username' because the input is not a string.\n"},
      // A YAML body; the login it starts is cancelled when the host shuts down.
      {"POST /kiv-login/v1/session --yaml 'username: alice'", 0, "status: 201\n"},
      {"DELETE /kiv-login/v1/service-proxy-async-requests/svc/get --arg pluginId=p", 1,
       "call: DELETE /kiv-login/v1/service-proxy-async-requests/svc/get -> "
       "DeleteKivLoginV1ServiceProxyAsyncRequestsByServiceNameByMethodName\nstatus: 501\n"},
      {"GET /kiv-login/v1/nothing", 1,
       "call: the plugin has no endpoint GET /kiv-login/v1/nothing\n"},
  };
  for (const Case& c : cases) {
    CommandRun run = Call(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    ExpectIn(run, c.expected);
  }
}

}  // namespace
