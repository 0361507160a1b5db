// The small diagnostics helpers: assertion reports, clocks, system error texts, UUIDs and
// retry delays.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "diag/assertion.h"
#include "diag/clock.h"
#include "diag/log.h"
#include "diag/log_test_support.h"
#include "diag/retry_delay.h"
#include "diag/system_error.h"
#include "diag/uuid.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

using testing_support::LoggerTest;

TEST(AssertionReportTest, EachGivenPartHasItsLine) {
  struct Row {
    const char* code;
    const char* description;
    const char* file;
    int line;
    const char* function;
    std::string want;  // after "Assertion failed!\n\n"
  };
  const Row rows[] = {
      {"ALE-EECF0606", nullptr, nullptr, 0, nullptr, "Expression: ALE-EECF0606"},
      {"x != nullptr", "no x", "login/attempt.cc", 42, "Attempt::Run",
       "File: login/attempt.cc\nLine: 42\n\nFunction: Attempt::Run\n\nExpression: x != nullptr"
       "\n\nDescription: no x"},
      {nullptr, "", "", 0, "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.want);
    EXPECT_EQ(AssertionReportText(row.code, row.description, row.file, row.line, row.function),
              "Assertion failed!\n\n" + row.want);
  }
}

TEST_F(LoggerTest, ReportAssertionLogsAnErrorTaggedDebug) {
  SimulateInitialize();
  // A report with a percent sign in it is not taken for a format.
  ReportAssertion("ALE-00000001", "100% sure %s", "", 0, "");
  const auto lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].tags, Tag::DBG);
  EXPECT_EQ(lines[0].message,
            "Assertion failed!\n\nExpression: ALE-00000001\n\nDescription: 100% sure %s");
}

