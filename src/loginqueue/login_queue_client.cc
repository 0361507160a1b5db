// Authentication: one request, retried while the queue is overloaded, and the reading of
// its answer into the login.
#include "loginqueue/login_queue_client.h"

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/codec/json_reader.h"
#include "binding/codec/json_writer.h"
#include "diag/clock.h"
#include "diag/format_positional.h"
#include "diag/log.h"
#include "diag/retry_delay.h"
#include "lcds/token_reader.h"
#include "loginqueue/login_queue_constants.h"
#include "plugin/module_scheduler.h"

namespace Voro {

namespace {

using namespace LoginQueueState;      // NOLINT(google-build-using-namespace): the state names
using namespace LoginQueueConstants;  // NOLINT(google-build-using-namespace): shared texts

// Busy answers are retried for this long; a login that may stop after its second failure
// gives up sooner.
constexpr int64_t kRetryWindowSeconds = 60;
constexpr int64_t kShortRetryWindowSeconds = 15;
constexpr int64_t kRetrySleepMilliseconds = 10;

constexpr const char* kConnectingLine = "Connecting to login queue: %s";
constexpr const char* kConnectedLine = "Connected to login queue.";
constexpr const char* kTokenReceivedLine = "Auth token received from login queue.";

constexpr const char* kResponseDescription =
    "response code was %1, headers were '%2', body was '%3'";
constexpr const char* kDeserializeText =
    "Failed to deserialize login queue auth response. Deserializer error: '%1', %2";
constexpr const char* kBanText = "{ \"banReason\": \"%s\", \"expiration\": %llu }";

struct ReasonFailure {
  std::string_view reason;
  const char* id;
  const char* message_id;
  const char* description;
  LoginQueueSubject::State state;
};

constexpr ReasonFailure kReasonFailures[] = {
    {"account_inactive", "ALE-27D2C92B", "ACCOUNT_DISABLED", "Account is currently disabled.",
     kAccountDisabled},
    {"account_transferring_out", "ALE-27B4C62D", "LOGIN-0008",
     "Account is currently transferring out.", kAccountTransferring},
    {"account_transferring_in", "ALE-23A2F12E", "LOGIN-0009",
     "Account is currently transferring in.", kAccountTransferring},
    {"account_transferred", "ALE-61A4D92F", "LOGIN-0010", "Account has been transferred.",
     kAccountTransferring},
};

std::string HeadersText(const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string text;
  for (const auto& [name, value] : headers) {
    if (!text.empty()) text += ", ";
    text += name;
    text += ": ";
    text += value;
  }
  return text;
}

// The form the queue expects for each kind of credentials.
HttpBaseTransport::Request BuildAuthenticationRequest(const LoginQueueSubject& login) {
  HttpBaseTransport::Request request;
  request.method = KIV_METHOD_POST;
  request.timeout = kRequestTimeout;
  request.flag = 1;
  request.headers["Content-Type"] = "application/x-www-form-urlencoded";
  const LoginQueueCredentials credentials = login.credentials();
  switch (credentials.form) {
    case LoginQueueCredentials::Form::kUsernameAndPassword:
      request.url = login.login_queue_url() + "/authenticate";
      // The queue takes the values as they are: nothing is escaped.
      request.body = "user=" + credentials.username + ",password=" + credentials.password;
      break;
    case LoginQueueCredentials::Form::kAccessToken:
      request.url = login.login_queue_url() + "/authenticate/QSA";
      request.headers["Authorization"] = "Bearer " + credentials.access_token;
      break;
    default:
      request.url = login.login_queue_url() + "/authenticate";
      request.body = credentials.partner;
      break;
  }
  return request;
}

bool IsAcceptedAnswer(const HttpBaseTransport::Response& response) {
  return response.transport_status == 0 && response.status_code < 500 &&
         response.status_code != 429;
}

}  // namespace

std::string LoginQueueClient::DescribeResponse(const HttpBaseTransport::Response& response) {
  return FormatPositional(kResponseDescription, response.status_code, HeadersText(response.headers),
                          response.body);
}

Failure LoginQueueClient::Fail(LoginQueueSubject& login, LoginQueueSubject::State state,
                               Failure failure) {
  login.SetFailure(state, failure);
  return failure;
}

MaybeType<std::monostate> LoginQueueClient::AuthenticateWithLoginQueue(
    LoginQueueSubject& login, bool stop_after_second_failure) {
  if (login.stop_requested()) {
    return Fail(login, kCanceled, {"ALE-4874ED11", kCanceledMessageId, kCanceledText});
  }
  login.SetState(kAuthenticating);
  const HttpBaseTransport::Request request = BuildAuthenticationRequest(login);

  const int64_t window_end =
      SteadyNowNanoseconds() +
      (stop_after_second_failure ? kShortRetryWindowSeconds : kRetryWindowSeconds) *
          kNanosecondsPerSecond;
  uint32_t attempt = 0;
  HttpBaseTransport::Response response;
  for (;;) {
    Log(kLevelAlways, Tag::DBG, kConnectingLine, request.url.c_str());
    response = services_.transport->RequestText(request);
    if (IsAcceptedAnswer(response)) break;
    if (SteadyNowNanoseconds() >= window_end) {
      // Out of time: a busy answer is read for what it says, a missing one ends the step.
      if (response.transport_status == 0) break;
      return Fail(login, kFailed,
                  {"ALE-4C0F8C92", "FAILED_TO_COMMUNICATE_WITH_LOGIN_QUEUE", response.error});
    }
    const int64_t resume =
        SteadyNowNanoseconds() +
        RetryDelay(attempt, kQueueAuthenticationBackoff) * kNanosecondsPerMillisecond;
    while (SteadyNowNanoseconds() < resume) {
      services_.scheduler->Sleep(kRetrySleepMilliseconds);
      if (login.stop_requested()) {
        return Fail(login, kCanceled, {"ALE-4874ED12", kCanceledMessageId, kCanceledText});
      }
    }
    ++attempt;
  }
  Log(kLevelAlways, Tag::DBG, "%s", kConnectedLine);

  if (!response.error.empty() || response.result_state == 1) {
    return Fail(login, kFailed,
                {"ALE-E4F4E3EA", kUnspecified,
                 FormatPositional(kDeserializeText, response.error, DescribeResponse(response))});
  }
  BindingResult parsed = ParseJson(response.body);
  if (!parsed.ok()) {
    return Fail(login, kFailed,
                {"ALE-F32B8BB9", kUnspecified,
                 FormatPositional(kDeserializeText, parsed.error(), DescribeResponse(response))});
  }
  const BindingProperty& answer = parsed.value();

  if (const BindingProperty* banned = answer.FindField("banned")) {
    std::string description =
        FormatPositional(kBanText, answer["banReason"].GetString(), banned->ToUnsigned());
    return Fail(login, kRejected, {"ALE-14FA382C", "ACCOUNT_BANNED", std::move(description)});
  }

  const BindingProperty* status_field = answer.FindField("status");
  if (status_field == nullptr) {
    return Fail(login, kFailed,
                {"ALE-51BFB1A6", kUnspecified,
                 FormatPositional("status field missing, %1", DescribeResponse(response))});
  }
  const std::string_view status = status_field->GetString();
  if (status.empty()) {
    return Fail(login, kFailed,
                {"ALE-7FD7BA4B", kUnspecified,
                 FormatPositional("status field empty, %1", DescribeResponse(response))});
  }

  if (status == "FAILED") {
    const std::string_view reason = answer["reason"].GetString();
    for (const ReasonFailure& entry : kReasonFailures) {
      if (entry.reason == reason) {
        return Fail(login, entry.state, {entry.id, entry.message_id, entry.description});
      }
    }
    return Fail(login, kRejected,
                {"ALE-18F2C92E", "INVALID_CREDENTIALS", "Login queue rejected credentials"});
  }
  if (status == "BUSY") {
    return Fail(login, kFailed,
                {"ALE-6172BFE3", "LOGIN_QUEUE_BUSY", "Got BUSY status from login queue"});
  }
  if (status == "ARL_QUEUE") {
    return Fail(login, kFailed,
                {"ALE-516C42B0", "LOGIN_QUEUE_BUSY", "Got ARL_QUEUE status from login queue"});
  }
  if (status != "QUEUE" && status != "LOGIN") {
    return Fail(login, kFailed,
                {"ALE-FA173951", kUnspecified,
                 FormatPositional("Unknown status from login queue \"%1\"", status)});
  }

  const BindingProperty* lqt = answer.FindField("lqt");
  if (lqt == nullptr) {
    return Fail(
        login, kFailed,
        {"ALE-ABFCFE07", kUnspecified,
         FormatPositional("lqt field missing, response code was %1, headers were '%2', "
                          "body was '%3'",
                          response.status_code, HeadersText(response.headers), response.body)});
  }
  if (lqt->type() != BindingType::kStructure) {
    return Fail(login, kFailed, {"ALE-AE5B25F5", kUnspecified, "lqt field was not a structure"});
  }

  LoginQueueAccount account;
  const BindingProperty& in_game = answer["inGameCredentials"];
  if (in_game["inGame"].GetBool()) account.in_game_credentials = in_game;
  account.id_token = std::string(answer["idToken"].GetString());
  TokenReader id_token(account.id_token);
  // An id token that cannot be read leaves the account without a puuid and an expiry.
  if (const BindingResult claims = id_token.Payload(); claims.ok()) {
    account.puuid = std::string(claims.value()["sub"].GetString());
    account.id_token_expiry = claims.value()["exp"].ToUnsigned();
  }
  account.username = std::string((*lqt)["account_name"].GetString());
  account.account_id = (*lqt)["account_id"].ToUnsigned();
  account.gas_token = answer["gasToken"];
  login.StoreAccount(std::move(account));

  if (status == "LOGIN") {
    login.StoreAuthToken(WriteJson(*lqt, nullptr, kPrettyLayout));
  } else {
    login.SetState(kQueued);
    MaybeType<BindingProperty> token = WaitInLoginQueue(login, answer);
    if (!token.ok()) return token.failure();
    login.StoreAuthToken(WriteJson(token.value(), nullptr, kPrettyLayout));
  }
  login.SetState(kTokenReceived);
  Log(kLevelAlways, Tag::DBG, "%s", kTokenReceivedLine);
  return std::monostate();
}

}  // namespace Voro
