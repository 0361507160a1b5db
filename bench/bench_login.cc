// A whole login on loopback: the real plugin library in the substitute host, from POST
// "/kiv-login/v1/session" to the session's "SUCCEEDED", against the simulated platform
// with an immediate LOGIN from the queue. Plain (RTMP and HTTP) and TLS (RTMPS and HTTPS).
// One host per variant, as in a running client: each repetition is one login (then a
// logout, not timed); the aggregates give the median.
// The counters split the time as the plugin's own telemetry does: the login queue step
// and the platform login.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "host/api_client.h"
#include "host/host_session.h"
#include "sim/local_platform.h"

namespace {

// A local authority and localhost certificate, made once per process.
const std::string& CertificateDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/kiv-bench-login-XXXXXX";
    std::string made = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    const std::string command =
        std::string(KIV_SOURCE_DIR "/sim/make_local_ca.sh ") + made + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "cannot make certificates\n");
    return made;
  }();
  return dir;
}

class LoginRig {
 public:
  explicit LoginRig(bool tls) {
    const std::string& certs = CertificateDir();
    Voro::Sim::Scenario scenario;
    Voro::Sim::PlatformAccount alice;
    alice.username = "alice";
    alice.password = "pw";
    alice.account_id = 7;
    alice.summoner_id = 70;
    scenario.accounts.push_back(alice);
    Voro::Sim::LocalPlatformOptions options;
    (tls ? options.rtmps_port : options.rtmp_port) = 0;
    options.queue_port = 0;
    if (tls) {
      options.certificate_file = certs + "/server.pem";
      options.key_file = certs + "/server.key";
    }
    platform_ = std::make_unique<Voro::Sim::LocalPlatform>(scenario, options);
    if (auto started = platform_->Start(); !started.ok()) {
      error_ = started.error();
      return;
    }

    const std::string region = certs + (tls ? "/region-tls.json" : "/region-plain.json");
    std::ofstream(region) << platform_->RegionSettingsJson();
    auto loaded = kivhost::HostSession::Load(KIV_PLUGIN_PATH);
    if (!loaded.ok()) {
      error_ = loaded.error();
      return;
    }
    session_ = std::move(loaded.value());
    if (auto read = session_->host().endpoints().LoadRegionFile(region); !read.ok()) {
      error_ = read.error();
      return;
    }
    if (tls) {
      if (auto read = session_->host().external_http().SetExtraCaFile(certs + "/ca.pem");
          !read.ok()) {
        error_ = read.error();
        return;
      }
    }
    session_->host().endpoints().SetCommandLineArgs({{"lcds-ca-file", certs + "/ca.pem"}});
    session_->host().SetEventSink([this](const kivhost::EventRecord& event) {
      if (event.kind != kivhost::EventRecord::kPublished ||
          event.name != "OnJsonApiEvent_kiv-login_v1_session") {
        return;
      }
      std::lock_guard lock(mutex_);
      last_state_ = event.payload.find(R"("state":"SUCCEEDED")") != std::string::npos ? "SUCCEEDED"
                    : event.payload.find(R"("state":"ERROR")") != std::string::npos   ? "ERROR"
                                                                                      : "";
      changed_.notify_all();
    });
    if (!session_->Create(kivhost::HostVersion{}).accepted || !session_->Initialize()) {
      error_ = "the plugin did not start";
      return;
    }
    ok_ = true;
  }

  ~LoginRig() {
    if (session_) session_->Shutdown();
  }

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // One login; false when it did not succeed within ten seconds.
  bool Login() {
    {
      std::lock_guard lock(mutex_);
      last_state_.clear();
    }
    Call("POST", "/kiv-login/v1/session", R"({"username":"alice","password":"pw"})");
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [this] {
      return !last_state_.empty();
    }) && last_state_ == "SUCCEEDED";
  }

  void Logout() { Call("DELETE", "/kiv-login/v1/session", ""); }

  // The seconds of a field of the last "login_result" event.
  double TelemetrySeconds(const std::string& field) const {
    std::string arguments;
    for (const auto& record : session_->host().endpoints().records()) {
      if (record.sink == "events" && record.name == "login_result") arguments = record.arguments;
    }
    const size_t at = arguments.find("\"" + field + "\":\"");
    return at == std::string::npos ? 0 : std::atof(arguments.c_str() + at + field.size() + 4);
  }

 private:
  void Call(const std::string& method, const std::string& path, const std::string& body) {
    const ApiEndpointRecord* endpoint =
        kivhost::FindEndpoint(*session_->descriptor().api, kivhost::MethodCode(method), path);
    if (endpoint == nullptr) return;
    kivhost::ApiCall call;
    call.method = kivhost::MethodCode(method);
    call.path = path;
    call.content_type = body.empty() ? "" : "application/json";
    call.body = body;
    kivhost::ApiCallResult result;
    // Refused only for an argument that is not JSON, and these calls pass none.
    session_->thread().Invoke([&] { (void)kivhost::CallEndpoint(*endpoint, call, &result); });
  }

  std::unique_ptr<Voro::Sim::LocalPlatform> platform_;
  std::unique_ptr<kivhost::HostSession> session_;
  bool ok_ = false;
  std::string error_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string last_state_;
};

void WholeLogin(benchmark::State& state, bool tls) {
  // One warm host per variant for all repetitions; shut down at exit.
  static std::unique_ptr<LoginRig> rigs[2];
  if (!rigs[tls]) rigs[tls] = std::make_unique<LoginRig>(tls);
  LoginRig& rig = *rigs[tls];
  if (!rig.ok()) {
    state.SkipWithError(rig.error().c_str());
    return;
  }
  double queue_seconds = 0;
  double platform_seconds = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!rig.Login()) {
      state.SkipWithError("the login did not succeed");
      return;
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    // The logout runs after the login task has ended, so its report is in by then.
    rig.Logout();
    queue_seconds += rig.TelemetrySeconds("login_auth_duration_seconds");
    platform_seconds += rig.TelemetrySeconds("login_attempt_duration_seconds");
  }
  const double logins = static_cast<double>(state.iterations());
  state.counters["queue_ms"] = 1000 * queue_seconds / logins;
  state.counters["platform_ms"] = 1000 * platform_seconds / logins;
}

BENCHMARK_CAPTURE(WholeLogin, plain, false)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(WholeLogin, tls, true)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
