// Authentication at the login queue: the three request forms, the retry window for busy
// answers with its random growing delays, cancellation, and every answer the queue can give
// with the failure, state and log level it leads to.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "diag/log.h"
#include "loginqueue/fake_login_queue.h"

namespace Voro {
namespace {

using testing::kQueueUrl;
using testing::LoginQueueFixture;
using testing::QueueAnswer;
using testing::QueueRequest;

constexpr char kIdToken[] =
    "eyJhbGciOiJub25lIn0.eyJzdWIiOiJwdXVpZC0xIiwiZXhwIjoxNzAwMDAwMDAwfQ.c2ln";

class LoginQueueAuthTest : public LoginQueueFixture {
 protected:
  LoginQueueAuthTest() {
    login_.credentials.kind = CredentialKind::kUsernameAndPassword;
    login_.credentials.username_and_password = {"alice", "p@ss word&x"};
  }

  MaybeType<std::monostate> Authenticate(bool stop_after_second_failure = false) {
    return client_.AuthenticateWithLoginQueue(login_, stop_after_second_failure);
  }

  void ExpectFailure(const MaybeType<std::monostate>& result, const Failure& expected,
                     ClientLogin::LoginState state, int32_t level) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().id, expected.id);
    EXPECT_EQ(result.failure().messageId, expected.messageId);
    EXPECT_EQ(result.failure().description, expected.description);
    ASSERT_TRUE(login_.failure().has_value());
    EXPECT_EQ(*login_.failure(), expected);
    EXPECT_EQ(login_.state(), state);
    EXPECT_TRUE(Logged(level, expected.description)) << expected.description;
  }
};

TEST_F(LoginQueueAuthTest, StopRequestedBeforehandSendsNothing) {
  login_.RequestStop();
  ExpectFailure(Authenticate(), {"ALE-4874ED11", "LOGIN_CANCELED", "Login was canceled"}, 24,
                kLevelWarn);
  EXPECT_TRUE(requests_.empty());
}

TEST_F(LoginQueueAuthTest, RequestFormsForEachKindOfCredentials) {
  respond = [](const QueueRequest&) { return QueueAnswer::Json(R"({"status":"BUSY"})"); };
  (void)Authenticate();
  login_.credentials.kind = CredentialKind::kAccessToken;
  login_.credentials.access_token.token = "tok.en";
  (void)Authenticate();
  login_.credentials.kind = CredentialKind::kPartner;
  login_.credentials.partner = "payload=8393 uId=7";
  (void)Authenticate();

  ASSERT_EQ(requests_.size(), 3u);
  for (const QueueRequest& request : requests_) {
    EXPECT_EQ(request.method, uint32_t{KIV_METHOD_POST});
    EXPECT_EQ(request.timeout, 10u);
    EXPECT_EQ(request.flag, 1);
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    ASSERT_FALSE(request.headers.empty());
    EXPECT_EQ(request.headers[0].first, "user-agent");
  }
  EXPECT_EQ(requests_[0].url, "https://lq.test/authenticate");
  EXPECT_EQ(requests_[0].body, "user=alice,password=p@ss word&x");  // nothing escaped
  EXPECT_EQ(requests_[0].Header("Authorization"), "<none>");
  EXPECT_EQ(requests_[1].url, "https://lq.test/authenticate/QSA");
  EXPECT_EQ(requests_[1].body, "");
  EXPECT_EQ(requests_[1].Header("Authorization"), "Bearer tok.en");
  EXPECT_EQ(requests_[2].url, "https://lq.test/authenticate");
  EXPECT_EQ(requests_[2].body, "payload=8393 uId=7");

  const std::vector<std::string> lines = LogAt(kLevelAlways);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Connecting to login queue: https://lq.test/authenticate");
  EXPECT_EQ(lines[1], "Connected to login queue.");
}

