#include "diag/system_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace Voro {
namespace {

TEST(SystemErrorTest, KnownCodesGiveTheSystemsText) {
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(SystemErrorText(ECONNREFUSED), "Connection refused");
  char buffer[128];
  EXPECT_EQ(SystemErrorText(EACCES, buffer, sizeof buffer), std::strlen("Permission denied"));
  EXPECT_STREQ(buffer, "Permission denied");
}

TEST(SystemErrorTest, TextIsCutToTheBuffer) {
  char buffer[5] = "####";
  EXPECT_EQ(SystemErrorText(ENOENT, buffer, sizeof buffer), 4u);
  EXPECT_STREQ(buffer, "No s");
  EXPECT_EQ(SystemErrorText(ENOENT, buffer, 1), 0u);
  EXPECT_STREQ(buffer, "");
  buffer[0] = '#';
  EXPECT_EQ(SystemErrorText(ENOENT, buffer, 0), 0u);
  EXPECT_EQ(buffer[0], '#');
}

TEST(SystemErrorTest, UnknownCodeStillGivesText) {
  const std::string text = SystemErrorText(123456);
  EXPECT_FALSE(text.empty());
  EXPECT_TRUE(text == "Unknown error 123456" || text == kErrorTextUnavailable) << text;
}

TEST(SystemErrorTest, FailureTextIsCutToo) {
  char buffer[64];
  EXPECT_EQ(WriteErrorText(nullptr, buffer, sizeof buffer), std::strlen(kErrorTextUnavailable));
  EXPECT_STREQ(buffer, "Failed to get error text");
  EXPECT_EQ(WriteErrorText(nullptr, buffer, 7), 6u);
  EXPECT_STREQ(buffer, "Failed");
  EXPECT_EQ(WriteErrorText("given", buffer, sizeof buffer), 5u);
  EXPECT_STREQ(buffer, "given");
}

}  // namespace
}  // namespace Voro
