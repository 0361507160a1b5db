// The login plugin's module: the one object Create makes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "binding/router/endpoint_reply.h"
#include "diag/failure.h"
#include "diag/mutex.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_client.h"
#include "login/held_credentials.h"
#include "login/login_api_types.h"
#include "login/login_session_context.h"
#include "login/login_telemetry.h"
#include "login/region_settings.h"
#include "login/service_proxy_router.h"
#include "plugin/app_module.h"
#include "plugin/http_base_transport.h"

namespace Voro {

class LoginModule : public AppModule {
 public:
  static constexpr const char* kShortName = "kiv-login";
  static constexpr const char* kPluginManagerStatusPath = "/plugin-manager/v1/status";
  static constexpr const char* kPreShutdownPath = "/voroclient/pre-shutdown/begin";
  static constexpr const char* kAccessTokenPath = "/qsa-auth/v1/authorization/access-token";
  static constexpr const char* kSessionPath = "/kiv-login/v1/session";
  static constexpr const char* kWalletPath = "/kiv-login/v1/wallet";
  static constexpr const char* kLoginDataPacketPath = "/kiv-login/v1/login-data-packet";
  static constexpr const char* kPlatformCredentialsPath =
      "/kiv-login/v1/login-platform-credentials";
  static constexpr const char* kInGameCredentialsPath = "/kiv-login/v1/login-in-game-creds";
  static constexpr const char* kLoginTimerName = "kiv-login.login";
  static constexpr const char* kTickTimerName = "kiv-login.tick";
  static constexpr const char* kReconnectTimerName = "kiv-login.reconnect";
  static constexpr const char* kKickNotificationClassName =
      "com.vorogames.platform.messaging.ClientLoginKickNotification";
  static constexpr int64_t kLoginLoopLimitSeconds = 300;
  static constexpr int64_t kReconnectLimitSeconds = 300;
  static constexpr double kTickSeconds = 0.05;
  // The command-line argument naming a PEM file of extra authorities for the platform
  // server's certificate, for servers with a locally made certificate.
  static constexpr const char* kLcdsCaFileArgument = "lcds-ca-file";

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
  // Logs the session out first.
  void Shutdown() override;

  // The session as other plugins read it, refreshed from its login; empty without one.
  std::optional<Client::Api::LoginSession> CurrentSession();
  // Whether a login is under way: the login task runs, or the session's login has not
  // finished.
  bool LoginRunning() const;
  // Whether the session's login is logged in.
  bool LoggedIn() const;
  LoginSessionContext* session_context() { return session_.get(); }
  void set_session_context(std::unique_ptr<LoginSessionContext> session) {
    session_ = std::move(session);
  }
  const std::optional<HeldCredentials>& held_credentials() const { return credentials_; }
  void set_held_credentials(HeldCredentials credentials) { credentials_ = std::move(credentials); }

  // Begins a login with the held credentials: reads the region's settings, signs on
  // through the host's sign-on service when the region has one, makes the login and
  // schedules the login task. Plugin thread.
  void StartLogin();
  // Logs the session out and drops it: stops its login, tells the sign-on service when the
  // login used it, closes the session. Does nothing without a session or while a logout
  // is under way. Plugin thread.
  void LogoutSession();
  // Ends the session's login: stops it, logs the platform session out and announces that
  // the session's resources are gone. The session context stays. Plugin thread.
  void CloseSession();
  // The certificates the platform server's TLS certificate is checked against.
  void set_trusted_certificates(TrustedCertificates trusted) { trusted_ = std::move(trusted); }
  // The platform connection's time-out per step (tests shorten it).
  void set_lcds_timeout(std::chrono::milliseconds timeout) { lcds_timeout_ = timeout; }

  // Draws a reconnect delay in [0, bound] milliseconds (the bound of kReconnectBackoff for
  // the attempt); uniform and unpredictable unless a test pins it.
  using RandomDelay = std::function<int64_t(int64_t bound)>;
  void set_reconnect_random(RandomDelay random);

  // What the logged-in resources show; nothing (or null) without a logged-in login with a
  // login data packet.
  std::optional<Client::Api::LoginSessionWallet> Wallet() const;
  const BindingProperty* LoginDataPacket() const;
  // With any login.
  std::optional<Client::Api::PlatformGeneratedCredentials> PlatformCredentials() const;
  // The queue's while queued, else the packet's "reconnectInfo"."playerCredentials".
  std::optional<BindingProperty> InGameCredentials() const;

  // Publishes the session's resources after a change of its login: once logged in the
  // resources that exist by then, then in every state the session itself.
  void PublishSessionResources();

