// What `kivhost login` shows: the session's changes as the plugin publishes them, the
// telemetry the host recorded, and the host's event sink that feeds them.
#include "host/login_progress.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/abi_value.h"
#include "host/host_endpoints.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"
#include "host/telemetry_summary.h"

namespace kivhost {
namespace {

std::string Update(const std::string& session) {
  return R"({"uri":"/kiv-login/v1/session","eventType":"Update","data":)" + session + "}";
}

TEST(LoginProgressTest, OneLinePerVisibleChangeUntilSucceeded) {
  LoginProgress progress;
  EXPECT_EQ(progress.OnSession(R"({"state":"IN_PROGRESS","username":"alice"})"),
            "state IN_PROGRESS");
  // The same state again, with other fields changed: nothing to show.
  EXPECT_EQ(progress.OnResourceEvent(Update(R"({"state":"IN_PROGRESS","username":"bob"})")),
            std::nullopt);
  EXPECT_EQ(progress.OnResourceEvent(
                Update(R"({"state":"IN_PROGRESS","queueStatus":{"estimatedPositionInQueue":1200,)"
                       R"("isPositionCapped":true,"approximateWaitTimeSeconds":95}})")),
            "state IN_PROGRESS, queue position 1200 (capped), about 95 s to wait");
  EXPECT_EQ(progress.OnResourceEvent(
                Update(R"({"state":"IN_PROGRESS","queueStatus":{"estimatedPositionInQueue":3,)"
                       R"("isPositionCapped":false}})")),
            "state IN_PROGRESS, queue position 3");
  EXPECT_FALSE(progress.finished());
  EXPECT_EQ(progress.OnResourceEvent(Update(R"({"state":"SUCCEEDED","connected":true})")),
            "state SUCCEEDED");
  EXPECT_TRUE(progress.finished());
  EXPECT_EQ(progress.outcome(), LoginProgress::Outcome::kSucceeded);
  EXPECT_EQ(progress.state(), "SUCCEEDED");
  EXPECT_EQ(progress.error(), "");
  // A later close does not change how the login ended.
  EXPECT_EQ(progress.OnResourceEvent(
                R"({"uri":"/kiv-login/v1/session","eventType":"Delete","data":null})"),
            "session closed");
  EXPECT_EQ(progress.outcome(), LoginProgress::Outcome::kSucceeded);
  EXPECT_TRUE(progress.closed());
}

TEST(LoginProgressTest, ErrorCarriesTheSessionsFailure) {
  LoginProgress progress;
  EXPECT_EQ(progress.OnResourceEvent(
                Update(R"({"state":"ERROR","error":{"id":"ALE-54000003","messageId":)"
                       R"("INVALID_CREDENTIALS","description":"QSA rejected credentials."}})")),
            "state ERROR");
  EXPECT_EQ(progress.outcome(), LoginProgress::Outcome::kFailed);
  EXPECT_EQ(
      progress.error(),
      "id ALE-54000003, messageId INVALID_CREDENTIALS, description QSA rejected credentials.");
}

TEST(LoginProgressTest, NumericStatesCloseAndUnreadableEvents) {
  LoginProgress numeric;
  EXPECT_EQ(numeric.OnSession(R"({"state":2})"), "state LOGGING_OUT");
  EXPECT_EQ(numeric.OnSession(R"({"state":3})"), "state ERROR");
  EXPECT_EQ(numeric.outcome(), LoginProgress::Outcome::kFailed);

  LoginProgress closed;
  EXPECT_EQ(closed.OnSession(R"({"state":"IN_PROGRESS"})"), "state IN_PROGRESS");
  EXPECT_EQ(closed.OnResourceEvent(R"({"uri":"/kiv-login/v1/session","eventType":"Delete"})"),
            "session closed");
  EXPECT_EQ(closed.outcome(), LoginProgress::Outcome::kClosed);
  EXPECT_TRUE(closed.closed());
  EXPECT_FALSE(numeric.closed());

  LoginProgress bad;
  EXPECT_EQ(bad.OnResourceEvent("{not json"), "unreadable session event: not a JSON object");
  // The same line is not shown twice in a row.
  EXPECT_EQ(bad.OnResourceEvent("[1]"), std::nullopt);
  EXPECT_EQ(bad.OnResourceEvent(R"({"eventType":"Update","data":"x"})"),
            "unreadable session event: no session in \"data\"");
  EXPECT_EQ(bad.OnResourceEvent(Update(R"({"state":7})")),
            "unreadable session event: no \"state\"");
  EXPECT_EQ(bad.OnResourceEvent(Update(R"({"state":true,"queueStatus":[]})")), std::nullopt);
  EXPECT_EQ(bad.OnSession("null"), "unreadable session: not a JSON object");
  // Odd queue members are shown as far as they can be read.
  EXPECT_EQ(bad.OnResourceEvent(
                Update(R"({"state":"IN_PROGRESS","queueStatus":{"estimatedPositionInQueue":-1,)"
                       R"("isPositionCapped":1,"approximateWaitTimeSeconds":"soon"}})")),
            "state IN_PROGRESS, in the queue");
  EXPECT_EQ(bad.OnResourceEvent(Update(R"({"state":"IN_PROGRESS","error":"x"})")),
            "state IN_PROGRESS");
  EXPECT_EQ(bad.error(), "");
  EXPECT_FALSE(bad.finished());
  // Deep input is read without recursion.
  EXPECT_EQ(bad.OnResourceEvent(std::string(100000, '[') + std::string(100000, ']')),
            "unreadable session event: not a JSON object");
}

TEST(TelemetrySummaryTest, EventsWithTheirFieldsAndCommonData) {
  EXPECT_EQ(DescribeTelemetry({}), "telemetry: nothing sent\n");
  EXPECT_EQ(DescribeTelemetry({{"platform-id", "", R"({"platformId":"LOC1"})", ""}}),
            "telemetry: nothing sent\n");
  std::vector<SinkRecord> records = {
      {"events", "login_result",
       R"({"login_auth_duration_seconds":"0.250000","login_attempts":"1",)"
       R"("login_succeeded":"true","n":3,"o":{"a":[1]}})",
       ""},
      {"common-data", "platform_id", R"({"value":"LOC1"})", ""},
      {"platform-id", "", R"({"platformId":"LOC1"})", ""},
      {"events", "login_queue_timing", "{not json", ""},
  };
  EXPECT_EQ(DescribeTelemetry(records),
            "telemetry event login_result\n"
            "    login_auth_duration_seconds = 0.250000\n"
            "    login_attempts = 1\n"
            "    login_succeeded = true\n"
            "    n = 3\n"
            "    o = {\"a\":[1]}\n"
            "telemetry common data platform_id = {\"value\":\"LOC1\"}\n"
            "telemetry event login_queue_timing\n"
            "    {not json\n");
}

// The telemetry the plugin sends is recorded by the host's endpoints, field by field, in
// the order of the requests, and the summary shows it.
TEST(TelemetrySummaryTest, TheHostRecordsTelemetryRequests) {
  HostEndpoints endpoints;
  auto post = [&](const char* path, const std::vector<std::pair<const char*, const char*>>& args) {
    std::vector<BindingAbiNamedValue> values(args.size());
    for (size_t i = 0; i < args.size(); ++i) {
      values[i].name = args[i].first;
      ASSERT_TRUE(MakeOwnedString(args[i].second, &values[i].value));
    }
    HostRequest request{};
    request.method = KIV_METHOD_POST;
    request.path = path;
    request.arguments = values.data();
    request.argument_count = static_cast<uint32_t>(values.size());
    HostResponse response{};
    endpoints.Answer(request, &response);
    EXPECT_EQ(response.failed, 0u) << path;
    response.release(&response);
    for (BindingAbiNamedValue& value : values) ReleaseAbiValue(&value.value);
  };
  post("/telemetry/v1/events/login_result", {{"login_succeeded", "false"},
                                             {"login_error.id", "ALE-54000003"},
                                             {"login_error.messageId", "INVALID_CREDENTIALS"}});
  post("/telemetry/v1/common-data/account_id", {{"value", "4001"}});
  EXPECT_EQ(DescribeTelemetry(endpoints.records()),
            "telemetry event login_result\n"
            "    login_succeeded = false\n"
            "    login_error.id = ALE-54000003\n"
            "    login_error.messageId = INVALID_CREDENTIALS\n"
            "telemetry common data account_id = {\"value\":\"4001\"}\n");
}

TEST(HostEventSinkTest, SeesEveryEntryAsItIsAdded) {
  PluginThread thread;
  SubstituteHost host(&thread);
  std::vector<std::string> seen;  // only touched under the host's lock or after Settle
  host.SetEventSink([&](const EventRecord& record) {
    seen.push_back(std::to_string(record.kind) + " " + record.name + " " + record.payload);
  });
  HostApi* api = host.services()->api;
  api->SubscribeEvent(
      api, kSessionEventName, nullptr, [](const HostEvent*) {}, nullptr, 0);
  PluginEvent event{};
  event.name = kSessionEventName;
  std::string error;
  ASSERT_TRUE(AbiFromJsonText(R"({"state":"IN_PROGRESS"})", &event.payload, &error)) << error;
  thread.Invoke([&] { api->PublishEvent(api, &event); });
  ReleaseAbiValue(&event.payload);
  thread.Invoke([] {});  // the delivery has run
  ASSERT_TRUE(host.RaiseEvent("OnOther", "1", &error)) << error;
  host.SetEventSink(nullptr);
  ASSERT_TRUE(host.RaiseEvent("OnLater", "2", &error)) << error;
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "0 OnJsonApiEvent_kiv-login_v1_session {\"state\":\"IN_PROGRESS\"}",
                      "2 OnJsonApiEvent_kiv-login_v1_session {\"state\":\"IN_PROGRESS\"}",
                      "1 OnOther 1",
                  }));
  EXPECT_EQ(host.event_log().size(), 4u);
}

}  // namespace
}  // namespace kivhost
