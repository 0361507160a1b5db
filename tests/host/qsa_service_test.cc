// The substitute host's sign-on service, reached as the plugin reaches it: host requests
// answered by the endpoint registry.
#include "host/qsa_service.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "host/abi_value.h"
#include "host/host_endpoints.h"
#include "host/host_session.h"

namespace kivhost {
namespace {

constexpr char kAliceAccessToken[] =
    R"({"token":"at-alice","scopes":["openid","lol"],"expiry":99})";

// The answer to one request, released as the plugin would.
struct Reply {
  bool failed = false;
  int32_t status = 0;
  std::string error;
  std::string body;
};

Reply Send(HostEndpoints& endpoints, uint32_t method, const std::string& path,
           const std::vector<std::pair<const char*, const char*>>& arguments = {},
           const std::string& body = "") {
  std::vector<BindingAbiNamedValue> values(arguments.size());
  for (size_t i = 0; i < arguments.size(); ++i) {
    values[i].name = arguments[i].first;
    values[i].value.tag = KIV_ABI_STRING_BORROWED;
    values[i].value.payload.ref = {arguments[i].second,
                                   static_cast<uint32_t>(std::strlen(arguments[i].second))};
  }
  HostRequest request{};
  request.method = method;
  request.path = path.c_str();
  request.arguments = values.empty() ? nullptr : values.data();
  request.argument_count = static_cast<uint32_t>(values.size());
  if (!body.empty()) {
    request.content_type = "application/json";
    request.body = body.data();
    request.body_length = static_cast<uint32_t>(body.size());
  }
  HostResponse response{};
  endpoints.Answer(request, &response);
  Reply reply;
  reply.failed = response.failed != 0;
  reply.status = response.status_code;
  if (response.error_text != nullptr) reply.error = response.error_text;
  std::string error;
  EXPECT_TRUE(AbiToJson(response.body, &reply.body, &error)) << error;
  response.release(&response);
  return reply;
}

Reply Get(HostEndpoints& endpoints, const std::string& path) {
  return Send(endpoints, KIV_METHOD_GET, path);
}

Reply SignOn(HostEndpoints& endpoints, const char* username, const char* password,
             const char* platform = "LOC1") {
  return Send(endpoints, KIV_METHOD_POST, kQsaSignOnPath,
              {{"username", username}, {"password", password}, {"platformId", platform}});
}

void ExpectJson(const Reply& reply, const std::string& json, const std::string& what) {
  EXPECT_FALSE(reply.failed) << what << ": " << reply.status << " " << reply.error;
  EXPECT_EQ(reply.body, json) << what;
}

void ExpectFailure(const Reply& reply, int32_t status, const std::string& text,
                   const std::string& what) {
  EXPECT_TRUE(reply.failed) << what << ": " << reply.body;
  EXPECT_EQ(reply.status, status) << what;
  EXPECT_EQ(reply.error, text) << what;
  EXPECT_EQ(reply.body, "null") << what;
}

QsaConfig Accounts() {
  QsaConfig config;
  config.enabled_platforms = {"LOC1"};
  QsaAccount alice;
  alice.username = "alice";
  alice.password = "secret";
  alice.puuid = "puuid-alice";
  alice.account_id = 4001;
  alice.id_token = R"({"token":"id-alice","expiry":1700000000})";
  alice.gas_token = R"({"gas":{"n":1}})";
  alice.access_token = kAliceAccessToken;
  QsaAccount bob;  // signs on to one platform only, with the default tokens
  bob.username = "bob";
  bob.password = "pw";
  bob.puuid = "puuid-bob";
  bob.platform_id = "EUW1";
  QsaAccount carol;
  carol.username = "carol";
  carol.password = "pw";
  carol.puuid = "puuid-carol";
  carol.refusal = "account_state_platform_split";
  config.accounts = {alice, bob, carol};
  return config;
}

class QsaServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qsa_.Configure(Accounts());
    qsa_.Install(&endpoints_);
  }

