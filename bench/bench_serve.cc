// `kivhost serve` on loopback, with the real plugin logged in against kivsim: GET
// /kiv-login/v1/session over keep-alive HTTP with 1 and 16 clients (requests per second),
// beside the same call through the host's in-process path that `kivhost call` takes; and the
// delay from the plugin publishing an event to an /events client reading it (p50, p99).
//
//   build/default/bench/bench_serve
#include <benchmark/benchmark.h>
#include <httplib.h>

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
#include "host/http_api_server.h"
#include "login_rig.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kToken[] = "kiv-bench-token-0123456789";
constexpr char kScenario[] =
    "accounts:\n"
    "  - { username: alice, password: pw, account_id: 7, summoner_id: 70 }\n"
    "login_queue: { players_ahead: 0 }\n";

struct Rig {
  std::unique_ptr<kivbench::KivsimProcess> sim;
  std::unique_ptr<kivbench::LoginRig> login;
  std::unique_ptr<kivhost::HttpApiServer> server;
  std::string error;
};

Rig& TheRig() {
  static Rig rig = [] {
    Rig made;
    made.sim = kivbench::StartKivsim("serve", kScenario, false);
    if (!made.sim->ok()) {
      made.error = "kivsim did not start";
      return made;
    }
    made.login =
        std::make_unique<kivbench::LoginRig>(made.sim->RegionSettingsJson(), nullptr, false);
    if (!made.login->ok() || !made.login->Login()) {
      made.error = "the login did not succeed";
      return made;
    }
    made.server = std::make_unique<kivhost::HttpApiServer>(
        &made.login->session(), kivhost::HttpServeOptions{.token = kToken});
    if (auto started = made.server->Start(); !started.ok()) made.error = started.error();
    return made;
  }();
  return rig;
}

// Each iteration: `clients` keep-alive connections make 200 requests each, back to back.
void BM_HttpGetSession(benchmark::State& state) {
  Rig& rig = TheRig();
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  const int clients = static_cast<int>(state.range(0));
  constexpr int kEach = 200;
  std::vector<std::unique_ptr<httplib::Client>> connections;
  for (int c = 0; c < clients; ++c) {
    connections.push_back(std::make_unique<httplib::Client>("127.0.0.1", rig.server->port()));
    connections.back()->set_keep_alive(true);
    connections.back()->set_tcp_nodelay(true);
    connections.back()->set_bearer_token_auth(kToken);
  }
  std::atomic<bool> failed{false};
  size_t requests = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
      threads.emplace_back([&, c] {
        for (int i = 0; i < kEach; ++i) {
          auto result = connections[c]->Get("/kiv-login/v1/session");
          if (!result || result->status != 200) failed = true;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    requests += static_cast<size_t>(clients) * kEach;
    if (failed) {
      state.SkipWithError("a request failed");
      return;
    }
  }
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(requests), benchmark::Counter::kIsRate);
}

// The same request through the host's in-process path, one caller.
void BM_InProcessGetSession(benchmark::State& state) {
  Rig& rig = TheRig();
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  for (auto _ : state) {
    const kivhost::ApiCallResult result = rig.login->Call("GET", "/kiv-login/v1/session", "");
    if (result.status != 200 && result.status != 0) {
      state.SkipWithError("the call failed");
      return;
    }
  }
  state.counters["requests_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// From the plugin publishing an event (the host's event sink, on the plugin thread) to an
// /events client reading it. Each iteration: one call that makes the plugin publish.
void BM_EventStreamDelay(benchmark::State& state) {
  Rig& rig = TheRig();
  if (!rig.error.empty()) {
    state.SkipWithError(rig.error.c_str());
    return;
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Clock::time_point> published;
  std::vector<Clock::time_point> read;
  rig.login->session().host().SetEventSink([&](const kivhost::EventRecord& record) {
    if (record.kind == kivhost::EventRecord::kPublished &&
        record.name == "OnJsonApiEvent_kiv-login_v1_login-data-packet") {
      std::lock_guard lock(mutex);
      published.push_back(Clock::now());
    }
    rig.server->events().Publish(record);
  });
  httplib::Client client("127.0.0.1", rig.server->port());
  client.set_bearer_token_auth(kToken);
  client.set_tcp_nodelay(true);
  std::atomic<bool> stop{false};
  bool following = false;
  std::thread reader([&] {
    client.Get("/events?filter=OnJsonApiEvent_kiv-login_v1_login-data-packet",
               [&](const char* data, size_t size) {
                 const Clock::time_point now = Clock::now();
                 const std::string text(data, size);
                 std::lock_guard lock(mutex);
                 if (text.find(": following") != std::string::npos) following = true;
                 for (size_t at = text.find("event: "); at != std::string::npos;
                      at = text.find("event: ", at + 1)) {
                   read.push_back(now);
                 }
                 changed.notify_all();
                 return !stop.load();
               });
  });
  {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, std::chrono::seconds(10), [&] { return following; });
  }
  for (auto _ : state) {
    size_t before = 0;
    {
      std::lock_guard lock(mutex);
      before = read.size();
    }
    rig.login->Call("POST", "/kiv-login/v1/change-summoner-name", R"("Alice")");
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(5), [&] { return read.size() > before; })) {
      state.SkipWithError("no event arrived");
      break;
    }
  }
  stop = true;
  client.stop();
  reader.join();
  rig.login->session().host().SetEventSink(
      [&rig](const kivhost::EventRecord& record) { rig.server->events().Publish(record); });
  std::vector<double> delays_us;
  for (size_t i = 0; i < std::min(published.size(), read.size()); ++i) {
    delays_us.push_back(std::chrono::duration<double, std::micro>(read[i] - published[i]).count());
  }
  state.counters["p50_us"] = kivbench::Percentile(delays_us, 0.50);
  state.counters["p99_us"] = kivbench::Percentile(delays_us, 0.99);
}

BENCHMARK(BM_HttpGetSession)
    ->Arg(1)
    ->Arg(16)
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InProcessGetSession)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EventStreamDelay)->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace
