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

  // Calls the endpoint as the host does: "status error" for a failure, else "status body"
  // with the body as compact JSON.
  std::string Call(uint32_t method, const char* path, const std::string& json_body = {}) {
    const ApiEndpointRecord* endpoint = module_->api_table()->endpoints;
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
    BindingResult body = FromAbiValue(response.body, "body");
    std::string answer = std::to_string(response.status_code) + " " +
                         (response.error_text != nullptr ? response.error_text
                          : body.ok()                    ? WriteJson(body.value())
                                                         : "?");
    if (response.release != nullptr) response.release(&response);
    return answer;
  }

  FakeHost host_;
  InitializedModule module_;
};

TEST_F(LoginModuleTest, ASessionIsRefusedOnlyWhileALoginRunsAndReadsItsLogin) {
  const char* path = "/kiv-login/v1/session";
  EXPECT_EQ(Call(KIV_METHOD_GET, path),
            "404 No session currently exists, you must initiate a login first.");
  const std::string credentials = R"({"username":"alice","password":"pw"})";
  const std::pair<ClientLogin::LoginState, std::string> rows[] = {
      {3, "409 A login session already exists"},  // in the queue
      // Failed is finished: a new login starts. This host has no region settings, so the new
      // attempt ends at once and says why.
      {24, R"(201 {"accountId":0,"connected":false,"error":{"description":)"
           R"("Region \"\" has no settings in the region data","id":"ALE-15E4AC07",)"
           R"("messageId":"UNSPECIFIED_ERROR"},"gasToken":null,"idToken":"","isNewPlayer":false,)"
           R"("puuid":"","state":"ERROR","userAuthToken":"","username":""})"},
      {ClientLogin::kLoggedIn, "409 A login session already exists"},  // not finished
  };
  ClientLogin* login = nullptr;
  for (const auto& [state, expected] : rows) {
    login = StartSession(state);
    EXPECT_EQ(Call(KIV_METHOD_POST, path, credentials), expected) << state;
  }
  login->lcds_disconnected = false;
  login->summoner_id = 12;
  // An access token while a login runs is accepted and changes nothing.
  EXPECT_EQ(Call(KIV_METHOD_POST, "/kiv-login/v1/access-token",
                 R"({"token":"t","scopes":[],"expiry":0})"),
            "0 ");
  EXPECT_EQ(Call(KIV_METHOD_GET, path),
            R"(0 {"accountId":0,"connected":true,"gasToken":null,"idToken":"","isNewPlayer":false,)"
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
  const auto check = [this](const Row& row) {
    host_.published.clear();
    std::string got = Call(row.method, row.path, row.body) + "|";
    for (const auto& [name, payload] : host_.published) {
      if (name != "OnJsonApiEvent") got += name.substr(std::string("OnJsonApiEvent_").size()) + " ";
    }
    EXPECT_EQ(got, row.answer + "|" + row.published) << row.path;
  };
  for (const Row& row : {
           Row{KIV_METHOD_POST, "/kiv-login/v1/summoner-created", "5", "400 Not logged in.", ""},
           Row{KIV_METHOD_POST, "/kiv-login/v1/change-summoner-name", R"("x")",
               "400 Not logged in.", ""},
           Row{KIV_METHOD_POST, "/kiv-login/v1/new-player-flow-completed", "", "400 Not logged in.",
               ""},
           Row{KIV_METHOD_GET, "/kiv-login/v1/account-state", "",
               "404 No account state currently exists", ""},
       }) {
    check(row);
  }

  ClientLogin* login = StartSession(ClientLogin::kLoggedIn);
  login->is_new_player = true;
  login->login_data_packet = ParseJson(R"({"allSummonerData":null,"ipBalance":3})").value();
  for (const Row& row : {
           Row{KIV_METHOD_POST, "/kiv-login/v1/summoner-created", "5", "0 ",
               "kiv-login_v1_session kiv-login_v1_login-data-packet "},
           Row{KIV_METHOD_POST, "/kiv-login/v1/summoner-created", "6",
               "400 Summoner already created.", ""},
           Row{KIV_METHOD_POST, "/kiv-login/v1/change-summoner-name", R"("kept nowhere")", "0 ",
               "kiv-login_v1_login-data-packet kiv-login_v1_session "},
           Row{KIV_METHOD_POST, "/kiv-login/v1/new-player-flow-completed", "", "0 ",
               "kiv-login_v1_session "},
       }) {
    check(row);
  }
  EXPECT_EQ(WriteJson(login->login_data_packet),
            R"({"allSummonerData":{"summoner":{"nameChangeFlag":false},)"
            R"("summonerLevelAndPoints":{"summonerLevel":1}},"ipBalance":3})");
  const std::string session = Call(KIV_METHOD_GET, "/kiv-login/v1/session");
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
