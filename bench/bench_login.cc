// A whole login on loopback: the real plugin library in the substitute host, from POST
// "/kiv-login/v1/session" to the session's "SUCCEEDED", against the simulated platform
// with an immediate LOGIN from the queue. Plain (RTMP and HTTP) and TLS (RTMPS and HTTPS).
// One host per variant, as in a running client: each repetition is one login (then a
// logout, not timed); the aggregates give the median.
// The counters split the time as the plugin's own telemetry does: the login queue step
// and the platform login.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "login_rig.h"

namespace {

using kivbench::LoginRig;

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
