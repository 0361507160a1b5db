// The login queue: the queue ticket on its own, then the client against a scripted queue on
// a manual clock. Pumping the host moves the clock one step, so the client's sleeps pass
// minutes of queue time at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "diag/log.h"
#include "login/client_login_queue_subject.h"
#include "loginqueue/login_queue_client.h"
#include "loginqueue/queue_ticket.h"
#include "plugin/http_base_transport.h"
#include "plugin/telemetry_sender.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kT0 = 5'000 * kMs;
constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

BindingProperty Json(const std::string& text) { return ParseJson(text).value(); }

// A ticket from `answer` with its first sample taken at kT0.
QueueTicket Ticket(const std::string& answer) {
  QueueTicket ticket = QueueTicket::FromAnswer("https://lq.test", Json(answer));
  ticket.Evaluate(kT0);
  return ticket;
}
// `position` entries ahead at 1000 per second: the first prediction (ms) equals the position.
std::string Ahead(uint64_t position, uint64_t cap = 1000000) {
  return R"({"rate":1000,"vcap":)" + std::to_string(cap) + R"(,"backlog":)" +
         std::to_string(position) + "}";
}

// "position[ capped] seconds" of a public status; "?" for an unknown wait.
std::string Show(const Client::Api::LoginQueue& status) {
  const std::optional<uint64_t>& seconds = status.approximateWaitTimeSeconds;
  return std::to_string(status.estimatedPositionInQueue) +
         (status.isPositionCapped ? " capped " : " ") +
         (seconds.has_value() ? std::to_string(*seconds) : "?") + "s";
}

TEST(QueueTicketTest, PositionAndFrontFromTheAnswersTickers) {
  const QueueTicket first = Ticket(R"({"vcap":500,"rate":2.5,"backlog":3,"tickers":[)"
                                   R"({"node":"n1","id":40,"current":10},{"node":"n2","id":7},)"
                                   R"({"id":9,"current":1},{"node":5,"id":9,"current":1}]})");
  EXPECT_EQ(std::to_string(first.position_cap()) + " " + std::to_string(first.backlog()), "500 3");
  EXPECT_DOUBLE_EQ(first.reported_rate_per_ms(), 0.0025);
  // Nodes without a text name are skipped; n2 has no served number and adds nothing.
  EXPECT_EQ(first.ticket_numbers(), (std::map<std::string, uint64_t>{{"n1", 40}, {"n2", 7}}));
  EXPECT_EQ(first.Position(), 33u);
  EXPECT_FALSE(first.AtFront());

  // The backlog alone does not keep a ticket from the front.
  const QueueTicket front = Ticket(R"({"backlog":50,"tickers":[{"node":"a","id":4,"current":4},)"
                                   R"({"node":"b","id":4,"current":9},{"node":"c","id":99}]})");
  EXPECT_EQ(front.Position(), 50u);
  EXPECT_TRUE(front.AtFront());
}

// Each sample averages the reported rate with the rate measured since the previous one, in
// whole entries per millisecond; the timing fields list every sample with how long it
// actually took to the last one.
TEST(QueueTicketTest, PredictionAveragesTheReportedAndTheMeasuredRate) {
  QueueTicket ticket = Ticket(R"({"rate":0.5,"tickers":[{"node":"a","id":5000,"current":0}]})");
  int64_t at = kT0;
  // 2000 served in a second, then 1500 (1 whole entry per ms), then the queue grows.
  for (const char* served : {"7d0", "dac", "0"}) {
    ticket.ApplyTickerAnswer(Json(std::string(R"({"a":")") + served + "\"}"));
    ticket.Evaluate(at += 1000 * kMs);
  }
  ticket.Evaluate(at + 500);  // in the same millisecond: the reported rate alone counts
  const std::map<std::string, std::string> fields = ticket.TimingFields();
  std::string text = fields.at("reported_rate");
  for (const std::string i : {"0", "1", "2", "3", "4"}) {
    text += " | " + fields.at("reported_length_" + i) + " " +
            fields.at("predicted_time_remaining_milliseconds_" + i) + " " +
            fields.at("actual_time_remaining_milliseconds_" + i);
  }
  EXPECT_EQ(text,
            "0.500000 | 5000 10000000 3000 | 3000 2999 2000 | 1500 2998 1000 | 5000 NULL 0 | "
            "5000 10000000 0");
}

