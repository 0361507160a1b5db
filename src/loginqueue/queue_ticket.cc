#include "loginqueue/queue_ticket.h"

#include <algorithm>
#include <charconv>
#include <limits>

#include "binding/codec/json_writer.h"

namespace Voro {

namespace {

constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
constexpr uint64_t kMaxUnsigned = std::numeric_limits<uint64_t>::max();
// Any non-empty layout selects the indented writer.
constexpr const char* kPrettyLayout = "pretty";

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return b > kMaxUnsigned - a ? kMaxUnsigned : a + b;
}

// a - b as a signed number, saturated at the int64 range.
int64_t SignedDifference(uint64_t a, uint64_t b) {
  constexpr uint64_t kMaxSigned = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (a >= b) return static_cast<int64_t>(std::min(a - b, kMaxSigned));
  return -static_cast<int64_t>(std::min(b - a, kMaxSigned));
}

// value * numerator / denominator for numerator <= denominator, exact unless the product
// does not fit in 64 bits.
uint64_t ScaleDown(uint64_t value, uint64_t numerator, uint64_t denominator) {
  if (numerator >= denominator) return value;
  if (numerator == 0 || value <= kMaxUnsigned / numerator) return value * numerator / denominator;
  const long double scaled = static_cast<long double>(value) * static_cast<long double>(numerator) /
                             static_cast<long double>(denominator);
  return static_cast<uint64_t>(scaled);
}

// "%f" without the process locale.
std::string FixedSix(double value) {
  char buffer[400];
  const std::to_chars_result result =
      std::to_chars(buffer, buffer + sizeof(buffer), value, std::chars_format::fixed, 6);
  if (result.ec != std::errc()) return "0.000000";
  return std::string(buffer, result.ptr);
}

}  // namespace

std::optional<uint64_t> ParseServedNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  const std::from_chars_result result =
      std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

QueueTicket QueueTicket::FromAnswer(const std::string& queue_url, const BindingProperty& answer) {
  QueueTicket ticket;
  ticket.ticker_url_ = queue_url + "/ticker/" + std::string(answer["champ"].GetString());
  ticket.ticket_text_ = WriteJson(answer["lqt"], nullptr, kPrettyLayout);
  ticket.position_cap_ = answer["vcap"].ToUnsigned();
  ticket.grace_period_ms_ = answer["delay"].ToUnsigned();
  ticket.reported_rate_per_second_ = answer["rate"].ToDouble();
  ticket.reported_rate_per_ms_ = ticket.reported_rate_per_second_ * 0.001;
  for (const BindingProperty& element : answer["tickers"].Elements()) {
    const BindingProperty& node = element["node"];
    if (node.type() != BindingType::kString) continue;
    const std::string name(node.GetString());
    if (const BindingProperty* id = element.FindField("id")) {
      ticket.ticket_numbers_[name] = id->ToUnsigned();
    }
    if (const BindingProperty* current = element.FindField("current")) {
      ticket.served_numbers_[name] = current->ToUnsigned();
    }
  }
  ticket.backlog_ = answer["backlog"].ToUnsigned();
  return ticket;
}

uint64_t QueueTicket::Position() const {
  uint64_t position = backlog_;
  for (const auto& [node, number] : ticket_numbers_) {
    auto served = served_numbers_.find(node);
    if (served != served_numbers_.end() && number > served->second) {
      position = SaturatingAdd(position, number - served->second);
    }
  }
  return position;
}

bool QueueTicket::AtFront() const {
  for (const auto& [node, number] : ticket_numbers_) {
    auto served = served_numbers_.find(node);
    if (served != served_numbers_.end() && served->second < number) return false;
  }
  return true;
}

void QueueTicket::Evaluate(int64_t now) {
  samples_.push_back(QueueSample{now, Position(), std::nullopt});
  QueueSample& last = samples_.back();
  double rate = reported_rate_per_ms_;
  int count = 1;
  if (samples_.size() >= 2) {
    const QueueSample& previous = samples_[samples_.size() - 2];
    const int64_t elapsed = (last.time - previous.time) / kNanosecondsPerMillisecond;
    if (elapsed > 0) {
      // Whole entries per millisecond, as the queue's own clients measure it: a queue moving
      // slower than that adds nothing but still halves the average below.
      const int64_t measured = SignedDifference(previous.position, last.position) / elapsed;
      rate += static_cast<double>(measured);
      count = 2;
    }
  }
  const double average = rate / count;
  if (average > 0) {
    const double predicted = static_cast<double>(last.position) / average;
    if (predicted < 18446744073709551616.0)
      last.predicted_remaining = static_cast<uint64_t>(predicted);
  }
}

