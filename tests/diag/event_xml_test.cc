#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/event_xml_document.h"
#include "diag/event_xml_log_target.h"
#include "diag/log.h"
#include "diag/log_record.h"
#include "diag/log_test_support.h"
#include "diag/logger.h"

namespace Voro {
namespace {

using testing_support::MakeRecord;

using testing_support::LoggerTest;

// Where the test callbacks put what they receive.
std::vector<std::string> g_first_documents;
std::vector<std::string> g_second_documents;
int32_t g_second_result = 1;

int32_t FirstCallback(const char* document) {
  g_first_documents.emplace_back(document);
  return 1;
}

int32_t SecondCallback(const char* document) {
  g_second_documents.emplace_back(document);
  return g_second_result;
}

std::string LogDocument(const std::string& type, const std::string& tags,
                        const std::string& message) {
  std::string document = "<?xml version=\"1.0\"?>\n<Event>\n   <Name>Log</Name>\n   <Params>\n";
  document += "      <Type>" + type + "</Type>\n";
  document += "      <Tags>" + tags + "</Tags>\n";
  document += "      <Message>" + message + "</Message>\n";
  return document + "   </Params>\n</Event>\n";
}

// Every "<" opens a tag and every "&" an entity, so the text between tags is plain.
bool IsWellFormedText(const std::string& document) {
  const std::string body = document.substr(document.find("<Event>"));
  std::vector<std::string> open;
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '&') {
      const size_t end = body.find(';', i);
      if (end == std::string::npos) {
        return false;
      }
      const std::string entity = body.substr(i, end - i + 1);
      if (entity != "&amp;" && entity != "&lt;" && entity != "&gt;" && entity != "&quot;" &&
          entity != "&apos;") {
        return false;
      }
    } else if (body[i] == '>' || body[i] == '"' || body[i] == '\'') {
      return false;
    } else if (body[i] == '<') {
      const size_t end = body.find('>', i);
      if (end == std::string::npos) {
        return false;
      }
      std::string name = body.substr(i + 1, end - i - 1);
      if (name.find_first_of("<&\"' ") != std::string::npos) {
        return false;
      }
      if (!name.empty() && name[0] == '/') {
        if (open.empty() || open.back() != name.substr(1)) {
          return false;
        }
        open.pop_back();
      } else {
        open.push_back(name);
      }
      i = end;
    }
  }
  return open.empty();
}

class EventXMLTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    SetNativeEventCallback(nullptr);
    g_first_documents.clear();
    g_second_documents.clear();
    g_second_result = 1;
  }
  void TearDown() override {
    SetNativeEventCallback(nullptr);
    LoggerTest::TearDown();
  }
};

TEST(EventXMLDocumentTest, PiecesInOrder) {
  EventXMLDocument document("Ping");
  document.AddParam("A", "1");
  document.AddParam("Bee", "");
  EXPECT_FALSE(document.IsClosed());
  document.Close();
  document.Close();
  document.AddParam("Late", "ignored");
  EXPECT_EQ(document.Text(),
            "<?xml version=\"1.0\"?>\n<Event>\n   <Name>Ping</Name>\n   <Params>\n"
            "      <A>1</A>\n      <Bee></Bee>\n   </Params>\n</Event>\n");

  EventXMLDocument empty("E");
  empty.Close();
  EXPECT_EQ(empty.Text(),
            "<?xml version=\"1.0\"?>\n<Event>\n   <Name>E</Name>\n   <Params>\n   </Params>\n"
            "</Event>\n");
}

TEST(EventXMLDocumentTest, EscapesNameKeysAndValues) {
  EventXMLDocument document("a&b");
  document.AddParam("K<", "<b>\"x\" & 'y'</b>");
  document.Close();
  EXPECT_EQ(document.Text(),
            "<?xml version=\"1.0\"?>\n<Event>\n   <Name>a&amp;b</Name>\n   <Params>\n"
            "      <K&lt;>&lt;b&gt;&quot;x&quot; &amp; &apos;y&apos;&lt;/b&gt;</K&lt;>\n"
            "   </Params>\n</Event>\n");

  // With ordinary keys, markup anywhere else cannot break the document.
  EventXMLDocument values("<Name> & </Name>");
  values.AddParam("Message", "</Message><Injected>'\"&amp;");
  values.AddParam("Empty", "");
  values.Close();
  EXPECT_TRUE(IsWellFormedText(values.Text())) << values.Text();
  EXPECT_FALSE(IsWellFormedText("<Event><A>x</B></Event>")) << "the checker itself";
  EXPECT_FALSE(IsWellFormedText("<Event><A>a & b</A></Event>")) << "the checker itself";
}

