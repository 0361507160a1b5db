#include "lcds/rtmp/rtmp_client.h"

#include <optional>
#include <utility>

#include "diag/clock.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_class_registry.h"
#include "lcds/amf/amf_debug_trace.h"
#include "lcds/amf/amf_member.h"

namespace Voro {
namespace RTMP {

CommandResult MakeFault(std::string_view fault_code, std::string_view fault_string) {
  Amf3Item fault(Amf3Kind::kObject);
  fault.MutableObject()->SetDynamicMember("faultCode", Amf3Item::String(fault_code));
  fault.MutableObject()->SetDynamicMember("faultString", Amf3Item::String(fault_string));
  return CommandResult{false, AmfValue(std::move(fault))};
}

}  // namespace RTMP

namespace {

AmfValue FirstArgument(const RtmpCommand& command) {
  return command.arguments.empty() ? AmfValue() : command.arguments.front();
}

}  // namespace

RtmpClient::RtmpClient(std::unique_ptr<RtmpConnection> connection, int object_encoding)
    : connection_(std::move(connection)),
      object_encoding_(object_encoding),
      client_id_(kRtmpNoClientId) {
  connection_->SetMessageHandler([this](RtmpMessage message) { OnMessage(std::move(message)); });
  connection_->SetDisconnectHandler([this] { OnDisconnect(); });
  connection_->Start();
}

RtmpClient::~RtmpClient() {
  connection_->Stop();
  connected_.store(false);
  FailAllPending(RTMP::kDisconnectFaultCode, RTMP::kDisconnectFaultString);
}

std::shared_ptr<AmfClass> RtmpClient::StatusClass() {
  static const std::shared_ptr<AmfClass> status_class = [] {
    bool created = false;
    return AmfClassRegistry::Global().FindOrCreate(
        kStatusClassName, /*externalizable=*/false, /*dynamic=*/false,
        [] {
          AmfMemberList members;
          for (const char* name :
               {"code", "level", "description", "application", "objectEncoding"}) {
            members.push_back({name, AmfTypeHint::Any()});
          }
          return members;
        },
        &created);
  }();
  return status_class;
}

RtmpMessage MakeConnectCommand(const std::string& tc_url, const std::string& swf_url,
                               const std::string& page_url, int object_encoding) {
  auto object = std::make_shared<Amf0Object>();
  auto& members = object->members;  // a sorted map: written in ascending key order
  members["app"] = Amf0Item::String("");
  members["audioCodecs"] = Amf0Item::Number(3575);
  members["capabilities"] = Amf0Item::Number(239);
  members["flashVer"] = Amf0Item::String("WIN 11,7,700,169");
  members["fpad"] = Amf0Item::Boolean(false);
  members["objectEncoding"] = Amf0Item::Number(object_encoding);
  members["pageUrl"] = Amf0Item::String(page_url);
  members["swfUrl"] = Amf0Item::String(swf_url);
  members["tcUrl"] = Amf0Item::String(tc_url);
  members["videoCodecs"] = Amf0Item::Number(252);
  members["videoFunction"] = Amf0Item::Number(1);
  RtmpCommand command;
  command.name = "connect";
  command.command_object = Amf0Item::Object(std::move(object));
  return RtmpMessage::Command(RtmpType::kAmf0Command, std::move(command));
}

std::future<RTMP::CommandResult> RtmpClient::ConnectCommand(const std::string& tc_url,
                                                            const std::string& swf_url,
                                                            const std::string& page_url) {
  return Register(MakeConnectCommand(tc_url, swf_url, page_url, object_encoding_), nullptr,
                  /*is_connect=*/true);
}

std::future<RTMP::CommandResult> RtmpClient::Call(RtmpMessage message, Callback callback) {
  return Register(std::move(message), std::move(callback), /*is_connect=*/false);
}

std::future<RTMP::CommandResult> RtmpClient::Register(RtmpMessage message, Callback callback,
                                                      bool is_connect) {
  PendingCall call;
  call.callback = std::move(callback);
  call.is_connect = is_connect;
  std::future<RTMP::CommandResult> future = call.promise.get_future();
  const int64_t id = transaction_counter_.fetch_add(1) + 1;
  message.command().transaction_id = id;
  bool closed = false;
  {
    MutexLock lock(&mutex_);
    closed = closed_;
    if (!closed) {
      call.sent_at = SteadyNowNanoseconds();
      pending_.emplace(id, std::move(call));
    }
  }
  if (closed) {
    // The connection is gone: nothing can answer.
    Complete(std::move(call),
             RTMP::MakeFault(RTMP::kDisconnectFaultCode, RTMP::kDisconnectFaultString));
    return future;
  }
  const RtmpSendStatus status =
      connection_->Send(std::move(message), kCommandChunkStream, /*message_stream_id=*/0);
  if (status == RtmpSendStatus::kQueued) {
    return future;
  }
  {
    MutexLock lock(&mutex_);
    auto node = pending_.extract(id);
    if (node.empty()) {
      return future;  // already failed by the disconnect path
    }
    call = std::move(node.mapped());
  }
  Complete(std::move(call),
           status == RtmpSendStatus::kTooLarge
               ? RTMP::MakeFault(RTMP::kTooLargeFaultCode, RTMP::kTooLargeFaultString)
               : RTMP::MakeFault(RTMP::kDisconnectFaultCode, RTMP::kDisconnectFaultString));
  return future;
}

void RtmpClient::Complete(PendingCall call, RTMP::CommandResult result) {
  if (call.is_connect) {
    connected_.store(result.success);
    if (const std::string* id = AmfString(AmfMember(result.value, "clientId"))) {
      MutexLock lock(&mutex_);
      client_id_ = *id;
    }
  }
  if (call.callback) {
    MutexLock lock(&queue_mutex_);
    completions_.emplace_back(std::move(call.callback), result);
  }
  call.promise.set_value(std::move(result));
}

void RtmpClient::OnMessage(RtmpMessage message) {
  const uint8_t type = message.header.type;
  if (type == RtmpType::kUserControl) {
    const RtmpUserControl& control = message.user_control();
    if (control.event_type == kUserControlPingRequest) {
      (void)connection_->Send(RtmpMessage::UserControl(kUserControlPingResponse, control.values),
                              kControlChunkStream, 0);
    }
    return;
  }
  if (type != RtmpType::kAmf3Command && type != RtmpType::kAmf0Data &&
      type != RtmpType::kAmf0Command) {
    return;
  }
  const RtmpCommand& command = message.command();
  if (!command.error.empty()) {
    // The reader logged why. An answer fails its call now rather than by timeout; anything
    // else (a push) is dropped. The connection itself is still in step.
    if (command.name == "_result" || command.name == "_error") FailCall(command);
    return;
  }
  if (command.name == "_result") {
    OnAnswer(command, /*success=*/true);
  } else if (command.name == "_error") {
    OnAnswer(command, /*success=*/false);
  } else if (command.name == "receive") {
    AmfValue push = FirstArgument(command);
    MutexLock lock(&queue_mutex_);
    pushes_.push_back(std::move(push));
  } else if (command.name != "onstatus") {
    KIV_AMF_DEBUG_TRACE("Ignoring unknown RTMP Command: %s", command.name.c_str());
  }
}

void RtmpClient::OnAnswer(const RtmpCommand& command, bool success) {
  std::optional<PendingCall> call = TakePending(command.transaction_id);
  if (!call) {
    return;
  }
  AmfValue answer = FirstArgument(command);
  if (success) {
    AmfValue body = AmfMember(answer, "body");
    if (!IsAmfNullish(body)) {
      answer = std::move(body);
    }
  } else if (IsAmfObject(answer)) {
    auto text = [&answer](const char* name) {
      const std::string* s = AmfString(AmfMember(answer, name));
      return s ? s->c_str() : "";
    };
    KIV_AMF_DEBUG_TRACE("%s : %s %s", text("faultCode"), text("faultString"), text("faultDetail"));
  }
  Complete(std::move(*call), RTMP::CommandResult{success, std::move(answer)});
}

std::optional<RtmpClient::PendingCall> RtmpClient::TakePending(int64_t transaction_id) {
  MutexLock lock(&mutex_);
  auto node = pending_.extract(transaction_id);
  if (node.empty()) {
    return std::nullopt;  // no such call, or it timed out already
  }
  return std::move(node.mapped());
}

void RtmpClient::FailCall(const RtmpCommand& command) {
  if (std::optional<PendingCall> call = TakePending(command.transaction_id)) {
    Complete(std::move(*call), RTMP::MakeFault(RTMP::kUnreadableFaultCode, command.error));
  }
}

void RtmpClient::OnDisconnect() {
  connected_.store(false);
  FailAllPending(RTMP::kDisconnectFaultCode, RTMP::kDisconnectFaultString);
}

void RtmpClient::FailAllPending(std::string_view code, std::string_view text) {
  std::map<int64_t, PendingCall> failed;
  {
    MutexLock lock(&mutex_);
    closed_ = true;
    failed.swap(pending_);
  }
  for (auto& [id, call] : failed) {
    Complete(std::move(call), RTMP::MakeFault(code, text));
  }
}

void RtmpClient::Pump() {
  std::vector<PendingCall> expired;
  {
    const int64_t now = SteadyNowNanoseconds();
    MutexLock lock(&mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (now - it->second.sent_at >= kRtmpCallTimeoutNanoseconds) {
        expired.push_back(std::move(it->second));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (PendingCall& call : expired) {
    Complete(std::move(call), RTMP::MakeFault(RTMP::kTimeoutFaultCode, RTMP::kTimeoutFaultString));
  }

  std::deque<AmfValue> pushes;
  std::deque<std::pair<Callback, RTMP::CommandResult>> completions;
  {
    MutexLock lock(&queue_mutex_);
    pushes.swap(pushes_);
  }
  for (const AmfValue& push : pushes) {
    if (on_receive_) {
      on_receive_(push);
    }
  }
  {
    MutexLock lock(&queue_mutex_);
    completions.swap(completions_);
  }
  for (auto& [callback, result] : completions) {
    callback(result);
  }
}

void RtmpClient::SetReceiveHandler(ReceiveHandler handler) { on_receive_ = std::move(handler); }

std::string RtmpClient::client_id() const {
  MutexLock lock(&mutex_);
  return client_id_;
}

}  // namespace Voro
