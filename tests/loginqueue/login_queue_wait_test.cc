// Waiting in the login queue against a scripted queue on a manual clock: ticker polls and
// their schedule, the public status over a draining queue, failed polls with their back-off,
// the grace period, the "/token" exchange, the timing telemetry and cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "binding/json_reader.h"
#include "diag/log.h"
#include "loginqueue/fake_login_queue.h"

namespace Voro {
namespace {

using testing::LoginQueueFixture;
using testing::QueueAnswer;
using testing::QueueRequest;
using testing::StatusChange;

constexpr char kTickerUrl[] = "https://lq.test/ticker/q1";
constexpr char kTokenUrl[] = "https://lq.test/token";
constexpr char kTokenAnswer[] = R"({"lqt":{"account_id":9,"sig":"s"}})";

BindingProperty Json(const std::string& text) {
  BindingResult parsed = ParseJson(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.value();
}

Client::Api::LoginQueue Status(uint64_t position, bool capped, std::optional<uint64_t> seconds) {
  Client::Api::LoginQueue status;
  status.estimatedPositionInQueue = position;
  status.isPositionCapped = capped;
  status.approximateWaitTimeSeconds = seconds;
  return status;
}

void ExpectStatus(const std::optional<Client::Api::LoginQueue>& actual,
                  const Client::Api::LoginQueue& expected) {
  ASSERT_TRUE(actual.has_value());
  EXPECT_EQ(actual->estimatedPositionInQueue, expected.estimatedPositionInQueue);
  EXPECT_EQ(actual->isPositionCapped, expected.isPositionCapped);
  EXPECT_EQ(actual->approximateWaitTimeSeconds, expected.approximateWaitTimeSeconds);
}

class LoginQueueWaitTest : public LoginQueueFixture {
 protected:
  LoginQueueWaitTest() {
    pump_step_ms_ = 100;
    respond = [this](const QueueRequest& request) {
      if (request.url == kTickerUrl) {
        EXPECT_TRUE(ticker) << "no ticker answers scripted";
        return ticker ? ticker(request) : QueueAnswer::Json("{}", 500);
      }
      EXPECT_EQ(request.url, kTokenUrl);
      return token ? token(request) : QueueAnswer::Json(kTokenAnswer);
    };
  }

  MaybeType<BindingProperty> Wait(const std::string& answer) {
    login_.SetState(3);
    return client_.WaitInLoginQueue(login_, Json(answer));
  }

  // Scripted ticker answers, one per poll, the last repeated.
  void TickerAnswers(std::vector<QueueAnswer> answers) {
    ticker = [this, answers](const QueueRequest&) {
      const size_t index = std::min(RequestsTo(kTickerUrl).size(), answers.size()) - 1;
      return answers[index];
    };
  }

  // The public status last announced at or before `at_ms`.
  std::optional<Client::Api::LoginQueue> StatusAt(int64_t at_ms) const {
    std::optional<Client::Api::LoginQueue> status;
    for (const StatusChange& change : changes_) {
      if (change.at_ms <= at_ms) status = change.status;
    }
    return status;
  }

  void ExpectFailure(const MaybeType<BindingProperty>& result, const Failure& expected,
                     ClientLogin::LoginState state, int32_t level) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.failure().id, expected.id);
    EXPECT_EQ(result.failure().messageId, expected.messageId);
    EXPECT_EQ(result.failure().description, expected.description);
    ASSERT_TRUE(login_.failure().has_value());
    EXPECT_EQ(*login_.failure(), expected);
    EXPECT_EQ(login_.state(), state);
    EXPECT_TRUE(Logged(level, expected.description)) << expected.description;
    // Leaving the queue takes the status away.
    ASSERT_FALSE(changes_.empty());
    EXPECT_FALSE(changes_.back().status.has_value());
    EXPECT_FALSE(login_.queue_position.has_value());
  }

