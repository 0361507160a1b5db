// A place in the login queue: the ticket numbers the queue handed out, the numbers its
// nodes have served so far, and the samples from which the remaining wait is predicted.
//
// Everything here comes from the queue's answers and is untrusted: sums saturate instead of
// overflowing, and a malformed element or value is skipped rather than trusted.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/value/binding_property.h"
#include "loginqueue/login_queue_status.h"

namespace Voro {

// One evaluation of the ticket.
struct QueueSample {
  int64_t time = 0;  // steady clock, nanoseconds
  uint64_t position = 0;
  std::optional<uint64_t> predicted_remaining;  // milliseconds
};

class QueueTicket {
 public:
  // Fills a ticket from the queue's "QUEUE" answer; `queue_url` is the login queue's base.
  // Takes no sample: call Evaluate.
  static QueueTicket FromAnswer(const std::string& queue_url, const BindingProperty& answer);

  // Entries ahead: the backlog plus, for every node with both numbers, how far its served
  // number is behind the ticket's.
  uint64_t Position() const;
  // Whether every node that has both numbers has served the ticket's number.
  bool AtFront() const;

  // Appends a sample taken at `now` (steady nanoseconds) and predicts the remaining wait
  // from the reported rate and the last two samples.
  void Evaluate(int64_t now);

  // The status shown to the user at `now`, starting from `current` (the one shown so far).
  // REQUIRES: at least one sample.
  Client::Api::LoginQueue PublicStatus(const std::optional<Client::Api::LoginQueue>& current,
                                       int64_t now) const;

  // How long after the last sample the next ticker poll is due, from its prediction.
  // REQUIRES: at least one sample.
  int64_t PollIntervalMilliseconds() const;
  // When the next poll is due (steady nanoseconds): the last sample's time, the poll
  // interval and the delay added by failed fetches. REQUIRES: at least one sample.
  int64_t NextPollDue() const;

  // Applies a successful ticker answer: "backlog" replaces the backlog, every other member
  // except "status" names a node whose value is its served number as hexadecimal text.
  // Values that are not such a text are skipped, and so are nodes the ticket holds no number
  // for (they cannot move it), so that answers cannot grow the ticket.
  void ApplyTickerAnswer(const BindingProperty& answer);

  // Counts a failed ticker fetch at `now` (steady nanoseconds): the time overdue since the
  // poll was due is added to the delay. Returns the new failure count; the caller adds its
  // back-off with AddDelay.
  uint32_t CountFailedFetch(int64_t now);
  void AddDelay(int64_t milliseconds) { accumulated_delay_ms_ += milliseconds; }
  // A successful fetch forgets earlier failures.
  void ResetFailedFetches() {
    failed_fetches_ = 0;
    accumulated_delay_ms_ = 0;
  }

  // The "login_queue_timing" fields: the reported rate and, per sample, its position,
  // its prediction and how long it actually took to the last sample.
  std::map<std::string, std::string> TimingFields() const;

  const std::string& ticker_url() const { return ticker_url_; }
  const std::string& ticket_text() const { return ticket_text_; }
  uint64_t position_cap() const { return position_cap_; }
  uint64_t grace_period_ms() const { return grace_period_ms_; }
  double reported_rate_per_ms() const { return reported_rate_per_ms_; }
  uint64_t backlog() const { return backlog_; }
  const std::map<std::string, uint64_t>& ticket_numbers() const { return ticket_numbers_; }
  const std::map<std::string, uint64_t>& served_numbers() const { return served_numbers_; }
  const std::vector<QueueSample>& samples() const { return samples_; }
  uint32_t failed_fetches() const { return failed_fetches_; }
  int64_t accumulated_delay_ms() const { return accumulated_delay_ms_; }

 private:
  std::string ticker_url_;
  std::string ticket_text_;  // the body of the "/token" request
  uint64_t position_cap_ = 0;
  uint64_t grace_period_ms_ = 0;
  double reported_rate_per_second_ = 0;
  double reported_rate_per_ms_ = 0;
  std::map<std::string, uint64_t> ticket_numbers_;
  std::map<std::string, uint64_t> served_numbers_;
  uint64_t backlog_ = 0;
  std::vector<QueueSample> samples_;  // oldest first
  uint32_t failed_fetches_ = 0;
  int64_t accumulated_delay_ms_ = 0;
};

// Parses a served number: hexadecimal digits only (either case), at most 16 of them.
std::optional<uint64_t> ParseServedNumber(std::string_view text);

}  // namespace Voro
