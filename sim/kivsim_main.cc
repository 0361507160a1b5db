// kivsim: the local platform simulator. Serves the platform's RTMP and/or RTMPS side and
// optionally the login queue (HTTPS, or HTTP without a certificate) on loopback, playing a
// scenario file, until it is interrupted (or --run-for seconds have passed). Prints where it
// listens and one line per request it receives.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/local_platform.h"
#include "sim/scenario.h"

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: kivsim [--scenario FILE] [--rtmp-port N] [--rtmps-port N]\n"
               "              [--queue-port N] [--cert FILE --key FILE]\n"
               "              [--chunk-size N] [--run-for SECONDS]\n"
               "Serves the platform's RTMP side, and with --queue-port the login queue\n"
               "(HTTPS with --cert/--key, else HTTP), on 127.0.0.1. A port of 0 picks a\n"
               "free one. Without any port option, plain RTMP is served on a free port.\n"
               "The scenario (JSON or YAML; see sim/scenarios/demo.yaml) gives the accounts,\n"
               "the login queue and the faults to inject.\n");
}

bool ParseNumber(const char* text, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > max) {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long rtmp_port = -1;
  long rtmps_port = -1;
  long queue_port = -1;
  std::string scenario_file;
  long chunk_size = 0;
  long run_for = -1;
  std::string cert;
  std::string key;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kivsim: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    auto number = [&](const char* name, long max, long* out) {
      const char* text = value(name);
      if (!ParseNumber(text, max, out)) {
        std::fprintf(stderr, "kivsim: invalid %s '%s'\n", name, text);
        std::exit(2);
      }
    };
    if (arg == "--rtmp-port") {
      number("--rtmp-port", 65535, &rtmp_port);
    } else if (arg == "--rtmps-port") {
      number("--rtmps-port", 65535, &rtmps_port);
    } else if (arg == "--queue-port") {
      number("--queue-port", 65535, &queue_port);
    } else if (arg == "--scenario") {
      scenario_file = value("--scenario");
    } else if (arg == "--chunk-size") {
      number("--chunk-size", 0x7FFFFFFF, &chunk_size);
    } else if (arg == "--run-for") {
      number("--run-for", 1'000'000, &run_for);
    } else if (arg == "--cert") {
      cert = value("--cert");
    } else if (arg == "--key") {
      key = value("--key");
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kivsim: unknown argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (rtmp_port < 0 && rtmps_port < 0 && queue_port < 0) {
    rtmp_port = 0;
  }
  if (cert.empty() != key.empty()) {
    std::fprintf(stderr, "kivsim: --cert and --key go together\n");
    return 2;
  }
  if (rtmps_port >= 0 && (cert.empty() || key.empty())) {
    std::fprintf(stderr, "kivsim: --rtmps-port needs --cert and --key\n");
    return 2;
  }
  Voro::Sim::Scenario scenario;
  if (!scenario_file.empty()) {
    auto loaded = Voro::Sim::LoadScenarioFile(scenario_file);
    if (!loaded.ok()) {
      std::fprintf(stderr, "kivsim: %s\n", loaded.error().c_str());
      return 2;
    }
    scenario = std::move(loaded.value());
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);

  Voro::Sim::LocalPlatformOptions options;
  options.rtmp_port = static_cast<int>(rtmp_port);
  options.rtmps_port = static_cast<int>(rtmps_port);
  options.queue_port = static_cast<int>(queue_port);
  options.certificate_file = cert;
  options.key_file = key;
  options.chunk_size = static_cast<uint32_t>(chunk_size);
  Voro::Sim::LocalPlatform platform(std::move(scenario), options);
  platform.SetObserver([](const std::string& line) {
    std::printf("kivsim: %s\n", line.c_str());
    std::fflush(stdout);
  });
  if (auto started = platform.Start(); !started.ok()) {
    std::fprintf(stderr, "kivsim: %s\n", started.error().c_str());
    return 1;
  }
  if (platform.rtmp_port() != 0) {
    std::printf("kivsim: rtmp listening on 127.0.0.1:%u\n", unsigned{platform.rtmp_port()});
  }
  if (platform.rtmps_port() != 0) {
    std::printf("kivsim: rtmps listening on 127.0.0.1:%u\n", unsigned{platform.rtmps_port()});
  }
  if (platform.queue_port() != 0) {
    std::printf("kivsim: login queue listening on %s\n", platform.QueueUrl().c_str());
  }
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  while (!g_interrupted) {
    if (run_for >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(run_for)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  platform.Stop();
  return 0;
}
