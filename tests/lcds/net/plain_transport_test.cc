#include "lcds/net/plain_transport.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "diag/assertion.h"
#include "diag/log.h"
#include "diag/log_test_support.h"
#include "diag/system_error.h"
#include "lcds/net/connect_socket.h"
#include "lcds/net/default_sigpipe.h"
#include "lcds/net/loopback_listener.h"

namespace Voro {
namespace {

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = seed;
  for (uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

// Odd sizes, so that chunk edges fall everywhere.
constexpr size_t kChunkSizes[] = {1, 7, 4093, 113, 65537, 2, 1021, 16411};

class PlainTransportTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
    ASSERT_NE(listener_.port(), 0);
    const SocketResult connected = ConnectSocket("127.0.0.1", listener_.port());
    ASSERT_TRUE(connected.ok()) << connected.error.message;
    client_fd_ = connected.fd;
    server_fd_ = listener_.Accept();
    ASSERT_GE(server_fd_, 0);
    transport_ = CreatePlainTransport(client_fd_);
    ASSERT_NE(transport_, nullptr);
  }
  void TearDown() override {
    transport_.reset();
    if (server_fd_ >= 0) {
      close(server_fd_);
    }
    LoggerTest::TearDown();
  }

  void CloseServer() {
    close(server_fd_);
    server_fd_ = -1;
  }

  testing::LoopbackListener listener_;
  int client_fd_ = -1;
  int server_fd_ = -1;
  TransportPtr transport_;
};

TEST_F(PlainTransportTest, ExactLengthBothWaysAcrossManyPartialChunks) {
  // Larger than the socket buffers, so the client's one Write and one Read each take many
  // system calls, while the server moves bytes in small, uneven pieces.
  const std::vector<uint8_t> up = Pattern(3 << 20, 1);
  const std::vector<uint8_t> down = Pattern((2 << 20) + 77, 2);
  std::vector<uint8_t> received_up;
  std::thread server_reader([&] {
    std::vector<uint8_t> chunk(1 << 17);
    for (size_t i = 0; received_up.size() < up.size(); ++i) {
      const size_t want = std::min(kChunkSizes[i % std::size(kChunkSizes)], chunk.size());
      const ssize_t n = recv(server_fd_, chunk.data(), want, 0);
      if (n <= 0) {
        break;
      }
      received_up.insert(received_up.end(), chunk.begin(), chunk.begin() + n);
    }
  });
  std::thread server_writer([&] {
    size_t done = 0;
    for (size_t i = 0; done < down.size(); ++i) {
      const size_t want = std::min(kChunkSizes[i % std::size(kChunkSizes)], down.size() - done);
      const ssize_t n = send(server_fd_, down.data() + done, want, MSG_NOSIGNAL);
      if (n <= 0) {
        break;
      }
      done += static_cast<size_t>(n);
    }
  });

  const TransportResult written = transport_->Write(up.data(), up.size());
  std::vector<uint8_t> received_down(down.size());
  const TransportResult read = transport_->Read(received_down.data(), received_down.size());
  server_reader.join();
  server_writer.join();

  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(written.transferred, up.size());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.transferred, down.size());
  EXPECT_TRUE(received_up == up);
  EXPECT_TRUE(received_down == down);
}

TEST_F(PlainTransportTest, ZeroByteWriteSucceedsAtOnce) {
  const TransportResult result = transport_->Write(nullptr, 0);
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.transferred, 0u);
}

TEST_F(PlainTransportTest, PeerCloseEndsReadWithTheExactMessage) {
  ASSERT_EQ(send(server_fd_, "abc", 3, MSG_NOSIGNAL), 3);
  CloseServer();
  uint8_t buffer[10] = {};
  const TransportResult result = transport_->Read(buffer, sizeof(buffer));
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 0);
  EXPECT_EQ(result.message, "Socket gracefully closed from the other side.");
  EXPECT_EQ(result.transferred, 3u);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
}

