// The substitute host's sign-on service, reached as the plugin reaches it: host requests
// answered by the endpoint registry.
#include "host/qsa_service.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/host_exchange.h"
#include "support/run_kivhost.h"

namespace kivhost {
namespace {

using testing::Args;

constexpr char kAccounts[] = R"({"enabledPlatforms": ["LOC1"], "accounts": [
  {"username": "alice", "password": "secret", "puuid": "puuid-alice", "accountId": 4001,
   "idToken": {"token": "id-alice", "expiry": 1700000000}, "gasToken": {"gas": {"n": 1}},
   "accessToken": {"token": "at-alice", "scopes": ["openid", "kiv"], "expiry": 99}},
  {"username": "bob", "password": "pw", "puuid": "puuid-bob", "platformId": "LOC2"},
  {"username": "carol", "password": "pw", "puuid": "puuid-carol",
   "refusal": "account_state_platform_split"}]})";
constexpr char kAliceAccess[] = R"({"token":"at-alice","scopes":["openid","kiv"],"expiry":99})";
constexpr char kAliceSignedOn[] =
    R"({"currentPlatformId":"LOC1","currentAccountId":4001,"subject":"puuid-alice"})";
const std::string kStatus = kQsaStatusPrefix;

class QsaServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qsa_.Install(&endpoints_);
    ASSERT_EQ(Load(kAccounts), "");
  }
  // Loads `text` as the service's file; the error, or "" when it was taken.
  std::string Load(const std::string& text) {
    testing::TempFile file(text);
    auto loaded = qsa_.LoadFile(file.path());
    if (loaded.ok()) return "";
    return loaded.error().substr(loaded.error().find(file.path()) + file.path().size());
  }
  std::string Get(const std::string& path) { return Ask(KIV_METHOD_GET, path); }
  std::string Ask(uint32_t method, const std::string& path, const Args& args = {},
                  const std::string& body = "") {
    return testing::Ask(endpoints_, method, path, args, body);
  }
  std::string SignOn(const char* username, const char* password, const char* platform = "LOC1") {
    return Ask(KIV_METHOD_POST, kQsaSignOnPath,
               {{"username", username}, {"password", password}, {"platformId", platform}});
  }
  void Fail(QsaEndpoint endpoint, int32_t status, const char* message = kQsaInjectedFailure,
            std::optional<std::string> description = std::nullopt) {
    qsa_.SetFailure(endpoint, QsaFailure{status, message, description});
  }

  HostEndpoints endpoints_;
  QsaService qsa_;
};

TEST_F(QsaServiceTest, StatusTellsWhichPlatformsAreEnabled) {
  EXPECT_EQ(Get(kStatus + "LOC1"), R"({"platformId":"LOC1","enabled":true})");
  EXPECT_EQ(Get(kStatus + "a\"b"), R"({"platformId":"a\"b","enabled":false})");
  EXPECT_EQ(Get(kStatus), "404 kivhost has no endpoint GET /qsa-auth/v1/status/");
}

