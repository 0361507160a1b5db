// The module's one session: the current login and the session record other plugins read.
#pragma once

#include <memory>

#include "login/client_login.h"
#include "login/login_api_types.h"

namespace Voro {

class LoginSessionContext {
 public:
  explicit LoginSessionContext(std::unique_ptr<ClientLogin> login = nullptr)
      : login_(std::move(login)) {}

  ClientLogin* login() const { return login_.get(); }
  void set_login(std::unique_ptr<ClientLogin> login) { login_ = std::move(login); }

  // The cached record refreshed from the login; what GET session and the session
  // resource show.
  const Client::Api::LoginSession& Refresh();
  // The cached record as it is; steps outside the login (the sign-on) write here.
  Client::Api::LoginSession& session() { return session_; }

  bool in_game_credentials_published = false;

 private:
  std::unique_ptr<ClientLogin> login_;
  Client::Api::LoginSession session_;
};

}  // namespace Voro
