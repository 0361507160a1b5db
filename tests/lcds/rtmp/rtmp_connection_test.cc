// The connection's write side: senders write at once where they can, leave the rest to the
// worker, and never wait for a peer that is not reading.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "lcds/net/plain_transport.h"
#include "lcds/rtmp/chunk_stream.h"
#include "lcds/rtmp/rtmp_connection.h"

namespace Voro {
namespace {

// Reads from a plain socket the way the server's side of a connection does.
class Peer {
 public:
  explicit Peer(int fd) : transport_(CreatePlainTransport(fd)) {}

  void Close() { transport_->Close(); }

  // The next complete message, or why there is none.
  ChunkReadResult Next() {
    for (;;) {
      ChunkReadResult result = reader_.ReadChunk(*transport_);
      if (!result.ok() || result.message) return result;
    }
  }

 private:
  TransportPtr transport_;
  ChunkReader reader_;
};

constexpr int kSenders = 4;
constexpr int kEach = 60;  // per sender and round

// Message `index` of sender `sender`: its size varies so that messages span one to many
// chunks, and its bytes name both.
std::vector<uint8_t> Body(int sender, int index) {
  std::vector<uint8_t> body(1 + static_cast<size_t>((index * 7919 + sender * 104729) % 40000));
  for (size_t i = 0; i < body.size(); ++i) {
    body[i] = static_cast<uint8_t>(sender * 31 + index + i);
  }
  body[0] = static_cast<uint8_t>(sender);
  return body;
}

TEST(RtmpConnectionTest, SendersNeverWaitForAFullSocketAndEveryMessageArrivesInOrder) {
  for (const bool wake_on_send : {true, false}) {
    SCOPED_TRACE(wake_on_send ? "written by the sender where it fits" : "written by the worker");
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    RtmpConnection connection(CreatePlainTransport(fds[0]), RtmpConnectionOptions{wake_on_send});
    connection.Start();
    Peer peer(fds[1]);

    // Several senders at once, together far more than the socket holds, while nobody reads:
    // every Send still returns at once.
    auto send_round = [&connection](int round) {
      std::vector<std::thread> senders;
      for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&connection, round, s] {
          for (int i = round * kEach; i < (round + 1) * kEach; ++i) {
            EXPECT_EQ(connection.Send(RtmpMessage::Raw(RtmpType::kVideo, Body(s, i)),
                                      kCommandChunkStream + static_cast<uint32_t>(s % 2), 0),
                      RtmpSendStatus::kQueued);
          }
        });
      }
      for (std::thread& sender : senders) sender.join();
    };
    const auto start = std::chrono::steady_clock::now();
    send_round(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    // Then the peer reads while a second round is sent, so senders meet the worker writing.
    // Each sender's messages arrive whole and in its order, interleaved with the others'.
    bool all_read = false;
    std::thread reader([&peer, &all_read] {
      int next[kSenders] = {};
      for (int n = 0; n < 2 * kSenders * kEach; ++n) {
        ChunkReadResult result = peer.Next();
        ASSERT_TRUE(result.ok()) << result.error;
        const std::vector<uint8_t> body = EncodeRtmpBody(*result.message);
        ASSERT_FALSE(body.empty());
        const int s = body[0];
        ASSERT_LT(s, kSenders);
        ASSERT_LT(next[s], 2 * kEach);
        ASSERT_TRUE(body == Body(s, next[s])) << "sender " << s << " message " << next[s];
        ++next[s];
      }
      all_read = true;
    });
    send_round(1);
    reader.join();
    // A reader that gave up would leave the worker blocked on a full socket.
    if (!all_read) peer.Close();
    connection.Stop();
    EXPECT_TRUE(connection.closed());
    EXPECT_EQ(connection.Send(RtmpMessage::Raw(RtmpType::kVideo, {1}), kCommandChunkStream, 0),
              RtmpSendStatus::kClosed);
  }
}

}  // namespace
}  // namespace Voro
