// Other plugins' calls through the login, as a host makes them (the plugin's request
// callback on its thread), against kivsim on loopback in a process of its own, plain and
// TLS: an invoke's round trip with 1 and with 32 calls in flight (p50, p99 and calls per
// second), and a service-proxy uuid call from the request to its event (p50).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "login_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kScenario[] =
    "accounts:\n"
    "  - { username: alice, password: pw, account_id: 7, summoner_id: 70 }\n"
    "platform:\n"
    "  service_proxy: { delay_ms: 0 }\n"
    "  services:\n"
    "    - { destination: inventoryService, operation: get, value: { __class: kiv.Stock, count: 3 "
    "} }\n"
    "login_queue: { players_ahead: 0 }\n";

// kivsim and the plugin, logged in, per variant; kept for the whole run.
struct Rig {
  std::unique_ptr<kivbench::KivsimProcess> sim;
  std::unique_ptr<kivbench::LoginRig> login;
  std::string error;
};

Rig& RigFor(bool tls) {
  static std::unique_ptr<Rig> rigs[2];
  std::unique_ptr<Rig>& rig = rigs[tls];
  if (rig) return *rig;
  rig = std::make_unique<Rig>();
  rig->sim = kivbench::StartKivsim(tls ? "calls-tls" : "calls-plain", kScenario, tls);
  if (!rig->sim->ok()) {
    rig->error = "kivsim did not start";
    return *rig;
  }
  rig->login = std::make_unique<kivbench::LoginRig>(rig->sim->RegionSettingsJson(), nullptr, tls);
  if (!rig->login->ok() || !rig->login->Login()) rig->error = "the login did not succeed";
  return *rig;
}

bool Invoke(kivbench::LoginRig& login) {
  const kivhost::ApiCallResult result = login.Call(
      "POST", "/kiv-login/v1/session/invoke", "",
      {{"destination", R"("inventoryService")"}, {"method", R"("get")"}, {"args", "[1]"}});
  return result.error.empty() && result.body_json.find("\"count\":3") != std::string::npos;
}

// Each iteration: `in_flight` threads make 64 invokes each, back to back.
void BM_Invoke(benchmark::State& state, bool tls) {
  Rig& rig = RigFor(tls);
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  const int in_flight = static_cast<int>(state.range(0));
  constexpr int kPerThread = 64;
  std::vector<double> latencies_us;
  double seconds = 0;
  for (auto _ : state) {
    std::vector<std::vector<double>> per_thread(in_flight);
    std::atomic<bool> failed{false};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < in_flight; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          const Clock::time_point begin = Clock::now();
          if (!Invoke(*rig.login)) failed = true;
          per_thread[t].push_back(
              std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (failed) {
      state.SkipWithError("an invoke failed");
      return;
    }
    for (const auto& list : per_thread)
      latencies_us.insert(latencies_us.end(), list.begin(), list.end());
  }
  state.counters["p50_us"] = kivbench::Percentile(latencies_us, 0.50);
  state.counters["p99_us"] = kivbench::Percentile(latencies_us, 0.99);
  state.counters["calls_per_s"] = static_cast<double>(latencies_us.size()) / seconds;
}

// As BM_Invoke with one call at a time, but each timed on the plugin thread around the
// request callback alone, as a host that is already on that thread calls it: the substitute
// host's hand-off from the benchmark's thread and back (two thread wake-ups) is left out.
void BM_InvokeOnPluginThread(benchmark::State& state, bool tls) {
  Rig& rig = RigFor(tls);
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  constexpr int kPerIteration = 64;
  std::vector<double> latencies_us;
  double seconds = 0;
  for (auto _ : state) {
    bool failed = false;
    double elapsed = 0;
    rig.login->session().thread().Invoke([&] {
      for (int i = 0; i < kPerIteration; ++i) {
        const Clock::time_point begin = Clock::now();
        if (!Invoke(*rig.login)) failed = true;
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
        latencies_us.push_back(us);
        elapsed += us / 1e6;
      }
    });
    state.SetIterationTime(elapsed);
    seconds += elapsed;
    if (failed) {
      state.SkipWithError("an invoke failed");
      return;
    }
  }
  state.counters["p50_us"] = kivbench::Percentile(latencies_us, 0.50);
  state.counters["p99_us"] = kivbench::Percentile(latencies_us, 0.99);
  state.counters["calls_per_s"] = static_cast<double>(latencies_us.size()) / seconds;
}

// From the request to the event that answers it.
void BM_ServiceProxyUuid(benchmark::State& state, bool tls) {
  Rig& rig = RigFor(tls);
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  std::mutex mutex;
  std::condition_variable heard;
  size_t events = 0;
  rig.login->set_on_published([&](const std::string& name, const std::string&) {
    if (name != "OnServiceProxyUuidEvent") return;
    {
      std::lock_guard lock(mutex);
      ++events;
    }
    heard.notify_all();
  });
  std::vector<double> latencies_us;
  for (auto _ : state) {
    size_t before = 0;
    {
      std::lock_guard lock(mutex);
      before = events;
    }
    const Clock::time_point begin = Clock::now();
    rig.login->Call("POST", "/kiv-login/v1/service-proxy-uuid-requests", "",
                    {{"serviceName", R"("inventory")"},
                     {"methodName", R"("get")"},
                     {"pluginId", "7"},
                     {"payload", R"("[1]")"}});
    std::unique_lock lock(mutex);
    if (!heard.wait_for(lock, std::chrono::seconds(5), [&] { return events > before; })) {
      state.SkipWithError("no answer");
      break;
    }
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    state.SetIterationTime(us / 1e6);
    latencies_us.push_back(us);
  }
  rig.login->set_on_published(nullptr);
  state.counters["p50_us"] = kivbench::Percentile(latencies_us, 0.50);
}

BENCHMARK_CAPTURE(BM_Invoke, plain, false)
    ->Arg(1)
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Invoke, tls, true)
    ->Arg(1)
    ->Arg(32)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InvokeOnPluginThread, plain, false)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_InvokeOnPluginThread, tls, true)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ServiceProxyUuid, plain, false)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_ServiceProxyUuid, tls, true)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