  HostEndpoints endpoints_;
  QsaService qsa_;
};

TEST(QsaServiceInstallTest, WithoutTheServiceTheStatusIsUnknown) {
  HostEndpoints endpoints;
  ExpectFailure(Get(endpoints, "/qsa-auth/v1/status/LOC1"), 404,
                "kivhost has no endpoint GET /qsa-auth/v1/status/LOC1", "not installed");
  QsaService qsa;
  qsa.Install(&endpoints);
  ExpectJson(Get(endpoints, "/qsa-auth/v1/status/LOC1"), R"({"platformId":"LOC1","enabled":false})",
             "nothing configured");
}

TEST_F(QsaServiceTest, StatusTellsWhichPlatformsAreEnabled) {
  ExpectJson(Get(endpoints_, "/qsa-auth/v1/status/LOC1"), R"({"platformId":"LOC1","enabled":true})",
             "LOC1");
  ExpectJson(Get(endpoints_, "/qsa-auth/v1/status/EUW1"),
             R"({"platformId":"EUW1","enabled":false})", "EUW1");
  ExpectJson(Get(endpoints_, "/qsa-auth/v1/status/a\"b"),
             R"({"platformId":"a\"b","enabled":false})", "quoted");
  // The prefix alone names no platform.
  EXPECT_EQ(Get(endpoints_, "/qsa-auth/v1/status/").status, 404);
}

TEST_F(QsaServiceTest, SignOnHandsOutTheAccountsTokens) {
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  ExpectJson(SignOn(endpoints_, "alice", "secret"),
             R"({"currentPlatformId":"LOC1","currentAccountId":4001,"subject":"puuid-alice"})",
             "sign-on");
  EXPECT_EQ(qsa_.signed_on(), "alice");
  ExpectJson(Get(endpoints_, kQsaIdTokenPath), R"({"token":"id-alice","expiry":1700000000})",
             "id token");
  ExpectJson(Get(endpoints_, kQsaGasTokenPath), R"({"gas":{"n":1}})", "gas token");
  ExpectJson(Get(endpoints_, kQsaAccessTokenPath), kAliceAccessToken, "access token");
  EXPECT_EQ(qsa_.AccessTokenUpdate(),
            std::string(R"({"uri":"/qsa-auth/v1/authorization/access-token",)") +
                R"("eventType":"Update","data":)" + kAliceAccessToken + "}");

  // Another account, on the one platform it belongs to, with the default tokens.
  ExpectJson(SignOn(endpoints_, "bob", "pw", "EUW1"),
             R"({"currentPlatformId":"EUW1","currentAccountId":0,"subject":"puuid-bob"})", "bob");
  EXPECT_EQ(qsa_.signed_on(), "bob");
  ExpectJson(Get(endpoints_, kQsaIdTokenPath), R"({"token":"","expiry":0})", "default id token");
  ExpectJson(Get(endpoints_, kQsaGasTokenPath), "{}", "default gas token");
  ExpectJson(Get(endpoints_, kQsaAccessTokenPath), R"({"token":"","scopes":[],"expiry":0})",
             "default access token");

  // The credentials may also come as a JSON body.
  ExpectJson(Send(endpoints_, KIV_METHOD_POST, kQsaSignOnPath, {},
                  R"({"username":"alice","password":"secret","platformId":"LOC1"})"),
             R"({"currentPlatformId":"LOC1","currentAccountId":4001,"subject":"puuid-alice"})",
             "body");
  EXPECT_EQ(qsa_.signed_on(), "alice");
}

