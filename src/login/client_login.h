// One login: its state, what it learned on the way, and its last failure. The login
// queue, the platform session and the login loop build on this record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "binding/value/binding_property.h"
#include "diag/failure.h"
#include "lcds/lcds_session.h"
#include "lcds/net/trusted_certificates.h"
#include "login/held_credentials.h"
#include "login/login_api_types.h"

namespace Voro {

class ClientLogin {
 public:
  ClientLogin() = default;
  // Logs the platform session out first.
  ~ClientLogin();
  ClientLogin(const ClientLogin&) = delete;
  ClientLogin& operator=(const ClientLogin&) = delete;

  // 0..26; see ToSessionState for what each means to other plugins.
  using LoginState = int32_t;
  static constexpr LoginState kLoggedIn = 18;
  static constexpr LoginState kLoggingOut = 20;
  static constexpr LoginState kConnectingToLcds = 8;
  static constexpr LoginState kReconnectFailed = 10;
  static constexpr LoginState kLoggedOut = 21;
  static constexpr LoginState kMaxState = 26;

  // The public state of a login state. Unknown numbers read as ERROR.
  static Client::Api::LoginSessionStates ToSessionState(LoginState state);
  // Whether a login in `state` is over, so that a new one may start.
  static bool IsFinished(LoginState state);
  // Failures the login loop retries are logged at ERROR, all others at WARN.
  static bool IsRetriedFailureState(LoginState state);

  LoginState state() const { return state_; }
  void SetState(LoginState state) { state_ = state; }
  // Records the failure, logs its text (ERROR for retried states, WARN otherwise), then
  // moves to `state`.
  void SetFailure(LoginState state, Failure failure);
  const std::optional<Failure>& failure() const { return failure_; }

  // What the session reads.
  std::string username;
  std::string auth_token;  // the login queue's
  BindingProperty gas_token;
  uint64_t account_id = 0;
  std::optional<uint64_t> summoner_id;
  std::optional<Client::Api::LoginQueue> queue_position;
  std::string id_token;
  std::string puuid;
  bool is_new_player = false;
  // Whether the platform connection is down; true until one is up.
  bool lcds_disconnected = true;

  // What the login queue is asked with, and what else it tells.
  std::string login_queue_url;  // paths are appended to it
  HeldCredentials credentials;
  // The queue's "inGameCredentials" object, kept only when it reports "inGame" true.
  std::optional<BindingProperty> in_game_credentials;
  uint64_t id_token_expiry = 0;  // the "exp" claim of id_token

  // Set once by logout or close and never cleared; long waits test it between steps.
  // Plugin thread only.
  void RequestStop() { stop_requested_ = true; }
  bool stop_requested() const { return stop_requested_; }

  // Runs after each change other plugins see but no state change announces (the queue
  // position); the module republishes the session from it. Plugin thread only.
  void SetChangeCallback(std::function<void()> callback) { on_changed_ = std::move(callback); }
  void NotifyChanged() const {
    if (on_changed_) on_changed_();
  }

  // ---- The platform side (LCDS) ----
  struct LcdsTarget {
    std::string host;
    uint16_t port = 0;
    bool use_tls = true;
  };
  LcdsTarget lcds_target;
  // Owned by the module; outlives every login.
  const TrustedCertificates* trusted_certificates = nullptr;
  LcdsSession& lcds() { return lcds_; }
  // Logs in to the platform server with the held credentials and the login queue's token;
  // on success the login holds the login data packet and is logged in (18), on failure the
  // failure is stored with state 13.
  MaybeType<std::monostate> ConnectToLcds(std::chrono::milliseconds timeout = kLcdsLoginTimeout);
  static constexpr std::chrono::milliseconds kLcdsLoginTimeout{120'000};
  // Opens a new platform connection for the logged-in session and authenticates its
  // channels again: state 8, then 18, or 10 with the failure stored.
  MaybeType<std::monostate> ReconnectLcds(
      std::chrono::milliseconds timeout = kLcdsReconnectTimeout);
  static constexpr std::chrono::milliseconds kLcdsReconnectTimeout{60'000};
  // A kick notification's body: when its "sessionToken" is this session's, the platform
  // session is logged out and the login ends logged out elsewhere (21). The change callback
  // runs either way; a body without a session token changes nothing.
  void OnKickNotification(const Amf3Item& body);

  // What the platform login brought back.
  BindingProperty login_data_packet;  // "empty" until logged in
  std::string platform_id;
  std::string platform_password;  // the login answer's "password"
  std::string summoner_name;

 private:
  LcdsSession lcds_;
  LoginState state_ = 0;
  std::optional<Failure> failure_;
  bool stop_requested_ = false;
  std::function<void()> on_changed_;
};

}  // namespace Voro
