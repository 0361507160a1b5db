// Builders of the outgoing Flex messages and the decoding of server pushes.
//
// Messages are AMF3 objects of the classes in flex_message_classes.h; every member starts
// Undefined (written as Null) and the builders set theirs by the member rules of
// Amf3Object. Any thread may build messages; each result is a new value owned by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/message_id_generator.h"
#include "lcds/rtmp/rtmp_names.h"

namespace Voro {

// What the headers and messages say about the connected client.
struct FlexClientIdentity {
  std::string endpoint = kRtmpEndpointName;
  std::string client_id = kRtmpNoClientId;
};

// CommandMessage operation codes.
inline constexpr int32_t kFlexSubscribeOperation = 0;
inline constexpr int32_t kFlexUnsubscribeOperation = 1;

// Header names and the time-out every request announces, in seconds.
inline constexpr char kFlexEndpointHeader[] = "DSEndpoint";
inline constexpr char kFlexClientIdHeader[] = "DSId";
inline constexpr char kFlexRequestTimeoutHeader[] = "DSRequestTimeout";
inline constexpr char kFlexSubtopicHeader[] = "DSSubtopic";
inline constexpr char kFlexDestinationClientIdHeader[] = "DSDstClientId";
inline constexpr char kFlexRemoteCredentialsHeader[] = "DSRemoteCredentials";
inline constexpr int32_t kFlexRequestTimeoutSeconds = 60;

// An anonymous dynamic object: DSEndpoint, DSId, DSRequestTimeout, and DSSubtopic when
// `subtopic` is not empty.
Amf3Item MakeHeaders(const FlexClientIdentity& identity, std::string_view subtopic = {});

// A RemotingMessage calling `operation` of `destination` with `body` (normally an Array of
// the arguments): the next id of `ids`, the current wall-clock time, the client id, headers
// without subtopic, a Null source and a time to live of 0.
Amf3Item MakeRemotingMessage(const FlexClientIdentity& identity, MessageIdGenerator& ids,
                             std::string_view destination, std::string_view operation,
                             const Amf3Item& body);

// A CommandMessage with the next id of `ids`, `correlation_id` (empty for subscriptions) and
// the operation code; the caller sets the other members it needs.
Amf3Item MakeCommandMessage(MessageIdGenerator& ids, std::string_view correlation_id,
                            int32_t operation);

// A message pushed by the server.
struct Push {
  static constexpr char kNotAvailable[] = "n/a";

  std::string subtopic = kNotAvailable;
  std::string client_id = kNotAvailable;
  Amf3Item body;
};

// Reads the first argument of a "receive" command: an AMF3 object (an AsyncMessage), or an
// AMF0 object read through its members, whose AMF0 body is turned into AMF3 (typed objects
// keep their class name; their members become sealed members of an unregistered class).
// A subtopic or client id that is missing or not a string reads "n/a"; an argument that is
// not an object yields "n/a", "n/a" and an Undefined body. Safe on any decoded input.
Push DecodePush(const AmfValue& first_argument);

}  // namespace Voro