TEST_F(QsaServiceTest, WrongCredentialsAreRefused) {
  ExpectFailure(SignOn(endpoints_, "alice", "Secret"), 401, kQsaBadCredentials, "password");
  ExpectFailure(SignOn(endpoints_, "mallory", "secret"), 401, kQsaBadCredentials, "username");
  ExpectFailure(SignOn(endpoints_, "bob", "pw", "LOC1"), 401, kQsaBadCredentials, "platform");
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  // A refusal without a description: the error endpoint has nothing to tell.
  ExpectJson(Get(endpoints_, kQsaErrorPath), "{}", "error after 401");

  for (const auto& arguments : std::vector<std::vector<std::pair<const char*, const char*>>>{
           {},
           {{"username", "alice"}, {"password", "secret"}},
           {{"username", "alice"}, {"platformId", "LOC1"}},
       }) {
    ExpectFailure(Send(endpoints_, KIV_METHOD_POST, kQsaSignOnPath, arguments), 400,
                  kQsaBadSignOnRequest, "incomplete");
  }
  ExpectFailure(Send(endpoints_, KIV_METHOD_POST, kQsaSignOnPath, {}, "{not json"), 400,
                kQsaBadSignOnRequest, "bad body");
  // A wrong type is no credential either.
  BindingAbiNamedValue values[3] = {};
  values[0].name = "username";
  values[0].value.tag = KIV_ABI_SIGNED;
  values[1].name = "password";
  values[1].value.tag = KIV_ABI_STRING_BORROWED;
  values[1].value.payload.ref = {"secret", 6};
  values[2].name = "platformId";
  values[2].value.tag = KIV_ABI_STRING_BORROWED;
  values[2].value.payload.ref = {"LOC1", 4};
  HostRequest request{};
  request.method = KIV_METHOD_POST;
  request.path = kQsaSignOnPath;
  request.arguments = values;
  request.argument_count = 3;
  HostResponse response{};
  endpoints_.Answer(request, &response);
  EXPECT_EQ(response.status_code, 400);
  EXPECT_STREQ(response.error_text, kQsaBadSignOnRequest);
  response.release(&response);
}

TEST_F(QsaServiceTest, TokensNeedASignOnAndSignOffEndsIt) {
  for (const char* path : {kQsaIdTokenPath, kQsaGasTokenPath, kQsaAccessTokenPath}) {
    ExpectFailure(Get(endpoints_, path), 404, kQsaNotSignedOn, path);
  }
  EXPECT_EQ(qsa_.AccessTokenUpdate(), std::nullopt);
  ASSERT_FALSE(SignOn(endpoints_, "alice", "secret").failed);
  ExpectJson(Send(endpoints_, KIV_METHOD_DELETE, kQsaAuthorizationPath), "null", "sign-off");
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  for (const char* path : {kQsaIdTokenPath, kQsaGasTokenPath, kQsaAccessTokenPath}) {
    ExpectFailure(Get(endpoints_, path), 404, kQsaNotSignedOn, path);
  }
  // Signing off twice is no fault.
  ExpectJson(Send(endpoints_, KIV_METHOD_DELETE, kQsaAuthorizationPath), "null", "again");
  // A new configuration signs off as well.
  ASSERT_FALSE(SignOn(endpoints_, "alice", "secret").failed);
  qsa_.Configure(Accounts());
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
}

