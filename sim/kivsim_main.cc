// kivsim: the local platform simulator. Serves RTMP and/or RTMPS on loopback until it is
// interrupted (or --run-for seconds have passed), printing where it listens.
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

#include "sim/rtmp_server.h"

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: kivsim [--rtmp-port N] [--rtmps-port N --cert FILE --key FILE]\n"
               "              [--chunk-size N] [--run-for SECONDS]\n"
               "Serves the platform's RTMP side on 127.0.0.1. A port of 0 picks a free one.\n"
               "Without any port option, plain RTMP is served on a free port.\n");
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
  if (rtmp_port < 0 && rtmps_port < 0) {
    rtmp_port = 0;
  }
  if (rtmps_port >= 0 && (cert.empty() || key.empty())) {
    std::fprintf(stderr, "kivsim: --rtmps-port needs --cert and --key\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);

  std::vector<std::unique_ptr<Voro::Sim::RtmpServer>> servers;
  auto serve = [&](long port, bool tls) {
    Voro::Sim::RtmpServerOptions options;
    options.port = static_cast<uint16_t>(port);
    options.tls = tls;
    options.certificate_file = cert;
    options.key_file = key;
    options.chunk_size = static_cast<uint32_t>(chunk_size);
    auto server = std::make_unique<Voro::Sim::RtmpServer>(options);
    std::string error;
    if (!server->Start(&error)) {
      std::fprintf(stderr, "kivsim: cannot serve %s: %s\n", tls ? "rtmps" : "rtmp", error.c_str());
      return false;
    }
    std::printf("kivsim: %s listening on 127.0.0.1:%u\n", tls ? "rtmps" : "rtmp",
                unsigned{server->port()});
    std::fflush(stdout);
    servers.push_back(std::move(server));
    return true;
  };
  if ((rtmp_port >= 0 && !serve(rtmp_port, false)) ||
      (rtmps_port >= 0 && !serve(rtmps_port, true))) {
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  while (!g_interrupted) {
    if (run_for >= 0 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(run_for)) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  servers.clear();
  return 0;
}
