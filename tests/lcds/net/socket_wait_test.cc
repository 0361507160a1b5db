#include "lcds/net/socket_wait.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <thread>

namespace Voro {
namespace {

class SocketWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_), 0);
    wake_ = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(wake_, 0);
  }
  void TearDown() override {
    for (int fd : {pair_[0], pair_[1], wake_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }

  int pair_[2] = {-1, -1};
  int wake_ = -1;
};

TEST_F(SocketWaitTest, ReadableWhenDataArrivesNotBefore) {
  EXPECT_FALSE(WaitSocketReadable(pair_[0], 0, -1));
  EXPECT_FALSE(WaitSocketReadable(pair_[0], 10, wake_));
  ASSERT_EQ(write(pair_[1], "a", 1), 1);
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 0, -1));
  EXPECT_TRUE(WaitSocketReadable(pair_[0], -5, wake_));
}

TEST_F(SocketWaitTest, DataArrivingDuringTheWaitEndsIt) {
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(write(pair_[1], "a", 1), 1);
  });
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 10000, wake_));
  writer.join();
}

TEST_F(SocketWaitTest, WakeUpEndsTheWaitWithFalse) {
  const auto start = std::chrono::steady_clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t one = 1;
    ASSERT_EQ(write(wake_, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
  });
  EXPECT_FALSE(WaitSocketReadable(pair_[0], 20000, wake_));
  waker.join();
  // Woken, not timed out: far sooner than the time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  // The wake descriptor is its owner's to drain; with data waiting too, data wins.
  ASSERT_EQ(write(pair_[1], "a", 1), 1);
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 0, wake_));
}

TEST_F(SocketWaitTest, HangUpCountsAsReadable) {
  close(pair_[1]);
  pair_[1] = -1;
  EXPECT_TRUE(WaitSocketReadable(pair_[0], 1000, -1));
}

TEST_F(SocketWaitTest, InvalidDescriptorIsNeverReadable) {
  EXPECT_FALSE(WaitSocketReadable(-1, 0, wake_));
  int closed[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, closed), 0);
  close(closed[0]);
  close(closed[1]);
  EXPECT_FALSE(WaitSocketReadable(closed[0], 0, -1));
}

TEST_F(SocketWaitTest, DescriptorsAbove1024Work) {
  // select() cannot watch these; poll can.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int high = 1500;
  const rlim_t needed = high + 2;
  if (limit.rlim_cur < needed) {
    if (limit.rlim_max < needed) {
      GTEST_SKIP() << "the descriptor limit " << limit.rlim_max << " is too low";
    }
    limit.rlim_cur = needed;
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

TEST_F(SocketWaitTest, TimeoutsGoOnTheSocket) {
  SetSocketTimeouts(pair_[0], 1500);
  timeval value{};
  socklen_t length = sizeof(value);
  ASSERT_EQ(getsockopt(pair_[0], SOL_SOCKET, SO_RCVTIMEO, &value, &length), 0);
  EXPECT_EQ(value.tv_sec, 1);
  EXPECT_EQ(value.tv_usec, 500000);
  ASSERT_EQ(getsockopt(pair_[0], SOL_SOCKET, SO_SNDTIMEO, &value, &length), 0);
  EXPECT_EQ(value.tv_sec, 1);
  EXPECT_EQ(value.tv_usec, 500000);
  // A blocking read now gives up.
  SetSocketTimeouts(pair_[0], 30);
  char c;
  EXPECT_EQ(recv(pair_[0], &c, 1, 0), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace
}  // namespace Voro
