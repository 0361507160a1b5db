// Telemetry as host requests: the fixed paths with the name appended as it is, the data's
// fields as the named arguments, and an already completed future with the host's outcome.
#include "plugin/telemetry_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/json_writer.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"

namespace Voro {
namespace {

using testing::FakeHost;
using testing::InitializedModule;

struct Sent {
  uint32_t method = 0;
  std::string path;
  std::string arguments;  // compact JSON of the named arguments
};

class TelemetrySenderTest : public ::testing::Test {
 protected:
  TelemetrySenderTest() : module_(&host_), sender_(module_.get()) {
    host_.on_request = [this](HostResponse* response, const HostRequest* request) {
      BindingProperty arguments;
      for (uint32_t i = 0; i < request->argument_count; ++i) {
        BindingResult value = FromAbiValue(request->arguments[i].value, request->arguments[i].name);
        arguments[request->arguments[i].name] = value.value();
      }
      sent_.push_back({request->method, request->path, WriteJson(arguments)});
      if (!fail_with_.empty()) {
        response->error_text = strdup(fail_with_.c_str());
        response->failed = 1;
        response->status_code = 503;
      }
      response->release = [](HostResponse* r) {
        std::free(r->error_text);
        r->error_text = nullptr;
      };
    };
  }

  FakeHost host_;
  InitializedModule module_;
  TelemetrySender sender_;
  std::vector<Sent> sent_;
  std::string fail_with_;
};

TEST_F(TelemetrySenderTest, EventGoesToItsPathWithTheRecordAsArguments) {
  std::map<std::string, std::string> record{{"login_succeeded", "true"}, {"attempt", "2"}};
  std::future<RequestResult<void>> future = sender_.SendTelemetryEvent("login_result", record);
  ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  EXPECT_TRUE(future.get().ok());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].method, uint32_t{KIV_METHOD_POST});
  EXPECT_EQ(sent_[0].path, "/telemetry/v1/events/login_result");
  EXPECT_EQ(sent_[0].arguments, R"({"attempt":"2","login_succeeded":"true"})");
}

TEST_F(TelemetrySenderTest, HostRefusalIsInTheCompletedFuture) {
  fail_with_ = "telemetry is off";
  std::future<RequestResult<void>> future =
      sender_.SendTelemetryEvent("login_queue_timing", std::map<std::string, std::string>{});
  ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  RequestResult<void> result = future.get();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.failure().status, 503);
  EXPECT_EQ(result.failure().message,
            "Error response for POST /telemetry/v1/events/login_queue_timing: telemetry is off");
}

TEST_F(TelemetrySenderTest, CommonDataGoesToItsPathAndFailuresAreIgnored) {
  sender_.SetTelemetryCommonData("platform_id",
                                 std::map<std::string, std::string>{{"value", "LOCAL1"}});
  fail_with_ = "no";
  sender_.SetTelemetryCommonData("account_id", std::map<std::string, std::string>{});
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].path, "/telemetry/v1/common-data/platform_id");
  EXPECT_EQ(sent_[0].method, uint32_t{KIV_METHOD_POST});
  EXPECT_EQ(sent_[0].arguments, R"({"value":"LOCAL1"})");
  EXPECT_EQ(sent_[1].path, "/telemetry/v1/common-data/account_id");
}

TEST(TelemetryPathTest, NameIsAppendedAsItIs) {
  EXPECT_EQ(TelemetrySender::EventPath("x"), "/telemetry/v1/events/x");
  EXPECT_EQ(TelemetrySender::EventPath("/x"), "/telemetry/v1/events//x");
  EXPECT_EQ(TelemetrySender::EventPath(""), "/telemetry/v1/events/");
  EXPECT_EQ(TelemetrySender::CommonDataPath("account_id"), "/telemetry/v1/common-data/account_id");
}

}  // namespace
}  // namespace Voro
