#include "lcds/net/openssl_server_process.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace Voro::testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

OpenSslServerProcess::~OpenSslServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (input_fd_ >= 0) {
    close(input_fd_);
  }
  if (output_fd_ >= 0) {
    close(output_fd_);
  }
}

bool OpenSslServerProcess::Start(const std::string& cert, const std::string& key,
                                 std::string* why) {
  // Socket pairs rather than pipes: the test writes with MSG_NOSIGNAL, so a server that has
  // exited cannot take the test down with SIGPIPE.
  int input[2];
  int output[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
    *why = std::string("socketpair: ") + std::strerror(errno);
    return false;
  }
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, output) != 0) {
    *why = std::string("socketpair: ") + std::strerror(errno);
    close(input[0]);
    close(input[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[1], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, output[1], 2);
  // Port 0: the kernel picks a free one and the server prints it ("ACCEPT host:port"), so
  // there is no race for a port. Without -quiet, for that line; its input must then not
  // start with a command letter, which the tests' digits never do.
  std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:0", "-naccept",
                                   "1",       "-cert",    cert,      "-key",        key};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (std::string& arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  const int spawn_error = posix_spawnp(&pid_, "openssl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[1]);
  close(output[1]);
  input_fd_ = input[0];
  output_fd_ = output[0];
  if (spawn_error != 0) {
    pid_ = -1;
    *why = std::string("cannot start openssl s_server: ") + std::strerror(spawn_error);
    return false;
  }

  static constexpr char kAccept[] = "ACCEPT 127.0.0.1:";
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  for (;;) {
    const size_t at = output_.find(kAccept);
    if (at != std::string::npos) {
      const size_t end = output_.find('\n', at);
      if (end != std::string::npos) {
        const long port = std::strtol(output_.c_str() + at + sizeof(kAccept) - 1, nullptr, 10);
        if (port <= 0 || port > 65535) {
          *why = "openssl s_server printed no port: " + output_;
          return false;
        }
        port_ = static_cast<uint16_t>(port);
        return true;
      }
    }
    if (MillisecondsLeft(deadline) == 0 || !ReadSome(MillisecondsLeft(deadline))) {
      *why = "openssl s_server did not start listening: " + output_;
      return false;
    }
  }
}

bool OpenSslServerProcess::Send(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t sent = send(input_fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(sent);
  }
  return true;
}

bool OpenSslServerProcess::WaitForOutput(const std::string& needle, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (output_.find(needle) == std::string::npos) {
    if (MillisecondsLeft(deadline) == 0 || !ReadSome(MillisecondsLeft(deadline))) {
      return output_.find(needle) != std::string::npos;
    }
  }
  return true;
}

bool OpenSslServerProcess::ReadSome(int timeout_ms) {
  pollfd entry{output_fd_, POLLIN, 0};
  const int ready = poll(&entry, 1, timeout_ms);
  if (ready < 0) {
    return errno == EINTR;
  }
  if (ready == 0) {
    return true;  // nothing yet; the caller's deadline decides
  }
  char buffer[4096];
  const ssize_t n = recv(output_fd_, buffer, sizeof(buffer), 0);
  if (n <= 0) {
    return n < 0 && errno == EINTR;
  }
  output_.append(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace Voro::testing