TEST(EventXMLDocumentTest, LongValuesArriveWhole) {
  const std::string value(10000, 'v');
  EventXMLDocument document("Big");
  document.AddParam("V", value);
  document.Close();
  EXPECT_NE(document.Text().find("<V>" + value + "</V>"), std::string::npos);
  EXPECT_GE(document.Text().capacity(), document.Text().size());
}

TEST_F(EventXMLTest, TargetSettings) {
  EventXMLLogTarget* target = EventXMLLogTarget::Instance();
  EXPECT_EQ(target, EventXMLLogTarget::Instance());
  EXPECT_STREQ(target->Name(), "EventXMLLogTarget");
  EXPECT_EQ(target->Format(), "#M");
  EXPECT_EQ(target->GetLevel(), 1);
  EXPECT_EQ(target->GetIncludeTags(), 0u);
  EXPECT_EQ(target->GetExcludeTags(), 0u);
}

TEST_F(EventXMLTest, WarningWithoutTags) {
  EXPECT_EQ(SetNativeEventCallback(&FirstCallback), &FirstCallback);
  EXPECT_TRUE(EventXMLLogTarget::Instance()->Write(MakeRecord(kLevelWarn, 0, "x")));
  ASSERT_EQ(g_first_documents.size(), 1u);
  EXPECT_EQ(g_first_documents[0],
            "<?xml version=\"1.0\"?>\n"
            "<Event>\n"
            "   <Name>Log</Name>\n"
            "   <Params>\n"
            "      <Type>  WARN</Type>\n"
            "      <Tags></Tags>\n"
            "      <Message>x\n</Message>\n"
            "   </Params>\n"
            "</Event>\n");
}

TEST_F(EventXMLTest, TagsAndMarkupInMessages) {
  SetNativeEventCallback(&FirstCallback);
  EventXMLLogTarget* target = EventXMLLogTarget::Instance();
  EXPECT_TRUE(target->Write(MakeRecord(kLevelError, Tag::DBG | Tag::NET, "a <b> & c")));
  EXPECT_TRUE(target->Write(MakeRecord(kLevelAlways, ~uint64_t{0}, "all")));
  ASSERT_EQ(g_first_documents.size(), 2u);
  EXPECT_EQ(g_first_documents[0], LogDocument(" ERROR", "DBG;NET", "a &lt;b&gt; &amp; c\n"));
  EXPECT_TRUE(IsWellFormedText(g_first_documents[0]));

  char all_tags[300];
  Logger::FormatTagNames(~uint64_t{0}, all_tags, sizeof all_tags);
  const std::string expected_tags = std::string(all_tags).substr(0, 255);
  EXPECT_EQ(g_first_documents[1], LogDocument("ALWAYS", expected_tags, "all\n"));
}

TEST_F(EventXMLTest, CallbackIsReplacedAndItsResultReported) {
  EventXMLLogTarget* target = EventXMLLogTarget::Instance();
  EXPECT_FALSE(target->Write(MakeRecord(kLevelWarn, 0, "nobody listens")));

  SetNativeEventCallback(&FirstCallback);
  EXPECT_EQ(SetNativeEventCallback(&SecondCallback), &SecondCallback);
  EXPECT_EQ(GetNativeEventCallback(), &SecondCallback);
  EXPECT_TRUE(target->Write(MakeRecord(kLevelWarn, 0, "to second")));
  g_second_result = 0;
  EXPECT_FALSE(target->Write(MakeRecord(kLevelWarn, 0, "refused")));
  EXPECT_TRUE(g_first_documents.empty());
  ASSERT_EQ(g_second_documents.size(), 2u);
  EXPECT_EQ(g_second_documents[1], LogDocument("  WARN", "", "refused\n"));
}

TEST_F(EventXMLTest, AttachingTwiceDeliversOnce) {
  SimulateInitialize();
  SetNativeEventCallback(&FirstCallback);
  AttachEventXMLLogTarget();
  AttachEventXMLLogTarget();
  EXPECT_TRUE(EventXMLLogTarget::Instance()->IsAttached());
  EXPECT_EQ(logger_->Targets().size(), 2u);  // the recorder and this one

  Log(kLevelWarn, Tag::DBG, "once %s", "only");
  Log(kLevelOkay, Tag::DBG, "below the target's level");
  ASSERT_EQ(g_first_documents.size(), 1u);
  EXPECT_EQ(g_first_documents[0], LogDocument("  WARN", "DBG", "once only\n"));
  // A failing target does not keep the record from the others.
  SetNativeEventCallback(nullptr);
  Log(kLevelWarn, 0, "after");
  EXPECT_EQ(recorder_.Messages().back(), "after");
  EventXMLLogTarget::Instance()->Detach();
}

}  // namespace
}  // namespace Voro
