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

// True when text is prefix, then at least one character of allowed, then suffix.
bool Matches(const std::string& text, const std::string& prefix, const char* allowed,
             const std::string& suffix) {
  if (text.size() <= prefix.size() + suffix.size()) {
    return false;
  }
  if (text.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  if (text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string middle =
      text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  return middle.find_first_not_of(allowed) == std::string::npos;
}

std::string Format(const LogRecord& record, const char* format, size_t size = kLogLineSize) {
  std::string out(size, '\x7f');
  const size_t length = Logger::FormatRecord(record, format, out.data(), size);
  EXPECT_EQ(out[length], '\0');
  EXPECT_EQ(strlen(out.c_str()), length);
  return out.substr(0, length);
}

TEST(LogFormatTest, Tokens) {
  const LogRecord record = MakeRecord(kLevelWarn, Tag::DBG | Tag::NET, "hello");
  EXPECT_EQ(Format(record, "#D"), "2024-02-03T04:05:06.007\n");
  EXPECT_EQ(Format(record, "#L"), "  WARN\n");
  EXPECT_EQ(Format(record, "#G"), "DBG;NET\n");
  EXPECT_EQ(Format(record, "#M"), "hello\n");
  EXPECT_EQ(Format(record, "#E"), std::string(program_invocation_short_name) + "\n");
  EXPECT_EQ(Format(record, "#D| #L| #G| #M"), "2024-02-03T04:05:06.007|   WARN| DBG;NET| hello\n");
}

TEST(LogFormatTest, HashWithAnyOtherCharacterGivesThatCharacter) {
  const LogRecord record = MakeRecord(kLevelWarn, 0, "m");
  EXPECT_EQ(Format(record, "##"), "#\n");
  EXPECT_EQ(Format(record, "#Q"), "Q\n");
  EXPECT_EQ(Format(record, "#m#d#|"), "md|\n");  // tokens are upper case only
  EXPECT_EQ(Format(record, "a##M"), "a#M\n");
  EXPECT_EQ(Format(record, "trailing#"), "trailing\n");
}

TEST(LogFormatTest, ExactlyOneTrailingNewline) {
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "line\n"), "#M"), "line\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "x"), "#M\n"), "x\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "two\n\n"), "#M"), "two\n\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), ""), "\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), nullptr), "\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, ""), "#M"), "\n");
}

TEST(LogFormatTest, TagNames) {
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), "[#G]"), "[]\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, Tag::TST | Tag::GEN | Tag::XTR, "m"), "#G"),
            "GEN;XTR;TST\n");
  // Nothing in the program registers 56 tags, so the last bit has no name.
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, Tag::DBG | (uint64_t{1} << 63), "m"), "#G"), "DBG;???\n");

  char text[6];
  EXPECT_EQ(Logger::FormatTagNames(Tag::DBG | Tag::GEN, text, sizeof text), 5u);
  EXPECT_STREQ(text, "DBG;G");
}

TEST(LogFormatTest, LevelNames) {
  EXPECT_STREQ(Logger::LevelName(0), "  OKAY");
  EXPECT_STREQ(Logger::LevelName(1), "  WARN");
  EXPECT_STREQ(Logger::LevelName(2), " ERROR");
  EXPECT_STREQ(Logger::LevelName(3), "ALWAYS");
  EXPECT_EQ(strlen(Logger::LevelName(4)), 6u);
  EXPECT_EQ(strlen(Logger::LevelName(-1)), 6u);
  EXPECT_EQ(Format(MakeRecord(kLevelAlways, 0, "m"), "#L"), "ALWAYS\n");
}

TEST(LogFormatTest, TimeTexts) {
  const LocalTime time{2009, 12, 31, 23, 59, 8, 45};
  char text[32];
  EXPECT_EQ(Logger::FormatTime(time, text, sizeof text), 23);
  EXPECT_STREQ(text, "2009-12-31T23:59:08.045");
  EXPECT_EQ(Logger::FormatFileTime(time, text, sizeof text), 19);
  EXPECT_STREQ(text, "2009-12-31T23-59-08");

  const LocalTime now = Logger::CurrentLocalTime();
  EXPECT_GE(now.year, 2020);
  EXPECT_TRUE(now.month >= 1 && now.month <= 12);
  EXPECT_TRUE(now.day >= 1 && now.day <= 31);
  EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
  EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
}

TEST(LogFormatTest, ThreadAndElapsedTime) {
  const LogRecord record = MakeRecord(kLevelWarn, 0, "m");
  const std::string here = Format(record, "#T");
  EXPECT_TRUE(Matches(here, "0x", "0123456789abcdef", "\n")) << here;
  EXPECT_EQ(Format(record, "#T"), here);
  std::string there;
  std::thread([&] { there = Format(record, "#T"); }).join();
  EXPECT_NE(there, here);

  const std::string elapsed = Format(record, "#H");
  ASSERT_EQ(elapsed.size(), 11u) << elapsed;
  EXPECT_EQ(elapsed[6], '.') << elapsed;
  EXPECT_TRUE(Matches(elapsed.substr(0, 6), "", "0123456789", "")) << elapsed;
  EXPECT_TRUE(Matches(elapsed.substr(7), "", "0123456789", "\n")) << elapsed;
}

TEST(LogFormatTest, LineIsCutAtTheBufferWithItsNewline) {
  const std::string full(LogRecord::kMaxMessageLength, 'a');
  std::string line = Format(MakeRecord(kLevelWarn, 0, full.c_str()), "#M");
  ASSERT_EQ(line.size(), 4095u);
  EXPECT_EQ(line, std::string(4094, 'a') + "\n");

  // The same with a message that already ends in a newline at the last place.
  const std::string ending = std::string(4094, 'b') + "\n";
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, ending.c_str()), "#M"), ending);

  // One short of full: the newline is appended, not written over the message.
  const std::string short_one(4094, 'c');
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, short_one.c_str()), "#M"), short_one + "\n");

  // Tokens keep expanding until the buffer is full.
  const std::string half(3000, 'd');
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, half.c_str()), "#M#M"), std::string(4094, 'd') + "\n");

  // A small buffer follows the same rule.
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), "abcdefghij", 8), "abcdef\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), "abcdef\nghij", 8), "abcdef\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), "abcdefg", 8), "abcdef\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), "abcdef", 8), "abcdef\n");
  EXPECT_EQ(Format(MakeRecord(kLevelWarn, 0, "m"), "abc", 2), "\n");
}

TEST(LogRecordTest, SetMessageCutsAt4095) {
  LogRecord record;
  const std::string longer(5000, 'z');
  record.SetMessage(longer.c_str());
  EXPECT_EQ(std::string(record.message), std::string(4095, 'z'));
  record.SetMessage(nullptr);
  EXPECT_STREQ(record.message, "");
}

}  // namespace
}  // namespace Voro