TEST(ClockTest, FileTimesAndInstalledSources) {
  // 369 years of 365 days plus 89 leap days between 1601 and 1970.
  EXPECT_EQ(UnixEpochFileTime(), (369LL * 365 + 89) * 86400 * 10'000'000);
  EXPECT_EQ(FileTimeFromUnix(0, 250), UnixEpochFileTime() + 2);
  // 2038-01-19 03:14:08 UTC, past the 32-bit time_t range.
  EXPECT_EQ(FileTimeToUnixMilliseconds(FileTimeFromUnix(2147483648LL, 5'999'999)), 2147483648005);
  const std::time_t before = std::time(nullptr);
  {
    testing::ManualClock clock(5'000, 42'000);
    {
      testing::ManualClock inner(2, 2);  // installations nest
      EXPECT_EQ(SteadyNowNanoseconds(), 2);
    }
    clock.AdvanceMilliseconds(300'000);  // five minutes, at once
    EXPECT_EQ(SteadyNowNanoseconds(), 5'000 + 300'000'000'000);
    EXPECT_EQ(NowUnixMilliseconds(), 342'000);
    // The real clocks stay reachable for code that must not be fooled.
    EXPECT_GE(RealUnixMilliseconds(), static_cast<int64_t>(before) * 1000);
  }
  EXPECT_LT(NowUnixMilliseconds(), (static_cast<int64_t>(std::time(nullptr)) + 1) * 1000);
  EXPECT_GT(SteadyNowNanoseconds(), 5'000 + 300'000'000'000);
}

TEST(SystemErrorTest, TheSystemsTextCutToTheBuffer) {
  EXPECT_EQ(SystemErrorText(ECONNREFUSED), "Connection refused");
  char buffer[64] = "####";
  EXPECT_EQ(SystemErrorText(ENOENT, buffer, 5), 4u);
  EXPECT_STREQ(buffer, "No s");
  EXPECT_EQ(SystemErrorText(ENOENT, buffer, 0), 0u);
  EXPECT_STREQ(buffer, "No s");
  // Without a text from the system, a fixed one, cut the same way.
  EXPECT_EQ(WriteErrorText(nullptr, buffer, 7), 6u);
  EXPECT_STREQ(buffer, "Failed");
  EXPECT_EQ(WriteErrorText(nullptr, buffer, sizeof buffer), 24u);
}

TEST(UuidTest, CreatedUuidsAreRandomVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    const std::optional<Uuid> uuid = CreateUuid();
    ASSERT_TRUE(uuid.has_value());
    const std::string text = UuidText(*uuid);
    EXPECT_EQ(text.size(), kUuidTextLength);
    EXPECT_EQ(text[14], '4') << "version";
    EXPECT_EQ((*uuid)[8] & 0xc0, 0x80) << "variant";
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 64u);
  // Text is the storage order, lower case, in groups; a failing source gives nothing.
  const std::optional<Uuid> given = CreateUuidFrom([](Uuid& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(0xf0 + i);
    return true;
  });
  ASSERT_TRUE(given.has_value());
  EXPECT_EQ(UuidText(*given), "f0f1f2f3-f4f5-f6f7-f8f9-fafbfcfdfeff");
  EXPECT_FALSE(CreateUuidFrom([](Uuid&) { return false; }).has_value());
}

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();

TEST(RetryDelayTest, CapDoublesFromTheMinimumUpToTheMaximum) {
  struct Row {
    uint32_t attempt;
    int64_t minimum;
    int64_t maximum;
    int64_t cap;
  };
  const Row rows[] = {
      {3, 2000, 30000, 16000},
      {4, 2000, 30000, 30000},
      // Non-positive bounds count as one; a minimum above the maximum gives the maximum.
      {5, -7, 100, 32},
      {5, 10, 0, 1},
      // The exponent stops at 31 and the doubling never overflows.
      {std::numeric_limits<uint32_t>::max(), 3, kInt64Max, int64_t{3} << 31},
      {31, int64_t{1} << 32, kInt64Max, kInt64Max},
      {31, (int64_t{1} << 32) - 1, kInt64Max, ((int64_t{1} << 32) - 1) << 31},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.attempt << " " << row.minimum << " " << row.maximum);
    EXPECT_EQ(RetryDelayCap(row.attempt, row.minimum, row.maximum), row.cap);
  }
  for (const auto& [device, seed] : std::vector<std::pair<uint64_t, uint32_t>>{
           {0, 1}, {2147483647, 1}, {2147483647ull + 5, 5}, {12345, 12345}}) {
    EXPECT_EQ(RetrySeedFromDevice(device), seed) << device;
  }
}

TEST(RetryDelayTest, DrawsFromManyThreadsStayWithinTheCapAndSpreadOverIt) {
  std::vector<int> out_of_range(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &out_of_range] {
      for (int i = 0; i < 5000; ++i) {
        const int64_t d = RetryDelay(static_cast<uint32_t>(i % 12), kReconnectBackoff);
        out_of_range[t] += d < 0 || d > kReconnectBackoff.maximum ? 1 : 0;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(out_of_range, std::vector<int>(4, 0));
  // Every tenth of [0, 30000] is hit, and the mean is near the middle.
  int tenths[10] = {};
  double sum = 0;
  constexpr int kDraws = 20000;
  for (int i = 0; i < kDraws; ++i) {
    const int64_t d = RetryDelay(10, kQueueAuthenticationBackoff);
    ASSERT_TRUE(d >= 0 && d <= 30000) << d;
    ++tenths[std::min<int64_t>(d * 10 / 30000, 9)];
    sum += static_cast<double>(d);
  }
  for (int t = 0; t < 10; ++t) EXPECT_GT(tenths[t], kDraws / 20) << "tenth " << t;
  EXPECT_NEAR(sum / kDraws, 15000.0, 600.0);
  // Seeds repeat their sequence.
  std::minstd_rand a(RetrySeedFromDevice(99)), b(RetrySeedFromDevice(99));
  for (uint32_t attempt = 0; attempt < 20; ++attempt) {
    EXPECT_EQ(RetryDelayWith(a, attempt, 1000, 256000), RetryDelayWith(b, attempt, 1000, 256000));
  }
}

}  // namespace
}  // namespace Voro
