// A ClientLogin as the login queue client sees it.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "login/client_login.h"
#include "loginqueue/login_queue_subject.h"

namespace Voro {

// Reads and writes the wrapped login's fields. Plugin thread only; `login` must outlive it.
class ClientLoginQueueSubject final : public LoginQueueSubject {
 public:
  explicit ClientLoginQueueSubject(ClientLogin& login) : login_(login) {}

  const std::string& login_queue_url() const override { return login_.login_queue_url; }
  // The held credentials; any kind but the first two is sent as a partner's text.
  LoginQueueCredentials credentials() const override;

  void StoreAccount(LoginQueueAccount account) override;
  void StoreAuthToken(std::string token) override { login_.auth_token = std::move(token); }

  const std::optional<Client::Api::LoginQueue>& queue_status() const override {
    return login_.queue_position;
  }
  void SetQueueStatus(std::optional<Client::Api::LoginQueue> status) override {
    login_.queue_position = status;
  }
  void NotifyChanged() const override { login_.NotifyChanged(); }

  void SetState(State state) override { login_.SetState(state); }
  void SetFailure(State state, Failure failure) override {
    login_.SetFailure(state, std::move(failure));
  }
  bool stop_requested() const override { return login_.stop_requested(); }

 private:
  ClientLogin& login_;
};

}  // namespace Voro
