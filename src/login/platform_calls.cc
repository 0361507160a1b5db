// LoginModule: what the client's other plugins ask of the platform through the login's
// connection. Direct invokes, the service proxy (answered later by pushes that are routed to
// the asking plugin), pushes for everyone, the account-state poll, and the notifications
// that patch the cached login data packet.
#include <algorithm>
#include <cstdio>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "binding/codec/json_writer.h"
#include "diag/clock.h"
#include "diag/log.h"
#include "diag/uuid.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_member.h"
#include "login/login_module.h"
#include "plugin/endpoint_errors.h"

namespace Voro {
namespace {

using Client::Api::AccountStateResource;
using Client::Api::AccountStateType;
using Client::Api::LcdsResponse;
using Client::Api::LcdsServiceProxyResponse;

constexpr char kServiceProxyResponseClassName[] =
    "com.vorogames.platform.serviceproxy.dispatch.LcdsServiceProxyResponse";
constexpr char kNoLoginSessionMessage[] = "No login session exists.";
constexpr char kSummonerExistsMessage[] = "Summoner already created.";
constexpr char kAccountStatePath[] = "/kiv-login/v1/account-state";
constexpr char kPollTimerName[] = "kiv-login.POLL";
// An invoke waits this long at most for its answer; the connection fails its calls after
// 60 s itself, this is only the bound of the wait.
constexpr auto kInvokeWaitLimit = std::chrono::seconds(65);
constexpr int64_t kInvokeYieldNanoseconds = 1'000'000;
constexpr int64_t kInvokeSpinNanoseconds = 60'000;

// Tells the processor this is a wait loop (lets the sibling hardware thread run).
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

std::string Text(const AmfValue& value, const char* name) {
  const std::string* text = AmfString(AmfMember(value, name));
  return text != nullptr ? *text : std::string();
}

// The named member of `object`, made a structure (and `object` too) when it is not one.
BindingProperty& Structure(BindingProperty& object, std::string_view name) {
  if (object.type() != BindingType::kStructure) object.MakeStructure();
  BindingProperty& member = object.MutableField(name);
  if (member.type() != BindingType::kStructure) member.MakeStructure();
  return member;
}

}  // namespace

EndpointReply<LcdsResponse> LoginModule::InvokeLcds(const std::string& destination,
                                                    const std::string& method,
                                                    const std::vector<BindingProperty>& args) {
  ClientLogin* login = session_ != nullptr ? session_->login() : nullptr;
  if (login == nullptr) return EndpointError{404, kNoLoginSessionMessage};
  if (ClientLogin::IsFinished(login->state())) {
    return EndpointError{404, "Can't invoke lcds: " + std::to_string(login->state())};
  }
  auto arguments = std::make_shared<Amf3Array>();
  arguments->dense.reserve(args.size());
  for (const BindingProperty& arg : args) arguments->dense.push_back(ToAmf3Item(arg));
  std::future<RTMP::CommandResult> answer = login->lcds().Invoke(
      destination, method, Amf3Item::Array(std::move(arguments)), nullptr, nullptr);
  // The wait lets the plugin's other work run (the tick among it, which times calls out),
  // but only once the answer is a millisecond late: a pump may block that long, and most
  // answers come sooner.
  const int64_t limit =
      SteadyNowNanoseconds() +
      std::chrono::duration_cast<std::chrono::nanoseconds>(kInvokeWaitLimit).count();
  int64_t next_yield = SteadyNowNanoseconds() + kInvokeYieldNanoseconds;
  // A loopback or LAN answer often comes within tens of microseconds; waiting for it awake
  // saves the wake-up of a sleeping processor, which costs as much again on a virtual one.
  for (const int64_t spin_end = SteadyNowNanoseconds() + kInvokeSpinNanoseconds;
       answer.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
       SteadyNowNanoseconds() < spin_end;) {
    CpuRelax();
  }
  // Sleeps until the answer or the next yield: a shorter poll only adds wake-ups that
  // compete with the connection's worker for the processor.
  while (answer.wait_for(std::chrono::nanoseconds(
             std::max<int64_t>(0, next_yield - SteadyNowNanoseconds()))) !=
         std::future_status::ready) {
    const int64_t now = SteadyNowNanoseconds();
    if (now >= limit) {
      return EndpointError{500, "LCDS invoke to " + destination + "." + method +
                                    " failed: Timed out, " + RTMP::kTimeoutFaultCode};
    }
    if (now >= next_yield) {
      Yield();
      next_yield = SteadyNowNanoseconds() + kInvokeYieldNanoseconds;
    }
  }
  const RTMP::CommandResult result = answer.get();
  if (!result.success) {
    return EndpointError{500, "LCDS invoke to " + destination + "." + method +
                                  " failed: " + Text(result.value, "faultString") + ", " +
                                  Text(result.value, "faultCode")};
  }
  LcdsResponse response;
  if (result.value.is_amf3() && result.value.amf3().kind() == Amf3Kind::kObject) {
    response.typeName = std::string(result.value.amf3().AsObject().class_name());
  } else if (result.value.is_amf0()) {
    response.typeName = result.value.amf0().AsObject().class_name;
  }
  response.body = ToBindingProperty(result.value);
  return response;
}

// ---- Service proxy ----

std::string LoginModule::RequestServiceProxyUuid(const std::string& service_name,
                                                 const std::string& method_name, uint32_t plugin_id,
                                                 const std::string& payload) {
  const std::optional<Uuid> made = CreateUuid();
  const std::string uuid = made ? UuidText(*made) : std::string();
  service_proxy_.AddUuidCall(uuid, plugin_id);
  SendServiceProxyCall(uuid, service_name, method_name, payload,
                       [this, uuid, service_name, method_name, plugin_id](const std::string& why) {
                         Log(kLevelError, Tag::DBG, "Service proxy call %s.%s (%s) failed: %s",
                             service_name.c_str(), method_name.c_str(), uuid.c_str(), why.c_str());
                         // Answered here: a later logout must not answer it a second time.
                         service_proxy_.RemoveUuidCall(uuid);
                         PluginServiceProxyResponse event;
                         event.uuid = uuid;
                         event.error = why;
                         PublishServiceProxyEvent(kServiceProxyUuidEventName, plugin_id, event);
                       });
  return uuid;
}

void LoginModule::RequestServiceProxyMethod(const std::string& service_name,
                                            const std::string& method_name,
                                            const std::string& response_method_name,
                                            const std::string& response_error_name,
                                            uint32_t plugin_id, const std::string& payload) {
  service_proxy_.AddMethodRegistration(service_name, plugin_id, method_name, response_method_name,
                                       response_error_name);
  const std::optional<Uuid> made = CreateUuid();
  const std::string uuid = made ? UuidText(*made) : std::string();
  SendServiceProxyCall(
      uuid, service_name, method_name, payload,
      [this, service_name, method_name, response_method_name, plugin_id](const std::string& why) {
        Log(kLevelError, Tag::DBG, "Service proxy method call %s.%s failed: %s",
            service_name.c_str(), method_name.c_str(), why.c_str());
        PluginServiceProxyResponse event;
        event.serviceName = service_name;
        event.methodName = response_method_name;
        event.error = why;
        PublishServiceProxyEvent(kServiceProxyMethodEventName, plugin_id, event);
      });
}

void LoginModule::SendServiceProxyCall(const std::string& uuid, const std::string& service_name,
                                       const std::string& method_name, const std::string& payload,
                                       std::function<void(const std::string&)> on_failure) {
  auto arguments = std::make_shared<Amf3Array>();
  for (const std::string* text : {&uuid, &service_name, &method_name, &payload}) {
    arguments->dense.push_back(Amf3Item::String(*text));
  }
  // A failure (no connection: at once; a fault: in a later tick) is told from a task of its
  // own, so that the plugin always has its answer to the request first.
  auto fail = [this, uuid, on_failure = std::move(on_failure)](const AmfValue& value) {
    std::string why = Text(value, "faultString");
    if (why.empty() && value.is_amf0()) why = value.amf0().AsString();
    RunAt(
        "kiv-login." + uuid, [on_failure, why] { on_failure(why); }, SteadyNowNanoseconds());
  };
  ClientLogin* login = session_ != nullptr ? session_->login() : nullptr;
  if (login == nullptr) {
    fail(AmfValue(Amf0Item::String(kNoLoginSessionMessage)));
    return;
  }
  (void)login->lcds().Invoke("lcdsServiceProxy", "call", Amf3Item::Array(std::move(arguments)),
                             nullptr, std::move(fail));
}

void LoginModule::OnServiceProxyResponse(const Push& push) {
  const BindingProperty body = ToBindingProperty(push.body);
  LcdsServiceProxyResponse response;
  if (!FromBinding(body, "<service proxy response>", &response, registry()).ok()) {
    const std::string text = WriteJson(body);
    Log(kLevelError, Tag::DBG, "Service proxy payload was not a service proxy response: %s",
        text.c_str());
    return;
  }
  for (const ServiceProxyRouter::Delivery& delivery :
       service_proxy_.Route(response, WriteJson(body))) {
    PublishServiceProxyEvent(delivery.event_name, delivery.plugin_id, delivery.response);
  }
}

void LoginModule::FailPendingServiceProxyCalls() {
  for (const ServiceProxyRouter::Delivery& delivery : service_proxy_.FailPending("Logout")) {
    PublishServiceProxyEvent(delivery.event_name, delivery.plugin_id, delivery.response);
  }
}

void LoginModule::OnLcdsMessage(const Push& push) {
  const std::string_view class_name = push.body.kind() == Amf3Kind::kObject
                                          ? push.body.AsObject().class_name()
                                          : std::string_view();
  if (class_name == kServiceProxyResponseClassName) {
    OnServiceProxyResponse(push);
    return;
  }
  if (class_name == kKickNotificationClassName) OnKickNotification(push);
  PluginLcdsEvent event;
  event.clientId = push.client_id;
  event.subtopic = push.subtopic;
  event.typeName = std::string(class_name);
  event.body = ToBindingProperty(push.body);
  PublishLcdsEvent(event);
}

// ---- Account state ----

void LoginModule::StartAccountStatePoll() {
  if (account_state_poll_running_) return;
  account_state_poll_running_ = true;
  SetTimer(kPollTimerName, account_state_poll_seconds_, [this] { PollAccountState(); });
}

void LoginModule::PollAccountState() {
  EndpointReply<LcdsResponse> answer =
      InvokeLcds("accountService", "getAccountStateForCurrentSession", {});
  AccountStateType state{};
  if (answer.failed() ||
      !FromBinding(answer.value().body, "<account state>", &state, registry()).ok()) {
    Log(kLevelWarn, Tag::DBG, "Failed to fetch account state.");
    return;
  }
  if (!account_state_.has_value() || *account_state_ != state) {
    account_state_ = state;
    PublishResource(kAccountStatePath, PluginResourceEventType::Update,
                    ToBinding(AccountStateResource{state}, registry()));
  }
  if (state != AccountStateType::TRANSFERRING_OUT) {
    account_state_poll_running_ = false;
    CancelTimer(kPollTimerName);
  }
}

std::optional<AccountStateResource> LoginModule::AccountState() const {
  if (!account_state_.has_value()) return std::nullopt;
  return AccountStateResource{*account_state_};
}

// ---- Notifications from the client ----

EndpointReply<void> LoginModule::SummonerCreated(uint64_t summoner_id) {
  if (!LoggedIn()) return EndpointError{400, kNotLoggedInMessage};
  ClientLogin& login = *session_->login();
  if (login.summoner_id.has_value()) return EndpointError{400, kSummonerExistsMessage};
  login.summoner_id = summoner_id;
  BindingProperty& level =
      Structure(Structure(login.login_data_packet, "allSummonerData"), "summonerLevelAndPoints")
          .MutableField("summonerLevel");
  level.SetSigned(1);
  PublishResource(kSessionPath, PluginResourceEventType::Update,
                  ToBinding(session_->Refresh(), registry()));
  PublishResource(kLoginDataPacketPath, PluginResourceEventType::Update,
                  BindingResult(login.login_data_packet));
  return EndpointReply<void>();
}

EndpointReply<void> LoginModule::SummonerNameChanged() {
  if (!LoggedIn()) return EndpointError{400, kNotLoggedInMessage};
  ClientLogin& login = *session_->login();
  Structure(Structure(login.login_data_packet, "allSummonerData"), "summoner")
      .MutableField("nameChangeFlag")
      .SetBool(false);
  PublishResource(kLoginDataPacketPath, PluginResourceEventType::Update,
                  BindingResult(login.login_data_packet));
  PublishResource(kSessionPath, PluginResourceEventType::Update,
                  ToBinding(session_->Refresh(), registry()));
  return EndpointReply<void>();
}

EndpointReply<void> LoginModule::NewPlayerFlowCompleted() {
  if (!LoggedIn()) return EndpointError{400, kNotLoggedInMessage};
  session_->login()->is_new_player = false;
  PublishResource(kSessionPath, PluginResourceEventType::Update,
                  ToBinding(session_->Refresh(), registry()));
  return EndpointReply<void>();
}

}  // namespace Voro