Client::Api::LoginQueue QueueTicket::PublicStatus(
    const std::optional<Client::Api::LoginQueue>& current, int64_t now) const {
  const QueueSample& last = samples_.back();
  Client::Api::LoginQueue status;
  if (current.has_value()) {
    status = *current;
  } else {
    status.estimatedPositionInQueue = last.position;
  }
  bool recomputed = !current.has_value();
  if (last.predicted_remaining.has_value() && *last.predicted_remaining > 0) {
    const uint64_t predicted = *last.predicted_remaining;
    const int64_t since = std::max<int64_t>(0, (now - last.time) / kNanosecondsPerMillisecond);
    const uint64_t remaining =
        static_cast<uint64_t>(since) >= predicted ? 1 : predicted - static_cast<uint64_t>(since);
    status.approximateWaitTimeSeconds = remaining / 1000;
    status.estimatedPositionInQueue = ScaleDown(last.position, remaining, predicted);
    recomputed = true;
  }
  if (status.estimatedPositionInQueue > position_cap_) {
    status.estimatedPositionInQueue = position_cap_;
    status.isPositionCapped = true;
  } else if (recomputed) {
    status.isPositionCapped = false;
  }
  // A ticket still waiting is never shown as position 0.
  if (status.estimatedPositionInQueue == 0) status.estimatedPositionInQueue = 1;
  return status;
}

int64_t QueueTicket::PollIntervalMilliseconds() const {
  const std::optional<uint64_t>& predicted = samples_.back().predicted_remaining;
  if (!predicted.has_value()) return 90000;
  if (*predicted < 15001) return std::max<int64_t>(static_cast<int64_t>(*predicted), 3000);
  if (*predicted < 30001) return 15000;
  if (*predicted < 60000) return 30000;
  if (*predicted < 120000) return 45000;
  return 90000;
}

int64_t QueueTicket::NextPollDue() const {
  return samples_.back().time +
         (PollIntervalMilliseconds() + accumulated_delay_ms_) * kNanosecondsPerMillisecond;
}

void QueueTicket::ApplyTickerAnswer(const BindingProperty& answer) {
  for (const auto& [key, value] : answer.Fields()) {
    if (key == "status") continue;
    if (key == "backlog") {
      backlog_ = value.ToUnsigned();
      continue;
    }
    if (value.type() != BindingType::kString) continue;
    const std::optional<uint64_t> served = ParseServedNumber(value.GetString());
    if (!served.has_value()) continue;
    auto node = ticket_numbers_.find(std::string(key));
    if (node != ticket_numbers_.end()) served_numbers_[node->first] = *served;
  }
}

uint32_t QueueTicket::CountFailedFetch(int64_t now) {
  const int64_t overdue = (now - NextPollDue()) / kNanosecondsPerMillisecond;
  if (overdue > 0) accumulated_delay_ms_ += overdue;
  return ++failed_fetches_;
}

std::map<std::string, std::string> QueueTicket::TimingFields() const {
  std::map<std::string, std::string> fields;
  fields["reported_rate"] = FixedSix(reported_rate_per_second_);
  if (samples_.empty()) return fields;
  const int64_t end = samples_.back().time;
  for (size_t i = 0; i < samples_.size(); ++i) {
    const QueueSample& sample = samples_[i];
    const std::string index = std::to_string(i);
    fields["reported_length_" + index] = std::to_string(sample.position);
    fields["predicted_time_remaining_milliseconds_" + index] =
        sample.predicted_remaining.has_value() ? std::to_string(*sample.predicted_remaining)
                                               : "NULL";
    fields["actual_time_remaining_milliseconds_" + index] =
        std::to_string((end - sample.time) / kNanosecondsPerMillisecond);
  }
  return fields;
}

}  // namespace Voro
