#include "diag/assertion.h"

#include <gtest/gtest.h>

#include <string>

#include "diag/log.h"
#include "diag/log_test_support.h"

namespace Voro {
namespace {

using testing_support::LoggerTest;

TEST(AssertionReportTest, CodeOnly) {
  EXPECT_EQ(AssertionReportText("ALE-EECF0606", "", "", 0, ""),
            "Assertion failed!\n\nExpression: ALE-EECF0606");
  EXPECT_EQ(AssertionReportText("ALE-EECF0606", nullptr, nullptr, 0, nullptr),
            "Assertion failed!\n\nExpression: ALE-EECF0606");
}

TEST(AssertionReportTest, CodeAndDescription) {
  EXPECT_EQ(AssertionReportText("ALE-54000003", "Failed to get commandLineParams", "", 0, ""),
            "Assertion failed!\n\nExpression: ALE-54000003\n\n"
            "Description: Failed to get commandLineParams");
}

TEST(AssertionReportTest, EveryPart) {
  EXPECT_EQ(AssertionReportText("x != nullptr", "no x", "login/attempt.cc", 42, "Attempt::Run"),
            "Assertion failed!\n\n"
            "File: login/attempt.cc\n"
            "Line: 42\n\n"
            "Function: Attempt::Run\n\n"
            "Expression: x != nullptr\n\n"
            "Description: no x");
}

TEST(AssertionReportTest, PartsAreIndependent) {
  EXPECT_EQ(AssertionReportText(nullptr, nullptr, nullptr, 0, nullptr), "Assertion failed!\n\n");
  EXPECT_EQ(AssertionReportText("", "", "f.cc", 0, ""), "Assertion failed!\n\nFile: f.cc\n");
  EXPECT_EQ(AssertionReportText("", "", "", -7, ""), "Assertion failed!\n\nLine: -7\n\n");
  EXPECT_EQ(AssertionReportText("", "", "", 0, "F"), "Assertion failed!\n\nFunction: F\n\n");
  EXPECT_EQ(AssertionReportText("", "why", "", 0, ""), "Assertion failed!\n\n\n\nDescription: why");
}

TEST_F(LoggerTest, ReportAssertionLogsAnErrorTaggedDebug) {
  SimulateInitialize();
  ReportAssertion("ALE-EECF0606", "", "", 0, "");
  // A report with a percent sign in it is not taken for a format.
  ReportAssertion("ALE-00000001", "100% sure %s", "", 0, "");
  const auto lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].tags, Tag::DBG);
  EXPECT_EQ(lines[0].message, "Assertion failed!\n\nExpression: ALE-EECF0606");
  EXPECT_EQ(lines[1].message,
            "Assertion failed!\n\nExpression: ALE-00000001\n\nDescription: 100% sure %s");
}

}  // namespace
}  // namespace Voro