TEST_F(QsaServiceTest, TheErrorEndpointDescribesTheLastFailure) {
  ExpectFailure(Get(endpoints_, kQsaErrorPath), 404, kQsaNoFailure, "before any failure");
  // Every account state a refusal can name, and one the plugin does not know.
  for (const char* description :
       {"account_state_disabled", "account_state_transferring_out", "account_state_transferring_in",
        "account_state_transferring_back", "account_state_creating",
        "account_state_transferred_out", "account_state_platform_split",
        "account_state_unheard_of"}) {
    QsaFailure failure;
    failure.status = 400;
    failure.message = "refused";
    failure.error_description = description;
    qsa_.SetFailure(QsaEndpoint::kSignOn, failure);
    ExpectFailure(SignOn(endpoints_, "alice", "secret"), 400, "refused", description);
    ExpectJson(Get(endpoints_, kQsaErrorPath),
               std::string(R"({"errorDescription":")") + description + "\"}", description);
  }
  qsa_.SetFailure(QsaEndpoint::kSignOn, std::nullopt);

  // An account refused by its own state.
  ExpectFailure(SignOn(endpoints_, "carol", "pw"), 400,
                "kivhost qsa: sign-on refused: account_state_platform_split", "carol");
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  ExpectJson(Get(endpoints_, kQsaErrorPath),
             R"({"errorDescription":"account_state_platform_split"})", "carol");
  // ... and a 400 without a description leaves the error endpoint without one.
  QsaFailure bare;
  bare.status = 400;
  qsa_.SetFailure(QsaEndpoint::kAccessToken, bare);
  ExpectFailure(Get(endpoints_, kQsaAccessTokenPath), 400, kQsaInjectedFailure, "bare 400");
  ExpectJson(Get(endpoints_, kQsaErrorPath), "{}", "bare 400");
  qsa_.SetFailure(QsaEndpoint::kAccessToken, std::nullopt);

  // The error endpoint itself failing leaves the last failure alone.
  QsaFailure broken;
  broken.status = 503;
  broken.message = "error log unavailable";
  qsa_.SetFailure(QsaEndpoint::kError, broken);
  ExpectFailure(Get(endpoints_, kQsaErrorPath), 503, "error log unavailable", "broken");
  qsa_.SetFailure(QsaEndpoint::kError, std::nullopt);
  ExpectJson(Get(endpoints_, kQsaErrorPath), "{}", "after broken");

  // A successful sign-on clears it.
  ASSERT_FALSE(SignOn(endpoints_, "alice", "secret").failed);
  ExpectFailure(Get(endpoints_, kQsaErrorPath), 404, kQsaNoFailure, "after success");
}

TEST_F(QsaServiceTest, EachEndpointAnswersEachInjectedStatus) {
  ASSERT_FALSE(SignOn(endpoints_, "alice", "secret").failed);
  struct Target {
    QsaEndpoint endpoint;
    uint32_t method;
    const char* path;
  };
  const Target targets[] = {
      {QsaEndpoint::kStatus, KIV_METHOD_GET, "/qsa-auth/v1/status/LOC1"},
      {QsaEndpoint::kSignOn, KIV_METHOD_POST, kQsaSignOnPath},
      {QsaEndpoint::kIdToken, KIV_METHOD_GET, kQsaIdTokenPath},
      {QsaEndpoint::kGasToken, KIV_METHOD_GET, kQsaGasTokenPath},
      {QsaEndpoint::kAccessToken, KIV_METHOD_GET, kQsaAccessTokenPath},
  };
  for (const Target& target : targets) {
    for (int32_t status : {410, 500, 503, 401, 400, 404, 418}) {
      QsaFailure failure;
      failure.status = status;
      failure.message = "injected " + std::to_string(status);
      qsa_.SetFailure(target.endpoint, failure);
      const std::string what = std::string(target.path) + " " + std::to_string(status);
      Reply reply = target.endpoint == QsaEndpoint::kSignOn
                        ? SignOn(endpoints_, "alice", "secret")
                        : Send(endpoints_, target.method, target.path);
      ExpectFailure(reply, status, failure.message, what);
      ExpectJson(Get(endpoints_, kQsaErrorPath), "{}", what);
    }
    qsa_.SetFailure(target.endpoint, std::nullopt);
    // Removed, the failure is gone.
    Reply after = target.endpoint == QsaEndpoint::kSignOn
                      ? SignOn(endpoints_, "alice", "secret")
                      : Send(endpoints_, target.method, target.path);
    EXPECT_FALSE(after.failed) << target.path << ": " << after.error;
  }
  // An injected sign-on failure does not touch who is signed on.
  EXPECT_EQ(qsa_.signed_on(), "alice");
}

class QsaFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/kivhost-qsa-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { std::remove(path_.c_str()); }
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  // The error of loading `text`, which must fail.
  std::string Refusal(const std::string& text) {
    Write(text);
    std::string error;
    EXPECT_FALSE(qsa_.LoadFile(path_, &error)) << text;
    return error;
  }

  std::string path_;
  QsaService qsa_;
};

