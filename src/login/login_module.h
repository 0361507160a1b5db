// The login plugin's module: the one object Create makes.
#pragma once

#include <memory>
#include <optional>

#include "login/held_credentials.h"
#include "login/login_api_types.h"
#include "login/login_session_context.h"
#include "plugin/app_module.h"

namespace Voro {

class LoginModule : public AppModule {
 public:
  static constexpr const char* kShortName = "kiv-login";
  static constexpr const char* kPluginManagerStatusPath = "/plugin-manager/v1/status";
  static constexpr const char* kPreShutdownPath = "/voroclient/pre-shutdown/begin";
  static constexpr const char* kAccessTokenPath = "/qsa-auth/v1/authorization/access-token";
  static constexpr const char* kSessionPath = "/kiv-login/v1/session";

  static constexpr const char* kNoSessionMessage =
      "No session currently exists, you must initiate a login first.";
  static constexpr const char* kSessionExistsMessage = "A login session already exists";
  static constexpr const char* kNoGameCredentialsMessage =
      "No Game Credentials from Login Queue found";
  static constexpr const char* kNotLoggedInMessage = "Not logged in.";
  static constexpr const char* kNoAccountStateMessage = "No account state currently exists";

  LoginModule() = default;
  ~LoginModule() override = default;

  void RegisterApi() override;
  bool OnInitialize() override;

  // The session as other plugins read it, refreshed from its login; empty without one.
  std::optional<Client::Api::LoginSession> CurrentSession();
  // Whether a login is under way: a session whose login has not finished.
  bool LoginRunning() const;
  // Whether the session's login is logged in.
  bool LoggedIn() const;
  LoginSessionContext* session_context() { return session_.get(); }
  void set_session_context(std::unique_ptr<LoginSessionContext> session) {
    session_ = std::move(session);
  }
  const std::optional<HeldCredentials>& held_credentials() const { return credentials_; }

  // Publishes the session's resources after a change of its login: once logged in the
  // resources that exist by then, then in every state the session itself.
  void PublishSessionResources();

 private:
  void RegisterEvents();
  void RegisterEndpoints();
  void RegisterSessionEndpoints();
  void RegisterAccountEndpoints();
  void RegisterServiceProxyEndpoints();

  std::unique_ptr<LoginSessionContext> session_;
  std::optional<HeldCredentials> credentials_;
};

}  // namespace Voro