TEST_F(LoginQueueAuthTest, LoginAnswerFillsTheLoginAndHoldsTheTokenAsPrettyJson) {
  respond = [](const QueueRequest&) {
    return QueueAnswer::Json(std::string(R"({"status":"LOGIN","idToken":")") + kIdToken +
                             R"(","gasToken":{"g":1},)"
                             R"("inGameCredentials":{"inGame":true,"serverIp":"10.0.0.1"},)"
                             R"("lqt":{"account_name":"alice","account_id":77,"other":[1,"x"]}})");
  };
  ASSERT_TRUE(Authenticate().ok());
  EXPECT_EQ(login_.state(), 4);
  EXPECT_FALSE(login_.failure().has_value());
  EXPECT_EQ(login_.username, "alice");
  EXPECT_EQ(login_.account_id, 77u);
  EXPECT_EQ(WriteJson(login_.gas_token), R"({"g":1})");
  EXPECT_EQ(login_.id_token, kIdToken);
  EXPECT_EQ(login_.puuid, "puuid-1");
  EXPECT_EQ(login_.id_token_expiry, 1700000000u);
  ASSERT_TRUE(login_.in_game_credentials.has_value());
  EXPECT_EQ(WriteJson(*login_.in_game_credentials), R"({"inGame":true,"serverIp":"10.0.0.1"})");
  EXPECT_EQ(login_.auth_token,
            "{\n    \"account_id\": 77,\n    \"account_name\": \"alice\",\n    \"other\": [\n"
            "        1,\n        \"x\"\n    ]\n}");
  const std::vector<std::string> lines = LogAt(kLevelAlways);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Auth token received from login queue.");
  EXPECT_EQ(requests_.size(), 1u);
}

TEST_F(LoginQueueAuthTest, AnswerWithoutIdTokenOrInGameFlagLeavesThemEmpty) {
  respond = [](const QueueRequest&) {
    return QueueAnswer::Json(
        R"({"status":"LOGIN","inGameCredentials":{"inGame":false},"lqt":{"account_id":5}})");
  };
  ASSERT_TRUE(Authenticate().ok());
  EXPECT_FALSE(login_.in_game_credentials.has_value());
  EXPECT_EQ(login_.id_token, "");
  EXPECT_EQ(login_.puuid, "");
  EXPECT_EQ(login_.id_token_expiry, 0u);
  EXPECT_EQ(login_.username, "");
  EXPECT_EQ(login_.account_id, 5u);
  EXPECT_EQ(login_.gas_token.type(), BindingType::kEmpty);
}

struct AnswerCase {
  const char* body;
  Failure failure;
  ClientLogin::LoginState state;
  int32_t level;
};

TEST_F(LoginQueueAuthTest, EveryRefusalHasItsFailureStateAndLevel) {
  const AnswerCase cases[] = {
      {R"({"banned":0,"banReason":"X"})",
       {"ALE-14FA382C", "ACCOUNT_BANNED", R"({ "banReason": "X", "expiration": 0 })"},
       0,
       kLevelWarn},
      {R"({"status":"LOGIN","banned":1893456000,"banReason":"cheating"})",
       {"ALE-14FA382C", "ACCOUNT_BANNED",
        R"({ "banReason": "cheating", "expiration": 1893456000 })"},
       0,
       kLevelWarn},
      {R"({"reason":"x"})",
       {"ALE-51BFB1A6", "UNSPECIFIED_ERROR",
        "status field missing, response code was 200, headers were 'X-Queue: a, Server: q', "
        R"(body was '{"reason":"x"}')"},
       13,
       kLevelError},
      {R"({"status":""})",
       {"ALE-7FD7BA4B", "UNSPECIFIED_ERROR",
        "status field empty, response code was 200, headers were 'X-Queue: a, Server: q', "
        R"(body was '{"status":""}')"},
       13,
       kLevelError},
      {R"({"status":"FAILED","reason":"account_inactive"})",
       {"ALE-27D2C92B", "ACCOUNT_DISABLED", "Account is currently disabled."},
       25,
       kLevelWarn},
      {R"({"status":"FAILED","reason":"account_transferring_out"})",
       {"ALE-27B4C62D", "LOGIN-0008", "Account is currently transferring out."},
       26,
       kLevelWarn},
      {R"({"status":"FAILED","reason":"account_transferring_in"})",
       {"ALE-23A2F12E", "LOGIN-0009", "Account is currently transferring in."},
       26,
       kLevelWarn},
      {R"({"status":"FAILED","reason":"account_transferred"})",
       {"ALE-61A4D92F", "LOGIN-0010", "Account has been transferred."},
       26,
       kLevelWarn},
      {R"({"status":"FAILED","reason":"invalid_credentials"})",
       {"ALE-18F2C92E", "INVALID_CREDENTIALS", "Login queue rejected credentials"},
       0,
       kLevelWarn},
      {R"({"status":"FAILED"})",
       {"ALE-18F2C92E", "INVALID_CREDENTIALS", "Login queue rejected credentials"},
       0,
       kLevelWarn},
      {R"({"status":"BUSY"})",
       {"ALE-6172BFE3", "LOGIN_QUEUE_BUSY", "Got BUSY status from login queue"},
       13,
       kLevelError},
      {R"({"status":"ARL_QUEUE"})",
       {"ALE-516C42B0", "LOGIN_QUEUE_BUSY", "Got ARL_QUEUE status from login queue"},
       13,
       kLevelError},
      {R"({"status":"HOLD"})",
       {"ALE-FA173951", "UNSPECIFIED_ERROR", "Unknown status from login queue \"HOLD\""},
       13,
       kLevelError},
      {R"({"status":"LOGIN"})",
       {"ALE-ABFCFE07", "UNSPECIFIED_ERROR",
        "lqt field missing, response code was 200, headers were 'X-Queue: a, Server: q', "
        R"(body was '{"status":"LOGIN"}')"},
       13,
       kLevelError},
      {R"({"status":"QUEUE","lqt":"text"})",
       {"ALE-AE5B25F5", "UNSPECIFIED_ERROR", "lqt field was not a structure"},
       13,
       kLevelError},
  };
  for (const AnswerCase& test : cases) {
    SCOPED_TRACE(test.body);
    host_.log.clear();
    respond = [&test](const QueueRequest&) {
      QueueAnswer answer = QueueAnswer::Json(test.body);
      answer.headers = {{"X-Queue", "a"}, {"Server", "q"}};
      return answer;
    };
    ExpectFailure(Authenticate(), test.failure, test.state, test.level);
  }
}

