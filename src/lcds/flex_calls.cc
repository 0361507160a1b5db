#include "lcds/flex_calls.h"

#include <utility>

#include "diag/assertion.h"
#include "lcds/flex_messages.h"

namespace Voro {
namespace {

std::future<RTMP::CommandResult> SendFlexMessage(RtmpClient& client, uint8_t type,
                                                 const Amf3Item& message,
                                                 RtmpClient::Callback callback = nullptr) {
  RtmpCommand command;  // empty name, Null command object
  command.arguments.push_back(AmfValue(message));
  return client.Call(RtmpMessage::Command(type, std::move(command)), std::move(callback));
}

}  // namespace

FlexClientIdentity FlexIdentityOf(const RtmpClient& client) {
  return FlexClientIdentity{kRtmpEndpointName, client.client_id()};
}

RtmpClient::ReceiveHandler DecodingPushes(PushHandler handler) {
  return [handler = std::move(handler)](const AmfValue& push) { handler(DecodePush(push)); };
}

std::future<RTMP::CommandResult> SendRemoting(RtmpClient& client, MessageIdGenerator& ids,
                                              std::string_view destination,
                                              std::string_view operation, const Amf3Item& body,
                                              RtmpClient::Callback callback) {
  if (client.object_encoding() != 1) {
    ReportAssertion(kWrongObjectEncodingCode, "Remoting needs AMF3 object encoding", __FILE__,
                    __LINE__, __func__);
    std::promise<RTMP::CommandResult> failed;
    RTMP::CommandResult fault = RTMP::MakeFault("RTMP_OBJECT_ENCODING", "Wrong object encoding");
    if (callback) {
      callback(fault);
    }
    failed.set_value(std::move(fault));
    return failed.get_future();
  }
  return SendFlexMessage(
      client, RtmpType::kAmf3Command,
      MakeRemotingMessage(FlexIdentityOf(client), ids, destination, operation, body),
      std::move(callback));
}

std::future<RTMP::CommandResult> SendFlexCommand(RtmpClient& client, const Amf3Item& message) {
  return SendFlexMessage(client, RtmpType::kAmf0Command, message);
}

}  // namespace Voro
