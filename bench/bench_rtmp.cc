// RTMP call round trips against the simulator's server on loopback, plain and TLS: the
// latency of one call (p50, p99) and the calls per second with 64 in flight, each with the
// worker woken on send and with the 10 ms poll alone. Then the floor of both on this machine:
// the threads, wake-ups and futures a call crosses, over a bare socket.
//
//   build/default/bench/bench_rtmp
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "lcds/net/trusted_certificates.h"
#include "lcds/rtmp/rtmp_client.h"
#include "lcds/rtmp/rtmp_connect.h"
#include "sim/rtmp_server.h"

namespace {

using Voro::RtmpClient;
using Voro::Sim::RtmpServer;

struct Pki {
  std::string dir;
  bool ok = false;
};

const Pki& LocalPki() {
  static Pki pki = [] {
    Pki made;
    char dir[] = "/tmp/kiv-bench-pki-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      return made;
    }
    made.dir = dir;
    const std::string command =
        "sh " KIV_SOURCE_DIR "/sim/make_local_ca.sh " + made.dir + " >/dev/null 2>&1";
    made.ok = std::system(command.c_str()) == 0;
    return made;
  }();
  return pki;
}

// A server that answers "echo" with its argument, and a client connected to it.
struct Pair {
  std::unique_ptr<RtmpServer> server;
  std::unique_ptr<RtmpClient> client;
  std::string error;
};

Pair MakePair(bool tls, bool wake) {
  Pair pair;
  Voro::Sim::RtmpServerOptions options;
  options.tls = tls;
  options.keep_received = false;
  options.connection.wake_on_send = wake;
  if (tls) {
    if (!LocalPki().ok) {
      pair.error = "cannot make test certificates";
      return pair;
    }
    options.certificate_file = LocalPki().dir + "/server.pem";
    options.key_file = LocalPki().dir + "/server.key";
  }
  pair.server = std::make_unique<RtmpServer>(options);
  if (auto started = pair.server->Start(); !started.ok()) {
    pair.error = started.error();
    return pair;
  }
  pair.server->SetCallHandler(
      [](Voro::Sim::RtmpServerSession& session, const Voro::RtmpMessage& call) {
        session.SendResult(
            call.header.type, call.command().transaction_id,
            call.command().arguments.empty() ? Voro::AmfValue() : call.command().arguments.back());
        return true;
      });
  Voro::TrustedCertificates trusted =
      tls ? Voro::TrustedCertificates::FromPemFile(LocalPki().dir + "/ca.pem")
          : Voro::TrustedCertificates();
  Voro::RtmpConnectionOptions connection;
  connection.wake_on_send = wake;
  Voro::RtmpConnectResult connected = Voro::ConnectRtmp(
      tls ? "localhost" : "127.0.0.1", pair.server->port(), tls, trusted, connection);
  if (!connected.ok()) {
    pair.error = connected.error.message;
    return pair;
  }
  pair.client = std::make_unique<RtmpClient>(std::move(connected.connection));
  return pair;
}

Voro::RtmpMessage Echo(double value) {
  Voro::RtmpCommand command;
  command.name = "echo";
  command.arguments.push_back(Voro::AmfValue(Voro::Amf0Item::Number(value)));
  return Voro::RtmpMessage::Command(Voro::RtmpType::kAmf0Command, std::move(command));
}

double Percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty()) {
    return 0;
  }
  const size_t index = std::min(samples.size() - 1, static_cast<size_t>(fraction * samples.size()));
  std::nth_element(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(index), samples.end());
  return samples[index];
}

void BM_RoundTrip(benchmark::State& state) {
  const bool tls = state.range(0) != 0;
  const bool wake = state.range(1) != 0;
  Pair pair = MakePair(tls, wake);
  if (!pair.client) {
    state.SkipWithError(pair.error.c_str());
    return;
  }
  std::vector<double> micros;
  double n = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto future = pair.client->Call(Echo(++n));
    Voro::RTMP::CommandResult result = future.get();
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
    if (!result.success) {
      state.SkipWithError("call failed");
      return;
    }
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.SetItemsProcessed(state.iterations());
}

