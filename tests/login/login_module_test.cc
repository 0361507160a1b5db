// The login module's session endpoints and resources with a login in various states,
// called through the API table as the host calls them.
#include "login/login_module.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "binding/value/binding_abi.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"

namespace Voro {
namespace {

using testing::FakeHost;
using testing::InitializedModule;

struct Answer {
  int32_t status = 0;
  std::string error;
  std::string body;  // compact JSON
};

class LoginModuleTest : public ::testing::Test {
 protected:
  LoginModuleTest() : module_(&host_, std::make_unique<LoginModule>()) {}

  LoginModule* login_module() { return static_cast<LoginModule*>(module_.get()); }

  // Sets up a session whose login is in `state`.
  ClientLogin* StartSession(ClientLogin::LoginState state) {
    auto login = std::make_unique<ClientLogin>();
    login->SetState(state);
    login->username = "alice";
    ClientLogin* raw = login.get();
    login_module()->set_session_context(std::make_unique<LoginSessionContext>(std::move(login)));
    return raw;
  }

  Answer Call(uint32_t method, const char* path, const std::string& json_body = {}) {
    const ApiTable* table = module_->api_table();
    const ApiEndpointRecord* endpoint = table->endpoints;
    while (endpoint != nullptr &&
           (endpoint->method != method || std::strcmp(endpoint->path, path) != 0)) {
      endpoint = endpoint->next;
    }
    EXPECT_NE(endpoint, nullptr) << path;
    if (endpoint == nullptr) return {};
    HostRequest request{};
    request.method = method;
    request.path = path;
    request.context = endpoint->context;
    if (!json_body.empty()) {
      request.content_type = "application/json";
      request.body = json_body.data();
      request.body_length = static_cast<uint32_t>(json_body.size());
    }
    HostResponse response{};
    endpoint->callback(&response, &request);
    Answer answer;
    answer.status = response.status_code;
    if (response.error_text != nullptr) answer.error = response.error_text;
    BindingResult body = FromAbiValue(response.body, "body");
    answer.body = body.ok() ? WriteJson(body.value()) : "?";
    if (response.release != nullptr) response.release(&response);
    return answer;
  }

  FakeHost host_;
  InitializedModule module_;
};

TEST_F(LoginModuleTest, ASessionIsRefusedOnlyWhileALoginRuns) {
  const std::string credentials = R"({"username":"alice","password":"pw"})";
  StartSession(3);  // in the queue
  Answer running = Call(KIV_METHOD_POST, "/kiv-login/v1/session", credentials);
  EXPECT_EQ(running.status, 409);
  EXPECT_EQ(running.error, "A login session already exists");

  StartSession(24);  // failed: finished, a new login may start
  Answer after_failure = Call(KIV_METHOD_POST, "/kiv-login/v1/session", credentials);
  EXPECT_EQ(after_failure.status, 201);
  // This host has no region settings: the new attempt ends at once and says why.
  EXPECT_EQ(after_failure.body,
            R"({"accountId":0,"connected":false,"error":{"description":)"
            R"("Region \"\" has no settings in the region data","id":"ALE-15E4AC07",)"
            R"("messageId":"UNSPECIFIED_ERROR"},"gasToken":null,"idToken":"","isNewPlayer":false,)"
            R"("puuid":"","state":"ERROR","userAuthToken":"","username":""})");

