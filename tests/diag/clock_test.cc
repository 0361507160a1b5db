#include "diag/clock.h"

#include <gtest/gtest.h>

#include <ctime>

#include "support/manual_clock.h"

namespace Voro {
namespace {

TEST(ClockTest, UnixEpochFileTime) {
  // 369 years of 365 days plus 89 leap days between 1601 and 1970.
  EXPECT_EQ(UnixEpochFileTime(), (369LL * 365 + 89) * 86400 * 10'000'000);
}

TEST(ClockTest, FileTimeConversions) {
  EXPECT_EQ(FileTimeToUnixMilliseconds(FileTimeFromUnix(0, 0)), 0);
  EXPECT_EQ(FileTimeToUnixMilliseconds(FileTimeFromUnix(1, 0)), 1000);
  EXPECT_EQ(FileTimeToUnixMilliseconds(FileTimeFromUnix(1, 999'999'999)), 1999);
  EXPECT_EQ(FileTimeToUnixMilliseconds(FileTimeFromUnix(0, 1'500'000)), 1);
  EXPECT_EQ(FileTimeFromUnix(0, 250), UnixEpochFileTime() + 2);
  // 2038-01-19 03:14:08 UTC, past the 32-bit time_t range.
  EXPECT_EQ(FileTimeToUnixMilliseconds(FileTimeFromUnix(2147483648LL, 5'000'000)), 2147483648005LL);
  // 1601-01-01 itself.
  EXPECT_EQ(FileTimeToUnixMilliseconds(0), -UnixEpochFileTime() / 10'000);
}

TEST(ClockTest, NowAgreesWithTheSystemTime) {
  const std::time_t before = std::time(nullptr);
  const int64_t now = NowUnixMilliseconds();
  const std::time_t after = std::time(nullptr);
  EXPECT_GE(now, static_cast<int64_t>(before) * 1000);
  EXPECT_LT(now, (static_cast<int64_t>(after) + 1) * 1000);
}

TEST(ClockTest, SteadyClockNeverGoesBack) {
  int64_t last = SteadyNowNanoseconds();
  EXPECT_GT(last, 0);
  for (int i = 0; i < 1000; ++i) {
    const int64_t now = SteadyNowNanoseconds();
    ASSERT_GE(now, last);
    last = now;
  }
}

}  // namespace
}  // namespace Voro

namespace Voro {
namespace {

TEST(ClockSourceTest, AnInstalledSourceAnswersEveryReadingUntilRemoved) {
  {
    testing::ManualClock clock(5'000, 42'000);
    EXPECT_EQ(SteadyNowNanoseconds(), 5'000);
    EXPECT_EQ(NowUnixMilliseconds(), 42'000);
    clock.AdvanceMilliseconds(300'000);  // five minutes, at once
    EXPECT_EQ(SteadyNowNanoseconds(), 5'000 + 300'000'000'000);
    EXPECT_EQ(NowUnixMilliseconds(), 342'000);
    // The real clocks stay reachable for code that must not be fooled.
    EXPECT_GT(RealUnixMilliseconds(), 1'600'000'000'000);
  }
  // Removed: real time again.
  EXPECT_GT(NowUnixMilliseconds(), 1'600'000'000'000);
  EXPECT_NE(SteadyNowNanoseconds(), 5'000 + 300'000'000'000);
}

TEST(ClockSourceTest, InstallationsNest) {
  testing::ManualClock outer(1, 1);
  {
    testing::ManualClock inner(2, 2);
    EXPECT_EQ(SteadyNowNanoseconds(), 2);
  }
  EXPECT_EQ(SteadyNowNanoseconds(), 1);
}

}  // namespace
}  // namespace Voro