TEST(QueueTicketTest, PublicStatusScalesThePositionByTheTimeLeftAndCapsIt) {
  // The ticket's answer, the status shown so far, the time (ms) and the status shown then.
  const std::tuple<std::string, std::optional<Client::Api::LoginQueue>, int64_t, const char*>
      rows[] = {
          {Ahead(60000), {}, 70000, "1 0s"},  // past the prediction one millisecond is left
          {Ahead(6000, 2000), {}, 4500, "1500 1s"},
          // Without a prediction a fresh status has no wait, and the one shown so far stays.
          {R"({"vcap":10})", {}, 5, "1 ?s"},
          {R"({"vcap":10})", Client::Api::LoginQueue{10, true, 12}, 5, "10 capped 12s"},
      };
  for (const auto& [answer, shown, at_ms, expected] : rows) {
    SCOPED_TRACE(answer + " at " + std::to_string(at_ms));
    EXPECT_EQ(Show(Ticket(answer).PublicStatus(shown, kT0 + at_ms * kMs)), expected);
  }
}

TEST(QueueTicketTest, PollIntervalFollowsThePrediction) {
  const std::pair<uint64_t, int64_t> rows[] = {
      {2999, 3000},   {3001, 3001},   {15001, 15000},  {30001, 30000},
      {59999, 30000}, {60000, 45000}, {119999, 45000}, {120000, 90000},
  };
  for (const auto& [predicted, interval] : rows) {
    EXPECT_EQ(Ticket(Ahead(predicted)).PollIntervalMilliseconds(), interval) << predicted;
  }
  EXPECT_EQ(Ticket(R"({"backlog":9})").PollIntervalMilliseconds(), 90000);  // no prediction
}

TEST(QueueTicketTest, FailedFetchesAddTheOverdueTimeAndTheirBackoff) {
  QueueTicket ticket = Ticket(Ahead(20000));  // polls every 15 s
  EXPECT_EQ(ticket.CountFailedFetch(kT0 + 15250 * kMs), 1u);
  ticket.AddDelay(700);
  EXPECT_EQ(ticket.CountFailedFetch(kT0), 2u);  // asked early: nothing is overdue
  EXPECT_EQ(ticket.NextPollDue(), kT0 + (15000 + 950) * kMs);
  ticket.ResetFailedFetches();
  EXPECT_EQ(ticket.NextPollDue(), kT0 + 15000 * kMs);
}

TEST(QueueTicketTest, ServedNumbersAreHexadecimalText) {
  const std::pair<const char*, std::optional<uint64_t>> rows[] = {
      {"1F", 31}, {"ffffffffffffffff", kMax}, {"10000000000000000", {}}, {"", {}}, {"1g", {}},
      {"-1", {}},
  };
  for (const auto& [text, value] : rows) EXPECT_EQ(ParseServedNumber(text), value) << text;

  QueueTicket ticket = Ticket(R"({"backlog":100,"tickers":[{"node":"a","id":40,"current":0},)"
                              R"({"node":"b","id":10,"current":0}]})");
  // a: 40 - 31; b's number is not text and stays 0; unknown c and unreadable d change nothing.
  ticket.ApplyTickerAnswer(
      Json(R"({"status":"OK","backlog":5,"a":"1f","b":12,"c":"ff","d":"zz"})"));
  EXPECT_EQ(ticket.served_numbers(), (std::map<std::string, uint64_t>{{"a", 31}, {"b", 0}}));
  EXPECT_EQ(ticket.Position(), 5u + 9u + 10u);
  ticket.ApplyTickerAnswer(Json(R"({"backlog":18446744073709551615})"));
  EXPECT_EQ(ticket.Position(), kMax) << "positions saturate";
}

const std::string kAuthUrl = "https://lq.test/authenticate";
const std::string kTickerUrl = "https://lq.test/ticker/q1";
const std::string kTokenUrl = "https://lq.test/token";
const std::string kInvalidJson = "Error: Invalid value. at offset 0.";
const std::string kUnreadable =
    "Failed to deserialize login queue auth response. Deserializer error: '";
const std::string kConnecting = "Connecting to login queue: " + kAuthUrl;
constexpr char kBusy[] = R"({"status":"BUSY"})";
// 20 entries ahead at one entry per second: predicted 20 s, so polled after 15 s.
constexpr char kTwentyAhead[] =
    R"({"champ":"q1","lqt":{},"vcap":100,"rate":1,"tickers":[{"node":"a","id":20,"current":0}]})";

// How the queue answers. A transport failure carries its text as the body, as a host does.
struct Answer {
  int32_t status = 200;
  std::string body;
  int32_t transport = 0;
  bool null_body = false;  // a positive length without bytes
};
Answer Reply(std::string body, int32_t status = 200, bool null_body = false) {
  return {status, std::move(body), 0, null_body};
}
Answer Unreachable(std::string text) { return {0, std::move(text), 5, false}; }
// Every answer carries these headers.
const HostHeaderPair kHeaders[] = {{"X-Queue", "a"}, {"Server", "q"}};

// One request as the queue saw it; `wire` holds the method, URL, timeout, flag, the headers
// in order (the user agent's value left out) and the body.
struct Seen {
  int64_t at_ms = 0;
  std::string wire;
};

// The client drives a real login through the login's own subject, so that what the queue
// tells is checked where the session reads it.
class LoginQueueClientTest : public ::testing::Test {
 protected:
  LoginQueueClientTest()
      : module_(&host_),
        transport_(module_.get()),
        client_(LoginQueueServices{&transport_, &module_->scheduler(), module_->telemetry()}) {
    host_.on_external_request = [this](HostExternalResponse* response,
                                       const HostExternalRequest* request) {
      const std::string url = request->url;
      // Each URL gives its scripted answers in turn, the last one repeated.
      const std::vector<Answer>& answers = script_[url];
      ASSERT_FALSE(answers.empty()) << "unexpected request to " << url;
      const Answer& answer = answers[std::min(asked_[url]++, answers.size() - 1)];
      Seen& seen = requests_.emplace_back(Seen{NowMs(), {}});
      seen.wire = (request->method == KIV_METHOD_POST ? "POST " : "GET ") + url + " timeout " +
                  std::to_string(request->timeout) + " flag " + std::to_string(request->flag) +
                  "\n";
      for (uint32_t i = 0; i < request->header_count; ++i) {
        const std::string name = request->headers[i].name;
        seen.wire += name + ": " + (name == "user-agent" ? "*" : request->headers[i].value) + "\n";
      }
      seen.wire += "\n" + std::string(request->body, request->body_length);
      response->transport_code = answer.transport;
      response->http_status = answer.status;
      response->headers = kHeaders;
      response->header_count = 2;
      response->body = answer.null_body ? nullptr : answer.body.data();
      response->body_length = static_cast<uint32_t>(answer.body.size());
    };
    host_.on_pump = [this] {
      clock_.AdvanceMilliseconds(pump_step_ms_);
      if (NowMs() == stop_at_ms_) login_->RequestStop();
    };
    Reset();
  }
  // Forgets what was seen, and starts a new login: "alice" with a password.
  void Reset() {
    host_.log.clear();
    requests_.clear();
    asked_.clear();
    shown_.clear();
    subject_.reset();
    login_ = std::make_unique<ClientLogin>();
    subject_ = std::make_unique<ClientLoginQueueSubject>(*login_);
    login_->login_queue_url = "https://lq.test";
    login_->credentials.username_and_password = {"alice", "p@ss word&x"};
    // "state position[ capped] seconds" per announcement; "state -" without a queue status.
    login_->SetChangeCallback([this] {
      const std::optional<Client::Api::LoginQueue>& status = login_->queue_position;
      shown_[NowMs()] = std::to_string(login_->state()) + " " + (status ? Show(*status) : "-");
    });
  }

  int64_t NowMs() { return clock_.SteadyNanoseconds() / 1'000'000 - 1000; }  // from 1 s

  MaybeType<std::monostate> Authenticate(bool stop_after_second_failure = false) {
    return client_.AuthenticateWithLoginQueue(*subject_, stop_after_second_failure);
  }
  MaybeType<BindingProperty> Wait(const std::string& answer) {
    return client_.WaitInLoginQueue(*subject_, Json(answer));
  }

  std::vector<std::string> LogAt(int32_t level) const {
    std::vector<std::string> lines;
    for (const auto& [line_level, text] : host_.log)
      if (line_level == level) lines.push_back(text);
    return lines;
  }
  // The announcement last made at or before `at_ms`.
  std::string ShownAt(int64_t at_ms) const { return std::prev(shown_.upper_bound(at_ms))->second; }

