// A program run as a child process whose output lines are collected as they come, for
// tests of long-running commands (a server that must be asked to stop).
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Voro::testing {

class ChildProcess {
 public:
  // Runs `argv[0]` with `argv`; standard output and standard error are collected together.
  explicit ChildProcess(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      dup2(fds[1], STDERR_FILENO);
      close(fds[0]);
      close(fds[1]);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
    reader_ = std::thread([this] { Read(); });
  }
  // Ends the child (SIGTERM) if it still runs.
  ~ChildProcess() {
    Stop();
    if (reader_.joinable()) reader_.join();
    if (out_ != nullptr) std::fclose(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The first line starting with `prefix`, waiting up to `timeout` for it.
  std::optional<std::string> WaitForLine(const std::string& prefix,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
      for (const std::string& line : lines_) {
        if (line.rfind(prefix, 0) == 0) {
          found = line;
          return true;
        }
      }
      return ended_;
    });
    return found;
  }
  // Sends SIGTERM and waits for the exit and the last of its output; returns the exit
  // status (-1 if it did not exit normally). Repeated calls return the first status.
  int Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      // Everything it printed is read once its end of the pipe is gone.
      if (reader_.joinable()) reader_.join();
    }
    return exit_status_;
  }
  // Everything printed so far.
  std::string Output() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const std::string& line : lines_) text += line + "\n";
    return text;
  }

 private:
  void Read() {
    char line[8192];
    while (out_ != nullptr && std::fgets(line, sizeof line, out_) != nullptr) {
      std::string text(line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(text));
      }
      changed_.notify_all();
    }
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int exit_status_ = -1;
  FILE* out_ = nullptr;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // Guarded by mutex_.
  bool ended_ = false;              // Guarded by mutex_.
};

}  // namespace Voro::testing
