// The login's conversation with the region's login queue over HTTPS: present the login's
// credentials, wait in the queue when told to, and come away with the login token (or the
// failure that ended the step, stored in the login with its state as well).
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "binding/value/binding_property.h"
#include "diag/failure.h"
#include "loginqueue/login_queue_subject.h"
#include "loginqueue/queue_ticket.h"
#include "plugin/http_base_transport.h"

namespace Voro {

class ModuleScheduler;
class TelemetrySender;

// The login states this client moves a login through.
namespace LoginQueueState {
inline constexpr LoginQueueSubject::State kRejected = 0;  // credentials refused, or banned
inline constexpr LoginQueueSubject::State kAuthenticating = 2;
inline constexpr LoginQueueSubject::State kQueued = 3;
inline constexpr LoginQueueSubject::State kTokenReceived = 4;
inline constexpr LoginQueueSubject::State kFailed = 13;  // the login loop tries again
inline constexpr LoginQueueSubject::State kCanceled = 24;
inline constexpr LoginQueueSubject::State kAccountDisabled = 25;
inline constexpr LoginQueueSubject::State kAccountTransferring = 26;
}  // namespace LoginQueueState

// The services a queue conversation uses; each must outlive the client.
struct LoginQueueServices {
  const HttpBaseTransport* transport = nullptr;
  ModuleScheduler* scheduler = nullptr;
  TelemetrySender* telemetry = nullptr;  // may be null: no "login_queue_timing" event
};

// Runs on the plugin's thread, inside the login loop. Every wait is a scheduler sleep, so
// the host keeps serving the plugin (a logout can request the stop that the waits test).
class LoginQueueClient {
 public:
  // REQUIRES: services.transport and services.scheduler are set.
  explicit LoginQueueClient(const LoginQueueServices& services) : services_(services) {}

  // Authenticates `login`'s credentials at its login queue URL, waiting in the queue
  // when the queue says so. On success the login holds the login token as its auth token
  // (state 4); on failure the failure is also stored in the login with its state.
  // `stop_after_second_failure` shortens the window in which busy answers are retried.
  MaybeType<std::monostate> AuthenticateWithLoginQueue(LoginQueueSubject& login,
                                                       bool stop_after_second_failure);

  // Waits for the place `answer` (a "QUEUE" authentication answer) describes, then fetches
  // the login token and returns it. The public queue status is kept in the login and
  // announced through its NotifyChanged; it is cleared when the wait ends. On failure the
  // failure is also stored in the login (state 13 or 24).
  MaybeType<BindingProperty> WaitInLoginQueue(LoginQueueSubject& login,
                                              const BindingProperty& answer);

  // "response code was %1, headers were '%2', body was '%3'".
  static std::string DescribeResponse(const HttpBaseTransport::Response& response);

 private:
  // One ticker request; a failure that ends the wait is stored in `login` and returned.
  MaybeType<std::monostate> FetchTicker(LoginQueueSubject& login, QueueTicket& ticket);
  // The "/token" exchange once the grace period has passed.
  MaybeType<BindingProperty> FetchToken(LoginQueueSubject& login, const QueueTicket& ticket);
  // Computes the public status and announces it.
  void PublishStatus(LoginQueueSubject& login, const QueueTicket& ticket) const;
  // Stores `failure` with `state` in `login` and returns it.
  static Failure Fail(LoginQueueSubject& login, LoginQueueSubject::State state, Failure failure);

  LoginQueueServices services_;
};

}  // namespace Voro
