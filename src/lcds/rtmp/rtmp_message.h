// RTMP messages: the header every chunk stream carries and the payload of each message type
// this program reads or writes.
//
// Bodies are encoded and decoded here, apart from chunking (chunk_stream.h):
//  - protocol control and user control bodies are big-endian integers; a body shorter than
//    its fields reads the missing bytes as zero, and User Control event values are the rest
//    of the body four bytes at a time (a trailing fragment is ignored);
//  - command and data bodies (types 15, 17, 18, 20) are a name, a transaction id, a command
//    object and the remaining values; type 17 bodies start with one format byte that is
//    skipped on reading and written as 0x00.
// Decoding trusts nothing: the AMF reader bounds depth and allocation, and a body that is
// not a valid command still gives a message (empty name, the values that could be read).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "lcds/amf/amf0_item.h"

namespace Voro {

namespace RtmpType {
inline constexpr uint8_t kSetChunkSize = 1;
inline constexpr uint8_t kAbort = 2;
inline constexpr uint8_t kAcknowledgement = 3;
inline constexpr uint8_t kUserControl = 4;
inline constexpr uint8_t kWindowAckSize = 5;
inline constexpr uint8_t kSetPeerBandwidth = 6;
inline constexpr uint8_t kAudio = 8;
inline constexpr uint8_t kVideo = 9;
inline constexpr uint8_t kAmf3Data = 15;
inline constexpr uint8_t kAmf3Command = 17;
inline constexpr uint8_t kAmf0Data = 18;
inline constexpr uint8_t kAmf0Command = 20;
}  // namespace RtmpType

// User Control event types the program acts on.
inline constexpr uint16_t kUserControlPingRequest = 6;
inline constexpr uint16_t kUserControlPingResponse = 7;

// Whether this program can parse messages of `type`.
bool IsSupportedRtmpType(uint8_t type);
bool IsCommandRtmpType(uint8_t type);

struct RtmpHeader {
  uint32_t length = 0;  // 24 bits on the wire
  uint32_t chunk_stream_id = 0;
  uint8_t type = 0;
  uint32_t message_stream_id = 0;
  uint32_t timestamp = 0;
  bool timestamp_is_delta = false;
};

struct RtmpUserControl {
  uint16_t event_type = 0;
  std::vector<uint32_t> values;
};

struct RtmpPeerBandwidth {
  uint32_t window = 0;
  uint8_t limit_type = 0;
};

struct RtmpCommand {
  std::string name;
  int64_t transaction_id = 0;
  Amf0Item command_object = Amf0Item::Null();
  std::vector<AmfValue> arguments;
  // Set when the body holds a value this program cannot read (the AMF reader's error): the
  // arguments are then incomplete and must not be acted on.
  std::string error;
};

struct RtmpMessage {
  RtmpHeader header;
  // By header.type: uint32_t for Set Chunk Size, Abort, Acknowledgement and Window
  // Acknowledgement Size; the raw body for Audio, Video and unsupported types.
  std::variant<RtmpCommand, uint32_t, RtmpUserControl, RtmpPeerBandwidth, std::vector<uint8_t>>
      payload;

  // REQUIRES: the payload alternative matching the type.
  RtmpCommand& command() { return std::get<RtmpCommand>(payload); }
  const RtmpCommand& command() const { return std::get<RtmpCommand>(payload); }
  uint32_t value() const { return std::get<uint32_t>(payload); }
  const RtmpUserControl& user_control() const { return std::get<RtmpUserControl>(payload); }

  // ---- Builders; every header field but the type is 0 ----
  static RtmpMessage Command(uint8_t type, RtmpCommand command);
  static RtmpMessage Control(uint8_t type, uint32_t value);
  static RtmpMessage UserControl(uint16_t event_type, std::vector<uint32_t> values);
  static RtmpMessage PeerBandwidth(uint32_t window, uint8_t limit_type);
  static RtmpMessage Raw(uint8_t type, std::vector<uint8_t> body);
};

// The body of `message` by its type (header.length is not consulted).
std::vector<uint8_t> EncodeRtmpBody(const RtmpMessage& message);

// A message of `header.type` from its complete body; the header is copied in.
RtmpMessage DecodeRtmpBody(const RtmpHeader& header, std::span<const uint8_t> body);

}  // namespace Voro
