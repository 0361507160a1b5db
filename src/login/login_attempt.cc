// LoginModule: one login attempt, from the request to a logged-in ClientLogin or a session
// in ERROR. StartLogin prepares it on the requester's turn; the login task does the long
// part on the scheduler, where every wait lets the plugin's other work run.
#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "diag/assertion.h"
#include "diag/clock.h"
#include "diag/log.h"
#include "diag/retry_delay.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_conversion.h"
#include "login/client_login_queue_subject.h"
#include "login/login_module.h"
#include "login/qsa_failure.h"
#include "loginqueue/login_queue_client.h"
#include "plugin/telemetry_sender.h"

namespace Voro {
namespace {

using Client::Api::AccessToken;
using Client::Api::Authorization;
using Client::Api::IdToken;
using Client::Api::LoginError;
using Client::Api::LoginSessionStates;
using Client::Api::QSAPlayerCredentials;
using Client::Api::RegionStatus;

constexpr char kQsaStatusPrefix[] = "/qsa-auth/v1/status/";
constexpr char kQsaAuthorizationPath[] = "/qsa-auth/v1/authorization";
constexpr char kQsaGasPath[] = "/qsa-auth/v1/authorization/gas";
constexpr char kQsaIdTokenPath[] = "/qsa-auth/v1/authorization/id-token";
constexpr char kQsaGasTokenPath[] = "/qsa-auth/v1/authorization/gas-token";
constexpr char kPlatformIdPath[] = "/voroclient/v1/bugsplat/platform-id";
constexpr int64_t kNanosecondsPerMillisecond = 1'000'000;
constexpr int64_t kLoopWaitMilliseconds = 10;
constexpr ClientLogin::LoginState kCreated = 1;
constexpr ClientLogin::LoginState kCanceled = 24;

void Report(const char* code, const char* text) { ReportAssertion(code, text, "", 0, ""); }

}  // namespace

LoginModule::ModuleLock::ModuleLock(LoginModule& module) : module_(module) {
  while (!module_.module_mutex_.try_lock()) module_.Yield();
}

LoginModule::ModuleLock::~ModuleLock() { module_.module_mutex_.unlock(); }

void LoginModule::FailAttempt(const Failure& failure) {
  if (session_ == nullptr) session_ = std::make_unique<LoginSessionContext>();
  session_->session().state = LoginSessionStates::ERROR;
  session_->session().error = LoginError::From(failure);
  PublishSessionResources();
}

MaybeType<RegionSettings> LoginModule::FetchRegionSettings() {
  RequestResult<BindingProperty> region_data =
      Request<BindingProperty>(KIV_METHOD_GET, kRegionDataPath);
  if (!region_data.ok()) Report("ALE-15E4AC07", "Failed to get regionSettings");
  RequestResult<BindingProperty> globals = Request<BindingProperty>(KIV_METHOD_GET, kGlobalsPath);
  if (!globals.ok()) Report("ALE-98456052", "Failed to get globalUserSettings");
  if (!region_data.ok()) {
    return Failure{"ALE-15E4AC07", "UNSPECIFIED_ERROR",
                   "Failed to get regionSettings: " + region_data.failure().message};
  }
  if (!globals.ok()) {
    return Failure{"ALE-98456052", "UNSPECIFIED_ERROR",
                   "Failed to get globalUserSettings: " + globals.failure().message};
  }
  MaybeType<RegionSettings> settings = ReadRegionSettings(region_data.value(), globals.value());
  if (!settings.ok()) Report(settings.failure().id.c_str(), settings.failure().description.c_str());
  return settings;
}

void LoginModule::StartLogin() {
  const int64_t start = SteadyNowNanoseconds();
  // A login that replaces nothing gives up after its second platform failure.
  const bool stop_after_second_failure = session_ == nullptr;
  CloseSession();
  // A new attempt shows nothing of the last one.
  if (session_ != nullptr) session_->session() = Client::Api::LoginSession{};
  Log(kLevelAlways, Tag::DBG, "Beginning login.");

  MaybeType<RegionSettings> settings = FetchRegionSettings();
  if (!settings.ok()) {
    FailAttempt(settings.failure());
    return;
  }
  Log(kLevelAlways, Tag::DBG, "Creating login session object.");
  if (session_ == nullptr) session_ = std::make_unique<LoginSessionContext>();

  const std::string& platform_id = settings.value().qsa_platform_id;
  if (!platform_id.empty()) {
    RequestResult<RegionStatus> status =
        Request<RegionStatus>(KIV_METHOD_GET, std::string(kQsaStatusPrefix) + platform_id);
    if (status.ok() && status.value().enabled) {
      LoginTelemetryRecord record;
      if (!SignOnWithQSA(platform_id, start, record)) return;
    }
  }
  if (!credentials_.has_value()) {
    FailAttempt({"ALE-54000004", "UNSPECIFIED_ERROR", "No credentials to log in with."});
    return;
  }

  auto login = std::make_unique<ClientLogin>();
  login->SetState(kCreated);
  login->login_queue_url = settings.value().login_queue_url;
  login->lcds_target = {settings.value().lcds_host, settings.value().lcds_port,
                        settings.value().use_tls};
  login->trusted_certificates = &trusted_;
  login->credentials = *credentials_;
  login->SetChangeCallback([this] { OnLoginChanged(); });
  login->lcds().SetReceiveHandler([this](const Push& push) { OnLcdsMessage(push); });
  session_->set_login(std::move(login));
  PublishSessionResources();
  RunAt(
      kLoginTimerName,
      [this, stop_after_second_failure] { RunLoginTask(stop_after_second_failure); },
      SteadyNowNanoseconds());
}

bool LoginModule::SignOnWithQSA(const std::string& platform_id, int64_t start,
                                LoginTelemetryRecord& record) {
  LoginSessionContext& context = *session_;
  Client::Api::LoginSession& session = context.session();
  if (credentials_.has_value() && credentials_->kind == CredentialKind::kPartner) {
    Log(kLevelAlways, Tag::DBG, "Converting partner credentials to QSA auth request.");
    HeldCredentials converted;
    converted.kind = CredentialKind::kUsernameAndPassword;
    converted.username_and_password.username = platform_id + "|partner";
    converted.username_and_password.password = credentials_->partner;
    credentials_ = std::move(converted);
  }

  RequestResult<Authorization> signed_on = RequestFailure{400, "No user name and password"};
  if (credentials_.has_value() && credentials_->kind == CredentialKind::kUsernameAndPassword) {
    session.state = LoginSessionStates::IN_PROGRESS;
    PublishSessionResources();
    QSAPlayerCredentials body{credentials_->username_and_password.username,
                              credentials_->username_and_password.password, platform_id};
    signed_on = Request<Authorization>(KIV_METHOD_POST, kQsaGasPath, body);
  }
  auto fetch_error_description = [this]() -> std::optional<std::string> {
    RequestResult<BindingProperty> error = Request<BindingProperty>(KIV_METHOD_GET, kQsaErrorPath);
    if (!error.ok()) return std::nullopt;
    const BindingProperty* text = error.value().FindField("errorDescription");
    if (text == nullptr || text->type() != BindingType::kString) return std::nullopt;
    return std::string(text->GetString());
  };

  if (session.state == LoginSessionStates::LOGGING_OUT) {
    session.error = LoginError{"ALE-54000009", "LOGIN_CANCELED", "Login was canceled"};
    (void)Request<void>(KIV_METHOD_DELETE, kQsaAuthorizationPath);
  } else if (!signed_on.ok()) {
    Log(kLevelError, Tag::DBG, "QSA Login Failed, maybeLogin.Failure(): %s",
        signed_on.failure().message.c_str());
    session.state = LoginSessionStates::ERROR;
    session.error = LoginError::From(MapQSAFailure(signed_on.failure(), fetch_error_description));
  } else {
    session.puuid = signed_on.value().subject;
    RequestResult<IdToken> id_token = Request<IdToken>(KIV_METHOD_GET, kQsaIdTokenPath);
    session.idToken = id_token.ok() ? id_token.value().token : std::string();
    RequestResult<BindingProperty> gas = Request<BindingProperty>(KIV_METHOD_GET, kQsaGasTokenPath);
    session.gasToken = gas.ok() ? std::move(gas.value()) : BindingProperty();
    RequestResult<AccessToken> access = Request<AccessToken>(KIV_METHOD_GET, kAccessTokenPath);
    if (!access.ok()) {
      session.state = LoginSessionStates::ERROR;
      session.error = LoginError::From(MapQSAFailure(access.failure(), fetch_error_description));
      (void)Request<void>(KIV_METHOD_DELETE, kQsaAuthorizationPath);
    } else {
      Log(kLevelAlways, Tag::DBG, "Logging in with QSA.");
      HeldCredentials token;
      token.kind = CredentialKind::kAccessToken;
      token.access_token = access.value();
      credentials_ = std::move(token);
    }
  }
  PublishSessionResources();

  if (session.state == LoginSessionStates::ERROR) {
    if (!session.error.has_value()) {
      session.error =
          LoginError{"ALE-54000005", "UNSPECIFIED_ERROR", "No failure message from QSA."};
    }
    Log(kLevelError, Tag::DBG, "QSA Login Failed: %s", session.error->description.c_str());
    RecordDuration(record, "login_auth", start);
    RecordFailure(record,
                  {session.error->id, session.error->messageId, session.error->description});
    ReportLoginResult(start, record);
    Log(kLevelWarn, Tag::DBG, "QSA auth attempt failed.");
    return false;
  }
  if (session.state == LoginSessionStates::LOGGING_OUT) {
    Log(kLevelWarn, Tag::DBG, "QSA auth attempt cancelled by logout.");
    return false;
  }
  return true;
}

bool LoginModule::LoginContinues(const ClientLogin* login) const {
  return session_ != nullptr && session_->login() == login && !login->stop_requested();
}

void LoginModule::RunLoginTask(bool stop_after_second_failure) {
  ModuleLock lock(*this);
  login_task_active_ = true;
  if (session_ != nullptr && session_->login() != nullptr) {
    LoginTelemetryRecord record;
    const int64_t start = SteadyNowNanoseconds();
    RunLoginLoop(stop_after_second_failure, record, start);
    PublishSessionResources();
    ReportLoginResult(start, record);
  }
  login_task_active_ = false;
  FinishWhatWaitedForTheTask();
  if (LoggedIn()) {
    Log(kLevelAlways, Tag::DBG, "Login complete.");
    std::map<std::string, std::string> platform{{"platformId", session_->login()->platform_id}};
    (void)Request<void>(KIV_METHOD_PUT, kPlatformIdPath, platform);
    return;
  }
  if (credentials_.has_value() && credentials_->kind == CredentialKind::kAccessToken) {
    (void)Request<void>(KIV_METHOD_DELETE, kQsaAuthorizationPath);
  }
  Log(kLevelWarn, Tag::DBG, "Login attempt failed, or it was canceled.");
}

void LoginModule::RunLoginLoop(bool stop_after_second_failure, LoginTelemetryRecord& record,
                               int64_t start) {
  ClientLogin* login = session_->login();
  if (transport_ == nullptr) transport_ = std::make_unique<HttpBaseTransport>(this);
  LoginQueueClient queue({transport_.get(), &scheduler(), telemetry()});
  ClientLoginQueueSubject subject(*login);
  MaybeType<std::monostate> authenticated =
      queue.AuthenticateWithLoginQueue(subject, stop_after_second_failure);
  RecordDuration(record, "login_auth", start);
  if (!authenticated.ok()) {
    RecordFailure(record, authenticated.failure());
    return;
  }

  const int64_t deadline = SteadyNowNanoseconds() + kLoginLoopLimitSeconds * 1'000'000'000;
  for (uint32_t counter = 0;; counter += 2) {
    record["login_attempts"] = std::to_string(counter + 1);
    const int64_t attempt_start = SteadyNowNanoseconds();
    MaybeType<std::monostate> connected = login->ConnectToLcds(lcds_timeout_);
    RecordDuration(record, "login_attempt", attempt_start);
    if (connected.ok()) return;
    if (stop_after_second_failure && counter >= 2) {
      RecordFailure(record, connected.failure());
      return;
    }
    if (SteadyNowNanoseconds() >= deadline) {
      Log(kLevelError, Tag::DBG, "Login/Reconnect timed out.");
      const Failure timed_out{"ALE-F4774DEC", "LOGIN_OR_RECONNECT_TIMED_OUT",
                              "The login or reconnect attempt timed out."};
      RecordFailure(record, timed_out);
      // The session outlives its login, which closes once the task ends: it shows why.
      login->SetFailure(login->state(), timed_out);
      close_pending_ = true;
      return;
    }
    const int64_t delay = RetryDelay(counter, kLoginLoopBackoff);
    Log(kLevelError, Tag::DBG, "%s. Retrying in %lld seconds...",
        connected.failure().description.c_str(), static_cast<long long>(delay / 1000));
    const int64_t resume = SteadyNowNanoseconds() + delay * kNanosecondsPerMillisecond;
    for (;;) {
      // Tested after every sleep: the other work run meanwhile may have stopped the login.
      if (!LoginContinues(login)) {
        const Failure canceled{"ALE-591382CE", "LOGIN_CANCELLED",
                               "The login attempt was canceled before it completed."};
        RecordFailure(record, canceled);
        login->SetFailure(kCanceled, canceled);
        return;
      }
      if (SteadyNowNanoseconds() >= resume) break;
      Sleep(kLoopWaitMilliseconds);
    }
  }
}

void LoginModule::ReportLoginResult(int64_t start, LoginTelemetryRecord& record) {
  if (telemetry() == nullptr) return;
  if (LoggedIn()) {
    const ClientLogin& login = *session_->login();
    telemetry()->SetTelemetryCommonData(
        "platform_id", std::map<std::string, std::string>{{"value", login.platform_id}});
    telemetry()->SetTelemetryCommonData(
        "account_id",
        std::map<std::string, std::string>{{"value", std::to_string(login.account_id)}});
    record["login_succeeded"] = "true";
  }
  RecordDuration(record, "login_overall", start);
  (void)telemetry()->SendTelemetryEvent(kLoginResultEvent, record);
}

void LoginModule::CloseSession() {
  if (session_ == nullptr || session_->login() == nullptr) return;
  Log(kLevelAlways, Tag::DBG, "Closing session.");
  session_->login()->RequestStop();
  if (TaskActive()) {
    // Called from work the running task's waits let run: the task still uses its login,
    // so it closes the session itself once it has seen the stop.
    close_pending_ = true;
    return;
  }
  ModuleLock lock(*this);
  // Refreshed first, so that the session keeps what its login last showed.
  session_->Refresh();
  session_->set_login(nullptr);
  for (const char* path :
       {kSessionPath, kWalletPath, kLoginDataPacketPath, kPlatformCredentialsPath}) {
    PublishResourceDeleted(path);
  }
  Log(kLevelAlways, Tag::DBG, "Session closed.");
}

void LoginModule::LogoutSession() {
  if (session_ == nullptr) return;
  ClientLogin* login = session_->login();
  if (login != nullptr ? login->stop_requested() || login->state() == ClientLogin::kLoggingOut
                       : session_->session().state == LoginSessionStates::LOGGING_OUT) {
    return;
  }
  Log(kLevelAlways, Tag::DBG, "Beginning logout.");
  if (login != nullptr) {
    login->SetState(ClientLogin::kLoggingOut);
    login->RequestStop();
  } else {
    session_->session().state = LoginSessionStates::LOGGING_OUT;
  }
  PublishResource(kSessionPath, PluginResourceEventType::Update,
                  ToBinding(session_->Refresh(), registry()));
  if (TaskActive()) {
    // The running task sees the stop within one wait and finishes the logout when it ends.
    logout_pending_ = true;
    return;
  }
  FinishLogout();
}

void LoginModule::FinishWhatWaitedForTheTask() {
  if (logout_pending_) {
    logout_pending_ = false;
    close_pending_ = false;
    FinishLogout();
  } else if (close_pending_) {
    close_pending_ = false;
    CloseSession();
  }
}

void LoginModule::FinishLogout() {
  ModuleLock lock(*this);
  if (credentials_.has_value() && credentials_->kind == CredentialKind::kAccessToken) {
    (void)Request<void>(KIV_METHOD_DELETE, kQsaAuthorizationPath);
  }
  CloseSession();
  session_.reset();
  PublishResourceDeleted(kSessionPath);
  FailPendingServiceProxyCalls();
  Log(kLevelAlways, Tag::DBG, "Logout complete.");
}

void LoginModule::OnLoginChanged() {
  PublishSessionResources();
  ClientLogin* login = session_ != nullptr ? session_->login() : nullptr;
  if (login != nullptr && login->queue_position.has_value() &&
      login->in_game_credentials.has_value() && !session_->in_game_credentials_published) {
    PublishResource(kInGameCredentialsPath, PluginResourceEventType::Create,
                    BindingResult(*login->in_game_credentials));
    session_->in_game_credentials_published = true;
  }
}

}  // namespace Voro