void BM_InFlight64(benchmark::State& state) {
  const bool tls = state.range(0) != 0;
  const bool wake = state.range(1) != 0;
  Pair pair = MakePair(tls, wake);
  if (!pair.client) {
    state.SkipWithError(pair.error.c_str());
    return;
  }
  std::deque<std::future<Voro::RTMP::CommandResult>> in_flight;
  double n = 0;
  for (int i = 0; i < 64; ++i) {
    in_flight.push_back(pair.client->Call(Echo(++n)));
  }
  for (auto _ : state) {
    if (!in_flight.front().get().success) {
      state.SkipWithError("call failed");
      return;
    }
    in_flight.pop_front();
    in_flight.push_back(pair.client->Call(Echo(++n)));
  }
  for (auto& future : in_flight) {
    future.wait();
  }
  state.counters["calls_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// What calls cost on this machine before any RTMP: the caller writes 8 bytes to a loopback
// TCP socket and waits on a future; a server thread, waiting in poll on its socket and an
// eventfd as the simulator's does, reads what has come and writes it back in one send; a
// reader thread, waiting the same way as the connection's worker, reads what has come and
// fulfils the calls' futures in order. The threads, wake-ups, bulk reads and futures of a
// call, and nothing else.
class WakeFloor {
 public:
  WakeFloor() {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (listener >= 0) close(listener);
      return;
    }
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client_, reinterpret_cast<sockaddr*>(&address), length) == 0) {
      server_ = accept(listener, nullptr, nullptr);
    }
    close(listener);
    const int on = 1;
    for (int fd : {client_, server_}) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (int& fd : wake_) fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    echo_ = std::thread([this] {
      Loop(server_, wake_[0], [this](const char* data, size_t n) {
        [[maybe_unused]] ssize_t sent = send(server_, data, n, MSG_NOSIGNAL);
        return n;
      });
    });
    reader_ = std::thread([this] {
      Loop(client_, wake_[1], [this](const char*, size_t n) {
        const size_t answers = n / sizeof(uint64_t);
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < answers; ++i) {
          waiting_.front().set_value();
          waiting_.pop_front();
        }
        return answers * sizeof(uint64_t);
      });
    });
  }
  ~WakeFloor() {
    stop_.store(true);
    const uint64_t one = 1;
    for (int fd : wake_) [[maybe_unused]] ssize_t n = write(fd, &one, sizeof one);
    if (echo_.joinable()) echo_.join();
    if (reader_.joinable()) reader_.join();
    for (int fd : {client_, server_, wake_[0], wake_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  bool ok() const { return server_ >= 0 && wake_[0] >= 0 && wake_[1] >= 0; }

  std::future<void> Call(uint64_t value) {
    std::future<void> answered;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      waiting_.emplace_back();
      answered = waiting_.back().get_future();
    }
    [[maybe_unused]] ssize_t n = send(client_, &value, sizeof value, MSG_NOSIGNAL);
    return answered;
  }

 private:
  // Hands what has come to `take`, which returns how many of the bytes it used.
  template <typename Take>
  void Loop(int fd, int wake, Take take) {
    char buffer[4096];
    size_t held = 0;
    while (!stop_.load()) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
      if (poll(fds, 2, Voro::kRtmpPollMilliseconds) <= 0 || (fds[0].revents & POLLIN) == 0) {
        continue;
      }
      const ssize_t got = recv(fd, buffer + held, sizeof buffer - held, 0);
      if (got <= 0) return;
      held += static_cast<size_t>(got);
      const size_t used = take(buffer, held);
      std::memmove(buffer, buffer + used, held - used);
      held -= used;
    }
  }

  int client_ = -1;
  int server_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::deque<std::promise<void>> waiting_;
  std::thread echo_;
  std::thread reader_;
};

void BM_RoundTripFloor(benchmark::State& state) {
  WakeFloor floor;
  if (!floor.ok()) {
    state.SkipWithError("cannot open a loopback connection");
    return;
  }
  std::vector<double> micros;
  uint64_t n = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    floor.Call(++n).get();
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.SetItemsProcessed(state.iterations());
}

void BM_InFlight64Floor(benchmark::State& state) {
  WakeFloor floor;
  if (!floor.ok()) {
    state.SkipWithError("cannot open a loopback connection");
    return;
  }
  std::deque<std::future<void>> in_flight;
  uint64_t n = 0;
  for (int i = 0; i < 64; ++i) in_flight.push_back(floor.Call(++n));
  for (auto _ : state) {
    in_flight.front().get();
    in_flight.pop_front();
    in_flight.push_back(floor.Call(++n));
  }
  for (auto& future : in_flight) future.wait();
  state.counters["calls_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// {tls, wake}; the poll alone needs far fewer iterations (each call waits ~10 ms).
void Register(const char* name, void (*function)(benchmark::State&), int64_t woken_iterations,
              int64_t polled_iterations) {
  for (int64_t wake : {1, 0}) {
    benchmark::RegisterBenchmark(name, function)
        ->ArgNames({"tls", "wake"})
        ->Args({0, wake})
        ->Args({1, wake})
        ->Iterations(wake ? woken_iterations : polled_iterations)
        ->UseRealTime();
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register("BM_RoundTrip", BM_RoundTrip, 20000, 300);
  Register("BM_InFlight64", BM_InFlight64, 100000, 3000);
  benchmark::RegisterBenchmark("BM_RoundTripFloor", BM_RoundTripFloor)
      ->Iterations(20000)
      ->UseRealTime();
  benchmark::RegisterBenchmark("BM_InFlight64Floor", BM_InFlight64Floor)
      ->Iterations(100000)
      ->UseRealTime();
  return kivbench::RunBenchmarks(argc, argv, [](const kivbench::CounterReporter& r) {
    double ours = 0, floor = 0;
    if (r.Find("BM_RoundTrip/tls:0/wake:1", "p50_us", &ours) &&
        r.Find("BM_RoundTripFloor", "p50_us", &floor)) {
      std::printf(
          "round trip p50, plain: %.1f us; its floor on this machine: %.1f us (%.2f of it)\n", ours,
          floor, floor / ours);
    }
    if (r.Find("BM_InFlight64/tls:0/wake:1", "calls_per_s", &ours) &&
        r.Find("BM_InFlight64Floor", "calls_per_s", &floor)) {
      std::printf(
          "64 in flight, plain: %.0f calls/s; its floor on this machine: %.0f (%.2f of it)\n", ours,
          floor, ours / floor);
    }
  });
}