TEST_F(QsaServiceTest, SignOnHandsOutTheAccountsTokensUntilSignOff) {
  const std::string none = std::string("404 ") + kQsaNotSignedOn;
  for (const char* path : {kQsaIdTokenPath, kQsaGasTokenPath, kQsaAccessTokenPath}) {
    EXPECT_EQ(Get(path), none) << path;
  }
  EXPECT_EQ(qsa_.AccessTokenUpdate(), std::nullopt);
  EXPECT_EQ(SignOn("alice", "secret"), kAliceSignedOn);
  EXPECT_EQ(qsa_.signed_on(), "alice");
  EXPECT_EQ(Get(kQsaIdTokenPath), R"({"token":"id-alice","expiry":1700000000})");
  EXPECT_EQ(Get(kQsaGasTokenPath), R"({"gas":{"n":1}})");
  EXPECT_EQ(Get(kQsaAccessTokenPath), kAliceAccess);
  EXPECT_EQ(qsa_.AccessTokenUpdate(),
            std::string(R"({"uri":"/qsa-auth/v1/authorization/access-token",)") +
                R"("eventType":"Update","data":)" + kAliceAccess + "}");

  // Another account, on the one platform it belongs to, with the default tokens.
  EXPECT_EQ(SignOn("bob", "pw", "LOC2"),
            R"({"currentPlatformId":"LOC2","currentAccountId":0,"subject":"puuid-bob"})");
  EXPECT_EQ(qsa_.signed_on(), "bob");
  EXPECT_EQ(Get(kQsaIdTokenPath) + Get(kQsaGasTokenPath) + Get(kQsaAccessTokenPath),
            R"({"token":"","expiry":0}{}{"token":"","scopes":[],"expiry":0})");

  // The credentials may also come as a JSON body.
  EXPECT_EQ(Ask(KIV_METHOD_POST, kQsaSignOnPath, {},
                R"({"username":"alice","password":"secret","platformId":"LOC1"})"),
            kAliceSignedOn);
  EXPECT_EQ(Ask(KIV_METHOD_DELETE, kQsaAuthorizationPath), "null");
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  EXPECT_EQ(Get(kQsaGasTokenPath), none);
  EXPECT_EQ(Ask(KIV_METHOD_DELETE, kQsaAuthorizationPath), "null") << "twice is no fault";
  // A new configuration signs off as well.
  EXPECT_EQ(SignOn("alice", "secret"), kAliceSignedOn);
  ASSERT_EQ(Load(kAccounts), "");
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
}

TEST_F(QsaServiceTest, WrongCredentialsAreRefused) {
  const std::string bad = std::string("401 ") + kQsaBadCredentials;
  const std::string incomplete = std::string("400 ") + kQsaBadSignOnRequest;
  const std::pair<std::string, std::string> rows[] = {
      {R"({"username":"alice","password":"Secret","platformId":"LOC1"})", bad},
      {R"({"username":"mallory","password":"secret","platformId":"LOC1"})", bad},
      {R"({"username":"bob","password":"pw","platformId":"LOC1"})", bad},
      {"", incomplete},
      {R"({"username":"alice","password":"secret"})", incomplete},
      {R"({"username":"alice","platformId":"LOC1"})", incomplete},
      {"{not json", incomplete},
      {R"({"username":1,"password":"secret","platformId":"LOC1"})", incomplete},
  };
  for (const auto& [body, reply] : rows) {
    EXPECT_EQ(Ask(KIV_METHOD_POST, kQsaSignOnPath, {}, body), reply) << body;
  }
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  // A refusal without a description: the error endpoint has nothing to tell.
  EXPECT_EQ(Get(kQsaErrorPath), "{}");
}

TEST_F(QsaServiceTest, TheErrorEndpointDescribesTheLastFailure) {
  EXPECT_EQ(Get(kQsaErrorPath), std::string("404 ") + kQsaNoFailure);
  // The description is passed on as it is, known to the plugin or not.
  Fail(QsaEndpoint::kSignOn, 400, "refused", "account_state_unheard_of");
  EXPECT_EQ(SignOn("alice", "secret"), "400 refused");
  EXPECT_EQ(Get(kQsaErrorPath), R"({"errorDescription":"account_state_unheard_of"})");
  qsa_.SetFailure(QsaEndpoint::kSignOn, std::nullopt);

  // An account refused by its own state.
  EXPECT_EQ(SignOn("carol", "pw"),
            "400 kivhost qsa: sign-on refused: account_state_platform_split");
  EXPECT_EQ(qsa_.signed_on(), std::nullopt);
  EXPECT_EQ(Get(kQsaErrorPath), R"({"errorDescription":"account_state_platform_split"})");

  // The error endpoint itself failing leaves the last failure alone.
  Fail(QsaEndpoint::kError, 503, "error log unavailable");
  EXPECT_EQ(Get(kQsaErrorPath), "503 error log unavailable");
  qsa_.SetFailure(QsaEndpoint::kError, std::nullopt);
  EXPECT_EQ(Get(kQsaErrorPath), R"({"errorDescription":"account_state_platform_split"})");

  // A successful sign-on clears it.
  EXPECT_EQ(SignOn("alice", "secret"), kAliceSignedOn);
  EXPECT_EQ(Get(kQsaErrorPath), std::string("404 ") + kQsaNoFailure);
}

