// A session under faults for minutes of real time: the real plugin library in the
// substitute host, logged in over TLS against kivsim (in a process of its own), which drops
// the connection every 2 to 5 s (random, fixed seed) and refuses every third reconnect.
// Reports the drops, the reconnects, the longest time the session was not connected, its
// final state, and the process's threads, descriptors and resident memory at the start,
// after 30 s and at the end.
//
//   soak_session [SECONDS]      (default 120)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kivsim_process.h"
#include "login_rig.h"
#include "process_sample.h"

namespace {

using Clock = std::chrono::steady_clock;
using kivbench::PrintSample;
using kivbench::ProcessSample;
using kivbench::SampleProcess;

// Follows the "connected" flag of the published session: when it went down, the longest
// time it stayed down.
class Downtime {
 public:
  void OnSession(const std::string& payload) {
    const bool logged_in = payload.find(R"("state":"SUCCEEDED")") != std::string::npos;
    const bool up = logged_in && payload.find(R"("connected":true)") != std::string::npos;
    std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    if (!up && !down_since_) down_since_ = now;
    if (up && down_since_) {
      longest_ = std::max(longest_, now - *down_since_);
      down_since_.reset();
    }
    state_ = logged_in ? (up ? "SUCCEEDED, connected" : "SUCCEEDED, not connected") : payload;
  }
  double LongestSeconds() {
    std::lock_guard lock(mutex_);
    Clock::duration longest = longest_;
    if (down_since_) longest = std::max(longest, Clock::now() - *down_since_);
    return std::chrono::duration<double>(longest).count();
  }
  std::string state() {
    std::lock_guard lock(mutex_);
    return state_;
  }

 private:
  std::mutex mutex_;
  std::optional<Clock::time_point> down_since_;
  Clock::duration longest_{};
  std::string state_;
};

size_t CountLog(kivhost::HostSession& session, const std::string& message) {
  size_t count = 0;
  for (const auto& line : session.host().log_lines()) count += line.message == message;
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 120;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: soak_session [SECONDS]\n");
    return 2;
  }
  // The simulator runs in a process of its own: what is measured here is the host and the
  // plugin alone.
  const std::unique_ptr<kivbench::KivsimProcess> sim = kivbench::StartKivsim(
      "soak",
      "accounts:\n"
      "  - { username: alice, password: pw, account_id: 7, summoner_id: 70 }\n"
      "platform:\n"
      "  drops: { after_ms: 2000, every_ms: [2000, 5000], seed: 20261208 }\n"
      "  refuse_reconnects: { every: 3 }\n"
      "login_queue: { players_ahead: 0 }\n");
  if (!sim->ok()) {
    std::fprintf(stderr, "soak_session: kivsim did not start\n");
    return 1;
  }
  Downtime downtime;
  kivbench::LoginRig rig(sim->RegionSettingsJson(),
                         [&downtime](const std::string& payload) { downtime.OnSession(payload); });
  if (!rig.ok()) {
    std::fprintf(stderr, "soak_session: %s\n", rig.error().c_str());
    return 1;
  }
  if (!rig.Login()) {
    std::fprintf(stderr, "soak_session: the login did not succeed\n");
    return 1;
  }
  const ProcessSample start = SampleProcess();
  const Clock::time_point began = Clock::now();
  std::printf("soak_session: logged in; %g s of drops every 2-5 s, every third reconnect refused\n",
              seconds);
  PrintSample("start", start);
  ProcessSample at30 = start;
  bool sampled30 = false;
  while (Clock::now() - began < std::chrono::duration<double>(seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    if (!sampled30 && Clock::now() - began >= std::chrono::seconds(30)) {
      at30 = SampleProcess();
      sampled30 = true;
      PrintSample("after 30 s", at30);
    }
  }
  const ProcessSample end = SampleProcess();
  PrintSample("end", end);
  kivhost::HostSession& session = rig.session();
  const auto drops = static_cast<long>(sim->Count("kivsim: platform: drop alice"));
  const auto refused = static_cast<long>(sim->Count("kivsim: platform: refuse reconnect alice"));
  const size_t reconnects = CountLog(session, "Reconnect complete.");
  std::printf("drops injected        %ld\n", static_cast<long>(drops));
  std::printf("reconnects refused    %ld\n", static_cast<long>(refused));
  std::printf("reconnects completed  %zu\n", reconnects);
  std::printf("reconnects failed     %zu\n", CountLog(session, "Reconnect failed."));
  std::printf("longest not connected %.1f s\n", downtime.LongestSeconds());
  std::printf("final state           %s\n", downtime.state().c_str());
  const bool connected = downtime.state() == "SUCCEEDED, connected";
  std::printf("every drop recovered  %s\n",
              static_cast<long>(reconnects) == drops ? "yes"
              : connected                            ? "no"
              : static_cast<long>(reconnects) + 1 == drops
                  ? "yes, but the last drop's reconnect was still under way"
                  : "no");
  std::printf("threads     %+ld from the start\n",
              static_cast<long>(end.threads) - static_cast<long>(start.threads));
  std::printf("descriptors %+ld from the start\n",
              static_cast<long>(end.descriptors) - static_cast<long>(start.descriptors));
  if (sampled30) {
    std::printf("resident    %+.2f MiB from 30 s to the end\n",
                (end.rss_kib - at30.rss_kib) / 1024.0);
  }
  rig.Logout();
  return 0;
}
