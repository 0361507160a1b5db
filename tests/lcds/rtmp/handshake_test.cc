#include "lcds/rtmp/handshake.h"

#include <gtest/gtest.h>

#include <vector>

#include "support/memory_transport.h"

namespace Voro {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::MemoryTransport;

// A server that answers C0+C1 with S0, S1 and an S2 made from C1 by `make_s2`.
struct FakeServer {
  uint8_t version = 3;
  std::function<void(Bytes&)> change_s2 = [](Bytes&) {};
  Bytes s1;

  void Attach(MemoryTransport& transport) {
    s1.assign(kHandshakePacketSize, 0);
    for (size_t i = 0; i < s1.size(); ++i) {
      s1[i] = static_cast<uint8_t>(i * 7);
    }
    transport.on_write = [this](MemoryTransport& t) {
      if (t.output.size() != 1 + kHandshakePacketSize) {
        return;  // only C0+C1 is answered
      }
      Bytes s2(t.output.begin() + 1, t.output.end());
      change_s2(s2);
      t.input.push_back(version);
      t.Append(s1);
      t.Append(s2);
    };
  }
};

TEST(HandshakeTest, CompletesAndAnswersWithS1AndTheClientTime) {
  MemoryTransport transport;
  FakeServer server;
  server.Attach(transport);
  ASSERT_TRUE(ClientHandshake(transport).ok());
  ASSERT_EQ(transport.output.size(), 1 + 2 * kHandshakePacketSize);
  EXPECT_EQ(transport.output[0], 3);
  // C1: time, a zero second field, random bytes.
  EXPECT_EQ(Bytes(transport.output.begin() + 5, transport.output.begin() + 9), Bytes(4, 0));
  // C2 is S1 with the second time field replaced.
  const auto c2 = transport.output.begin() + 1 + kHandshakePacketSize;
  EXPECT_EQ(Bytes(c2, c2 + 4), Bytes(server.s1.begin(), server.s1.begin() + 4));
  EXPECT_EQ(Bytes(c2 + 8, transport.output.end()), Bytes(server.s1.begin() + 8, server.s1.end()));
}

TEST(HandshakeTest, RandomBytesDifferBetweenAttempts) {
  MemoryTransport a;
  MemoryTransport b;
  FakeServer server;
  server.Attach(a);
  ASSERT_TRUE(ClientHandshake(a).ok());
  server.Attach(b);
  ASSERT_TRUE(ClientHandshake(b).ok());
  EXPECT_NE(Bytes(a.output.begin() + 9, a.output.begin() + 1537),
            Bytes(b.output.begin() + 9, b.output.begin() + 1537));
}

TEST(HandshakeTest, RefusesAnotherVersion) {
  MemoryTransport transport;
  FakeServer server;
  server.version = 6;
  server.Attach(transport);
  TransportResult result = ClientHandshake(transport);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.message, "Unexpected version (6) in RTMP handshake.");
}

TEST(HandshakeTest, RefusesAnS2ThatDoesNotEchoC1) {
  const std::pair<const char*, std::function<void(Bytes&)>> changes[] = {
      {"one random byte", [](Bytes& s2) { s2[1000] ^= 1; }},
      {"the last random byte", [](Bytes& s2) { s2.back() ^= 0x80; }},
      {"the time", [](Bytes& s2) { s2[3] ^= 1; }},
  };
  for (const auto& [what, change] : changes) {
    MemoryTransport transport;
    FakeServer server;
    server.change_s2 = change;
    server.Attach(transport);
    TransportResult result = ClientHandshake(transport);
    EXPECT_FALSE(result.ok()) << what;
    EXPECT_EQ(result.message, "Handshake response was invalid") << what;
  }
}

TEST(HandshakeTest, AcceptsAnS2WithAnotherSecondTimeField) {
  MemoryTransport transport;
  FakeServer server;
  server.change_s2 = [](Bytes& s2) { s2[5] = 0x55; };
  server.Attach(transport);
  EXPECT_TRUE(ClientHandshake(transport).ok());
}

TEST(HandshakeTest, APeerThatClosesFailsWithTheTransportMessage) {
  MemoryTransport transport;  // nothing ever answers
  TransportResult result = ClientHandshake(transport);
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.message, "Socket gracefully closed from the other side.");
}

TEST(HandshakeTest, ServerSideEchoesC1) {
  MemoryTransport transport;
  HandshakePacket c1 = HandshakePacket::Fresh();
  transport.input.push_back(3);
  const auto c1_bytes = c1.Serialize();
  transport.input.insert(transport.input.end(), c1_bytes.begin(), c1_bytes.end());
  transport.input.resize(1 + 2 * kHandshakePacketSize, 0);  // C2
  ASSERT_TRUE(ServerHandshake(transport).ok());
  ASSERT_EQ(transport.output.size(), 1 + 2 * kHandshakePacketSize);
  EXPECT_EQ(Bytes(transport.output.begin() + 1 + kHandshakePacketSize, transport.output.end()),
            Bytes(c1_bytes.begin(), c1_bytes.end()));
}

}  // namespace
}  // namespace Voro
