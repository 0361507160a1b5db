#include "diag/retry_delay.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace Voro {
namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

TEST(RetryDelayTest, CapDoublesFromTheMinimumUpToTheMaximum) {
  EXPECT_EQ(RetryDelayCap(0, 2000, 30000), 2000);
  EXPECT_EQ(RetryDelayCap(1, 2000, 30000), 4000);
  EXPECT_EQ(RetryDelayCap(3, 2000, 30000), 16000);
  EXPECT_EQ(RetryDelayCap(4, 2000, 30000), 30000);
  EXPECT_EQ(RetryDelayCap(10, 2000, 30000), 30000);
  EXPECT_EQ(RetryDelayCap(8, 1000, 256000), 256000);
  EXPECT_EQ(RetryDelayCap(7, 1000, 256000), 128000);
  EXPECT_EQ(RetryDelayCap(0, 5000, 15000), 5000);
  EXPECT_EQ(RetryDelayCap(2, 5000, 15000), 15000);
}

TEST(RetryDelayTest, NonPositiveBoundsCountAsOne) {
  EXPECT_EQ(RetryDelayCap(0, 0, 100), 1);
  EXPECT_EQ(RetryDelayCap(5, -7, 100), 32);
  EXPECT_EQ(RetryDelayCap(5, 10, 0), 1);
  EXPECT_EQ(RetryDelayCap(5, 10, -3), 1);
  // A minimum above the maximum: the maximum wins.
  EXPECT_EQ(RetryDelayCap(0, 500, 100), 100);
  for (int i = 0; i < 100; ++i) {
    const int64_t d = RetryDelay(0, 0, 0);
    ASSERT_TRUE(d == 0 || d == 1) << d;
  }
}

TEST(RetryDelayTest, ExponentStopsAt31AndNeverOverflows) {
  EXPECT_EQ(RetryDelayCap(31, 1, kInt64Max), int64_t{1} << 31);
  EXPECT_EQ(RetryDelayCap(32, 1, kInt64Max), int64_t{1} << 31);
  EXPECT_EQ(RetryDelayCap(std::numeric_limits<uint32_t>::max(), 3, kInt64Max), int64_t{3} << 31);
  EXPECT_EQ(RetryDelayCap(40, kInt64Max, kInt64Max), kInt64Max);
  // 2^32 x 2^31 does not fit: the maximum.
  EXPECT_EQ(RetryDelayCap(31, int64_t{1} << 32, kInt64Max), kInt64Max);
  EXPECT_EQ(RetryDelayCap(31, (int64_t{1} << 32) - 1, kInt64Max), ((int64_t{1} << 32) - 1) << 31);
  for (uint32_t attempt : {31u, 1000u, std::numeric_limits<uint32_t>::max()}) {
    const int64_t d = RetryDelay(attempt, kInt64Max / 3, kInt64Max);
    EXPECT_GE(d, 0);
    EXPECT_LE(d, kInt64Max);
  }
}

TEST(RetryDelayTest, DrawsStayWithinEachLoopsBounds) {
  for (const RetryBackoff& backoff :
       {kLoginLoopBackoff, kQueueAuthenticationBackoff, kQueueTickerBackoff, kReconnectBackoff}) {
    for (uint32_t attempt = 0; attempt < 40; ++attempt) {
      const int64_t cap = RetryDelayCap(attempt, backoff.minimum, backoff.maximum);
      ASSERT_LE(cap, backoff.maximum);
      for (int i = 0; i < 200; ++i) {
        const int64_t d = RetryDelay(attempt, backoff);
        ASSERT_GE(d, 0);
        ASSERT_LE(d, cap) << "attempt " << attempt;
      }
    }
  }
  // The examples the loops rely on.
  for (int i = 0; i < 1000; ++i) {
    ASSERT_LE(RetryDelay(0, 2000, 30000), 2000);
    ASSERT_LE(RetryDelay(10, 2000, 30000), 30000);
  }
}

TEST(RetryDelayTest, DrawsSpreadOverTheWholeRange) {
  // Both ends are reachable: with a cap of 1, 0 and 1 each come up.
  bool seen[2] = {false, false};
  for (int i = 0; i < 400; ++i) {
    seen[RetryDelay(0, 1, 1)] = true;
  }
  EXPECT_TRUE(seen[0]);
  EXPECT_TRUE(seen[1]);

  // Every tenth of [0, 30000] is hit, and the mean is near the middle.
  int tenths[10] = {};
  double sum = 0;
  constexpr int kDraws = 20000;
  for (int i = 0; i < kDraws; ++i) {
    const int64_t d = RetryDelay(10, kQueueAuthenticationBackoff);
    ++tenths[std::min<int64_t>(d * 10 / 30000, 9)];
    sum += static_cast<double>(d);
  }
  for (int t = 0; t < 10; ++t) {
    EXPECT_GT(tenths[t], kDraws / 20) << "tenth " << t;
  }
  EXPECT_NEAR(sum / kDraws, 15000.0, 600.0);

  // A cap above the engine's 31-bit range still reaches its upper half.
  bool high = false;
  for (int i = 0; i < 200 && !high; ++i) {
    high = RetryDelay(31, 1 << 20, kInt64Max) > (int64_t{1} << 50);
  }
  EXPECT_TRUE(high);
}

TEST(RetryDelayTest, SeedFromDeviceValue) {
  constexpr uint64_t kModulus = 2147483647;
  EXPECT_EQ(RetrySeedFromDevice(0), 1u);
  EXPECT_EQ(RetrySeedFromDevice(kModulus), 1u);
  EXPECT_EQ(RetrySeedFromDevice(kModulus + 5), 5u);
  EXPECT_EQ(RetrySeedFromDevice(0xffffffffu), 1u);   // 2 x modulus + 1
  EXPECT_EQ(RetrySeedFromDevice(2 * kModulus), 1u);  // 0 becomes 1
  EXPECT_EQ(RetrySeedFromDevice(kModulus - 1), kModulus - 1);
  EXPECT_EQ(RetrySeedFromDevice(12345), 12345u);
}

TEST(RetryDelayTest, FixedSeedGivesARepeatableSequence) {
  std::minstd_rand a(RetrySeedFromDevice(99)), b(RetrySeedFromDevice(99)),
      c(RetrySeedFromDevice(100));
  std::vector<int64_t> first, second, other;
  for (uint32_t attempt = 0; attempt < 20; ++attempt) {
    first.push_back(RetryDelayWith(a, attempt, 1000, 256000));
    second.push_back(RetryDelayWith(b, attempt, 1000, 256000));
    other.push_back(RetryDelayWith(c, attempt, 1000, 256000));
  }
  EXPECT_EQ(first, second);
  EXPECT_NE(first, other);
}

TEST(RetryDelayTest, ManyThreadsMayDraw) {
  std::vector<std::thread> threads;
  threads.reserve(4);
  std::vector<int> out_of_range(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &out_of_range] {
      for (int i = 0; i < 5000; ++i) {
        const int64_t d = RetryDelay(static_cast<uint32_t>(i % 12), kReconnectBackoff);
        if (d < 0 || d > kReconnectBackoff.maximum) {
          ++out_of_range[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(out_of_range, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace Voro