TEST_F(LoginQueueAuthTest, UnreadableAnswersNameTheDeserializerErrorAndTheResponse) {
  respond = [](const QueueRequest&) { return QueueAnswer::Json("<html>", 403); };
  ExpectFailure(Authenticate(),
                {"ALE-F32B8BB9", "UNSPECIFIED_ERROR",
                 "Failed to deserialize login queue auth response. Deserializer error: 'Error: "
                 "Invalid value. at offset 0.', response code was 403, headers were '', body was "
                 "'<html>'"},
                13, kLevelError);

  // The host claims a body but hands over no bytes: the conversion failed.
  respond = [](const QueueRequest&) {
    QueueAnswer answer = QueueAnswer::Json("xyz");
    answer.null_body = true;
    return answer;
  };
  ExpectFailure(Authenticate(),
                {"ALE-E4F4E3EA", "UNSPECIFIED_ERROR",
                 "Failed to deserialize login queue auth response. Deserializer error: 'Error "
                 "converting response for POST https://lq.test/authenticate: body was null', "
                 "response code was 200, headers were '', body was ''"},
                13, kLevelError);
}

TEST_F(LoginQueueAuthTest, OddAnswersAreReadStrictly) {
  respond = [](const QueueRequest&) { return QueueAnswer::Json("[1,2]"); };
  ExpectFailure(Authenticate(),
                {"ALE-51BFB1A6", "UNSPECIFIED_ERROR",
                 "status field missing, response code was 200, headers were '', body was '[1,2]'"},
                13, kLevelError);
  // A status that is not text counts as empty.
  respond = [](const QueueRequest&) { return QueueAnswer::Json(R"({"status":7})"); };
  ExpectFailure(
      Authenticate(),
      {"ALE-7FD7BA4B", "UNSPECIFIED_ERROR",
       R"(status field empty, response code was 200, headers were '', body was '{"status":7}')"},
      13, kLevelError);
  // A huge body is cut where every message is cut.
  respond = [](const QueueRequest&) { return QueueAnswer::Json(std::string(20000, 'a')); };
  const MaybeType<std::monostate> result = Authenticate();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure().id, "ALE-F32B8BB9");
  EXPECT_EQ(result.failure().description.size(), 4095u);
}

