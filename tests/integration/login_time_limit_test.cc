// The login loop's 300-second limit, on a clock the test moves: the login module runs
// in-process in the substitute host against the simulated platform, whose platform login
// always fails, and the minutes of retries pass in a few seconds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "host/api_client.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"
#include "login/login_module.h"
#include "plugin/plugin_runtime.h"
#include "sim/local_platform.h"
#include "support/manual_clock.h"
#include "support/test_pki.h"

namespace {

TEST(LoginTimeLimitTest, ALaterLoginRetriesUntilThreeHundredSecondsHavePassed) {
  std::string why;
  const Voro::testing::TestPki* pki = Voro::testing::SharedTestPki(&why);
  ASSERT_NE(pki, nullptr) << why;
  Voro::Sim::Scenario scenario;
  Voro::Sim::PlatformAccount alice;
  alice.username = "alice";
  alice.password = "pw";
  alice.account_id = 7;
  scenario.accounts.push_back(alice);
  scenario.platform.faults.login = Voro::Sim::Fault::kError;
  Voro::Sim::LocalPlatformOptions options;
  options.rtmp_port = 0;
  options.queue_port = 0;
  Voro::Sim::LocalPlatform platform(scenario, options);
  ASSERT_TRUE(platform.Start(&why)) << why;
  const std::string region = pki->dir + "/time-limit-region.json";
  std::ofstream(region) << platform.RegionSettingsJson();

  Voro::testing::ManualClock clock;
  kivhost::PluginThread thread;
  kivhost::SubstituteHost host(&thread);
  ASSERT_TRUE(host.endpoints().LoadRegionFile(region, &why)) << why;
  PluginDescriptor descriptor{};
  descriptor.major = 17;
  descriptor.minor = 1;
  ASSERT_TRUE(
      Voro::PluginRuntime::Create(&descriptor, std::make_unique<Voro::LoginModule>(), "kiv-login"));
  bool initialized = false;
  thread.Invoke(
      [&] { initialized = descriptor.callbacks->Initialize(descriptor.module, host.services()); });
  ASSERT_TRUE(initialized);
  auto post = [&](const char* body) {
    kivhost::ApiCall call;
    call.method = KIV_METHOD_POST;
    call.path = "/kiv-login/v1/session";
    call.content_type = "application/json";
    call.body = body;
    kivhost::ApiCallResult result;
    const ApiEndpointRecord* endpoint =
        kivhost::FindEndpoint(*descriptor.api, KIV_METHOD_POST, call.path);
    ASSERT_NE(endpoint, nullptr);
    thread.Invoke([&] { EXPECT_TRUE(kivhost::CallEndpoint(*endpoint, call, &result, &why)); });
    EXPECT_EQ(result.status, 201) << result.error;
  };
  auto last_result = [&] {
    std::string last;
    for (const auto& record : host.endpoints().records()) {
      if (record.sink == "events" && record.name == "login_result") last = record.arguments;
    }
    return last;
  };

  // The first login the queue refuses; the second, started while a session exists, keeps
  // retrying its failing platform login.
  post(R"({"username":"alice","password":"wrong"})");
  for (int i = 0; i < 2000 && last_result().empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_NE(last_result().find("INVALID_CREDENTIALS"), std::string::npos) << last_result();
  const int64_t start = Voro::SteadyNowNanoseconds();
  post(R"({"username":"alice","password":"pw"})");
  std::atomic<bool> ended{false};
  std::thread mover([&] {
    while (!ended) {
      clock.AdvanceMilliseconds(250);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::string result;
  for (int i = 0; i < 6000 && result.find("TIMED_OUT") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    result = last_result();
  }
  ended = true;
  mover.join();
  EXPECT_NE(result.find(R"("login_error.id":"ALE-F4774DEC")"), std::string::npos) << result;
  EXPECT_NE(result.find(R"("login_error.messageId":"LOGIN_OR_RECONNECT_TIMED_OUT")"),
            std::string::npos)
      << result;
  EXPECT_GE(Voro::SteadyNowNanoseconds() - start, int64_t{300} * 1'000'000'000);
  // Attempts are counted 1, 3, 5, ...: several were made, and the count is odd.
  const size_t at = result.find(R"("login_attempts":")");
  ASSERT_NE(at, std::string::npos) << result;
  const int attempts = std::atoi(result.c_str() + at + 18);
  EXPECT_GE(attempts, 5);
  EXPECT_EQ(attempts % 2, 1);

  // The session stays, closed, showing why.
  thread.Invoke([&] {
    auto* module = static_cast<Voro::LoginModule*>(descriptor.module);
    std::optional<Voro::Client::Api::LoginSession> session = module->CurrentSession();
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(session->state, Voro::Client::Api::LoginSessionStates::ERROR);
    ASSERT_TRUE(session->error.has_value());
    EXPECT_EQ(session->error->id, "ALE-F4774DEC");
    EXPECT_EQ(module->session_context()->login(), nullptr);
  });
  thread.Invoke([&] { descriptor.callbacks->Shutdown(descriptor.module); });
}

}  // namespace