  // `expected` is "state id messageId description". The failure is stored with its state,
  // and the session announces that it shows no queue status any more.
  template <typename T>
  void ExpectFailure(const MaybeType<T>& result, const std::string& expected) {
    ASSERT_FALSE(result.ok());
    const Failure& failure = result.failure();
    EXPECT_EQ(std::to_string(login_->state()) + " " + failure.id + " " + failure.messageId + " " +
                  failure.description,
              expected);
    EXPECT_EQ(login_->failure().value_or(Failure{}), failure);
    if (!shown_.empty()) {
      EXPECT_NE(shown_.rbegin()->second.find(" -"), std::string::npos);
    }
  }

  testing::FakeHost host_;
  testing::ManualClock clock_;
  testing::InitializedModule module_;
  HttpBaseTransport transport_;
  LoginQueueClient client_;
  std::unique_ptr<ClientLogin> login_;
  std::unique_ptr<ClientLoginQueueSubject> subject_;
  int64_t pump_step_ms_ = 10;
  int64_t stop_at_ms_ = -1;
  std::map<std::string, std::vector<Answer>> script_;
  std::map<std::string, size_t> asked_;  // requests per URL
  std::vector<Seen> requests_;
  std::map<int64_t, std::string> shown_;  // by the time (ms) it was made
};

TEST_F(LoginQueueClientTest, RequestFormsForEachKindOfCredentials) {
  script_[kAuthUrl] = script_[kAuthUrl + "/QSA"] = {Reply(kBusy)};
  login_->credentials.access_token.token = "tok.en";
  login_->credentials.partner = "payload=8393 uId=7";
  const std::string head = " timeout 10 flag 1\nuser-agent: *\n";
  const std::string form = "Content-Type: application/x-www-form-urlencoded\n\n";
  const std::string partner = kAuthUrl + head + form + "payload=8393 uId=7";
  const std::pair<CredentialKind, std::string> rows[] = {
      // The queue takes the values as they are: nothing is escaped.
      {CredentialKind::kUsernameAndPassword,
       kAuthUrl + head + form + "user=alice,password=p@ss word&x"},
      {CredentialKind::kAccessToken,
       kAuthUrl + "/QSA" + head + "Authorization: Bearer tok.en\n" + form},
      {CredentialKind::kPartner, partner},
      {static_cast<CredentialKind>(7), partner},  // any other kind is sent as a partner's text
  };
  for (const auto& [kind, wire] : rows) {
    requests_.clear();
    login_->credentials.kind = kind;
    (void)Authenticate();
    ASSERT_EQ(requests_.size(), 1u);
    EXPECT_EQ(requests_[0].wire, "POST " + wire);
  }
}

TEST_F(LoginQueueClientTest, LoginAnswerFillsTheLoginAndHoldsTheTokenAsPrettyJson) {
  const std::string id_token =
      "eyJhbGciOiJub25lIn0.eyJzdWIiOiJwdXVpZC0xIiwiZXhwIjoxNzAwMDAwMDAwfQ.c2ln";
  // A throttled answer is retried within the first back-off of at most 2 s.
  script_[kAuthUrl] = {Reply(kBusy, 429),
                       Reply(R"({"status":"LOGIN","idToken":")" + id_token +
                             R"(","gasToken":{"g":1},)"
                             R"("inGameCredentials":{"inGame":true,"serverIp":"10.0.0.1"},)"
                             R"("lqt":{"account_name":"alice","account_id":77,"other":[1,"x"]}})")};
  ASSERT_TRUE(Authenticate().ok());
  EXPECT_LE(requests_.at(1).at_ms, 2010);
  EXPECT_EQ(login_->state(), 4);
  EXPECT_EQ(login_->id_token, id_token);
  EXPECT_EQ(login_->username + " " + std::to_string(login_->account_id) + " " + login_->puuid +
                " " + std::to_string(login_->id_token_expiry) + " " + WriteJson(login_->gas_token) +
                " " + WriteJson(login_->in_game_credentials.value_or(BindingProperty())),
            R"(alice 77 puuid-1 1700000000 {"g":1} {"inGame":true,"serverIp":"10.0.0.1"})");
  EXPECT_EQ(login_->auth_token,
            "{\n    \"account_id\": 77,\n    \"account_name\": \"alice\",\n    "
            "\"other\": [\n        1,\n        \"x\"\n    ]\n}");
  EXPECT_EQ(LogAt(kLevelAlways),
            (std::vector<std::string>{kConnecting, kConnecting, "Connected to login queue.",
                                      "Auth token received from login queue."}));
}