TEST_F(LoginQueueAuthTest, BusyAnswersAreRetriedWithGrowingDelaysUntilTheWindowEnds) {
  respond = [](const QueueRequest&) { return QueueAnswer::Json("Service Unavailable", 503); };
  const MaybeType<std::monostate> result = Authenticate();

  // Each gap is below its attempt's cap (2 s doubling up to 30 s) plus one 10 ms sleep.
  ASSERT_GE(requests_.size(), 3u);
  int64_t longest_gap = 0;
  for (size_t i = 1; i < requests_.size(); ++i) {
    const int64_t gap = requests_[i].at_ms - requests_[i - 1].at_ms;
    const int64_t cap = std::min<int64_t>(int64_t{2000} << std::min<size_t>(i - 1, 20), 30000);
    EXPECT_LE(gap, cap + 10) << "attempt " << i;
    longest_gap = std::max(longest_gap, gap);
    EXPECT_LT(requests_[i - 1].at_ms, 60000);
  }
  // Filling a minute with gaps of at most 2 s would take 30 draws all under their caps.
  EXPECT_GT(longest_gap, 2010);
  EXPECT_GE(requests_.back().at_ms, 60000);
  // Every attempt is announced, and the connection once.
  const std::vector<std::string> lines = LogAt(kLevelAlways);
  ASSERT_EQ(lines.size(), requests_.size() + 1);
  EXPECT_EQ(lines[requests_.size() - 1], "Connecting to login queue: https://lq.test/authenticate");
  EXPECT_EQ(lines.back(), "Connected to login queue.");

  // Once the window is over the last answer is read for what it is.
  ExpectFailure(result,
                {"ALE-F32B8BB9", "UNSPECIFIED_ERROR",
                 "Failed to deserialize login queue auth response. Deserializer error: 'Error: "
                 "Invalid value. at offset 0.', response code was 503, headers were '', body was "
                 "'Service Unavailable'"},
                13, kLevelError);
}

TEST_F(LoginQueueAuthTest, ShortWindowWhenTheLoginStopsAfterItsSecondFailure) {
  respond = [](const QueueRequest&) { return QueueAnswer::Json(R"({"status":"BUSY"})", 502); };
  const MaybeType<std::monostate> result = Authenticate(true);
  ASSERT_GE(requests_.size(), 2u);
  EXPECT_LT(requests_[requests_.size() - 2].at_ms, 15000);
  EXPECT_GE(requests_.back().at_ms, 15000);
  EXPECT_LT(requests_.back().at_ms, 15000 + 30000 + 10);
  // A busy answer with a readable body is examined like any other.
  ExpectFailure(result, {"ALE-6172BFE3", "LOGIN_QUEUE_BUSY", "Got BUSY status from login queue"},
                13, kLevelError);
}

TEST_F(LoginQueueAuthTest, TooManyRequestsIsRetriedLikeAServerError) {
  respond = [this](const QueueRequest&) {
    if (requests_.size() == 1) return QueueAnswer::Json(R"({"status":"BUSY"})", 429);
    return QueueAnswer::Json(R"({"status":"LOGIN","lqt":{"account_id":1}})", 200);
  };
  ASSERT_TRUE(Authenticate().ok());
  ASSERT_EQ(requests_.size(), 2u);
  EXPECT_LE(requests_[1].at_ms - requests_[0].at_ms, 2010);
  EXPECT_EQ(login_.state(), 4);
}

TEST_F(LoginQueueAuthTest, UnreachableQueueIsRetriedThenFailsWithTheHostsText) {
  respond = [](const QueueRequest&) { return QueueAnswer::Unreachable("Could not resolve host"); };
  ExpectFailure(
      Authenticate(),
      {"ALE-4C0F8C92", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE", "Could not resolve host"}, 13,
      kLevelError);
  EXPECT_GE(requests_.back().at_ms, 60000);
  EXPECT_FALSE(Logged(kLevelAlways, "Connected to login queue."));
}

TEST_F(LoginQueueAuthTest, UnreachableOnceThenAnswered) {
  respond = [this](const QueueRequest&) {
    if (requests_.size() == 1) return QueueAnswer::Unreachable("reset");
    return QueueAnswer::Json(R"({"status":"LOGIN","lqt":{}})");
  };
  ASSERT_TRUE(Authenticate().ok());
  EXPECT_EQ(requests_.size(), 2u);
  EXPECT_EQ(login_.auth_token, "{}");
}

TEST_F(LoginQueueAuthTest, StopDuringTheRetryWaitCancels) {
  respond = [](const QueueRequest&) { return QueueAnswer::Json("", 503); };
  int pumps = 0;
  on_pump = [this, &pumps] {
    if (++pumps == 3) login_.RequestStop();
  };
  ExpectFailure(Authenticate(), {"ALE-4874ED12", "LOGIN_CANCELED", "Login was canceled"}, 24,
                kLevelWarn);
  // Seen at the first 10 ms step after the stop.
  EXPECT_EQ(pumps, 3);
  EXPECT_FALSE(Logged(kLevelAlways, "Connected to login queue."));
}

}  // namespace
}  // namespace Voro
