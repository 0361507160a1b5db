// The login as the login queue client sees it: what the queue is asked with, where what it
// tells is kept, and the login's state, failure, stop flag and change announcement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "binding/value/binding_property.h"
#include "diag/failure.h"
#include "loginqueue/login_queue_status.h"

namespace Voro {

// The credentials the queue authenticates, as plain text in the form its requests take.
struct LoginQueueCredentials {
  enum class Form : int32_t {
    kUsernameAndPassword = 0,
    kAccessToken = 1,  // from the sign-on service
    kPartner = 2,      // a partner's text, sent as it is
  };
  Form form = Form::kUsernameAndPassword;
  std::string username;      // kUsernameAndPassword
  std::string password;      // kUsernameAndPassword
  std::string access_token;  // kAccessToken
  std::string partner;       // kPartner
};

// What an accepted authentication tells about the account; stored before any queue wait.
struct LoginQueueAccount {
  std::string username;  // the token's "account_name"
  uint64_t account_id = 0;
  BindingProperty gas_token;
  std::string id_token;
  std::string puuid;             // the "sub" claim of id_token
  uint64_t id_token_expiry = 0;  // the "exp" claim of id_token
  // The queue's "inGameCredentials" object, present only when it reports "inGame" true.
  std::optional<BindingProperty> in_game_credentials;
};

// Implemented by the login. Plugin thread only; it outlives every call it is passed to.
class LoginQueueSubject {
 public:
  // The login's state number (0..26).
  using State = int32_t;

  virtual ~LoginQueueSubject() = default;

  // The login queue's base URL: paths are appended to it.
  virtual const std::string& login_queue_url() const = 0;
  virtual LoginQueueCredentials credentials() const = 0;

  // Keeps the account data; an absent in_game_credentials leaves the kept one as it is.
  virtual void StoreAccount(LoginQueueAccount account) = 0;
  // Keeps the login token, the queue's "lqt" object as pretty JSON.
  virtual void StoreAuthToken(std::string token) = 0;

  // The queue status shown so far, and its replacement (nullopt: none shown). Setting it
  // does not announce it: see NotifyChanged.
  virtual const std::optional<Client::Api::LoginQueue>& queue_status() const = 0;
  virtual void SetQueueStatus(std::optional<Client::Api::LoginQueue> status) = 0;
  // Announces a change no state change announces (the queue status).
  virtual void NotifyChanged() const = 0;

  virtual void SetState(State state) = 0;
  // Records the failure (and logs it) and moves to `state`.
  virtual void SetFailure(State state, Failure failure) = 0;
  // Whether a logout or close asked the login to stop; once set it stays set.
  virtual bool stop_requested() const = 0;
};

}  // namespace Voro