TEST_F(LoginQueueClientTest, QueueAnswerIsPolledAndShownAsItMovesThenHoldsTheNewToken) {
  pump_step_ms_ = 100;
  // 60 entries ahead on node "a" at one entry per second, then a grace period of 2.5 s.
  script_[kAuthUrl] = {Reply(R"({"status":"QUEUE","champ":"q1","delay":2500,"gasToken":"g",)"
                             R"("lqt":{"account_name":"bob","account_id":12},"vcap":55,"rate":1,)"
                             R"("tickers":[{"node":"a","id":100,"current":40}]})")};
  script_[kTickerUrl] = {Reply(R"({"status":"OK","a":"5a"})"), Reply(R"({"a":"64","backlog":0})")};
  script_[kTokenUrl] = {Reply(R"({"lqt":{"account_name":"bob","account_id":12,"final":true}})")};
  // An answer without in-game credentials leaves the ones the login holds.
  login_->in_game_credentials = Json(R"({"inGame":true})");
  ASSERT_TRUE(Authenticate().ok());

  // Predicted 60 s: polled after 45 s; then 10 ahead, predicted 20 s: polled after 15 s.
  ASSERT_EQ(requests_.size(), 4u);
  EXPECT_EQ(std::to_string(requests_[1].at_ms) + " " + std::to_string(requests_[2].at_ms) + " " +
                std::to_string(requests_[3].at_ms),
            "45000 60000 62500");
  EXPECT_EQ(requests_[2].wire, "GET " + kTickerUrl + " timeout 10 flag 1\nuser-agent: *\n\n");
  EXPECT_EQ(requests_[3].wire,
            "POST " + kTokenUrl +
                " timeout 10 flag 1\nuser-agent: *\nContent-Type: application/json\n\n"
                "{\n    \"account_id\": 12,\n    \"account_name\": \"bob\"\n}");
  // The position shrinks with the time left; above "vcap" it is capped. It is announced on
  // every pass, every 100 ms, while the login waits in the queue.
  EXPECT_EQ(ShownAt(0) + ", " + ShownAt(45000) + ", " + ShownAt(60000),
            "3 55 capped 60s, 3 10 20s, 3 1 2s");
  EXPECT_GE(shown_.size(), 600u);

  EXPECT_EQ(login_->state(), 4);
  EXPECT_EQ(login_->username + " " + std::to_string(login_->account_id) + " " +
                WriteJson(login_->gas_token) + " " +
                WriteJson(login_->in_game_credentials.value_or(BindingProperty())),
            R"(bob 12 "g" {"inGame":true})");
  EXPECT_EQ(login_->auth_token,
            "{\n    \"account_id\": 12,\n    \"account_name\": \"bob\",\n    \"final\": true\n}");
  EXPECT_EQ(host_.calls.back().text, TelemetrySender::EventPath("login_queue_timing"));
}

// Unusable ticker answers are polled again after a growing back-off (0.5 s doubling up to
// 90 s, on top of the time the poll was overdue); a successful poll starts the count again,
// and the ninth failure in a row ends the wait.
TEST_F(LoginQueueClientTest, FailedPollsAreRetriedUntilTheNinthInARow) {
  pump_step_ms_ = 100;
  script_[kTickerUrl] = {Reply("{}", 503), Reply("{}", 429), Reply(R"({"a":"5"})"),
                         Unreachable("Operation timed out")};
  ExpectFailure(Wait(kTwentyAhead),
                "13 ALE-4B08B92B FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE Operation timed out");
  ASSERT_EQ(requests_.size(), 12u);  // no "/token" request
  EXPECT_LE(requests_[1].at_ms, 15000 + 1000 + 100);
  EXPECT_LE(requests_[2].at_ms - requests_[1].at_ms, 2000 + 100);
  const std::string head = "No successful response from " + kTickerUrl + " after ";
  std::string counts;
  for (const std::string& line : LogAt(kLevelWarn)) {
    ASSERT_EQ(line.rfind(head, 0), 0u) << line;
    counts += line.substr(head.size(), line.find(" attempts. Will retry after a total delay of ") -
                                           head.size()) +
              " ";
  }
  EXPECT_EQ(counts, "1 2 1 2 3 4 5 6 7 8 ");
}

