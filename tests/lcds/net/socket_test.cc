// Plain sockets: connecting, waiting for input, and the plain transport.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "diag/log_test_support.h"
#include "diag/system_error.h"
#include "lcds/net/connect_socket.h"
#include "lcds/net/net_test_peers.h"
#include "lcds/net/plain_transport.h"
#include "lcds/net/socket_wait.h"

namespace Voro {
namespace {

using std::chrono::milliseconds;
using namespace testing;

TEST(ConnectSocketTest, ConnectsWithNoDelayAndCloseOnExec) {
  LoopbackListener listener;
  ASSERT_NE(listener.port(), 0);
  for (const char* host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    const SocketResult result = ConnectSocket(host, listener.port());
    ASSERT_TRUE(result.ok()) << result.error.message;
    const int accepted = listener.Accept();
    ASSERT_GE(accepted, 0);
    EXPECT_NE(fcntl(result.fd, F_GETFD) & FD_CLOEXEC, 0);
    int nodelay = 0;
    socklen_t length = sizeof(nodelay);
    ASSERT_EQ(getsockopt(result.fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &length), 0);
    EXPECT_NE(nodelay, 0);
    ASSERT_EQ(send(result.fd, "x", 1, MSG_NOSIGNAL), 1);
    char c = 0;
    ASSERT_EQ(recv(accepted, &c, 1, 0), 1);
    EXPECT_EQ(c, 'x');
    close(accepted);
    close(result.fd);
  }
}

TEST(ConnectSocketTest, FailuresSayWhichStepFailed) {
  // A bound port that does not listen refuses, and nobody else can take it meanwhile.
  LoopbackListener not_listening(false);
  ASSERT_NE(not_listening.port(), 0);
  const struct {
    std::string host;
    uint16_t port;
    int code;  // -1: any resolver code
    std::string message;
  } rows[] = {
      {"::1", 4321, 11001, "Failed to resolve the endpoint ::1:4321"},  // IPv6 only
      // Without a resolver the lookup fails in another way, with the same message.
      {"no-such-host.invalid", 2099, -1,
       "Failed to resolve the endpoint no-such-host.invalid:2099"},
      {"127.0.0.1", not_listening.port(), ECONNREFUSED, "Failed to connect with socket"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.host);
    const SocketResult result = ConnectSocket(row.host, row.port);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(result.fd, -1);
    EXPECT_EQ(result.error.message, row.message);
    EXPECT_EQ(result.error.transferred, 0u);
    if (row.code == -1) {
      EXPECT_NE(result.error.error_code, 0);
    } else {
      EXPECT_EQ(result.error.error_code, row.code);
    }
  }
}

class SocketWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
    ASSERT_GE(wake_, 0);
  }
  void TearDown() override {
    for (int fd : {pair_[0], pair_[1], wake_}) close(fd);
  }

  int pair_[2] = {-1, -1};
  int wake_ = eventfd(0, EFD_CLOEXEC);
};

TEST_F(SocketWaitTest, DataOrHangUpIsReadableAWakeUpIsNot) {
  EXPECT_FALSE(WaitSocketReadable(pair_[0], 0, -1));
  EXPECT_FALSE(WaitSocketReadable(pair_[0], 10, wake_));
  std::thread writer = Later([&] { ASSERT_EQ(write(pair_[1], "a", 1), 1); });
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 10000, wake_));
  writer.join();
  EXPECT_TRUE(WaitSocketReadable(pair_[0], -5, wake_));
  char c;
  ASSERT_EQ(read(pair_[0], &c, 1), 1);

  ExpectWokenEarly(wake_, [this](int ms) { return WaitSocketReadable(pair_[0], ms, wake_); });
  // The wake descriptor is its owner's to drain; with data waiting too, data wins.
  ASSERT_EQ(write(pair_[1], "a", 1), 1);
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 0, wake_));

  close(pair_[1]);
  pair_[1] = -1;
  ASSERT_EQ(read(pair_[0], &c, 1), 1);
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 1000, -1));
  // No descriptor, and one no process can have open.
  EXPECT_FALSE(WaitSocketReadable(-1, 0, wake_));
  EXPECT_FALSE(WaitSocketReadable(INT_MAX, 0, -1));
}

