// The login API's records as other plugins see them, the login states, and how the
// session record follows its login.
#include <gtest/gtest.h>

#include <string>

#include "binding/codec/json_writer.h"
#include "binding/types/native_conversion.h"
#include "login/client_login.h"
#include "login/login_api_types.h"
#include "login/login_session_context.h"

namespace Voro {
namespace {

using Client::Api::LoginSession;
using Client::Api::LoginSessionStates;

std::string SessionJson(const LoginSession& session) {
  TypeRegistry registry;
  Client::Api::RegisterLoginApiTypes(registry);
  BindingResult value = ToBinding(session, registry);
  EXPECT_TRUE(value.ok()) << value.error();
  return WriteJson(value.value(), &registry);
}

// Absent optionals are left out (the unknown wait here); sessions without an error, queue
// status or summoner are in LoginSessionContextTest and the module's tests.
TEST(LoginApiTypesTest, SessionWritesItsErrorQueueStatusAndState) {
  LoginSession session;
  session.state = LoginSessionStates::ERROR;
  session.username = "alice";
  session.summonerId = 77;
  session.queueStatus = Client::Api::LoginQueue{12, true, std::nullopt};
  session.error = Client::Api::LoginError{"ALE-54000003", "INVALID_CREDENTIALS", "Bad password"};
  EXPECT_EQ(SessionJson(session),
            R"({"accountId":0,"connected":false,)"
            R"("error":{"description":"Bad password","id":"ALE-54000003",)"
            R"("messageId":"INVALID_CREDENTIALS"},"gasToken":null,"idToken":"",)"
            R"("isNewPlayer":false,"puuid":"",)"
            R"("queueStatus":{"estimatedPositionInQueue":12,"isPositionCapped":true},)"
            R"("state":"ERROR","summonerId":77,"userAuthToken":"","username":"alice"})");
}

TEST(LoginApiTypesTest, EnumerationsAreNamedByTheirNumbers) {
  TypeRegistry registry;
  Client::Api::RegisterLoginApiTypes(registry);
  const auto account_state = StaticType::HashCode<Client::Api::AccountStateType>().hash;
  std::string name;
  EXPECT_TRUE(registry.FindEnumValueName(account_state, 6, &name));
  EXPECT_EQ(name, "GENERATING");
  EXPECT_FALSE(registry.FindEnumValueName(account_state, 0, &name));
  EXPECT_TRUE(
      registry.FindEnumValueName(StaticType::HashCode<LoginSessionStates>().hash, 2, &name));
  EXPECT_EQ(name, "LOGGING_OUT");
}

TEST(ClientLoginTest, EveryStateMapsToItsPublicStateAndFinishedFlag) {
  // State by state, the public state (I = IN_PROGRESS, S = SUCCEEDED, L = LOGGING_OUT,
  // E = ERROR) and F where the login is finished, so that a new one may start.
  const char* expected[] = {
      "EF", "I", "I",  "I", "I", "I",  "EF", "I",  "I",  "I",  "EF", "I",  "I",  "EF",
      "I",  "I", "EF", "I", "S", "EF", "L",  "LF", "EF", "EF", "EF", "EF", "EF",
  };
  for (int state = 0; state <= ClientLogin::kMaxState; ++state) {
    std::string got(1, "ISLE"[static_cast<int>(ClientLogin::ToSessionState(state))]);
    if (ClientLogin::IsFinished(state)) got += "F";
    EXPECT_EQ(got, expected[state]) << "state " << state;
  }
  EXPECT_EQ(ClientLogin::ToSessionState(27), LoginSessionStates::ERROR);
  EXPECT_EQ(ClientLogin::ToSessionState(-1), LoginSessionStates::ERROR);
}

TEST(ClientLoginTest, FailuresAreLoggedAtTheLevelOfTheirState) {
  for (const auto& [state, level] : {std::pair{13, "ERROR"}, std::pair{24, "WARN"}}) {
    ClientLogin login;
    ::testing::internal::CaptureStderr();
    login.SetFailure(state, Failure{"ALE-00000001", "X", "went wrong " + std::to_string(state)});
    const std::string out = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(level), std::string::npos) << out;
    EXPECT_NE(out.find("went wrong " + std::to_string(state)), std::string::npos) << out;
    EXPECT_EQ(login.state(), state);
    ASSERT_TRUE(login.failure().has_value());
    EXPECT_EQ(login.failure()->id, "ALE-00000001");
  }
}

TEST(LoginSessionContextTest, RefreshFollowsTheLoginButKeepsWhatTheSignOnSet) {
  auto owned = std::make_unique<ClientLogin>();
  ClientLogin* login = owned.get();
  LoginSessionContext context(std::move(owned));
  // The sign-on service set these before the login knew them.
  context.session().puuid = "puuid-from-sign-on";
  context.session().gasToken["vendor"] = "sign-on";

  login->SetState(3);
  login->username = "alice";
  login->auth_token = "lq-token";
  login->gas_token["vendor"] = "queue";
  login->puuid = "puuid-from-queue";
  login->id_token = "id-from-queue";
  login->account_id = 42;
  login->queue_position = Client::Api::LoginQueue{5, false, 30};
  login->lcds_disconnected = false;  // not logged in: still not connected
  EXPECT_EQ(SessionJson(context.Refresh()),
            R"({"accountId":42,"connected":false,"gasToken":{"vendor":"sign-on"},)"
            R"("idToken":"id-from-queue","isNewPlayer":false,"puuid":"puuid-from-sign-on",)"
            R"("queueStatus":{"approximateWaitTimeSeconds":30,"estimatedPositionInQueue":5,)"
            R"("isPositionCapped":false},"state":"IN_PROGRESS","userAuthToken":"lq-token",)"
            R"("username":"alice"})");

  login->queue_position.reset();
  login->SetState(ClientLogin::kLoggedIn);
  login->summoner_id = 9;
  login->is_new_player = true;
  login->id_token = "changed";  // set once, then kept
  EXPECT_EQ(SessionJson(context.Refresh()),
            R"({"accountId":42,"connected":true,"gasToken":{"vendor":"sign-on"},)"
            R"("idToken":"id-from-queue","isNewPlayer":true,"puuid":"puuid-from-sign-on",)"
            R"("state":"SUCCEEDED","summonerId":9,"userAuthToken":"lq-token","username":"alice"})");

  login->lcds_disconnected = true;
  EXPECT_FALSE(context.Refresh().connected);
  // A failed login's error: LoginModuleTest.ASessionIsRefusedOnlyWhileALoginRunsAndReadsItsLogin.
}

}  // namespace
}  // namespace Voro