constexpr char kFullFile[] = R"({
  "enabledPlatforms": ["LOC1", "LOC2"],
  "accounts": [
    {"username": "alice", "password": "secret", "puuid": "p-a", "platformId": "LOC1",
     "accountId": 18446744073709551615,
     "idToken": {"token": "id.a", "expiry": 5},
     "gasToken": {"vouchers": [1, {"x": null}]},
     "accessToken": {"token": "at.a", "scopes": ["openid"], "expiry": 6}},
    {"username": "dave", "password": "", "puuid": "p-d", "refusal": "account_state_creating"}
  ],
  "failures": {
    "id-token": {"status": 500, "message": "down"},
    "gas-token": {"status": 400, "errorDescription": "account_state_disabled"},
    "error": {"status": 502}
  }
})";

TEST_F(QsaFileTest, ReadsEveryMember) {
  QsaConfig config;
  std::string error;
  ASSERT_TRUE(ParseQsaConfig(kFullFile, "f", &config, &error)) << error;
  EXPECT_EQ(config.enabled_platforms, (std::set<std::string>{"LOC1", "LOC2"}));
  ASSERT_EQ(config.accounts.size(), 2u);
  const QsaAccount& alice = config.accounts[0];
  EXPECT_EQ(alice.username, "alice");
  EXPECT_EQ(alice.password, "secret");
  EXPECT_EQ(alice.puuid, "p-a");
  EXPECT_EQ(alice.platform_id, "LOC1");
  EXPECT_EQ(alice.account_id, 18446744073709551615u);
  EXPECT_EQ(alice.id_token, R"({"token":"id.a","expiry":5})");
  EXPECT_EQ(alice.gas_token, R"({"vouchers":[1,{"x":null}]})");
  EXPECT_EQ(alice.access_token, R"({"token":"at.a","scopes":["openid"],"expiry":6})");
  EXPECT_EQ(alice.refusal, std::nullopt);
  const QsaAccount& dave = config.accounts[1];
  EXPECT_EQ(dave.password, "");
  EXPECT_EQ(dave.platform_id, "");
  EXPECT_EQ(dave.refusal, "account_state_creating");
  EXPECT_EQ(dave.access_token, R"({"token":"","scopes":[],"expiry":0})");
  ASSERT_EQ(config.failures.size(), 3u);
  EXPECT_EQ(config.failures[QsaEndpoint::kIdToken].status, 500);
  EXPECT_EQ(config.failures[QsaEndpoint::kIdToken].message, "down");
  EXPECT_EQ(config.failures[QsaEndpoint::kGasToken].error_description, "account_state_disabled");
  EXPECT_EQ(config.failures[QsaEndpoint::kError].message, kQsaInjectedFailure);

  // Everything is optional at the top.
  ASSERT_TRUE(ParseQsaConfig("{}", "f", &config, &error)) << error;
  EXPECT_TRUE(config.accounts.empty());
  EXPECT_TRUE(config.enabled_platforms.empty());
  EXPECT_TRUE(config.failures.empty());
}

TEST_F(QsaFileTest, ALoadedFileIsServed) {
  HostEndpoints endpoints;
  qsa_.Install(&endpoints);
  Write(kFullFile);
  std::string error;
  ASSERT_TRUE(qsa_.LoadFile(path_, &error)) << error;
  ExpectJson(Get(endpoints, "/qsa-auth/v1/status/LOC2"), R"({"platformId":"LOC2","enabled":true})",
             "status");
  ExpectJson(SignOn(endpoints, "alice", "secret"),
             R"({"currentPlatformId":"LOC1","currentAccountId":18446744073709551615,)"
             R"("subject":"p-a"})",
             "sign-on");
  ExpectFailure(Get(endpoints, kQsaIdTokenPath), 500, "down", "id token");
  ExpectFailure(Get(endpoints, kQsaGasTokenPath), 400, kQsaInjectedFailure, "gas token");
  ExpectFailure(Get(endpoints, kQsaErrorPath), 502, kQsaInjectedFailure, "error");
  ExpectJson(Get(endpoints, kQsaAccessTokenPath),
             R"({"token":"at.a","scopes":["openid"],"expiry":6})", "access token");
}

