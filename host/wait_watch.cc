#include "host/wait_watch.h"

#include <csignal>
#include <vector>

namespace kivhost {

namespace {

std::atomic<bool> print_requested{false};

void OnSigusr1(int) { print_requested.store(true); }

constexpr auto kPollInterval = std::chrono::milliseconds(50);

}  // namespace

WaitWatch::WaitWatch(const SubstituteHost* host, double timeout_seconds, std::FILE* out)
    : host_(host), timeout_seconds_(timeout_seconds), out_(out), thread_([this] { Run(); }) {}

WaitWatch::~WaitWatch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void WaitWatch::HandleSigusr1() {
  struct sigaction action {};
  action.sa_handler = &OnSigusr1;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, nullptr);
}

void WaitWatch::Print(const char* reason) {
  const std::vector<OpenWait> waits = host_->open_waits_since();
  const auto now = std::chrono::steady_clock::now();
  std::fprintf(out_, "kivhost: %s; wait stack (innermost last):%s\n", reason,
               waits.empty() ? " empty" : "");
  for (const OpenWait& wait : waits) {
    const double open = std::chrono::duration<double>(now - wait.since).count();
    std::fprintf(out_, "  %s (open %.1f s)\n", wait.label.c_str(), open);
  }
  std::fflush(out_);
}

void WaitWatch::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, kPollInterval);
    if (stopping_) break;
    if (print_requested.exchange(false)) Print("stack requested");
    if (timeout_seconds_ <= 0) continue;
    const auto now = std::chrono::steady_clock::now();
    for (const OpenWait& wait : host_->open_waits_since()) {
      const double open = std::chrono::duration<double>(now - wait.since).count();
      auto key = std::make_pair(wait.label, wait.since.time_since_epoch().count());
      if (open < timeout_seconds_ || reported_.count(key) != 0) continue;
      reported_.insert(key);
      char reason[160];
      std::snprintf(reason, sizeof(reason), "a wait has been open for more than %g s",
                    timeout_seconds_);
      Print(reason);
    }
  }
}

}  // namespace kivhost
