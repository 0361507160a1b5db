#include <errno.h>  // program_invocation_short_name
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "diag/log.h"
#include "diag/log_record.h"
#include "diag/log_test_support.h"
#include "diag/logger.h"

namespace Voro {
namespace {

using testing_support::MakeRecord;

std::string Format(const std::string& message, const char* format, size_t size = kLogLineSize,
                   int32_t level = kLevelWarn, uint64_t tags = 0) {
  std::string out(size, '\x7f');
  const size_t length =
      Logger::FormatRecord(MakeRecord(level, tags, message.c_str()), format, out.data(), size);
  EXPECT_EQ(strlen(out.c_str()), length);
  return out.substr(0, length);
}

TEST(LogFormatTest, TokensAndTheTrailingNewline) {
  struct Row {
    const char* format;
    int32_t level;
    uint64_t tags;
    const char* message;
    std::string want;
  };
  const Row rows[] = {
      {"#D| #L| #G| #M", kLevelWarn, Tag::DBG | Tag::NET, "hello",
       "2024-02-03T04:05:06.007|   WARN| DBG;NET| hello\n"},
      {"#E", kLevelWarn, 0, "m", std::string(program_invocation_short_name) + "\n"},
      // Nothing in the program registers 56 tags, so the last bit has no name.
      {"[#G]", kLevelWarn, Tag::DBG | (uint64_t{1} << 63), "m", "[DBG;???]\n"},
      // "#" with any other character gives that character; tokens are upper case only.
      {"##|#Q|#m#d|a##M|trailing#", kLevelWarn, 0, "m", "#|Q|md|a#M|trailing\n"},
      // Exactly one newline ends the line, unless the message brings more.
      {"#M\n", kLevelWarn, 0, "x", "x\n"},
      {"#M", kLevelWarn, 0, "two\n\n", "two\n\n"},
      {nullptr, kLevelWarn, 0, "m", "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.format == nullptr ? "null" : row.format);
    EXPECT_EQ(Format(row.message, row.format, kLogLineSize, row.level, row.tags), row.want);
  }
  std::string names;
  for (int32_t level = -1; level <= 4; ++level)
    names += std::string(Logger::LevelName(level)) + "|";
  EXPECT_EQ(names, "   ???|  OKAY|  WARN| ERROR|ALWAYS|   ???|");
  char text[32];
  EXPECT_EQ(Logger::FormatTagNames(Tag::DBG | Tag::GEN, text, 6), 5u);
  EXPECT_STREQ(text, "DBG;G");
  EXPECT_EQ(Logger::FormatFileTime({2009, 12, 31, 23, 59, 8, 45}, text, sizeof text), 19);
  EXPECT_STREQ(text, "2009-12-31T23-59-08");
  const LocalTime now = Logger::CurrentLocalTime();
  EXPECT_TRUE(now.year >= 2020 && now.month >= 1 && now.month <= 12 && now.millisecond <= 999);
}

TEST(LogFormatTest, ThreadAndElapsedTime) {
  const std::string here = Format("m", "#T");
  EXPECT_EQ(here.rfind("0x", 0), 0u) << here;
  EXPECT_EQ(here.find_first_not_of("0123456789abcdef", 2), here.size() - 1) << here;
  std::string there;
  std::thread([&] { there = Format("m", "#T"); }).join();
  EXPECT_NE(there, here);
  const std::string elapsed = Format("m", "#H");  // "000012.345\n"
  ASSERT_EQ(elapsed.size(), 11u) << elapsed;
  EXPECT_EQ(elapsed.find_first_not_of("0123456789"), 6u) << elapsed;
  EXPECT_EQ(elapsed.find_first_not_of("0123456789", 7), 10u) << elapsed;
}

TEST(LogFormatTest, LineIsCutAtTheBufferWithItsNewline) {
  struct Row {
    const char* format;
    std::string message;
    size_t size;
    std::string want;
  };
  const Row rows[] = {
      {"#M", std::string(LogRecord::kMaxMessageLength, 'a'), kLogLineSize,
       std::string(4094, 'a') + "\n"},
      {"#M", std::string(4094, 'b') + "\n", kLogLineSize, std::string(4094, 'b') + "\n"},
      {"#M#M", std::string(3000, 'd'), kLogLineSize, std::string(4094, 'd') + "\n"},
      {"abcdef\nghij", "m", 8, "abcdef\n"},
      {"abcdef", "m", 8, "abcdef\n"},
      {"abc", "m", 2, "\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.format + std::to_string(row.size));
    EXPECT_EQ(Format(row.message, row.format, row.size), row.want);
  }
  EXPECT_EQ(Format("m", "abc", 1), "");
  char untouched = '#';
  EXPECT_EQ(Logger::FormatRecord(MakeRecord(kLevelWarn, 0, "m"), "abc", &untouched, 0), 0u);
  EXPECT_EQ(untouched, '#');
  LogRecord record;
  record.SetMessage(std::string(5000, 'z').c_str());
  EXPECT_EQ(std::string(record.message), std::string(4095, 'z'));
  record.SetMessage(nullptr);
  EXPECT_STREQ(record.message, "");
}

}  // namespace
}  // namespace Voro