TEST_F(QsaServiceTest, EachEndpointAnswersItsInjectedFailure) {
  EXPECT_EQ(SignOn("alice", "secret"), kAliceSignedOn);
  const std::pair<QsaEndpoint, std::string> targets[] = {
      {QsaEndpoint::kStatus, kStatus + "LOC1"},         {QsaEndpoint::kSignOn, kQsaSignOnPath},
      {QsaEndpoint::kIdToken, kQsaIdTokenPath},         {QsaEndpoint::kGasToken, kQsaGasTokenPath},
      {QsaEndpoint::kAccessToken, kQsaAccessTokenPath},
  };
  for (const auto& [endpoint, path] : targets) {
    SCOPED_TRACE(path);
    auto ask = [&, path = path] {
      return path == kQsaSignOnPath ? SignOn("alice", "secret") : Get(path);
    };
    Fail(endpoint, 503, "down");
    EXPECT_EQ(ask(), "503 down");
    EXPECT_EQ(Get(kQsaErrorPath), "{}");
    qsa_.SetFailure(endpoint, std::nullopt);
    EXPECT_EQ(ask().substr(0, 1), "{") << "removed, the failure is gone";
  }
  // An injected sign-on failure does not touch who is signed on.
  EXPECT_EQ(qsa_.signed_on(), "alice");
}

TEST_F(QsaServiceTest, ALoadedFileIsServedAndARefusedOneChangesNothing) {
  ASSERT_EQ(Load(R"({
    "enabledPlatforms": ["LOC2"],
    "accounts": [
      {"username": "alice", "password": "secret", "puuid": "p-a", "platformId": "LOC1",
       "accountId": 18446744073709551615, "gasToken": {"vouchers": [1, {"x": null}]}},
      {"username": "dave", "password": "", "puuid": "p-d", "refusal": "account_state_creating"}
    ],
    "failures": {
      "id-token": {"status": 500, "message": "down"},
      "gas-token": {"status": 400, "errorDescription": "account_state_disabled"},
      "error": {"status": 502}
    }
  })"),
            "");
  EXPECT_EQ(Get(kStatus + "LOC2"), R"({"platformId":"LOC2","enabled":true})");
  EXPECT_EQ(SignOn("alice", "secret"),
            R"({"currentPlatformId":"LOC1","currentAccountId":18446744073709551615,)"
            R"("subject":"p-a"})");
  EXPECT_EQ(Get(kQsaIdTokenPath), "500 down");
  EXPECT_EQ(Get(kQsaGasTokenPath), std::string("400 ") + kQsaInjectedFailure);
  EXPECT_EQ(Get(kQsaErrorPath), std::string("502 ") + kQsaInjectedFailure);
  EXPECT_EQ(SignOn("dave", "", "LOC2"),
            std::string("400 ") + kQsaRefused + "account_state_creating");

  EXPECT_EQ(SignOn("alice", "secret").substr(0, 1), "{");
  EXPECT_NE(Load(R"({"enabledPlatforms": []}x)"), "");
  EXPECT_EQ(qsa_.signed_on(), "alice");
  EXPECT_EQ(Get(kStatus + "LOC2"), R"({"platformId":"LOC2","enabled":true})");
  // Everything is optional at the top.
  EXPECT_EQ(Load("{}"), "");
}