TEST_F(PlainTransportTest, ResetByPeerGivesErrnoAndItsText) {
  // Lingering with a zero time-out makes close send a reset instead of an orderly end.
  linger abort{1, 0};
  ASSERT_EQ(setsockopt(server_fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)), 0);
  CloseServer();
  uint8_t buffer[4];
  const TransportResult result = transport_->Read(buffer, sizeof(buffer));
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, ECONNRESET);
  EXPECT_EQ(result.message, SystemErrorText(ECONNRESET));
  EXPECT_EQ(result.transferred, 0u);
}

TEST_F(PlainTransportTest, ZeroByteReadIsReportedAsACallerError) {
  uint8_t buffer[1];
  const TransportResult result = transport_->Read(buffer, 0);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 0);
  EXPECT_EQ(result.message, kPlainZeroReadMessage);
  const auto lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].message, AssertionReportText("ALE-16892BF0", nullptr, "", 0, ""));
  // The stream is untouched.
  ASSERT_EQ(send(server_fd_, "z", 1, MSG_NOSIGNAL), 1);
  EXPECT_TRUE(transport_->Read(buffer, 1).ok());
  EXPECT_EQ(buffer[0], 'z');
}

TEST_F(PlainTransportTest, WriteToAVanishedPeerFailsWithoutSigpipe) {
  testing::DefaultSigpipe default_action;
  CloseServer();
  ASSERT_TRUE(transport_->WaitReadable(5000));  // the peer's end of stream has arrived
  // The first write after the peer's close draws a reset; a later one then fails with
  // EPIPE, which would raise SIGPIPE without MSG_NOSIGNAL.
  const std::vector<uint8_t> bytes(4096, 0x5a);
  TransportResult result = TransportResult::Success(0);
  for (int attempt = 0; attempt < 200 && result.ok(); ++attempt) {
    result = transport_->Write(bytes.data(), bytes.size());
    if (result.ok()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ASSERT_TRUE(result.failed);
  EXPECT_TRUE(result.error_code == EPIPE || result.error_code == ECONNRESET) << result.error_code;
  EXPECT_EQ(result.message, SystemErrorText(result.error_code));
  EXPECT_TRUE(testing::DefaultSigpipe::Clean());
}

TEST_F(PlainTransportTest, EverythingFailsCleanlyAfterClose) {
  const int wake = eventfd(1, EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  transport_->Close();
  transport_->Close();
  uint8_t buffer[4];
  const TransportResult read = transport_->Read(buffer, sizeof(buffer));
  EXPECT_TRUE(read.failed);
  EXPECT_EQ(read.error_code, EBADF);
  EXPECT_EQ(read.message, SystemErrorText(EBADF));
  const TransportResult written = transport_->Write(buffer, sizeof(buffer));
  EXPECT_TRUE(written.failed);
  EXPECT_EQ(written.error_code, EBADF);
  EXPECT_EQ(written.transferred, 0u);
  EXPECT_FALSE(transport_->WaitReadable(0));
  EXPECT_FALSE(transport_->WaitReadableOrWoken(0, wake));
  // The socket really went: the peer sees the end of the stream.
  char c;
  EXPECT_EQ(recv(server_fd_, &c, 1, 0), 0);
  close(wake);
}

TEST_F(PlainTransportTest, WaitReadableOrWokenTellsDataFromWakeUp) {
  const int wake = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  EXPECT_FALSE(transport_->WaitReadable(0));
  const uint64_t one = 1;
  ASSERT_EQ(write(wake, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(transport_->WaitReadableOrWoken(20000, wake));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(send(server_fd_, "d", 1, MSG_NOSIGNAL), 1);
  EXPECT_TRUE(transport_->WaitReadableOrWoken(10000, wake));
  EXPECT_TRUE(transport_->WaitReadable(0));
  close(wake);
}

}  // namespace
}  // namespace Voro