TEST_F(SocketWaitTest, SignalsDoNotEndTheWaitEarly) {
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction previous {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t waiter = pthread_self();
  std::atomic<bool> waiting{true};
  std::thread signaller([&] {
    while (waiting) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(milliseconds(20));
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitSocketReadable(pair_[0], 300, -1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(290));
  waiting = false;
  signaller.join();
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(SocketWaitTest, DescriptorsAbove1024Work) {
  // select() cannot watch these; poll can.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int high = 1500;
  if (limit.rlim_cur < high + 2) {
    if (limit.rlim_max < high + 2) GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
    limit.rlim_cur = high + 2;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  ASSERT_EQ(dup3(pair_[0], high, O_CLOEXEC), high);
  ASSERT_EQ(dup3(wake_, high + 1, O_CLOEXEC), high + 1);
  EXPECT_FALSE(WaitSocketReadable(high, 0, high + 1));
  ASSERT_EQ(write(pair_[1], "a", 1), 1);
  EXPECT_TRUE(WaitSocketReadable(high, 1000, high + 1));
  close(high);
  close(high + 1);
}

TEST_F(SocketWaitTest, TimeoutsGoOnTheSocketBothWays) {
  SetSocketTimeouts(pair_[0], 1500);
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval value{};
    socklen_t length = sizeof(value);
    ASSERT_EQ(getsockopt(pair_[0], SOL_SOCKET, option, &value, &length), 0);
    EXPECT_EQ(value.tv_sec, 1);
    EXPECT_EQ(value.tv_usec, 500000);
  }
  SetSocketTimeouts(pair_[0], 30);
  char c;
  EXPECT_EQ(recv(pair_[0], &c, 1, 0), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

// A plain transport over a loopback connection, and the server's end of it.
class PlainTransportTest : public testing_support::LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SimulateInitialize();
    Connect();
  }
  void Connect() {
    const SocketResult connected = ConnectSocket("127.0.0.1", listener_.port());
    ASSERT_TRUE(connected.ok()) << connected.error.message;
    server_ = listener_.Accept();
    ASSERT_GE(server_, 0);
    transport_ = CreatePlainTransport(connected.fd);
  }
  void TearDown() override {
    transport_.reset();
    close(server_);
    LoggerTest::TearDown();
  }
  void CloseServer() {
    close(server_);
    server_ = -1;
  }

  LoopbackListener listener_;
  int server_ = -1;
  TransportPtr transport_;
};

TEST_F(PlainTransportTest, ExactLengthBothWaysAcrossManyPartialChunks) {
  // Larger than the socket buffers, so the client's one Write and one Read each take many
  // system calls, while the server moves bytes in small pieces of odd sizes.
  const std::vector<uint8_t> up = Pattern(3 << 20, 1);
  const std::vector<uint8_t> down = Pattern((2 << 20) + 77, 2);
  constexpr size_t kPieces[] = {1, 7, 4093, 113, 65537, 2, 1021, 16411};
  std::vector<uint8_t> received_up(up.size());
  auto move = [&](bool sending, uint8_t* bytes, size_t size) {
    for (size_t i = 0, done = 0; done < size; ++i) {
      const size_t want = std::min(kPieces[i % std::size(kPieces)], size - done);
      const ssize_t n = sending ? send(server_, bytes + done, want, MSG_NOSIGNAL)
                                : recv(server_, bytes + done, want, 0);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  };
  std::thread reader([&] { move(false, received_up.data(), up.size()); });
  std::thread writer([&] { move(true, const_cast<uint8_t*>(down.data()), down.size()); });
  const TransportResult written = transport_->Write(up.data(), up.size());
  std::vector<uint8_t> received_down(down.size());
  const TransportResult read = transport_->Read(received_down.data(), received_down.size());
  reader.join();
  writer.join();
  ASSERT_TRUE(written.ok()) << written.message;
  EXPECT_EQ(written.transferred, up.size());
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.transferred, down.size());
  EXPECT_TRUE(received_up == up);
  EXPECT_TRUE(received_down == down);
  EXPECT_EQ(transport_->Write(nullptr, 0).transferred, 0u);
}

TEST_F(PlainTransportTest, ReadSomeTakesWhatArrivedAndTryWriteWhatFits) {
  // ReadSome waits for the first byte, then returns what is there, up to its capacity.
  std::thread late = Later([this] { ASSERT_EQ(send(server_, "abcdef", 6, MSG_NOSIGNAL), 6); });
  uint8_t buffer[4];
  TransportResult some = transport_->ReadSome(buffer, sizeof(buffer));
  late.join();
  ASSERT_TRUE(some.ok()) << some.message;
  ASSERT_GE(some.transferred, 1u);
  ASSERT_LE(some.transferred, 4u);
  EXPECT_EQ(std::string(buffer, buffer + some.transferred), std::string("abcd", some.transferred));

  // With nobody reading, TryWrite stops where the socket is full instead of waiting.
  const std::vector<uint8_t> big = Pattern(64 << 20, 3);
  const size_t first = transport_->TryWrite(big.data(), big.size());
  EXPECT_GT(first, 0u);
  EXPECT_LT(first, big.size());
  EXPECT_EQ(transport_->TryWrite(big.data() + first, big.size() - first), 0u);

  transport_->Close();
  EXPECT_EQ(transport_->TryWrite(big.data(), 1), 0u);
  EXPECT_EQ(transport_->ReadSome(buffer, 1).error_code, EBADF);
}

TEST_F(PlainTransportTest, ReadFailuresCarryCodeTextAndCount) {
  ASSERT_EQ(send(server_, "abc", 3, MSG_NOSIGNAL), 3);
  CloseServer();
  uint8_t buffer[10] = {};
  TransportResult result = transport_->Read(buffer, sizeof(buffer));
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 0);
  EXPECT_EQ(result.message, "Socket gracefully closed from the other side.");
  EXPECT_EQ(result.transferred, 3u);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");

  // Lingering with a zero time-out makes close send a reset instead of an orderly end.
  Connect();
  linger abort{1, 0};
  ASSERT_EQ(setsockopt(server_, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort)), 0);
  CloseServer();
  result = transport_->Read(buffer, sizeof(buffer));
  EXPECT_EQ(result.error_code, ECONNRESET);
  EXPECT_EQ(result.message, SystemErrorText(ECONNRESET));
  EXPECT_EQ(result.transferred, 0u);
}

TEST_F(PlainTransportTest, ZeroByteReadIsReportedAsACallerError) {
  ExpectZeroByteReadRefused(*transport_, recorder_, "ALE-16892BF0");
  uint8_t buffer[1];
  ASSERT_EQ(send(server_, "z", 1, MSG_NOSIGNAL), 1);
  EXPECT_TRUE(transport_->Read(buffer, 1).ok());
  EXPECT_EQ(buffer[0], 'z');
}

TEST_F(PlainTransportTest, WriteToAVanishedPeerFailsWithoutSigpipe) {
  DefaultSigpipe default_action;
  CloseServer();
  ASSERT_TRUE(transport_->WaitReadable(5000));  // the peer's end of stream has arrived
  const TransportResult result = WriteUntilFailure(*transport_);
  ASSERT_TRUE(result.failed);
  EXPECT_TRUE(result.error_code == EPIPE || result.error_code == ECONNRESET) << result.error_code;
  EXPECT_EQ(result.message, SystemErrorText(result.error_code));
  EXPECT_TRUE(DefaultSigpipe::Clean());
}

TEST_F(PlainTransportTest, WaitTellsDataFromWakeUpAndNothingWorksAfterClose) {
  const int wake = eventfd(0, EFD_CLOEXEC);
  ASSERT_GE(wake, 0);
  EXPECT_FALSE(transport_->WaitReadable(0));
  Raise(wake);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(transport_->WaitReadableOrWoken(20000, wake));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(send(server_, "d", 1, MSG_NOSIGNAL), 1);
  EXPECT_TRUE(transport_->WaitReadableOrWoken(10000, wake));
  EXPECT_TRUE(transport_->WaitReadable(0));
  uint8_t buffer[4];
  ASSERT_TRUE(transport_->Read(buffer, 1).ok());  // unread, it would turn the close into a reset

  transport_->Close();
  transport_->Close();
  for (const TransportResult& failed :
       {transport_->Read(buffer, sizeof(buffer)), transport_->Write(buffer, sizeof(buffer))}) {
    EXPECT_TRUE(failed.failed);
    EXPECT_EQ(failed.error_code, EBADF);
    EXPECT_EQ(failed.message, SystemErrorText(EBADF));
    EXPECT_EQ(failed.transferred, 0u);
  }
  EXPECT_FALSE(transport_->WaitReadable(0));
  EXPECT_FALSE(transport_->WaitReadableOrWoken(0, wake));
  // The socket really went: the peer sees the end of the stream.
  char c;
  EXPECT_EQ(recv(server_, &c, 1, 0), 0);
  close(wake);
}

}  // namespace
}  // namespace Voro
