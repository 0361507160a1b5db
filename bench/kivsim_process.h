// kivsim in a child process, playing a scenario file over TLS (or plain), so that what a
// long-running program measures of its own process is the host and the plugin alone. Its output
// lines are kept as they come.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivbench {

class KivsimProcess {
 public:
  // Starts `kivsim` with `scenario_file` and the certificate and key; waits (10 s at most)
  // until it says where it listens.
  KivsimProcess(const std::string& kivsim, const std::string& scenario_file,
                const std::string& certificate, const std::string& key, bool tls = true)
      : tls_(tls) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipe_fds[1], STDOUT_FILENO);
      dup2(pipe_fds[1], STDERR_FILENO);
      close(pipe_fds[0]);
      close(pipe_fds[1]);
      if (tls) {
        execl(kivsim.c_str(), kivsim.c_str(), "--scenario", scenario_file.c_str(), "--rtmps-port",
              "0", "--queue-port", "0", "--cert", certificate.c_str(), "--key", key.c_str(),
              static_cast<char*>(nullptr));
      } else {
        execl(kivsim.c_str(), kivsim.c_str(), "--scenario", scenario_file.c_str(), "--rtmp-port",
              "0", "--queue-port", "0", static_cast<char*>(nullptr));
      }
      _exit(127);
    }
    close(pipe_fds[1]);
    out_ = fdopen(pipe_fds[0], "r");
    reader_ = std::thread([this] { Read(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        if (port_ != 0 && queue_port_ != 0) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~KivsimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (out_ != nullptr) fclose(out_);
  }
  KivsimProcess(const KivsimProcess&) = delete;
  KivsimProcess& operator=(const KivsimProcess&) = delete;

  bool ok() {
    std::lock_guard lock(mutex_);
    return port_ != 0 && queue_port_ != 0;
  }
  // The region settings that point a plugin at it.
  std::string RegionSettingsJson() {
    std::lock_guard lock(mutex_);
    return R"({"globals": {"region": "sim"}, "region_data": {"sim": {"servers": {"lcds": {)"
           R"("login_queue_url": ")" +
           std::string(tls_ ? "https" : "http") + "://localhost:" + std::to_string(queue_port_) +
           R"(", "lcds_host": "localhost", "lcds_port": )" + std::to_string(port_) +
           R"(, "use_tls": )" + (tls_ ? "true" : "false") + "}}}}}";
  }
  // How many of its lines so far are exactly `line` (without the newline).
  size_t Count(const std::string& line) {
    std::lock_guard lock(mutex_);
    size_t count = 0;
    for (const std::string& seen : lines_) count += seen == line;
    return count;
  }

 private:
  void Read() {
    char line[4096];
    while (out_ != nullptr && std::fgets(line, sizeof line, out_) != nullptr) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      unsigned port = 0;
      std::lock_guard lock(mutex_);
      if (std::sscanf(text.c_str(),
                      tls_ ? "kivsim: rtmps listening on 127.0.0.1:%u"
                           : "kivsim: rtmp listening on 127.0.0.1:%u",
                      &port) == 1) {
        port_ = port;
      } else if (std::sscanf(text.c_str(),
                             tls_ ? "kivsim: login queue listening on https://127.0.0.1:%u"
                                  : "kivsim: login queue listening on http://127.0.0.1:%u",
                             &port) == 1) {
        queue_port_ = port;
      }
      lines_.push_back(std::move(text));
    }
  }

  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  std::thread reader_;
  std::mutex mutex_;
  const bool tls_;
  unsigned port_ = 0;  // the platform server's, RTMPS or plain RTMP
  unsigned queue_port_ = 0;
  std::vector<std::string> lines_;
};

}  // namespace kivbench
