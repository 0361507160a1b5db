// The queue ticket on its own: what it takes from the answer, position and front rules, the
// rate and prediction, the public status (time-scaled position, cap, 0 shown as 1), the poll
// table, served numbers in hexadecimal, and the timing fields.
#include "loginqueue/queue_ticket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>

#include "binding/json_reader.h"

namespace Voro {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kT0 = 5'000 * kMs;

BindingProperty Json(const std::string& text) {
  BindingResult parsed = ParseJson(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed.value();
}

// A ticket whose first prediction equals its position: 1000 entries per second.
QueueTicket TicketAt(uint64_t position, uint64_t cap = 1000000) {
  QueueTicket ticket = QueueTicket::FromAnswer(
      "https://lq.test", Json(R"({"rate":1000,"vcap":)" + std::to_string(cap) + R"(,"backlog":)" +
                              std::to_string(position) + "}"));
  ticket.Evaluate(kT0);
  return ticket;
}

TEST(QueueTicketTest, TakesEverythingFromTheAnswer) {
  const QueueTicket ticket = QueueTicket::FromAnswer(
      "https://lq.test/q",
      Json(R"({"status":"QUEUE","champ":"euw","vcap":500,"delay":7000,"rate":2.5,"backlog":3,)"
           R"("lqt":{"b":1,"a":"x"},"tickers":[{"node":"n1","id":40,"current":10},)"
           R"({"node":"n2","id":7},{"id":9,"current":1},{"node":5,"id":1}]})"));
  EXPECT_EQ(ticket.ticker_url(), "https://lq.test/q/ticker/euw");
  EXPECT_EQ(ticket.ticket_text(), "{\n    \"a\": \"x\",\n    \"b\": 1\n}");
  EXPECT_EQ(ticket.position_cap(), 500u);
  EXPECT_EQ(ticket.grace_period_ms(), 7000u);
  EXPECT_DOUBLE_EQ(ticket.reported_rate_per_ms(), 0.0025);
  EXPECT_EQ(ticket.backlog(), 3u);
  EXPECT_EQ(ticket.ticket_numbers(), (std::map<std::string, uint64_t>{{"n1", 40}, {"n2", 7}}));
  EXPECT_EQ(ticket.served_numbers(), (std::map<std::string, uint64_t>{{"n1", 10}}));
  // n2 has no served number and adds nothing.
  EXPECT_EQ(ticket.Position(), 33u);
  EXPECT_FALSE(ticket.AtFront());
  EXPECT_TRUE(ticket.samples().empty());
}

TEST(QueueTicketTest, FrontIgnoresTheBacklogAndNodesWithoutServedNumbers) {
  EXPECT_TRUE(QueueTicket::FromAnswer("u", Json(R"({"backlog":50})")).AtFront());
  const QueueTicket served = QueueTicket::FromAnswer(
      "u", Json(R"({"backlog":50,"tickers":[{"node":"a","id":4,"current":4},)"
                R"({"node":"b","id":4,"current":9},{"node":"c","id":99}]})"));
  EXPECT_TRUE(served.AtFront());
  EXPECT_EQ(served.Position(), 50u);
}

TEST(QueueTicketTest, PositionSaturatesInsteadOfWrapping) {
  const QueueTicket ticket = QueueTicket::FromAnswer(
      "u", Json(R"({"backlog":18446744073709551615,"tickers":[{"node":"a","id":5,"current":1}]})"));
  EXPECT_EQ(ticket.Position(), std::numeric_limits<uint64_t>::max());
}

TEST(QueueTicketTest, PredictionAveragesTheReportedAndTheMeasuredRate) {
  QueueTicket ticket = QueueTicket::FromAnswer(
      "u", Json(R"({"rate":0,"vcap":100000,"tickers":[{"node":"a","id":5000,"current":0}]})"));
  ticket.Evaluate(kT0);
  EXPECT_FALSE(ticket.samples()[0].predicted_remaining.has_value());  // no rate at all

  // 2000 entries in one second: 2 per millisecond, averaged with the reported 0.
  ticket.ApplyTickerAnswer(Json(R"({"a":"7d0"})"));
  ticket.Evaluate(kT0 + 1000 * kMs);
  ASSERT_EQ(ticket.samples().size(), 2u);
  EXPECT_EQ(ticket.samples()[1].position, 3000u);
  EXPECT_EQ(ticket.samples()[1].predicted_remaining, std::optional<uint64_t>(3000));

  // 1500 entries in a second is 1 whole entry per millisecond: 500 / 0.5.
  ticket.ApplyTickerAnswer(Json(R"({"a":"dac"})"));  // 3500
  ticket.Evaluate(kT0 + 2000 * kMs);
  EXPECT_EQ(ticket.samples()[2].predicted_remaining, std::optional<uint64_t>(3000));

  // A queue that grew measures a negative rate; with it the average is not above 0.
  ticket.ApplyTickerAnswer(Json(R"({"a":"0"})"));
  ticket.Evaluate(kT0 + 3000 * kMs);
  EXPECT_FALSE(ticket.samples()[3].predicted_remaining.has_value());

  // Samples in the same millisecond measure nothing: the reported rate alone counts.
  ticket.Evaluate(kT0 + 3000 * kMs + 500);
  EXPECT_FALSE(ticket.samples()[4].predicted_remaining.has_value());
}

TEST(QueueTicketTest, PublicStatusScalesThePositionByTheTimeLeft) {
  const QueueTicket ticket = TicketAt(60000);  // predicted 60 s
  const Client::Api::LoginQueue first = ticket.PublicStatus(std::nullopt, kT0);
  EXPECT_EQ(first.estimatedPositionInQueue, 60000u);
  EXPECT_EQ(first.approximateWaitTimeSeconds, std::optional<uint64_t>(60));
  EXPECT_FALSE(first.isPositionCapped);

  const Client::Api::LoginQueue later = ticket.PublicStatus(first, kT0 + 15500 * kMs);
  EXPECT_EQ(later.estimatedPositionInQueue, 44500u);
  EXPECT_EQ(later.approximateWaitTimeSeconds, std::optional<uint64_t>(44));

  // Past the prediction one millisecond is left.
  const Client::Api::LoginQueue overdue = ticket.PublicStatus(later, kT0 + 70000 * kMs);
  EXPECT_EQ(overdue.approximateWaitTimeSeconds, std::optional<uint64_t>(0));
  EXPECT_EQ(overdue.estimatedPositionInQueue, 1u);
}

TEST(QueueTicketTest, PublicStatusCapsAndShowsZeroAsOne) {
  const QueueTicket ticket = TicketAt(6000, 2000);
  Client::Api::LoginQueue status = ticket.PublicStatus(std::nullopt, kT0);
  EXPECT_EQ(status.estimatedPositionInQueue, 2000u);
  EXPECT_TRUE(status.isPositionCapped);
  status = ticket.PublicStatus(status, kT0 + 3000 * kMs);  // 3000 left
  EXPECT_EQ(status.estimatedPositionInQueue, 2000u);
  EXPECT_TRUE(status.isPositionCapped);
  status = ticket.PublicStatus(status, kT0 + 4500 * kMs);  // 1500 left
  EXPECT_EQ(status.estimatedPositionInQueue, 1500u);
  EXPECT_FALSE(status.isPositionCapped);

  // One entry at one per second: 600 ms later 1 x 400 / 1000 computes as 0.
  QueueTicket last = QueueTicket::FromAnswer("u", Json(R"({"rate":1,"vcap":10,"backlog":1})"));
  last.Evaluate(kT0);
  ASSERT_EQ(last.samples()[0].predicted_remaining, std::optional<uint64_t>(1000));
  const Client::Api::LoginQueue front = last.PublicStatus(std::nullopt, kT0 + 600 * kMs);
  EXPECT_EQ(front.estimatedPositionInQueue, 1u);
  EXPECT_EQ(front.approximateWaitTimeSeconds, std::optional<uint64_t>(0));
  // Without a prediction the status shown so far stays, and a fresh one starts unpredicted.
  QueueTicket unpredicted = QueueTicket::FromAnswer("u", Json(R"({"vcap":10,"backlog":0})"));
  unpredicted.Evaluate(kT0);
  const Client::Api::LoginQueue fresh = unpredicted.PublicStatus(std::nullopt, kT0);
  EXPECT_EQ(fresh.estimatedPositionInQueue, 1u);
  EXPECT_FALSE(fresh.approximateWaitTimeSeconds.has_value());
  Client::Api::LoginQueue shown;
  shown.estimatedPositionInQueue = 10;
  shown.isPositionCapped = true;
  shown.approximateWaitTimeSeconds = 12;
  const Client::Api::LoginQueue kept = unpredicted.PublicStatus(shown, kT0 + 5 * kMs);
  EXPECT_EQ(kept.estimatedPositionInQueue, 10u);
  EXPECT_TRUE(kept.isPositionCapped);
  EXPECT_EQ(kept.approximateWaitTimeSeconds, std::optional<uint64_t>(12));
}

TEST(QueueTicketTest, PollIntervalFollowsThePrediction) {
  const std::pair<uint64_t, int64_t> table[] = {
      {1, 3000},      {2999, 3000},    {3001, 3001},    {15000, 15000},
      {15001, 15000}, {30000, 15000},  {30001, 30000},  {59999, 30000},
      {60000, 45000}, {119999, 45000}, {120000, 90000}, {9999999, 90000},
  };
  for (const auto& [predicted, interval] : table) {
    SCOPED_TRACE(predicted);
    const QueueTicket ticket = TicketAt(predicted);
    ASSERT_EQ(ticket.samples()[0].predicted_remaining, std::optional<uint64_t>(predicted));
    EXPECT_EQ(ticket.PollIntervalMilliseconds(), interval);
    EXPECT_EQ(ticket.NextPollDue(), kT0 + interval * kMs);
  }
  // A prediction of 0 polls after the 3 s minimum; none at all after 90 s.
  EXPECT_EQ(TicketAt(0).PollIntervalMilliseconds(), 3000);
  QueueTicket none = QueueTicket::FromAnswer("u", Json(R"({"backlog":9})"));
  none.Evaluate(kT0);
  EXPECT_EQ(none.PollIntervalMilliseconds(), 90000);
}

TEST(QueueTicketTest, FailedFetchesAddTheOverdueTimeAndTheirBackoff) {
  QueueTicket ticket = TicketAt(20000);  // polls every 15 s
  EXPECT_EQ(ticket.CountFailedFetch(kT0 + 15250 * kMs), 1u);
  EXPECT_EQ(ticket.accumulated_delay_ms(), 250);
  ticket.AddDelay(700);
  EXPECT_EQ(ticket.NextPollDue(), kT0 + (15000 + 950) * kMs);
  // Asked early: nothing is overdue.
  EXPECT_EQ(ticket.CountFailedFetch(kT0), 2u);
  EXPECT_EQ(ticket.accumulated_delay_ms(), 950);
  ticket.ResetFailedFetches();
  EXPECT_EQ(ticket.failed_fetches(), 0u);
  EXPECT_EQ(ticket.accumulated_delay_ms(), 0);
}

TEST(QueueTicketTest, ServedNumbersAreHexadecimalText) {
  EXPECT_EQ(ParseServedNumber("1f"), std::optional<uint64_t>(31));
  EXPECT_EQ(ParseServedNumber("1F"), std::optional<uint64_t>(31));
  EXPECT_EQ(ParseServedNumber("0"), std::optional<uint64_t>(0));
  EXPECT_EQ(ParseServedNumber("ffffffffffffffff"),
            std::optional<uint64_t>(std::numeric_limits<uint64_t>::max()));
  EXPECT_FALSE(ParseServedNumber("10000000000000000").has_value());  // beyond 64 bits
  EXPECT_FALSE(ParseServedNumber("").has_value());
  EXPECT_FALSE(ParseServedNumber("1g").has_value());
  EXPECT_FALSE(ParseServedNumber("-1").has_value());
  EXPECT_FALSE(ParseServedNumber(" 1").has_value());

  QueueTicket ticket = QueueTicket::FromAnswer(
      "u", Json(R"({"backlog":100,"tickers":[{"node":"a","id":40,"current":0},)"
                R"({"node":"b","id":10,"current":0}]})"));
  ticket.ApplyTickerAnswer(
      Json(R"({"status":"OK","backlog":2,"a":"1f","b":12,"c":"ff","d":"zz"})"));
  // a: 40 - 31; b's number is not text and stays 0; unknown c and d change nothing.
  EXPECT_EQ(ticket.served_numbers(), (std::map<std::string, uint64_t>{{"a", 31}, {"b", 0}}));
  EXPECT_EQ(ticket.backlog(), 2u);
  EXPECT_EQ(ticket.Position(), 2u + 9u + 10u);
}

TEST(QueueTicketTest, TimingFieldsListEverySample) {
  QueueTicket ticket = QueueTicket::FromAnswer(
      "u", Json(R"({"rate":0.5,"tickers":[{"node":"a","id":100,"current":0}]})"));
  ticket.Evaluate(kT0);  // 100 at 0.0005 per ms: 200000 ms
  ticket.ApplyTickerAnswer(Json(R"({"a":"64"})"));
  ticket.Evaluate(kT0 + 90000 * kMs);  // position 0
  EXPECT_EQ(ticket.TimingFields(), (std::map<std::string, std::string>{
                                       {"reported_rate", "0.500000"},
                                       {"reported_length_0", "100"},
                                       {"predicted_time_remaining_milliseconds_0", "200000"},
                                       {"actual_time_remaining_milliseconds_0", "90000"},
                                       {"reported_length_1", "0"},
                                       {"predicted_time_remaining_milliseconds_1", "0"},
                                       {"actual_time_remaining_milliseconds_1", "0"},
                                   }));
  QueueTicket unrated = QueueTicket::FromAnswer("u", Json(R"({"backlog":4})"));
  unrated.Evaluate(kT0);
  EXPECT_EQ(unrated.TimingFields().at("predicted_time_remaining_milliseconds_0"), "NULL");
  EXPECT_EQ(unrated.TimingFields().at("reported_rate"), "0.000000");
}

}  // namespace
}  // namespace Voro
