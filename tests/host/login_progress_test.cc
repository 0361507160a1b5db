// What `kivhost login` shows: the session's changes as the plugin publishes them, and the
// telemetry the host recorded.
#include "host/login_progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/telemetry_summary.h"
#include "support/host_exchange.h"

namespace kivhost {
namespace {

std::string Update(const std::string& session) {
  return R"({"uri":"/kiv-login/v1/session","eventType":"Update","data":)" + session + "}";
}

// One input: a resource event, or (`session`) the session itself; and the line it shows.
struct Step {
  std::string input;
  std::optional<std::string> line;
  bool session = false;
};

// Feeds the steps in turn, checking the line each one shows; then how the login stands.
std::string Follow(LoginProgress* progress, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(step.input.substr(0, 120));
    EXPECT_EQ(
        step.session ? progress->OnSession(step.input) : progress->OnResourceEvent(step.input),
        step.line);
  }
  return std::to_string(int(progress->outcome())) + (progress->closed() ? " closed " : " ") +
         progress->state() + " [" + progress->error() + "]";
}

TEST(LoginProgressTest, OneLinePerVisibleChangeUntilTheEnd) {
  LoginProgress progress;
  EXPECT_EQ(
      Follow(&progress,
             {{R"({"state":"IN_PROGRESS","username":"alice"})", "state IN_PROGRESS", true},
              // The same state again, with other fields changed: nothing to show.
              {Update(R"({"state":"IN_PROGRESS","username":"bob"})"), std::nullopt},
              {Update(R"({"state":"IN_PROGRESS","queueStatus":{"estimatedPositionInQueue":1200,)"
                      R"("isPositionCapped":true,"approximateWaitTimeSeconds":95}})"),
               "state IN_PROGRESS, queue position 1200 (capped), about 95 s to wait"},
              {Update(R"({"state":"IN_PROGRESS","queueStatus":{"estimatedPositionInQueue":3,)"
                      R"("isPositionCapped":false}})"),
               "state IN_PROGRESS, queue position 3"},
              {Update(R"({"state":"SUCCEEDED","connected":true})"), "state SUCCEEDED"}}),
      "1 SUCCEEDED []");
  // A later close does not change how the login ended.
  EXPECT_EQ(Follow(&progress, {{R"({"uri":"/kiv-login/v1/session","eventType":"Delete",)"
                                R"("data":null})",
                                "session closed"}}),
            "1 closed SUCCEEDED []");

  LoginProgress error;
  EXPECT_EQ(Follow(&error, {{Update(R"({"state":"ERROR","error":{"id":"ALE-54000003",)"
                                    R"("messageId":"INVALID_CREDENTIALS","description":)"
                                    R"("QSA rejected credentials."}})"),
                             "state ERROR"}}),
            "2 ERROR [id ALE-54000003, messageId INVALID_CREDENTIALS, description QSA rejected "
            "credentials.]");
  LoginProgress numeric;
  EXPECT_EQ(Follow(&numeric, {{R"({"state":2})", "state LOGGING_OUT", true},
                              {R"({"state":3})", "state ERROR", true}}),
            "2 ERROR []");
  LoginProgress closed;
  EXPECT_EQ(Follow(&closed,
                   {{R"({"state":"IN_PROGRESS"})", "state IN_PROGRESS", true},
                    {R"({"uri":"/kiv-login/v1/session","eventType":"Delete"})", "session closed"}}),
            "3 closed IN_PROGRESS []");
}

TEST(LoginProgressTest, UnreadableEventsAndOddMembers) {
  LoginProgress bad;
  EXPECT_EQ(
      Follow(&bad,
             {{"{not json", "unreadable session event: not a JSON object"},
              // The same line is not shown twice in a row.
              {"[1]", std::nullopt},
              {R"({"eventType":"Update","data":"x"})",
               "unreadable session event: no session in \"data\""},
              {Update(R"({"state":7})"), "unreadable session event: no \"state\""},
              {Update(R"({"state":true,"queueStatus":[]})"), std::nullopt},
              {"null", "unreadable session: not a JSON object", true},
              // Odd queue members are shown as far as they can be read.
              {Update(R"({"state":"IN_PROGRESS","queueStatus":{"estimatedPositionInQueue":-1,)"
                      R"("isPositionCapped":1,"approximateWaitTimeSeconds":"soon"}})"),
               "state IN_PROGRESS, in the queue"},
              {Update(R"({"state":"IN_PROGRESS","error":"x"})"), "state IN_PROGRESS"},
              // Deep input is read without recursion.
              {std::string(100000, '[') + std::string(100000, ']'),
               "unreadable session event: not a JSON object"}}),
      "0 IN_PROGRESS []");
}

// The telemetry the plugin sends is recorded by the host's endpoints, field by field, in
// the order of the requests, and the summary shows it.
TEST(TelemetrySummaryTest, EventsWithTheirFieldsAndCommonData) {
  EXPECT_EQ(DescribeTelemetry({{"platform-id", "", R"({"platformId":"LOC1"})", ""}}),
            "telemetry: nothing sent\n");
  HostEndpoints endpoints;
  testing::Ask(endpoints, KIV_METHOD_POST, "/telemetry/v1/events/login_result",
               {{"login_succeeded", "false"}, {"login_error.id", "ALE-54000003"}});
  testing::Ask(endpoints, KIV_METHOD_POST, "/telemetry/v1/common-data/account_id",
               {{"value", "4001"}});
  std::vector<SinkRecord> records = endpoints.records();
  // Fields that are not strings are shown as JSON; an unreadable event as it came.
  records.push_back({"events", "login_queue_timing", R"({"n":3,"o":{"a":[1]}})", ""});
  records.push_back({"platform-id", "", R"({"platformId":"LOC1"})", ""});
  records.push_back({"events", "login_queue_timing", "{not json", ""});
  EXPECT_EQ(DescribeTelemetry(records),
            "telemetry event login_result\n"
            "    login_succeeded = false\n"
            "    login_error.id = ALE-54000003\n"
            "telemetry common data account_id = {\"value\":\"4001\"}\n"
            "telemetry event login_queue_timing\n"
            "    n = 3\n"
            "    o = {\"a\":[1]}\n"
            "telemetry event login_queue_timing\n"
            "    {not json\n");
}

}  // namespace
}  // namespace kivhost