  // ---- What other plugins ask of the platform (platform_calls.cc) ----
  // destination.method with `args` on the platform connection, waited for.
  EndpointReply<Client::Api::LcdsResponse> InvokeLcds(const std::string& destination,
                                                      const std::string& method,
                                                      const std::vector<BindingProperty>& args);
  // A service-proxy call answered by an event to `plugin_id` under the returned uuid.
  std::string RequestServiceProxyUuid(const std::string& service_name,
                                      const std::string& method_name, uint32_t plugin_id,
                                      const std::string& payload);
  // A service-proxy call answered by an event to `plugin_id` under its response method.
  void RequestServiceProxyMethod(const std::string& service_name, const std::string& method_name,
                                 const std::string& response_method_name,
                                 const std::string& response_error_name, uint32_t plugin_id,
                                 const std::string& payload);
  ServiceProxyRouter& service_proxy() { return service_proxy_; }
  // Starts the account-state poll (every 30 s) unless it runs.
  void StartAccountStatePoll();
  // The poll's period (tests shorten it).
  void set_account_state_poll_seconds(double seconds) { account_state_poll_seconds_ = seconds; }
  std::optional<Client::Api::AccountStateResource> AccountState() const;
  EndpointReply<void> SummonerCreated(uint64_t summoner_id);
  EndpointReply<void> SummonerNameChanged();
  EndpointReply<void> NewPlayerFlowCompleted();

 private:
  void RegisterEvents();
  void RegisterEndpoints();
  void RegisterSessionEndpoints();
  void RegisterAccountEndpoints();
  void RegisterServiceProxyEndpoints();

  // The module lock: taken by the login task, logout and close. While another holder has
  // it, the plugin's pending work runs (a try-lock between yields).
  class ModuleLock {
   public:
    explicit ModuleLock(LoginModule& module);
    ~ModuleLock();
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;

   private:
    LoginModule& module_;
  };

  void ReadCommandLine();
  void OnPluginManagerStatus(const PluginResourceEvent& event);
  void OnAccessTokenUpdate(const PluginResourceEvent& event);
  // Ends an attempt before its login exists: the session shows `failure` in ERROR.
  void FailAttempt(const Failure& failure);
  MaybeType<RegionSettings> FetchRegionSettings();
  // False when the attempt ended (failed or cancelled) during the sign-on.
  bool SignOnWithQSA(const std::string& platform_id, int64_t start, LoginTelemetryRecord& record);
  void RunLoginTask(bool stop_after_second_failure);
  // The queue step, then platform logins retried with back-off; the failure that ended
  // the login, if any, is recorded in `record`.
  void RunLoginLoop(bool stop_after_second_failure, LoginTelemetryRecord& record, int64_t start);
  void ReportLoginResult(int64_t start, LoginTelemetryRecord& record);
  // Whether `login` is still the session's login and has not been told to stop.
  bool LoginContinues(const ClientLogin* login) const;
  // Every push: service-proxy responses are routed, all others raised for everyone.
  void OnLcdsMessage(const Push& push);
  void OnServiceProxyResponse(const Push& push);
  void OnKickNotification(const Push& push);
  // Sends "lcdsServiceProxy"."call"; a failure reaches `on_failure` from a task of its own.
  void SendServiceProxyCall(const std::string& uuid, const std::string& service_name,
                            const std::string& method_name, const std::string& payload,
                            std::function<void(const std::string&)> on_failure);
  void PollAccountState();
  void OnLoginChanged();
  // The tick: delivers what the platform connection received; a connection found lost
  // while the login runs or is logged in starts one reconnect.
  void OnTick();
  void BeginReconnect();
  void RunReconnectTask();
  // Reconnect attempts with back-off until one succeeds, the login is stopped or gone
  // (true), or 300 seconds have passed (false).
  bool RunReconnectLoop(ClientLogin* login);
  // Fails the service-proxy calls that wait for an answer.
  void FailPendingServiceProxyCalls();
  // A task that uses the session's login runs (its waits let other work run meanwhile).
  bool TaskActive() const { return login_task_active_ || reconnect_task_active_; }
  // Publishes `value` as `path`'s resource event of `type`; nothing when it did not convert.
  void PublishResource(const char* path, PluginResourceEventType type, BindingResult value);
  // The part of a logout that waits for the login task.
  void FinishLogout();
  // The logout or close asked for while a task ran, once it has ended.
  void FinishWhatWaitedForTheTask();

  std::unique_ptr<LoginSessionContext> session_;
  std::optional<HeldCredentials> credentials_;
  std::recursive_mutex module_mutex_;
  // The login task is under way: its login stays alive until it ends, and no other login
  // may start, even while its retries wait in a failed state.
  bool login_task_active_ = false;
  // A close or logout asked for while the login task ran; the task finishes it when it
  // ends.
  bool close_pending_ = false;
  bool logout_pending_ = false;
  // The reconnect task runs (like the login task above).
  bool reconnect_task_active_ = false;
  // One reconnect at a time: set by the tick that starts one, cleared when it ends. Its own
  // lock, so that the tick can test it without waiting for the module lock.
  Mutex reconnect_mutex_;
  bool reconnect_in_progress_ GUARDED_BY(reconnect_mutex_) = false;
  RandomDelay reconnect_random_;
  ServiceProxyRouter service_proxy_;
  // The last account state fetched (kept across logouts) and whether the poll runs.
  std::optional<Client::Api::AccountStateType> account_state_;
  bool account_state_poll_running_ = false;
  double account_state_poll_seconds_ = 30.0;
  TrustedCertificates trusted_ = TrustedCertificates::BuiltIn();
  std::chrono::milliseconds lcds_timeout_ = ClientLogin::kLcdsLoginTimeout;
  std::unique_ptr<HttpBaseTransport> transport_;
};

}  // namespace Voro
