// Carrying Flex messages as RTMP calls: remoting invocations (AMF3 command, type 17) and
// command messages (AMF0 command, type 20), both with an empty name, a Null command object
// and the message as the only argument. Pushes come the other way as "receive" commands and
// are read here into Flex pushes.
#pragma once

#include <functional>
#include <future>
#include <string_view>

#include "lcds/amf/amf3_item.h"
#include "lcds/flex_messages.h"
#include "lcds/message_id_generator.h"
#include "lcds/rtmp/command_result.h"
#include "lcds/rtmp/rtmp_client.h"

namespace Voro {

inline constexpr char kWrongObjectEncodingCode[] = "ALE-EEE89093";

using PushHandler = std::function<void(const Push&)>;

// The client's endpoint and its current client id.
FlexClientIdentity FlexIdentityOf(const RtmpClient& client);

// A receive handler for RtmpClient that decodes each push (DecodePush) and gives it to
// `handler`, on the thread that pumps the client.
RtmpClient::ReceiveHandler DecodingPushes(PushHandler handler);

// Calls `operation` of `destination` with `body`. REQUIRES: the client's object encoding is
// 1 (AMF3); otherwise the assertion report is made and the call fails at once.
std::future<RTMP::CommandResult> SendRemoting(RtmpClient& client, MessageIdGenerator& ids,
                                              std::string_view destination,
                                              std::string_view operation, const Amf3Item& body,
                                              RtmpClient::Callback callback = nullptr);

// Sends a CommandMessage (subscriptions, channel authentication).
std::future<RTMP::CommandResult> SendFlexCommand(RtmpClient& client, const Amf3Item& message);

}  // namespace Voro