TEST_F(QsaServiceTest, FileFaultsAreNamedWithTheirPlace) {
  const std::string account = R"({"accounts": [{"username": "a", "password": "b", "puuid": "c")";
  auto with = [&](const std::string& member) { return account + ", " + member + "}]}"; };
  const std::string status_range =
      R"(: failures: gas: "status" must be an integer from 100 to 599)";
  const std::pair<std::string, std::string> rows[] = {
      {R"({"accounts": [)", " is not valid JSON: Invalid value. at offset 14"},
      {"[]", " must hold an object"},
      {R"({"enabledPlatform": ["LOC1"]})", R"(: unknown member "enabledPlatform")"},
      {R"({"enabledPlatforms": "LOC1"})", R"(: "enabledPlatforms" must be an array of strings)"},
      {R"({"enabledPlatforms": ["LOC1", 2]})",
       R"(: "enabledPlatforms" must be an array of strings)"},
      {R"({"accounts": {}})", R"(: "accounts" must be an array)"},
      {R"({"accounts": [7]})", ": accounts[0]: must be an object"},
      {account + R"(}, {"password": "b", "puuid": "c"}]})",
       R"(: accounts[1]: "username" is missing; it must be a string)"},
      {R"({"accounts": [{"username": "a", "password": 1, "puuid": "c"}]})",
       R"(: accounts[0]: "password" must be a string)"},
      {R"({"accounts": [{"username": "a", "password": "b"}]})",
       R"(: accounts[0]: "puuid" is missing; it must be a string)"},
      {with(R"("accountId": -1)"), R"(: accounts[0]: "accountId" must be an unsigned integer)"},
      {with(R"("idToken": "t")"), R"(: accounts[0]: "idToken" must be an object)"},
      {with(R"("idToken": {"expiry": 1})"),
       R"(: accounts[0]: idToken: "token" is missing; it must be a string)"},
      {with(R"("accessToken": {"token": "t", "scopes": "s"})"),
       R"(: accounts[0]: accessToken: "scopes" must be an array of strings)"},
      {with(R"("accessToken": {"token": "t", "expires": 1})"),
       R"(: accounts[0]: accessToken: unknown member "expires")"},
      {with(R"("gasToken": [1])"), R"(: accounts[0]: "gasToken" must be an object)"},
      {with(R"("gasToken": {"a": )" + std::string(1200, '[') + std::string(1200, ']') + "}"),
       R"(: accounts[0]: "gasToken": nesting deeper than 1000 levels)"},
      {with(R"("refusal": null)"), R"(: accounts[0]: "refusal" must be a string)"},
      {R"({"failures": []})", R"(: "failures" must be an object)"},
      {R"({"failures": {"sign-on": {"status": 401}}})",
       R"(: failures: unknown endpoint "sign-on" (status, gas, id-token, gas-token, )"
       R"(access-token, error))"},
      {R"({"failures": {"gas": 401}})", ": failures: gas: must be an object"},
      {R"({"failures": {"gas": {"message": "x"}}})", status_range},
      {R"({"failures": {"gas": {"status": 600}}})", status_range},
      {R"({"failures": {"gas": {"status": 99}}})", status_range},
      {R"({"failures": {"gas": {"status": "500"}}})",
       R"(: failures: gas: "status" must be an unsigned integer)"},
      {R"({"failures": {"status": {"status": 401, "errorDescription": "x"}}})",
       R"(: failures: status: "errorDescription" goes only with status 400)"},
      {R"({"failures": {"gas": {"status": 400, "description": "x"}}})",
       R"(: failures: gas: unknown member "description")"},
      {std::string(17u << 20, ' '), " is larger than 16 MiB"},
  };
  for (const auto& [text, error] : rows) EXPECT_EQ(Load(text), error) << text.substr(0, 200);
  auto loaded = qsa_.LoadFile("/nonexistent/qsa.json");
  EXPECT_FALSE(loaded.ok());
  EXPECT_EQ(loaded.error(),
            "cannot read qsa file /nonexistent/qsa.json: No such file or directory");
}

}  // namespace
}  // namespace kivhost