  std::function<QueueAnswer(const QueueRequest&)> ticker;
  std::function<QueueAnswer(const QueueRequest&)> token;
};

// 60 entries ahead on node "a" at one entry per second.
constexpr char kSixtyAhead[] =
    R"({"status":"QUEUE","champ":"q1","lqt":{"t":"x"},"vcap":55,"delay":0,"rate":1,)"
    R"("backlog":0,"tickers":[{"node":"a","id":100,"current":40}]})";

TEST_F(LoginQueueWaitTest, AllTickersServedGoesStraightToTheGracePeriod) {
  const MaybeType<BindingProperty> result = Wait(
      R"({"status":"QUEUE","champ":"q1","lqt":{"t":"x"},"vcap":100,"delay":2500,"rate":1,)"
      R"("backlog":50,"tickers":[{"node":"a","id":4,"current":4},{"node":"b","id":3,"current":9}]})");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(WriteJson(result.value()), R"({"account_id":9,"sig":"s"})");

  ASSERT_EQ(requests_.size(), 1u);
  const QueueRequest& request = requests_[0];
  EXPECT_EQ(request.url, kTokenUrl);
  EXPECT_EQ(request.at_ms, 2500);
  EXPECT_EQ(request.method, uint32_t{KIV_METHOD_POST});
  EXPECT_EQ(request.body, "{\n    \"t\": \"x\"\n}");
  EXPECT_EQ(request.Header("Content-Type"), "application/json");
  EXPECT_EQ(request.timeout, 10u);
  EXPECT_EQ(request.flag, 1);

  ASSERT_GE(changes_.size(), 2u);
  EXPECT_EQ(changes_[0].at_ms, 0);
  ExpectStatus(changes_[0].status, Status(1, false, 2));
  EXPECT_FALSE(changes_.back().status.has_value());
  EXPECT_EQ(LogAt(kLevelAlways),
            (std::vector<std::string>{"Reached the front of the login queue. Now waiting for a "
                                      "grace period of 2500 ms to expire.",
                                      "Retrieving auth token from login queue."}));
  EXPECT_EQ(TelemetryEvents("login_queue_timing"),
            (std::vector<std::map<std::string, std::string>>{{
                {"reported_rate", "1.000000"},
                {"reported_length_0", "50"},
                {"predicted_time_remaining_milliseconds_0", "50000"},
                {"actual_time_remaining_milliseconds_0", "0"},
            }}));
}

TEST_F(LoginQueueWaitTest, DrainingQueueIsPolledAndShownAsItMoves) {
  TickerAnswers({QueueAnswer::Json(R"({"status":"OK","a":"5a"})"),
                 QueueAnswer::Json(R"({"a":"64","backlog":0})")});
  const MaybeType<BindingProperty> result = Wait(kSixtyAhead);
  ASSERT_TRUE(result.ok());

  // Predicted 60 s: polled after 45 s; then 10 ahead, predicted 20 s: polled after 15 s.
  const std::vector<QueueRequest> polls = RequestsTo(kTickerUrl);
  ASSERT_EQ(polls.size(), 2u);
  EXPECT_EQ(polls[0].at_ms, 45000);
  EXPECT_EQ(polls[1].at_ms, 60000);
  EXPECT_EQ(polls[0].method, uint32_t{KIV_METHOD_GET});
  EXPECT_EQ(polls[0].timeout, 10u);
  EXPECT_EQ(polls[0].flag, 1);
  ASSERT_EQ(RequestsTo(kTokenUrl).size(), 1u);
  EXPECT_EQ(RequestsTo(kTokenUrl)[0].at_ms, 60000);

  // The position shrinks with the time left; above "vcap" it is capped.
  ExpectStatus(StatusAt(0), Status(55, true, 60));
  ExpectStatus(StatusAt(10000), Status(50, false, 50));
  ExpectStatus(StatusAt(44900), Status(15, false, 15));
  ExpectStatus(StatusAt(45000), Status(10, false, 20));
  ExpectStatus(StatusAt(59900), Status(2, false, 5));
  // Announced on every pass, every 100 ms.
  EXPECT_GE(changes_.size(), 600u);

  EXPECT_EQ(LogAt(kLevelAlways),
            (std::vector<std::string>{
                "Retrieving tickers from login queue: https://lq.test/ticker/q1",
                "Login queue position is 10",
                "Next login queue ticker update in 15 seconds.",
                "Retrieving tickers from login queue: https://lq.test/ticker/q1",
                "Login queue position is 0",
                "Reached the front of the login queue. Now waiting for a grace period of 0 ms to "
                "expire.",
                "Retrieving auth token from login queue.",
            }));
  EXPECT_EQ(TelemetryEvents("login_queue_timing"),
            (std::vector<std::map<std::string, std::string>>{{
                {"reported_rate", "1.000000"},
                {"reported_length_0", "60"},
                {"predicted_time_remaining_milliseconds_0", "60000"},
                {"actual_time_remaining_milliseconds_0", "60000"},
                {"reported_length_1", "10"},
                {"predicted_time_remaining_milliseconds_1", "20000"},
                {"actual_time_remaining_milliseconds_1", "15000"},
                {"reported_length_2", "0"},
                {"predicted_time_remaining_milliseconds_2", "0"},
                {"actual_time_remaining_milliseconds_2", "0"},
            }}));
}

TEST_F(LoginQueueWaitTest, HexadecimalServedNumbers) {
  TickerAnswers({QueueAnswer::Json(R"({"a":"1f"})"), QueueAnswer::Json(R"({"a":"28"})")});
  ASSERT_TRUE(Wait(R"({"champ":"q1","lqt":{},"vcap":100,"rate":1,)"
                   R"("tickers":[{"node":"a","id":40,"current":0}]})")
                  .ok());
  EXPECT_TRUE(Logged(kLevelAlways, "Login queue position is 9"));
  EXPECT_EQ(RequestsTo(kTickerUrl).size(), 2u);
}

TEST_F(LoginQueueWaitTest, WithoutARateThereIsNoPredictionAndPollsComeEveryNinetySeconds) {
  TickerAnswers({QueueAnswer::Json(R"({"a":"2"})"), QueueAnswer::Json(R"({"a":"a"})")});
  ASSERT_TRUE(Wait(R"({"champ":"q1","lqt":{},"vcap":100,"delay":1000,)"
                   R"("tickers":[{"node":"a","id":10,"current":0}]})")
                  .ok());
  const std::vector<QueueRequest> polls = RequestsTo(kTickerUrl);
  ASSERT_EQ(polls.size(), 2u);
  EXPECT_EQ(polls[0].at_ms, 90000);
  EXPECT_EQ(polls[1].at_ms, 180000);
  EXPECT_EQ(RequestsTo(kTokenUrl)[0].at_ms, 181000);
  // Nothing predicts a change, so the status first shown stays.
  ExpectStatus(StatusAt(0), Status(10, false, std::nullopt));
  ExpectStatus(StatusAt(179900), Status(10, false, std::nullopt));
  ExpectStatus(StatusAt(180000), Status(1, false, 1));
  EXPECT_TRUE(Logged(kLevelAlways, "Next login queue ticker update in 90 seconds."));
}

TEST_F(LoginQueueWaitTest, EightFailedPollsAreRetriedAndTheNinthEndsTheWait) {
  // 20 ahead at one per second: predicted 20 s, polled after 15 s.
  TickerAnswers({QueueAnswer::Json("{}", 503), QueueAnswer::Json("{}", 429),
                 QueueAnswer::Unreachable("reset"), QueueAnswer::Json("busy", 500),
                 QueueAnswer::Json("{}", 502), QueueAnswer::Json("{}", 503),
                 QueueAnswer::Json("{}", 504), QueueAnswer::Json("{}", 599),
                 QueueAnswer::Unreachable("Operation timed out")});
  const MaybeType<BindingProperty> result =
      Wait(R"({"champ":"q1","lqt":{},"vcap":100,"rate":1,)"
           R"("tickers":[{"node":"a","id":20,"current":0}]})");
  ExpectFailure(result,
                {"ALE-4B08B92B", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE", "Operation timed out"},
                13, kLevelError);
  const std::vector<QueueRequest> polls = RequestsTo(kTickerUrl);
  ASSERT_EQ(polls.size(), 9u);
  EXPECT_TRUE(RequestsTo(kTokenUrl).empty());
  EXPECT_EQ(polls[0].at_ms, 15000);

  const std::vector<std::string> warnings = LogAt(kLevelWarn);
  ASSERT_EQ(warnings.size(), 8u);
  const std::string prefix = "No successful response from https://lq.test/ticker/q1 after ";
  for (size_t k = 1; k <= 8; ++k) {
    SCOPED_TRACE(k);
    const std::string& line = warnings[k - 1];
    const std::string head = prefix + std::to_string(k) +
                             " attempts. Will retry after a total "
                             "delay of ";
    ASSERT_EQ(line.compare(0, head.size(), head), 0) << line;
    ASSERT_EQ(line.substr(line.size() - 6), " ms...") << line;
    const int64_t total = std::atoll(line.c_str() + head.size());
    // This poll's draw: the total minus the time until this poll (15 s plus earlier delay).
    const int64_t drawn = total - (polls[k - 1].at_ms - 15000);
    EXPECT_GE(drawn, 0);
    EXPECT_LE(drawn, std::min<int64_t>(int64_t{500} << k, 90000));
    // The next poll comes when the total delay is over, at the next 100 ms step.
    EXPECT_GE(polls[k].at_ms, 15000 + total);
    EXPECT_LT(polls[k].at_ms, 15000 + total + 100);
  }
}

TEST_F(LoginQueueWaitTest, ASuccessfulPollStartsTheFailureCountAgain) {
  TickerAnswers({QueueAnswer::Json("{}", 503), QueueAnswer::Json("{}", 503),
                 QueueAnswer::Json(R"({"a":"5"})"), QueueAnswer::Json("{}", 503),
                 QueueAnswer::Json(R"({"a":"14"})")});
  ASSERT_TRUE(Wait(R"({"champ":"q1","lqt":{},"vcap":100,"rate":1,)"
                   R"("tickers":[{"node":"a","id":20,"current":0}]})")
                  .ok());
  const std::vector<std::string> warnings = LogAt(kLevelWarn);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_NE(warnings[0].find(" after 1 attempts."), std::string::npos);
  EXPECT_NE(warnings[1].find(" after 2 attempts."), std::string::npos);
  EXPECT_NE(warnings[2].find(" after 1 attempts."), std::string::npos);
}

struct FailureCase {
  QueueAnswer answer;
  Failure failure;
};

TEST_F(LoginQueueWaitTest, TickerAnswersThatEndTheWait) {
  const std::string kBadJson = "Error: Invalid value. at offset 0.";
  const FailureCase cases[] = {
      {QueueAnswer::Json(R"({"status":"BUSY","a":"64"})"),
       {"ALE-34040E1E", "LOGIN_QUEUE_BUSY", "Got BUSY status from login queue"}},
      {QueueAnswer::Json(R"({"error":"nope"})", 404),
       {"ALE-ADD87E4A", "UNSPECIFIED_ERROR",
        "Got failure response code 404 Not Found with message '' and body {\n    \"error\": "
        "\"nope\"\n}. From url: https://lq.test/ticker/q1"}},
      {QueueAnswer::Json("moved", 302),
       {"ALE-ADD87E4A", "UNSPECIFIED_ERROR",
        "Got failure response code 302 Found with message 'Error deserializing json response "
        "for GET https://lq.test/ticker/q1: " +
            kBadJson + "' and body \"moved\". From url: https://lq.test/ticker/q1"}},
      {QueueAnswer::Json("oops"),
       {"ALE-37F317C5", "UNSPECIFIED_ERROR",
        "Failed to deserialize login queue ticker response. Deserializer error: \"Error "
        "deserializing json response for GET https://lq.test/ticker/q1: " +
            kBadJson + "\""}},
      {QueueAnswer::Json(""),
       {"ALE-37F317C5", "UNSPECIFIED_ERROR",
        "Failed to deserialize login queue ticker response. Deserializer error: \"Error "
        "converting response for GET https://lq.test/ticker/q1: body was empty\""}},
  };
  for (const FailureCase& test : cases) {
    SCOPED_TRACE(test.failure.description);
    requests_.clear();
    changes_.clear();
    const QueueAnswer answer = test.answer;
    ticker = [answer](const QueueRequest&) { return answer; };
    ExpectFailure(Wait(R"({"champ":"q1","lqt":{},"vcap":100,"rate":1,)"
                       R"("tickers":[{"node":"a","id":20,"current":0}]})"),
                  test.failure, 13, kLevelError);
    EXPECT_EQ(requests_.size(), 1u);
  }
}

TEST_F(LoginQueueWaitTest, TokenAnswers) {
  const std::string kBadJson = "Error: Invalid value. at offset 0.";
  const FailureCase cases[] = {
      {QueueAnswer::Unreachable("Connection refused"),
       {"ALE-DCCC3D24", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE", "Connection refused"}},
      {QueueAnswer::Json("<nope>"),
       {"ALE-4C0D9A56", "UNSPECIFIED_ERROR",
        "Failed to deserialize token post response. Deserializer error: \"Error deserializing "
        "json response for POST https://lq.test/token: " +
            kBadJson + "\""}},
      {QueueAnswer::Json(R"({"status":"BUSY","lqt":{}})", 201),
       {"ALE-C0A8A05F", "LOGIN_QUEUE_BUSY", "Got BUSY status from login queue"}},
      {QueueAnswer::Json(R"({"status":"OK"})"),
       {"ALE-34E299F0", "UNSPECIFIED_ERROR",
        "Expected login queue to return lqt field in response"}},
      {QueueAnswer::Json(R"({"message":"x","lqt":{}})", 500),
       {"ALE-4B0988FE", "UNSPECIFIED_ERROR",
        "Got failure response code 500 Internal Server Error with message '' from token "
        "endpoint"}},
      {QueueAnswer::Json("denied", 401),
       {"ALE-4B0988FE", "UNSPECIFIED_ERROR",
        "Got failure response code 401 Unauthorized with message 'Error deserializing json "
        "response for POST https://lq.test/token: " +
            kBadJson + "' from token endpoint"}},
  };
  for (const FailureCase& test : cases) {
    SCOPED_TRACE(test.failure.description);
    requests_.clear();
    changes_.clear();
    const QueueAnswer answer = test.answer;
    token = [answer](const QueueRequest&) { return answer; };
    const int64_t begin = NowMs();
    ExpectFailure(Wait(R"({"champ":"q1","lqt":{},"delay":300})"), test.failure, 13, kLevelError);
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0].at_ms, begin + 300);
  }
  EXPECT_TRUE(TelemetryEvents("login_queue_timing").empty());
}

TEST_F(LoginQueueWaitTest, StopWhileWaitingForTheNextPoll) {
  on_pump = [this] {
    if (NowMs() == 20000) login_.RequestStop();
  };
  TickerAnswers({QueueAnswer::Json(R"({"a":"5a"})")});
  ExpectFailure(Wait(kSixtyAhead), {"ALE-4874ED16", "LOGIN_CANCELED", "Login was canceled"}, 24,
                kLevelWarn);
  EXPECT_TRUE(requests_.empty());
  // Seen within one 100 ms sleep.
  EXPECT_EQ(changes_.back().at_ms, 20000);
}

TEST_F(LoginQueueWaitTest, StopBeforeTheWaitSendsNothing) {
  login_.RequestStop();
  ExpectFailure(Wait(kSixtyAhead), {"ALE-4874ED16", "LOGIN_CANCELED", "Login was canceled"}, 24,
                kLevelWarn);
  EXPECT_TRUE(requests_.empty());
}

TEST_F(LoginQueueWaitTest, StopDuringTheGracePeriod) {
  on_pump = [this] {
    if (NowMs() == 3000) login_.RequestStop();
  };
  ExpectFailure(Wait(R"({"champ":"q1","lqt":{},"delay":60000})"),
                {"ALE-9217A4D1", "LOGIN_CANCELED", "Login was canceled"}, 24, kLevelWarn);
  EXPECT_TRUE(requests_.empty());
  EXPECT_EQ(changes_.back().at_ms, 3000);
}

TEST_F(LoginQueueWaitTest, QueueAnswerToAuthenticationWaitsThenHoldsTheNewToken) {
  login_.credentials.username_and_password = {"bob", "pw"};
  ClientLogin::LoginState state_while_waiting = -1;
  respond = [this, &state_while_waiting](const QueueRequest& request) {
    if (request.url == "https://lq.test/authenticate") {
      return QueueAnswer::Json(R"({"status":"QUEUE","champ":"q1","delay":200,"gasToken":"g",)"
                               R"("lqt":{"account_name":"bob","account_id":12},)"
                               R"("tickers":[{"node":"a","id":1,"current":1}]})");
    }
    state_while_waiting = login_.state();
    EXPECT_EQ(request.body, "{\n    \"account_id\": 12,\n    \"account_name\": \"bob\"\n}");
    return QueueAnswer::Json(R"({"lqt":{"account_name":"bob","account_id":12,"final":true}})");
  };
  ASSERT_TRUE(client_.AuthenticateWithLoginQueue(login_, false).ok());
  EXPECT_EQ(state_while_waiting, 3);
  EXPECT_EQ(login_.state(), 4);
  EXPECT_EQ(login_.username, "bob");
  EXPECT_EQ(login_.account_id, 12u);
  EXPECT_EQ(WriteJson(login_.gas_token), R"("g")");
  EXPECT_EQ(login_.auth_token,
            "{\n    \"account_id\": 12,\n    \"account_name\": \"bob\",\n    \"final\": true\n}");
  EXPECT_EQ(LogAt(kLevelAlways).back(), "Auth token received from login queue.");
  EXPECT_FALSE(login_.queue_position.has_value());
}

}  // namespace
}  // namespace Voro
