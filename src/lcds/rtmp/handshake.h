// The RTMP handshake: C0/C1, S0/S1, C2, S2 (client side) and its mirror for a server.
//
// The client checks what the published format lets it check: the version byte, and that S2
// echoes C1's time and random bytes. The server side (used by the simulator and the tests)
// echoes C1 as S2, as old-style servers do.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "lcds/net/transport.h"

namespace Voro {

inline constexpr uint8_t kRtmpVersion = 3;
inline constexpr size_t kHandshakeRandomSize = 1528;
inline constexpr size_t kHandshakePacketSize = 1536;

inline constexpr char kUnexpectedVersionMessage[] = "Unexpected version (%u) in RTMP handshake.";
inline constexpr char kInvalidHandshakeMessage[] = "Handshake response was invalid";

struct HandshakePacket {
  uint32_t time = 0;
  uint32_t time2 = 0;
  std::array<uint8_t, kHandshakeRandomSize> random{};

  // The 1536 bytes of C1/S1/C2/S2: both times big-endian, then the random bytes.
  std::array<uint8_t, kHandshakePacketSize> Serialize() const;
  static HandshakePacket Parse(std::span<const uint8_t, kHandshakePacketSize> bytes);
  // Time from the monotonic clock in milliseconds (low 32 bits); random bytes from a
  // generator seeded from the system's random device.
  static HandshakePacket Fresh();
};

// Each step is a full-length transport read or write; the first failure is returned.
TransportResult ClientHandshake(Transport& transport);
TransportResult ServerHandshake(Transport& transport);

}  // namespace Voro
