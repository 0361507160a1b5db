// The fixture of the whole-login tests: the real plugin library in the substitute host (or
// the login module in-process, with a host and thread of its own) against the simulated
// platform on loopback, and what the host saw of it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/api_client.h"
#include "host/host_session.h"
#include "host/qsa_service.h"
#include "login/login_module.h"
#include "plugin/plugin_runtime.h"
#include "sim/local_platform.h"
#include "support/manual_clock.h"
#include "support/sim_accounts.h"
#include "support/test_pki.h"

namespace login_flow {

using Voro::Sim::Fault;

// Waits (up to 20 seconds) until `done` holds.
template <typename Done>
bool WaitUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

class LoginFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    pki_ = Voro::testing::SharedTestPki(&why);
    ASSERT_NE(pki_, nullptr) << why;
    scenario_.accounts.push_back(Voro::testing::SimAlice());
    scenario_.platform.require_queue_token = true;
  }

  void TearDown() override {
    if (session_) session_->Shutdown();
    if (module_.module == nullptr) return;
    // As the host does: between the module's waits, and what it scheduled goes with it.
    for (bool done = false; !done;) {
      thread_->Invoke([&] {
        if (!host_->open_waits().empty()) return;
        module_.callbacks->Shutdown(module_.module);
        own_thread_->DropPending();
        done = true;
      });
    }
    module_ = PluginDescriptor{};
  }

  // Starts the simulated platform, over TLS or not, and writes its region file.
  // `qsa_platform_id`: the region's sign-on platform (none when empty).
  std::string StartPlatform(bool tls, const std::string& qsa_platform_id = "") {
    Voro::Sim::LocalPlatformOptions options = Voro::testing::TlsPlatformOptions(*pki_);
    if (!tls) options = {.rtmp_port = 0, .queue_port = 0};
    platform_ = std::make_unique<Voro::Sim::LocalPlatform>(scenario_, options);
    auto started = platform_->Start();
    EXPECT_TRUE(started.ok()) << started.error();
    const std::string region_file = pki_->dir + "/login-flow-region.json";
    std::ofstream(region_file) << platform_->RegionSettingsJson(qsa_platform_id);
    return region_file;
  }

  // Starts the platform and the plugin library in the host, pointed at each other.
  void Start(const std::string& qsa_platform_id = "") {
    const std::string region_file = StartPlatform(true, qsa_platform_id);
    auto loaded = kivhost::HostSession::Load(KIV_PLUGIN_PATH);
    ASSERT_TRUE(loaded.ok()) << loaded.error();
    session_ = std::move(loaded.value());
    host_ = &session_->host();
    thread_ = &session_->thread();
    auto read = host_->endpoints().LoadRegionFile(region_file);
    ASSERT_TRUE(read.ok()) << read.error();
    read = host_->external_http().SetExtraCaFile(pki_->ca_cert);
    ASSERT_TRUE(read.ok()) << read.error();
    command_line_.emplace_back("lcds-ca-file", pki_->ca_cert);
    host_->endpoints().SetCommandLineArgs(command_line_);
    host_->qsa().Configure(qsa_);
    host_->qsa().Install(&host_->endpoints());
    ASSERT_TRUE(session_->Create(kivhost::HostVersion{}).accepted);
    ASSERT_TRUE(session_->Initialize());
    api_ = session_->descriptor().api;
  }

  // The login module in-process instead, on a thread and a host of its own, for tests that
  // reach into it; its region file comes from StartPlatform. Returns the module.
  Voro::LoginModule* StartInProcess(const std::string& region_file) {
    own_thread_ = std::make_unique<kivhost::PluginThread>();
    own_host_ = std::make_unique<kivhost::SubstituteHost>(own_thread_.get());
    thread_ = own_thread_.get();
    host_ = own_host_.get();
    auto read = host_->endpoints().LoadRegionFile(region_file);
    EXPECT_TRUE(read.ok()) << read.error();
    host_->endpoints().SetCommandLineArgs(command_line_);
    module_ = {.major = 17, .minor = 1};
    EXPECT_TRUE(
        Voro::PluginRuntime::Create(&module_, std::make_unique<Voro::LoginModule>(), "kiv-login"));
    bool initialized = false;
    thread_->Invoke(
        [&] { initialized = module_.callbacks->Initialize(module_.module, host_->services()); });
    EXPECT_TRUE(initialized);
    api_ = module_.api;
    return static_cast<Voro::LoginModule*>(module_.module);
  }

  kivhost::ApiCallResult Call(const std::string& method, const std::string& path,
                              const std::string& body = "",
                              std::vector<std::pair<std::string, std::string>> arguments = {}) {
    kivhost::ApiCallResult result;
    kivhost::ApiCall call{kivhost::MethodCode(method), path, std::move(arguments), "", body};
    if (!body.empty()) call.content_type = "application/json";
    const ApiEndpointRecord* endpoint = kivhost::FindEndpoint(*api_, call.method, path);
    EXPECT_NE(endpoint, nullptr) << path;
    thread_->Invoke([&] {
      if (endpoint) {
        auto sent = kivhost::CallEndpoint(*endpoint, call, &result);
        EXPECT_TRUE(sent.ok()) << sent.error();
      }
    });
    return result;
  }

  kivhost::ApiCallResult PostLogin(const std::string& password, const std::string& user = "alice") {
    return Call("POST", "/kiv-login/v1/session",
                R"({"username":")" + user + R"(","password":")" + password + R"("})");
  }

  // The session resource's published states, in order, once the last is SUCCEEDED or ERROR
  // (or the wait ended), after the first `skip`.
  std::vector<std::string> WaitForSessionEnd(size_t skip = 0) {
    WaitUntil([&] {
      const std::vector<std::string> states = SessionStates();
      return states.size() > skip && (states.back() == "SUCCEEDED" || states.back() == "ERROR");
    });
    return SessionStates();
  }

  std::vector<std::string> SessionStates() const {
    std::vector<std::string> states;
    for (const std::string& payload : Published("OnJsonApiEvent_kiv-login_v1_session")) {
      const size_t at = payload.find(R"("state":")");
      if (at != std::string::npos) {
        states.push_back(payload.substr(at + 9, payload.find('"', at + 9) - at - 9));
      }
    }
    return states;
  }

  // The payloads of the events published under `name`, in order.
  std::vector<std::string> Published(const std::string& name) const {
    std::vector<std::string> payloads;
    for (const auto& event : host_->event_log()) {
      if (event.kind == kivhost::EventRecord::kPublished && event.name == name) {
        payloads.push_back(event.payload);
      }
    }
    return payloads;
  }

  // The fields of the last record of `sink` (and `name`) the host received, as JSON.
  std::string Record(const std::string& name, const std::string& sink = "events") const {
    std::string last;
    for (const auto& record : host_->endpoints().records()) {
      if (record.sink == sink && record.name == name) last = record.arguments;
    }
    return last;
  }
  bool TelemetryNow(const std::string& text) const {
    return Record("login_result").find(text) != std::string::npos;
  }
  // The login's result is sent after the session's last state is published: wait for it.
  bool TelemetryHas(const std::string& text) {
    return WaitUntil([&] { return TelemetryNow(text); });
  }

  // The session's "error" member as "id messageId", or "" without one.
  std::string SessionError() {
    const std::string body = Call("GET", "/kiv-login/v1/session").body_json;
    const size_t error = body.find(R"("error":)");
    if (error == std::string::npos) return "";
    const std::string text = body.substr(error);
    std::smatch id, message;
    std::regex_search(text, id, std::regex(R"re("id":"([^"]*))re"));
    std::regex_search(text, message, std::regex(R"re("messageId":"([^"]*))re"));
    return id.str(1) + " " + message.str(1);
  }

  // A first login the queue refuses, then one whose failing platform login is retried
  // without limit (a session exists already); returns once the platform saw a login.
  void StartRetryingLogin() {
    scenario_.platform.faults.login = Fault::kError;
    Start();
    ASSERT_EQ(PostLogin("no").status, 201);
    ASSERT_EQ(WaitForSessionEnd().back(), "ERROR");
    EXPECT_EQ(SessionError(), "ALE-18F2C92E INVALID_CREDENTIALS");
    EXPECT_TRUE(TelemetryHas(R"("login_succeeded":"false")"));
    ASSERT_EQ(PostLogin("wonderland").status, 201);
    ASSERT_TRUE(WaitUntil([&] { return !platform_->services().journal().empty(); }));
  }

  // The login resources published so far, in order.
  std::vector<std::string> KivLoginResources() const {
    std::vector<std::string> names;
    for (const std::string& name : host_->published_events()) {
      if (name.starts_with("OnJsonApiEvent_kiv-login_v1_")) names.push_back(name.substr(28));
    }
    return names;
  }

  // The platform over TLS and the module in-process, logged in as alice; reconnect delays
  // are `delay(bound)`.
  void LogIn(Voro::LoginModule::RandomDelay delay) {
    const std::string region_file = StartPlatform(true);
    ASSERT_TRUE(host_ == nullptr);
    command_line_.emplace_back("lcds-ca-file", pki_->ca_cert);
    module_pointer_ = StartInProcess(region_file);
    ASSERT_NE(module_pointer_, nullptr);
    auto read = host_->external_http().SetExtraCaFile(pki_->ca_cert);
    ASSERT_TRUE(read.ok()) << read.error();
    thread_->Invoke([&] { module_pointer_->set_reconnect_random(std::move(delay)); });
    ASSERT_EQ(PostLogin("wonderland").status, 201);
    ASSERT_EQ(WaitForSessionEnd().back(), "SUCCEEDED");
  }

  // Moves the clock installed in manual_clock_ on by `step_ms` each millisecond until `done`
  // holds (or the wait ends); whether it held.
  template <typename Done>
  bool MoveClockUntil(int64_t step_ms, Done done) {
    std::atomic<bool> ended{false};
    std::thread mover([&] {
      for (; !ended; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        manual_clock_->AdvanceMilliseconds(step_ms);
      }
    });
    const bool held = WaitUntil(done);
    ended = true;
    mover.join();
    return held;
  }

  size_t Logged(const std::string& message) const {
    const auto lines = host_->log_lines();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& line) { return line.message == message; }));
  }
  // The log lines that start with one of `prefixes`, in order.
  std::vector<std::string> LogLines(const std::vector<std::string>& prefixes) const {
    std::vector<std::string> found;
    for (const auto& line : host_->log_lines()) {
      for (const std::string& prefix : prefixes) {
        if (line.message.starts_with(prefix)) found.push_back(line.message);
      }
    }
    return found;
  }
  size_t Journaled(const std::string& line) const {
    const std::vector<std::string> journal = platform_->services().journal();
    return static_cast<size_t>(std::count(journal.begin(), journal.end(), line));
  }

  const Voro::testing::TestPki* pki_ = nullptr;
  Voro::Sim::Scenario scenario_;
  kivhost::QsaConfig qsa_;
  std::vector<std::pair<std::string, std::string>> command_line_;
  std::unique_ptr<Voro::Sim::LocalPlatform> platform_;
  std::unique_ptr<kivhost::HostSession> session_;
  kivhost::SubstituteHost* host_ = nullptr;
  kivhost::PluginThread* thread_ = nullptr;
  const ApiTable* api_ = nullptr;
  // The login module in-process, when there is one, with its own thread and host.
  std::unique_ptr<kivhost::PluginThread> own_thread_;
  std::unique_ptr<kivhost::SubstituteHost> own_host_;
  PluginDescriptor module_{};
  // A clock the test moves, when it installs one (emplace); it outlives the module, which
  // TearDown shuts down first.
  std::optional<Voro::testing::ManualClock> manual_clock_;
  // The module LogIn started in-process.
  Voro::LoginModule* module_pointer_ = nullptr;
};

}  // namespace login_flow
