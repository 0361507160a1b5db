// The rig of the whole-login programs: the simulated platform (plain or TLS) and the real
// plugin library in the substitute host, pointed at each other on loopback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/api_client.h"
#include "host/host_session.h"
#include "kivsim_process.h"
#include "sim/local_platform.h"

namespace kivbench {

// A local authority and localhost certificate, made once per process.
inline const std::string& CertificateDir() {
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

// kivsim in a process of its own, playing `scenario_yaml` (written to NAME.yaml beside the
// certificates) over TLS with the rig's localhost certificate, or plain.
inline std::unique_ptr<KivsimProcess> StartKivsim(const std::string& name,
                                                  const std::string& scenario_yaml,
                                                  bool tls = true) {
  const std::string& certs = CertificateDir();
  const std::string scenario = certs + "/" + name + ".yaml";
  std::ofstream(scenario) << scenario_yaml;
  return std::make_unique<KivsimProcess>(KIV_KIVSIM_PATH, scenario, certs + "/server.pem",
                                         certs + "/server.key", tls);
}

// The account the rigs log in with.
inline Voro::Sim::PlatformAccount RigAccount() {
  Voro::Sim::PlatformAccount alice;
  alice.username = "alice";
  alice.password = "pw";
  alice.account_id = 7;
  alice.summoner_id = 70;
  return alice;
}

// The simulated platform and the real plugin library in the substitute host, pointed at
// each other and initialized; logs in as RigAccount(). `on_session` (when given) sees every
// session resource payload as it is published, on the publishing thread.
class LoginRig {
 public:
  explicit LoginRig(bool tls, Voro::Sim::Scenario scenario = {},
                    std::function<void(const std::string&)> on_session = nullptr)
      : on_session_(std::move(on_session)) {
    const std::string& certs = CertificateDir();
    if (scenario.accounts.empty()) scenario.accounts.push_back(RigAccount());
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

    region_ = certs + (tls ? "/region-tls.json" : "/region-plain.json");
    std::ofstream(region_) << platform_->RegionSettingsJson();
    tls_ = tls;
    ok_ = StartPlugin();
  }

  // The plugin only, pointed at a platform elsewhere by `region_json` (over TLS trusting the
  // rig's authority, or plain).
  LoginRig(const std::string& region_json, std::function<void(const std::string&)> on_session,
           bool tls = true)
      : on_session_(std::move(on_session)) {
    region_ = CertificateDir() + (tls ? "/region-elsewhere-tls.json" : "/region-elsewhere.json");
    std::ofstream(region_) << region_json;
    tls_ = tls;
    ok_ = StartPlugin();
  }

  // Shuts the plugin down, unloads the library, and loads and starts it again; the
  // platform stays.
  bool Reload() {
    session_->Shutdown();
    session_.reset();
    ok_ = StartPlugin();
    return ok_;
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

  kivhost::HostSession& session() { return *session_; }
  // REQUIRES: the rig started the platform itself.
  Voro::Sim::LocalPlatform& platform() { return *platform_; }

  // Calls an endpoint on the plugin thread, as a host does: `body` as JSON, `arguments` as
  // named arguments (name, JSON value).
  kivhost::ApiCallResult Call(const std::string& method, const std::string& path,
                              const std::string& body,
                              std::vector<std::pair<std::string, std::string>> arguments = {}) {
    kivhost::ApiCallResult result;
    const ApiEndpointRecord* endpoint =
        kivhost::FindEndpoint(*session_->descriptor().api, kivhost::MethodCode(method), path);
    if (endpoint == nullptr) return result;
    kivhost::ApiCall call;
    call.method = kivhost::MethodCode(method);
    call.path = path;
    call.arguments = std::move(arguments);
    call.content_type = body.empty() ? "" : "application/json";
    call.body = body;
    // Refused only for an argument that is not JSON, and the programs pass JSON.
    session_->thread().Invoke([&] { (void)kivhost::CallEndpoint(*endpoint, call, &result); });
    return result;
  }

  // Sees every event the plugin publishes (name, payload), under the host's lock: it must
  // not call into the host. Set before the events of interest.
  void set_on_published(std::function<void(const std::string&, const std::string&)> hook) {
    std::lock_guard lock(mutex_);
    on_published_ = std::move(hook);
  }

 private:
  bool StartPlugin() {
    const std::string& certs = CertificateDir();
    auto loaded = kivhost::HostSession::Load(KIV_PLUGIN_PATH);
    if (!loaded.ok()) {
      error_ = loaded.error();
      return false;
    }
    session_ = std::move(loaded.value());
    if (auto read = session_->host().endpoints().LoadRegionFile(region_); !read.ok()) {
      error_ = read.error();
      return false;
    }
    if (tls_) {
      if (auto read = session_->host().external_http().SetExtraCaFile(certs + "/ca.pem");
          !read.ok()) {
        error_ = read.error();
        return false;
      }
    }
    session_->host().endpoints().SetCommandLineArgs({{"lcds-ca-file", certs + "/ca.pem"}});
    session_->host().SetEventSink([this](const kivhost::EventRecord& event) {
      if (event.kind != kivhost::EventRecord::kPublished) return;
      {
        std::lock_guard lock(mutex_);
        if (on_published_) on_published_(event.name, event.payload);
      }
      if (event.name != "OnJsonApiEvent_kiv-login_v1_session") return;
      if (on_session_) on_session_(event.payload);
      std::lock_guard lock(mutex_);
      last_state_ = event.payload.find(R"("state":"SUCCEEDED")") != std::string::npos ? "SUCCEEDED"
                    : event.payload.find(R"("state":"ERROR")") != std::string::npos   ? "ERROR"
                                                                                      : "";
      changed_.notify_all();
    });
    if (!session_->Create(kivhost::HostVersion{}).accepted || !session_->Initialize()) {
      error_ = "the plugin did not start";
      return false;
    }
    return true;
  }

  std::function<void(const std::string&)> on_session_;
  std::function<void(const std::string&, const std::string&)> on_published_;  // under mutex_
  std::string region_;
  bool tls_ = false;
  std::unique_ptr<Voro::Sim::LocalPlatform> platform_;
  std::unique_ptr<kivhost::HostSession> session_;
  bool ok_ = false;
  std::string error_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string last_state_;
};

}  // namespace kivbench