// Every way a step ends, with the state it leaves. Busy and missing answers to the
// authentication are retried with growing delays (2 s doubling up to 30 s) for a minute, or
// 15 s for a login that stops after its second failure, then read for what they say. The
// ticker is asked 15 s after joining, "/token" after a grace period of 300 ms.
TEST_F(LoginQueueClientTest, EveryWayAStepEndsHasItsFailureAndState) {
  const std::string seen = ", response code was 200, headers were 'X-Queue: a, Server: q', body ";
  const std::string ticker_json =
      "Error deserializing json response for GET " + kTickerUrl + ": " + kInvalidJson;
  const struct {
    std::string url;
    Answer answer;
    int64_t last_at_ms;  // when the last request is made; for a cancel, when the stop is asked
    std::string failure;
  } rows[] = {
      {kAuthUrl, Reply(R"({"status":"LOGIN","banned":1893456000,"banReason":"cheating"})"), 0,
       R"(0 ALE-14FA382C ACCOUNT_BANNED { "banReason": "cheating", "expiration": 1893456000 })"},
      {kAuthUrl, Reply("[1,2]"), 0,
       "13 ALE-51BFB1A6 UNSPECIFIED_ERROR status field missing" + seen + "was '[1,2]'"},
      // A status that is not text counts as empty.
      {kAuthUrl, Reply(R"({"status":7})"), 0,
       "13 ALE-7FD7BA4B UNSPECIFIED_ERROR status field empty" + seen + R"(was '{"status":7}')"},
      {kAuthUrl, Reply(R"({"status":"FAILED","reason":"account_inactive"})"), 0,
       "25 ALE-27D2C92B ACCOUNT_DISABLED Account is currently disabled."},
      {kAuthUrl, Reply(R"({"status":"FAILED","reason":"invalid_credentials"})"), 0,
       "0 ALE-18F2C92E INVALID_CREDENTIALS Login queue rejected credentials"},
      {kAuthUrl, Reply(R"({"status":"ARL_QUEUE"})"), 0,
       "13 ALE-516C42B0 LOGIN_QUEUE_BUSY Got ARL_QUEUE status from login queue"},
      {kAuthUrl, Reply(R"({"status":"HOLD"})"), 0,
       R"(13 ALE-FA173951 UNSPECIFIED_ERROR Unknown status from login queue "HOLD")"},
      {kAuthUrl, Reply(R"({"status":"LOGIN"})"), 0,
       "13 ALE-ABFCFE07 UNSPECIFIED_ERROR lqt field missing" + seen +
           R"(was '{"status":"LOGIN"}')"},
      {kAuthUrl, Reply(R"({"status":"QUEUE","lqt":"text"})"), 0,
       "13 ALE-AE5B25F5 UNSPECIFIED_ERROR lqt field was not a structure"},
      // The host claims a body but hands over no bytes: the conversion failed.
      {kAuthUrl, Reply("xyz", 200, true), 0,
       "13 ALE-E4F4E3EA UNSPECIFIED_ERROR " + kUnreadable + "Error converting response for POST " +
           kAuthUrl + ": body was null'" + seen + "was ''"},
      {kAuthUrl, Reply("<html>", 503), 60000,
       "13 ALE-F32B8BB9 UNSPECIFIED_ERROR " + kUnreadable + kInvalidJson +
           "', response code was 503, headers were 'X-Queue: a, Server: q', body was '<html>'"},
      {kAuthUrl, Unreachable("Could not resolve host"), 60000,
       "13 ALE-4C0F8C92 FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE Could not resolve host"},
      {kAuthUrl, Reply(kBusy, 502), 15000,
       "13 ALE-6172BFE3 LOGIN_QUEUE_BUSY Got BUSY status from login queue"},
      {kTickerUrl, Reply(R"({"status":"BUSY","a":"64"})"), 15000,
       "13 ALE-34040E1E LOGIN_QUEUE_BUSY Got BUSY status from login queue"},
      {kTickerUrl, Reply(R"({"error":"nope"})", 404), 15000,
       "13 ALE-ADD87E4A UNSPECIFIED_ERROR Got failure response code 404 Not Found with message "
       "'' and body {\n    \"error\": \"nope\"\n}. From url: " +
           kTickerUrl},
      {kTickerUrl, Reply("moved", 302), 15000,
       "13 ALE-ADD87E4A UNSPECIFIED_ERROR Got failure response code 302 Found with message '" +
           ticker_json + "' and body \"moved\". From url: " + kTickerUrl},
      {kTickerUrl, Reply("oops"), 15000,
       "13 ALE-37F317C5 UNSPECIFIED_ERROR Failed to deserialize login queue ticker response. "
       "Deserializer error: \"" +
           ticker_json + "\""},
      {kTokenUrl, Unreachable("Connection refused"), 300,
       "13 ALE-DCCC3D24 FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE Connection refused"},
      {kTokenUrl, Reply("<nope>"), 300,
       "13 ALE-4C0D9A56 UNSPECIFIED_ERROR Failed to deserialize token post response. "
       "Deserializer error: \"Error deserializing json response for POST " +
           kTokenUrl + ": " + kInvalidJson + "\""},
      {kTokenUrl, Reply(R"({"status":"BUSY","lqt":{}})", 201), 300,
       "13 ALE-C0A8A05F LOGIN_QUEUE_BUSY Got BUSY status from login queue"},
      {kTokenUrl, Reply(R"({"status":"OK"})"), 300,
       "13 ALE-34E299F0 UNSPECIFIED_ERROR Expected login queue to return lqt field in response"},
      {kTokenUrl, Reply(R"({"message":"x","lqt":{}})", 500), 300,
       "13 ALE-4B0988FE UNSPECIFIED_ERROR Got failure response code 500 Internal Server Error "
       "with message '' from token endpoint"},
      {kTokenUrl, Reply("{}", 401), 300,
       "13 ALE-4B0988FE UNSPECIFIED_ERROR Got failure response code 401 Unauthorized with "
       "message '' from token endpoint"},
      // A stop is seen at once before a step and within one sleep of every wait.
      {kAuthUrl, Reply("", 503), 0, "24 ALE-4874ED11 LOGIN_CANCELED Login was canceled"},
      {kAuthUrl, Reply("", 503), 300, "24 ALE-4874ED12 LOGIN_CANCELED Login was canceled"},
      {kTickerUrl, Reply("{}"), 10000, "24 ALE-4874ED16 LOGIN_CANCELED Login was canceled"},
      {kTokenUrl, Reply("{}"), 100, "24 ALE-9217A4D1 LOGIN_CANCELED Login was canceled"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.failure);
    Reset();
    script_[row.url] = {row.answer};
    const int64_t begin = NowMs();
    const bool cancel = row.failure.rfind("24 ", 0) == 0;
    if (cancel && row.last_at_ms == 0) login_->RequestStop();
    stop_at_ms_ = cancel ? begin + row.last_at_ms : -1;
    if (row.url == kAuthUrl) {
      ExpectFailure(Authenticate(row.last_at_ms == 15000), row.failure);
    } else {
      ExpectFailure(Wait(row.url == kTickerUrl ? kTwentyAhead : R"({"lqt":{},"delay":300})"),
                    row.failure);
    }
    if (cancel) {
      EXPECT_LT(NowMs() - begin - row.last_at_ms, 100);
      continue;
    }
    ASSERT_FALSE(requests_.empty());
    EXPECT_GE(requests_.back().at_ms - begin, row.last_at_ms);
    EXPECT_LE(requests_[std::max<size_t>(requests_.size(), 2) - 2].at_ms - begin, row.last_at_ms);
    for (size_t i = 1; i < requests_.size(); ++i) {
      const int64_t cap = std::min<int64_t>(int64_t{2000} << std::min<size_t>(i - 1, 20), 30000);
      EXPECT_LE(requests_[i].at_ms - requests_[i - 1].at_ms, cap + 10);
    }
    // Filling a minute with gaps of at most 2 s would take 30 draws all under their caps.
    if (row.last_at_ms == 60000) {
      EXPECT_LT(requests_.size(), 30u);
    }
  }
}

}  // namespace
}  // namespace Voro
