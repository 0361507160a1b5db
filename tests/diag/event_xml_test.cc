#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/event_xml_document.h"
#include "diag/event_xml_log_target.h"
#include "diag/log.h"
#include "diag/log_test_support.h"
#include "diag/logger.h"

namespace Voro {
namespace {

using testing_support::LoggerTest;
using testing_support::MakeRecord;
using Documents = std::vector<std::string>;

const std::string kHead = "<?xml version=\"1.0\"?>\n<Event>\n   <Name>";
const std::string kTail = "   </Params>\n</Event>\n";

// What the callback was handed, and what it answers.
Documents g_documents;
int32_t g_answer = 1;

int32_t Callback(const char* document) {
  g_documents.emplace_back(document);
  return g_answer;
}

std::string LogDocument(const std::string& type, const std::string& tags,
                        const std::string& message) {
  return kHead + "Log</Name>\n   <Params>\n      <Type>" + type + "</Type>\n      <Tags>" + tags +
         "</Tags>\n      <Message>" + message + "</Message>\n" + kTail;
}

TEST(EventXMLDocumentTest, PiecesInOrderWithMarkupEscapedEverywhere) {
  const std::string long_value(10000, 'v');
  EventXMLDocument document("a&b");
  document.AddParam("K<", "<b>\"x\" & 'y'</b>");
  document.AddParam("Long", long_value);
  document.Close();
  EXPECT_TRUE(document.IsClosed());
  document.Close();
  document.AddParam("Late", "ignored");
  EXPECT_EQ(document.Text(), kHead + "a&amp;b</Name>\n   <Params>\n" +
                                 "      <K&lt;>&lt;b&gt;&quot;x&quot; &amp; &apos;y&apos;&lt;/b&gt;"
                                 "</K&lt;>\n      <Long>" +
                                 long_value + "</Long>\n" + kTail);
}

TEST_F(LoggerTest, EventXMLTargetHandsOneDocumentPerRecordToTheCallback) {
  EventXMLLogTarget* target = EventXMLLogTarget::Instance();
  SetNativeEventCallback(nullptr);
  EXPECT_FALSE(target->Write(MakeRecord(kLevelWarn, 0, "nobody listens")));
  g_documents.clear();
  g_answer = 1;
  EXPECT_EQ(SetNativeEventCallback(&Callback), &Callback);
  char all_tags[300];
  Logger::FormatTagNames(~uint64_t{0}, all_tags, sizeof all_tags);
  EXPECT_TRUE(target->Write(MakeRecord(kLevelAlways, ~uint64_t{0}, "a <b> & c")));
  g_answer = 0;  // the callback's answer is the target's
  EXPECT_FALSE(target->Write(MakeRecord(kLevelWarn, 0, "refused")));
  g_answer = 1;

  // Attached twice, it still delivers once, from its own level on.
  SimulateInitialize();
  AttachEventXMLLogTarget();
  AttachEventXMLLogTarget();
  EXPECT_EQ(logger_->Targets().size(), 2u);  // the recorder and this one
  Log(kLevelWarn, Tag::DBG, "once %s", "only");
  Log(kLevelOkay, Tag::DBG, "below the target's level");
  EXPECT_EQ(g_documents, (Documents{LogDocument("ALWAYS", std::string(all_tags).substr(0, 255),
                                                "a &lt;b&gt; &amp; c\n"),
                                    LogDocument("  WARN", "", "refused\n"),
                                    LogDocument("  WARN", "DBG", "once only\n")}));
  // A failing target does not keep the record from the others.
  SetNativeEventCallback(nullptr);
  Log(kLevelWarn, 0, "after");
  EXPECT_EQ(recorder_.Messages().back(), "after");
  EXPECT_EQ(GetNativeEventCallback(), nullptr);
  target->Detach();
}

}  // namespace
}  // namespace Voro
