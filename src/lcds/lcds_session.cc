#include "lcds/lcds_session.h"

#include <utility>

#include "binding/value/base64.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_member.h"
#include "lcds/flex_calls.h"
#include "lcds/flex_messages.h"
#include "lcds/mac_addresses.h"
#include "lcds/rtmp/rtmp_connect.h"

namespace Voro {
namespace {

constexpr char kMessagingDestination[] = "messagingDestination";
constexpr int32_t kChannelLoginOperation = 8;

Failure Fail(std::string message_id, std::string description) {
  return Failure{"", std::move(message_id), std::move(description)};
}

// The answer, or nothing when none came within `timeout`.
std::optional<RTMP::CommandResult> WaitFor(std::future<RTMP::CommandResult>& future,
                                           LcdsSession::Timeout timeout) {
  if (future.wait_for(timeout) != std::future_status::ready) {
    return std::nullopt;
  }
  return future.get();
}

std::shared_ptr<AmfClass> CredentialsClass() {
  static const std::shared_ptr<AmfClass> credentials = [] {
    bool created = false;
    return AmfClassRegistry::Global().FindOrCreate(
        kAuthenticationCredentialsClassName, /*externalizable=*/false, /*dynamic=*/false,
        [] {
          AmfMemberList members;
          for (const char* name : {"macAddress", "authToken", "domain", "securityAnswer",
                                   "oldPassword", "clientVersion", "locale", "username",
                                   "partnerCredentials", "operatingSystem", "password"}) {
            members.push_back({name, AmfTypeHint::String()});
          }
          return members;
        },
        &created);
  }();
  return credentials;
}

Amf3Item ArrayOf(std::vector<Amf3Item> items) {
  auto array = std::make_shared<Amf3Array>();
  array->dense = std::move(items);
  return Amf3Item::Array(std::move(array));
}

std::string StringMember(const AmfValue& object, std::string_view name) {
  const std::string* text = AmfString(AmfMember(object, name));
  return text ? *text : std::string();
}

}  // namespace

LcdsSession::LcdsSession(std::string domain) : domain_(std::move(domain)) {}

LcdsSession::~LcdsSession() {
  std::shared_ptr<RtmpClient> old;
  {
    MutexLock lock(&state_mutex_);
    old.swap(client_);
  }
}

std::shared_ptr<RtmpClient> LcdsSession::client() {
  MutexLock lock(&state_mutex_);
  return client_;
}

void LcdsSession::SetReceiveHandler(PushHandler handler) {
  RecursiveMutexLock session(&session_mutex_);
  MutexLock lock(&state_mutex_);
  on_receive_ = handler;
  if (client_) {
    client_->SetReceiveHandler(DecodingPushes(std::move(handler)));
  }
}

std::string LcdsSession::session_token() {
  MutexLock lock(&state_mutex_);
  return session_token_;
}

std::string LcdsSession::username() {
  MutexLock lock(&state_mutex_);
  return username_;
}

std::vector<ChannelSubscription> LcdsSession::subscriptions() {
  MutexLock lock(&state_mutex_);
  return subscriptions_;
}

MaybeType<Success> LcdsSession::Connect(const std::string& host, uint16_t port, bool use_tls,
                                        const TrustedCertificates& trusted, Timeout timeout) {
  MutexLock lock(&connect_mutex_);
  return ConnectLocked(host, port, use_tls, trusted, timeout);
}

MaybeType<Success> LcdsSession::ConnectLocked(const std::string& host, uint16_t port, bool use_tls,
                                              const TrustedCertificates& trusted, Timeout timeout) {
  ids_.Renew();
  RtmpConnectResult connected = ConnectRtmp(host, port, use_tls, trusted);
  if (!connected.ok()) {
    return Fail("CONNECT_FAILED", connected.error.message);
  }
  auto fresh = std::make_shared<RtmpClient>(std::move(connected.connection));
  {
    MutexLock lock(&state_mutex_);
    if (on_receive_) {
      fresh->SetReceiveHandler(DecodingPushes(on_receive_));
    }
  }
  const std::string tc_url =
      std::string(use_tls ? "rtmps" : "rtmp") + "://" + host + ":" + std::to_string(port);
  auto answer = fresh->ConnectCommand(tc_url, kLcdsSwfUrl, "");
  (void)WaitFor(answer, timeout);
  if (!fresh->connected()) {
    return Fail("CONNECT_COMMAND_FAILED", "Timeout while waiting for connect command");
  }
  std::shared_ptr<RtmpClient> old;
  {
    MutexLock lock(&state_mutex_);
    old = std::exchange(client_, std::move(fresh));
  }
  // `old` goes here, failing whatever it still had open.
  return Success{};
}

Amf3Item LcdsSession::MakeCredentials(const LoginCredentials& credentials) const {
  Amf3Item item = Amf3Item::Object(std::make_shared<Amf3Object>(CredentialsClass()));
  Amf3Object& object = *item.MutableObject();
  object.SetMember("username", Amf3Item::String(credentials.username));
  object.SetMember("authToken", Amf3Item::String(credentials.auth_token));
  object.SetMember("domain", Amf3Item::String(domain_));
  object.SetMember("securityAnswer", Amf3Item::Null());
  object.SetMember("oldPassword", Amf3Item::Null());
  object.SetMember("clientVersion", Amf3Item::String("QPX"));
  object.SetMember("locale", Amf3Item::String("en_US"));
  object.SetMember("operatingSystem", Amf3Item::String("Windows 7"));
  object.SetMember("macAddress", Amf3Item::String(MacAddressList()));
  if (credentials.has_partner_credentials) {
    object.SetMember("partnerCredentials", Amf3Item::String(credentials.partner_credentials));
  } else {
    object.SetMember("password", Amf3Item::String(credentials.password));
  }
  return item;
}

MaybeType<LoginResult> LcdsSession::Login(const std::string& host, uint16_t port, bool use_tls,
                                          const TrustedCertificates& trusted,
                                          const LoginCredentials& credentials,
                                          const std::string& account_id, Timeout timeout) {
  RecursiveMutexLock session(&session_mutex_);
  if (auto connected = Connect(host, port, use_tls, trusted, timeout); !connected.ok()) {
    return connected.failure();
  }
  std::shared_ptr<RtmpClient> rtmp = client();
  auto login =
      SendRemoting(*rtmp, ids_, "loginService", "login", ArrayOf({MakeCredentials(credentials)}));
  std::optional<RTMP::CommandResult> answer = WaitFor(login, timeout);
  if (!answer) {
    return Fail("TIMED_OUT", "Timeout while waiting for LoginAsync");
  }
  if (!answer->success) {
    const AmfValue root_cause = AmfMember(answer->value, "rootCause");
    if (IsAmfObject(root_cause)) {
      return Fail(StringMember(root_cause, "errorCode"), "rootCause Error from platform");
    }
    return Fail("UNSPECIFIED_ERROR", "Login command result did not have a root cause");
  }
  LoginResult result;
  result.password = AmfMember(answer->value, "password");
  {
    MutexLock lock(&state_mutex_);
    username_ = StringMember(AmfMember(answer->value, "accountSummary"), "username");
    session_token_ = StringMember(answer->value, "token");
    result.session_token = session_token_;
  }
  if (auto channel = AuthenticateChannel(account_id, timeout); !channel.ok()) {
    return channel.failure();
  }
  auto packet =
      SendRemoting(*rtmp, ids_, "clientFacadeService", "getLoginDataPacketForUser", ArrayOf({}));
  std::optional<RTMP::CommandResult> data = WaitFor(packet, timeout);
  if (!data) {
    return Fail("TIMED_OUT", "Timeout while waiting for getLoginDataPacketForUser");
  }
  if (!data->success) {
    return Fail("FAILED_TO_GET_LOGIN_DATA_PACKET", "getLoginDataPacketForUser failed");
  }
  result.login_data_packet = std::move(data->value);
  return result;
}

MaybeType<Success> LcdsSession::AuthenticateChannel(const std::string& account_id,
                                                    Timeout timeout) {
  MutexLock lock(&connect_mutex_);
  return AuthenticateChannelLocked(account_id, timeout);
}

MaybeType<Success> LcdsSession::AuthenticateChannelLocked(const std::string& account_id,
                                                          Timeout timeout) {
  const Failure timed_out = Fail("TIMED_OUT", "Timeout while waiting for AuthenticateChannelAsync");
  std::shared_ptr<RtmpClient> rtmp = client();
  if (!rtmp) {
    return Fail("CHANNEL_AUTH_FAILED", "AuthenticateChannelAsync failed.");
  }
  std::vector<ChannelSubscription> pairs = {{"gn-" + account_id, "gn-" + account_id},
                                            {"cn-" + account_id, "cn-" + account_id},
                                            {"bc", "bc-" + account_id}};
  std::string user;
  std::string token;
  {
    MutexLock lock(&state_mutex_);
    subscriptions_ = pairs;
    user = username_;
    token = session_token_;
  }
  const FlexClientIdentity identity = FlexIdentityOf(*rtmp);
  for (int32_t operation : {kFlexUnsubscribeOperation, kFlexSubscribeOperation}) {
    for (const ChannelSubscription& pair : pairs) {
      Amf3Item message = MakeCommandMessage(ids_, "", operation);
      Amf3Object& object = *message.MutableObject();
      object.SetMember("destination", Amf3Item::String(kMessagingDestination));
      object.SetMember("headers", MakeHeaders(identity, pair.subtopic));
      object.SetMember("clientId", Amf3Item::String(pair.client_id));
      auto answer = SendFlexCommand(*rtmp, message);
      if (!WaitFor(answer, timeout)) {
        return timed_out;
      }
    }
  }
  Amf3Item login = MakeCommandMessage(ids_, "", kChannelLoginOperation);
  Amf3Object& object = *login.MutableObject();
  const std::string secret = user + ":" + token;
  object.SetMember("destination", Amf3Item::String("auth"));
  object.SetMember("body", Amf3Item::String(Base64Encode(
                               reinterpret_cast<const uint8_t*>(secret.data()), secret.size())));
  object.SetMember("timestamp", Amf3Item::Integer(0));
  object.SetMember("timeToLive", Amf3Item::Integer(0));
  object.SetMember("headers", MakeHeaders(identity));
  object.SetMember("clientId", Amf3Item::String(identity.client_id));
  auto sent = SendFlexCommand(*rtmp, login);
  std::optional<RTMP::CommandResult> answer = WaitFor(sent, timeout);
  if (!answer) {
    return timed_out;
  }
  if (!answer->success) {
    return Fail("CHANNEL_AUTH_FAILED", "AuthenticateChannelAsync failed.");
  }
  return Success{};
}

MaybeType<Success> LcdsSession::Reconnect(const std::string& host, uint16_t port, bool use_tls,
                                          const TrustedCertificates& trusted,
                                          const std::string& account_id, Timeout timeout) {
  RecursiveMutexLock session(&session_mutex_);
  if (username().empty() || session_token().empty()) {
    return Fail("CHANNEL_AUTH_FAILED", "No channel authentication credentials available.");
  }
  if (auto connected = Connect(host, port, use_tls, trusted, timeout); !connected.ok()) {
    return connected;
  }
  return AuthenticateChannel(account_id, timeout);
}

std::future<RTMP::CommandResult> LcdsSession::Invoke(const std::string& service,
                                                     const std::string& method,
                                                     const Amf3Item& argument,
                                                     ValueCallback on_success,
                                                     ValueCallback on_failure) {
  RecursiveMutexLock session(&session_mutex_);
  std::shared_ptr<RtmpClient> rtmp = client();
  if (!rtmp || rtmp->disconnected()) {
    const AmfValue text(Amf0Item::String(kNotConnectedMessage));
    if (on_failure) {
      on_failure(text);
    }
    std::promise<RTMP::CommandResult> failed;
    failed.set_value(RTMP::CommandResult{false, text});
    return failed.get_future();
  }
  RtmpClient::Callback callback;
  if (on_success || on_failure) {
    callback = [on_success = std::move(on_success),
                on_failure = std::move(on_failure)](const RTMP::CommandResult& result) {
      const ValueCallback& handler = result.success ? on_success : on_failure;
      if (handler) {
        handler(result.value);
      }
    };
  }
  return SendRemoting(*rtmp, ids_, service, method, argument, std::move(callback));
}

void LcdsSession::Logout() {
  RecursiveMutexLock session(&session_mutex_);
  std::shared_ptr<RtmpClient> rtmp = client();
  if (!rtmp) {
    return;
  }
  const std::string token = session_token();
  if (!token.empty() && !rtmp->disconnected()) {
    auto answer =
        SendRemoting(*rtmp, ids_, "loginService", "logout", ArrayOf({Amf3Item::String(token)}));
    (void)WaitFor(answer, kLogoutWait);
  }
  {
    MutexLock lock(&state_mutex_);
    client_.reset();
  }
  // The last reference goes with `rtmp`: the worker is stopped and joined there.
}

void LcdsSession::Tick() {
  RecursiveMutexLock session(&session_mutex_);
  if (std::shared_ptr<RtmpClient> rtmp = client()) {
    rtmp->Pump();
  }
}

bool LcdsSession::IsDisconnected() {
  RecursiveMutexLock session(&session_mutex_);
  std::shared_ptr<RtmpClient> rtmp = client();
  return rtmp && rtmp->disconnected();
}

}  // namespace Voro
