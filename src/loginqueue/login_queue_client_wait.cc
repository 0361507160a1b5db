// Waiting in the queue: ticker polls until the ticket is at the front, the grace period,
// and the exchange of the ticket for the login token.
#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <string>

#include "binding/codec/json_writer.h"
#include "diag/clock.h"
#include "diag/format_positional.h"
#include "diag/log.h"
#include "diag/retry_delay.h"
#include "loginqueue/http_reason_phrase.h"
#include "loginqueue/login_queue_client.h"
#include "loginqueue/login_queue_constants.h"
#include "plugin/module_scheduler.h"
#include "plugin/telemetry_sender.h"

namespace Voro {

namespace {

using namespace LoginQueueState;      // NOLINT(google-build-using-namespace): the state names
using namespace LoginQueueConstants;  // NOLINT(google-build-using-namespace): shared texts

constexpr int64_t kWaitSleepMilliseconds = 100;
// The ninth failed ticker request in a row ends the wait.
constexpr uint32_t kMaxFailedFetches = 9;
constexpr const char* kTimingEvent = "login_queue_timing";

constexpr const char* kBusyText = "Got BUSY status from login queue";

constexpr const char* kFrontLine =
    "Reached the front of the login queue. Now waiting for a grace period of %llu ms to "
    "expire.";
constexpr const char* kRetrievingTokenLine = "Retrieving auth token from login queue.";
constexpr const char* kRetrievingTickersLine = "Retrieving tickers from login queue: %s";
constexpr const char* kPositionLine = "Login queue position is %llu";
constexpr const char* kNextUpdateLine = "Next login queue ticker update in %lli seconds.";
constexpr const char* kRetryLine =
    "No successful response from %s after %u attempts. Will retry after a total delay of %d "
    "ms...";

constexpr const char* kTickerDeserializeText =
    "Failed to deserialize login queue ticker response. Deserializer error: \"%1\"";
constexpr const char* kTickerStatusText =
    "Got failure response code %1 %2 with message '%3' and body %4. From url: %5";
constexpr const char* kTokenDeserializeText =
    "Failed to deserialize token post response. Deserializer error: \"%1\"";
constexpr const char* kTokenStatusText =
    "Got failure response code %1 %2 with message '%3' from token endpoint";

bool IsSuccessStatus(int32_t status) { return status >= 200 && status <= 299; }

// `start` plus `milliseconds`, held at the clock's end for absurd periods.
int64_t AddMilliseconds(int64_t start, uint64_t milliseconds) {
  const int64_t room = (std::numeric_limits<int64_t>::max() - std::max<int64_t>(start, 0)) /
                       kNanosecondsPerMillisecond;
  if (milliseconds >= static_cast<uint64_t>(room)) return std::numeric_limits<int64_t>::max();
  return start + static_cast<int64_t>(milliseconds) * kNanosecondsPerMillisecond;
}

}  // namespace

void LoginQueueClient::PublishStatus(LoginQueueSubject& login, const QueueTicket& ticket) const {
  login.SetQueueStatus(ticket.PublicStatus(login.queue_status(), SteadyNowNanoseconds()));
  login.NotifyChanged();
}

MaybeType<BindingProperty> LoginQueueClient::WaitInLoginQueue(LoginQueueSubject& login,
                                                              const BindingProperty& answer) {
  QueueTicket ticket = QueueTicket::FromAnswer(login.login_queue_url(), answer);
  ticket.Evaluate(SteadyNowNanoseconds());

  // Outside the queue the session shows no queue status.
  auto leave = [&login](MaybeType<BindingProperty> result) {
    login.SetQueueStatus(std::nullopt);
    login.NotifyChanged();
    return result;
  };

  std::optional<Failure> fetch_failure;
  while (!ticket.AtFront()) {
    if (login.stop_requested()) {
      return leave(Fail(login, kCanceled, {"ALE-4874ED16", kCanceledMessageId, kCanceledText}));
    }
    if (fetch_failure.has_value()) return leave(*fetch_failure);
    PublishStatus(login, ticket);
    if (SteadyNowNanoseconds() < ticket.NextPollDue()) {
      services_.scheduler->Sleep(kWaitSleepMilliseconds);
      continue;
    }
    MaybeType<std::monostate> fetched = FetchTicker(login, ticket);
    if (!fetched.ok()) fetch_failure = fetched.failure();
  }

  Client::Api::LoginQueue front;
  front.estimatedPositionInQueue = 1;
  front.isPositionCapped = false;
  front.approximateWaitTimeSeconds = ticket.grace_period_ms() / 1000;
  login.SetQueueStatus(front);
  login.NotifyChanged();
  Log(kLevelAlways, Tag::DBG, kFrontLine,
      static_cast<unsigned long long>(ticket.grace_period_ms()));

  const int64_t grace_end = AddMilliseconds(ticket.samples().back().time, ticket.grace_period_ms());
  for (;;) {
    if (login.stop_requested()) {
      return leave(Fail(login, kCanceled, {"ALE-9217A4D1", kCanceledMessageId, kCanceledText}));
    }
    if (SteadyNowNanoseconds() >= grace_end) break;
    services_.scheduler->Sleep(kWaitSleepMilliseconds);
  }
  return leave(FetchToken(login, ticket));
}

MaybeType<std::monostate> LoginQueueClient::FetchTicker(LoginQueueSubject& login,
                                                        QueueTicket& ticket) {
  const std::string& url = ticket.ticker_url();
  Log(kLevelAlways, Tag::DBG, kRetrievingTickersLine, url.c_str());
  const HttpBaseTransport::JsonResponse response =
      services_.transport->GetJson(url, kRequestTimeout, {});
  const int32_t status = response.status_code;

  if (response.transport_status == 0 && status < 500 && status != 429) {
    if (!IsSuccessStatus(status)) {
      return Fail(
          login, kFailed,
          {"ALE-ADD87E4A", kUnspecified,
           FormatPositional(kTickerStatusText, status, HttpReasonPhrase(status), response.error,
                            WriteJson(response.body, nullptr, kPrettyLayout), url)});
    }
    if (!response.error.empty() || response.result_state == 1) {
      return Fail(
          login, kFailed,
          {"ALE-37F317C5", kUnspecified, FormatPositional(kTickerDeserializeText, response.error)});
    }
    if (response.body["status"].GetString() == "BUSY") {
      return Fail(login, kFailed, {"ALE-34040E1E", "LOGIN_QUEUE_BUSY", kBusyText});
    }
    ticket.ApplyTickerAnswer(response.body);
    ticket.ResetFailedFetches();
    const int64_t now = SteadyNowNanoseconds();
    ticket.Evaluate(now);
    const uint64_t position = ticket.samples().back().position;
    Log(kLevelAlways, Tag::DBG, kPositionLine, static_cast<unsigned long long>(position));
    if (position != 0) {
      Log(kLevelAlways, Tag::DBG, kNextUpdateLine,
          static_cast<long long>((ticket.NextPollDue() - now) / kNanosecondsPerSecond));
    }
    return std::monostate();
  }

  // No usable answer (unreachable, overloaded or throttled): poll again after a back-off.
  const uint32_t failures = ticket.CountFailedFetch(SteadyNowNanoseconds());
  ticket.AddDelay(RetryDelay(failures, kQueueTickerBackoff));
  if (failures < kMaxFailedFetches) {
    const int64_t delay =
        std::min<int64_t>(ticket.accumulated_delay_ms(), std::numeric_limits<int32_t>::max());
    Log(kLevelWarn, Tag::DBG | Tag::NET, kRetryLine, url.c_str(), failures,
        static_cast<int>(delay));
    return std::monostate();
  }
  return Fail(login, kFailed,
              {"ALE-4B08B92B", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE", response.error});
}

MaybeType<BindingProperty> LoginQueueClient::FetchToken(LoginQueueSubject& login,
                                                        const QueueTicket& ticket) {
  Log(kLevelAlways, Tag::DBG, "%s", kRetrievingTokenLine);
  const HttpBaseTransport::JsonResponse response =
      services_.transport->PostJson(login.login_queue_url() + "/token", ticket.ticket_text(),
                                    kRequestTimeout, {{"Content-Type", "application/json"}});
  if (response.transport_status != 0) {
    return Fail(login, kFailed,
                {"ALE-DCCC3D24", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE", response.error});
  }
  const int32_t status = response.status_code;
  if (!IsSuccessStatus(status)) {
    return Fail(
        login, kFailed,
        {"ALE-4B0988FE", kUnspecified,
         FormatPositional(kTokenStatusText, status, HttpReasonPhrase(status), response.error)});
  }
  if (!response.error.empty() || response.result_state == 1) {
    return Fail(
        login, kFailed,
        {"ALE-4C0D9A56", kUnspecified, FormatPositional(kTokenDeserializeText, response.error)});
  }
  if (response.body["status"].GetString() == "BUSY") {
    return Fail(login, kFailed, {"ALE-C0A8A05F", "LOGIN_QUEUE_BUSY", kBusyText});
  }
  const BindingProperty* lqt = response.body.FindField("lqt");
  if (lqt == nullptr) {
    return Fail(
        login, kFailed,
        {"ALE-34E299F0", kUnspecified, "Expected login queue to return lqt field in response"});
  }
  if (services_.telemetry != nullptr) {
    // Telemetry never stops a login: its outcome is not read.
    std::future<RequestResult<void>> sent =
        services_.telemetry->SendTelemetryEvent(kTimingEvent, ticket.TimingFields());
    (void)sent;
  }
  return BindingProperty(*lqt);
}

}  // namespace Voro