  StartSession(ClientLogin::kLoggedIn);  // logged in is not finished
  EXPECT_EQ(Call(KIV_METHOD_POST, "/kiv-login/v1/session", credentials).status, 409);
  // An access token while a login runs is accepted and changes nothing.
  Answer token = Call(KIV_METHOD_POST, "/kiv-login/v1/access-token",
                      R"({"token":"t","scopes":[],"expiry":0})");
  EXPECT_EQ(token.error, "");
}

TEST_F(LoginModuleTest, TheSessionReadsItsLogin) {
  EXPECT_EQ(Call(KIV_METHOD_GET, "/kiv-login/v1/session").status, 404);
  ClientLogin* login = StartSession(ClientLogin::kLoggedIn);
  login->lcds_disconnected = false;
  login->summoner_id = 12;
  Answer session = Call(KIV_METHOD_GET, "/kiv-login/v1/session");
  EXPECT_EQ(session.error, "");
  EXPECT_EQ(session.body,
            R"({"accountId":0,"connected":true,"gasToken":null,"idToken":"","isNewPlayer":false,)"
            R"("puuid":"","state":"SUCCEEDED","summonerId":12,"userAuthToken":"",)"
            R"("username":"alice"})");
}

// The client's notifications patch the login data packet and the session, and say so;
// without a logged-in login they are refused.
TEST_F(LoginModuleTest, NotificationsPatchThePacketAndTheSession) {
  struct Row {
    uint32_t method;
    const char* path;
    std::string body;
    std::string answer;     // "status error"
    std::string published;  // the names of the resources published, in order
  };
  const auto answer = [this](const Row& row) {
    host_.published.clear();
    const Answer got = Call(row.method, row.path, row.body);
    std::string names;
    for (const auto& [name, payload] : host_.published) {
      if (name != "OnJsonApiEvent")
        names += name.substr(std::string("OnJsonApiEvent_").size()) + " ";
    }
    return std::to_string(got.status) + " " + got.error + "|" + names;
  };
  const Row refused[] = {
      {KIV_METHOD_POST, "/kiv-login/v1/summoner-created", "5", "400 Not logged in.", ""},
      {KIV_METHOD_POST, "/kiv-login/v1/change-summoner-name", R"("x")", "400 Not logged in.", ""},
      {KIV_METHOD_POST, "/kiv-login/v1/new-player-flow-completed", "", "400 Not logged in.", ""},
      {KIV_METHOD_GET, "/kiv-login/v1/account-state", "", "404 No account state currently exists",
       ""},
  };
  for (const Row& row : refused)
    EXPECT_EQ(answer(row), row.answer + "|" + row.published) << row.path;

  ClientLogin* login = StartSession(ClientLogin::kLoggedIn);
  login->is_new_player = true;
  login->login_data_packet = ParseJson(R"({"allSummonerData":null,"ipBalance":3})").value();
  const Row rows[] = {
      {KIV_METHOD_POST, "/kiv-login/v1/summoner-created", "5", "0 ",
       "kiv-login_v1_session kiv-login_v1_login-data-packet "},
      {KIV_METHOD_POST, "/kiv-login/v1/summoner-created", "6", "400 Summoner already created.", ""},
      {KIV_METHOD_POST, "/kiv-login/v1/change-summoner-name", R"("kept nowhere")", "0 ",
       "kiv-login_v1_login-data-packet kiv-login_v1_session "},
      {KIV_METHOD_POST, "/kiv-login/v1/new-player-flow-completed", "", "0 ",
       "kiv-login_v1_session "},
  };
  for (const Row& row : rows) EXPECT_EQ(answer(row), row.answer + "|" + row.published) << row.path;
  EXPECT_EQ(WriteJson(login->login_data_packet),
            R"({"allSummonerData":{"summoner":{"nameChangeFlag":false},)"
            R"("summonerLevelAndPoints":{"summonerLevel":1}},"ipBalance":3})");
  const std::string session = Call(KIV_METHOD_GET, "/kiv-login/v1/session").body;
  EXPECT_NE(session.find(R"("isNewPlayer":false)"), std::string::npos) << session;
  EXPECT_NE(session.find(R"("summonerId":5)"), std::string::npos) << session;
}

TEST_F(LoginModuleTest, SessionResourcesArePublishedUnderBothNames) {
  host_.published.clear();
  login_module()->PublishSessionResources();  // no session: nothing
  EXPECT_TRUE(host_.published.empty());
  StartSession(3);
  login_module()->PublishSessionResources();
  ASSERT_EQ(host_.published.size(), 2u);
  EXPECT_EQ(host_.published[0].first, "OnJsonApiEvent_kiv-login_v1_session");
  EXPECT_EQ(host_.published[1].first, "OnJsonApiEvent");
  EXPECT_EQ(host_.published[0].second, host_.published[1].second);
  EXPECT_NE(host_.published[0].second.find(R"("eventType":"Update","uri":"/kiv-login/v1/session")"),
            std::string::npos)
      << host_.published[0].second;
  EXPECT_NE(host_.published[0].second.find(R"("state":"IN_PROGRESS")"), std::string::npos);
}

}  // namespace
}  // namespace Voro
