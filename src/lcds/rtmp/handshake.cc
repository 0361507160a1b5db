#include "lcds/rtmp/handshake.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "diag/clock.h"

namespace Voro {
namespace {

uint32_t SteadyMilliseconds32() {
  return static_cast<uint32_t>(SteadyNowNanoseconds() / 1'000'000);
}

void PutBigEndian(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

uint32_t GetBigEndian(const uint8_t* in) {
  return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | in[3];
}

TransportResult ReadPacket(Transport& transport, HandshakePacket* packet) {
  std::array<uint8_t, kHandshakePacketSize> bytes;
  TransportResult result = transport.Read(bytes.data(), bytes.size());
  if (result.ok()) {
    *packet = HandshakePacket::Parse(bytes);
  }
  return result;
}

TransportResult WritePacket(Transport& transport, const HandshakePacket& packet) {
  const auto bytes = packet.Serialize();
  return transport.Write(bytes.data(), bytes.size());
}

// C0 or S0 followed by C1 or S1, in one write.
TransportResult WriteVersionAndPacket(Transport& transport, const HandshakePacket& packet) {
  std::array<uint8_t, 1 + kHandshakePacketSize> bytes;
  bytes[0] = kRtmpVersion;
  const auto body = packet.Serialize();
  std::memcpy(bytes.data() + 1, body.data(), body.size());
  return transport.Write(bytes.data(), bytes.size());
}

TransportResult ReadVersion(Transport& transport) {
  uint8_t version = 0;
  TransportResult result = transport.Read(&version, 1);
  if (result.ok() && version != kRtmpVersion) {
    char text[64];
    std::snprintf(text, sizeof text, kUnexpectedVersionMessage, unsigned{version});
    return TransportResult::Failure(0, text, result.transferred);
  }
  return result;
}

}  // namespace

std::array<uint8_t, kHandshakePacketSize> HandshakePacket::Serialize() const {
  std::array<uint8_t, kHandshakePacketSize> bytes;
  PutBigEndian(bytes.data(), time);
  PutBigEndian(bytes.data() + 4, time2);
  std::memcpy(bytes.data() + 8, random.data(), random.size());
  return bytes;
}

HandshakePacket HandshakePacket::Parse(std::span<const uint8_t, kHandshakePacketSize> bytes) {
  HandshakePacket packet;
  packet.time = GetBigEndian(bytes.data());
  packet.time2 = GetBigEndian(bytes.data() + 4);
  std::memcpy(packet.random.data(), bytes.data() + 8, packet.random.size());
  return packet;
}

HandshakePacket HandshakePacket::Fresh() {
  HandshakePacket packet;
  packet.time = SteadyMilliseconds32();
  std::random_device device;
  std::mt19937 engine(device());
  for (size_t i = 0; i < packet.random.size(); i += 4) {
    const uint32_t word = engine();
    for (size_t b = 0; b < 4; ++b) {
      packet.random[i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
  }
  return packet;
}

TransportResult ClientHandshake(Transport& transport) {
  const HandshakePacket c1 = HandshakePacket::Fresh();
  if (auto r = WriteVersionAndPacket(transport, c1); !r.ok()) {
    return r;
  }
  if (auto r = ReadVersion(transport); !r.ok()) {
    return r;
  }
  HandshakePacket s1;
  if (auto r = ReadPacket(transport, &s1); !r.ok()) {
    return r;
  }
  HandshakePacket c2 = s1;
  c2.time2 = SteadyMilliseconds32();
  if (auto r = WritePacket(transport, c2); !r.ok()) {
    return r;
  }
  HandshakePacket s2;
  if (auto r = ReadPacket(transport, &s2); !r.ok()) {
    return r;
  }
  if (s2.random != c1.random || s2.time != c1.time) {
    return TransportResult::Failure(0, kInvalidHandshakeMessage, 0);
  }
  return TransportResult::Success(0);
}

TransportResult ServerHandshake(Transport& transport) {
  if (auto r = ReadVersion(transport); !r.ok()) {
    return r;
  }
  HandshakePacket c1;
  if (auto r = ReadPacket(transport, &c1); !r.ok()) {
    return r;
  }
  if (auto r = WriteVersionAndPacket(transport, HandshakePacket::Fresh()); !r.ok()) {
    return r;
  }
  if (auto r = WritePacket(transport, c1); !r.ok()) {
    return r;
  }
  HandshakePacket c2;
  return ReadPacket(transport, &c2);
}

}  // namespace Voro