TEST_F(QsaFileTest, FaultsAreNamedWithTheirPlace) {
  const std::string f = "qsa file " + path_;
  struct Case {
    std::string text;
    std::string error;
  };
  const std::string account = R"("username": "a", "password": "b", "puuid": "c")";
  const Case cases[] = {
      {R"({"accounts": [)", f + " is not valid JSON: Invalid value. at offset 14"},
      {"[]", f + " must hold an object"},
      {R"({"enabledPlatform": ["LOC1"]})", f + ": unknown member \"enabledPlatform\""},
      {R"({"enabledPlatforms": "LOC1"})", f + ": \"enabledPlatforms\" must be an array of strings"},
      {R"({"enabledPlatforms": ["LOC1", 2]})",
       f + ": \"enabledPlatforms\" must be an array of strings"},
      {R"({"accounts": {}})", f + ": \"accounts\" must be an array"},
      {R"({"accounts": [7]})", f + ": accounts[0]: must be an object"},
      {R"({"accounts": [{)" + account + R"(}, {"password": "b", "puuid": "c"}]})",
       f + ": accounts[1]: \"username\" is missing; it must be a string"},
      {R"({"accounts": [{"username": "a", "password": 1, "puuid": "c"}]})",
       f + ": accounts[0]: \"password\" must be a string"},
      {R"({"accounts": [{"username": "a", "password": "b"}]})",
       f + ": accounts[0]: \"puuid\" is missing; it must be a string"},
      {R"({"accounts": [{)" + account + R"(, "accountId": -1}]})",
       f + ": accounts[0]: \"accountId\" must be an unsigned integer"},
      {R"({"accounts": [{)" + account + R"(, "idToken": "t"}]})",
       f + ": accounts[0]: \"idToken\" must be an object"},
      {R"({"accounts": [{)" + account + R"(, "idToken": {"expiry": 1}}]})",
       f + ": accounts[0]: idToken: \"token\" is missing; it must be a string"},
      {R"({"accounts": [{)" + account + R"(, "accessToken": {"token": "t", "scopes": "s"}}]})",
       f + ": accounts[0]: accessToken: \"scopes\" must be an array of strings"},
      {R"({"accounts": [{)" + account + R"(, "accessToken": {"token": "t", "expires": 1}}]})",
       f + ": accounts[0]: accessToken: unknown member \"expires\""},
      {R"({"accounts": [{)" + account + R"(, "gasToken": [1]}]})",
       f + ": accounts[0]: \"gasToken\" must be an object"},
      {R"({"accounts": [{)" + account + R"(, "gasToken": {"a": )" + std::string(1200, '[') +
           std::string(1200, ']') + "}}]}",
       f + ": accounts[0]: \"gasToken\": nesting deeper than 1000 levels"},
      {R"({"accounts": [{)" + account + R"(, "refusal": null}]})",
       f + ": accounts[0]: \"refusal\" must be a string"},
      {R"({"failures": []})", f + ": \"failures\" must be an object"},
      {R"({"failures": {"sign-on": {"status": 401}}})",
       f + ": failures: unknown endpoint \"sign-on\" (status, gas, id-token, gas-token, "
           "access-token, error)"},
      {R"({"failures": {"gas": 401}})", f + ": failures: gas: must be an object"},
      {R"({"failures": {"gas": {"message": "x"}}})",
       f + ": failures: gas: \"status\" must be an integer from 100 to 599"},
      {R"({"failures": {"gas": {"status": 600}}})",
       f + ": failures: gas: \"status\" must be an integer from 100 to 599"},
      {R"({"failures": {"gas": {"status": 99}}})",
       f + ": failures: gas: \"status\" must be an integer from 100 to 599"},
      {R"({"failures": {"gas": {"status": "500"}}})",
       f + ": failures: gas: \"status\" must be an unsigned integer"},
      {R"({"failures": {"status": {"status": 401, "errorDescription": "x"}}})",
       f + ": failures: status: \"errorDescription\" goes only with status 400"},
      {R"({"failures": {"gas": {"status": 400, "description": "x"}}})",
       f + ": failures: gas: unknown member \"description\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Refusal(c.text), c.error) << c.text;

  std::string error;
  EXPECT_FALSE(qsa_.LoadFile("/nonexistent/qsa.json", &error));
  EXPECT_EQ(error, "cannot read qsa file /nonexistent/qsa.json: No such file or directory");
  Write(std::string(17u << 20, ' '));
  EXPECT_FALSE(qsa_.LoadFile(path_, &error));
  EXPECT_EQ(error, f + " is larger than 16 MiB");
}

TEST_F(QsaFileTest, ARefusedFileChangesNothing) {
  HostEndpoints endpoints;
  qsa_.Install(&endpoints);
  Write(kFullFile);
  std::string error;
  ASSERT_TRUE(qsa_.LoadFile(path_, &error)) << error;
  ASSERT_FALSE(SignOn(endpoints, "alice", "secret").failed);
  Refusal(R"({"enabledPlatforms": []})"
          "x");
  EXPECT_EQ(qsa_.signed_on(), "alice");
  ExpectJson(Get(endpoints, "/qsa-auth/v1/status/LOC1"), R"({"platformId":"LOC1","enabled":true})",
             "status");
}

// The plugin follows the access-token resource; its update, raised as a client core raises
// it, reaches the plugin's subscription through the substitute host.
TEST(QsaAccessTokenUpdateTest, ReachesThePluginsSubscription) {
  std::string error;
  auto session = HostSession::Load(KIV_PLUGIN_PATH, &error);
  ASSERT_NE(session, nullptr) << error;
  QsaService& qsa = session->host().qsa();
  qsa.Configure(Accounts());
  qsa.Install(&session->host().endpoints());
  ASSERT_TRUE(session->Create(HostVersion{}).accepted);
  ASSERT_TRUE(session->Initialize());
  EXPECT_EQ(session->host().subscriptions().count(kQsaAccessTokenEvent), 1u);

  // Signed on through the host's own request slot, as the plugin does.
  HostApi* api = session->host().services()->api;
  BindingAbiNamedValue values[3] = {};
  const char* texts[3][2] = {{"username", "alice"}, {"password", "secret"}, {"platformId", "LOC1"}};
  for (int i = 0; i < 3; ++i) {
    values[i].name = texts[i][0];
    values[i].value.tag = KIV_ABI_STRING_BORROWED;
    values[i].value.payload.ref = {texts[i][1], static_cast<uint32_t>(std::strlen(texts[i][1]))};
  }
  HostRequest request{};
  request.method = KIV_METHOD_POST;
  request.path = kQsaSignOnPath;
  request.arguments = values;
  request.argument_count = 3;
  HostResponse response{};
  api->SendRequest(api, &response, &request);
  EXPECT_EQ(response.failed, 0u) << (response.error_text ? response.error_text : "");
  response.release(&response);

  std::optional<std::string> update = qsa.AccessTokenUpdate();
  ASSERT_TRUE(update.has_value());
  ASSERT_TRUE(session->host().RaiseEvent(kQsaAccessTokenEvent, *update, &error)) << error;
  session->thread().Invoke([] {});
  bool delivered = false;
  for (const EventRecord& record : session->host().event_log()) {
    delivered = delivered || (record.kind == EventRecord::kDelivered &&
                              record.name == kQsaAccessTokenEvent && record.payload == *update);
  }
  EXPECT_TRUE(delivered);
  session->Shutdown();
}

}  // namespace
}  // namespace kivhost
