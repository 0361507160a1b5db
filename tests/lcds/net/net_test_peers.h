// Peers for the transport tests: a loopback TCP listener, a TLS server on a thread of its own,
// `openssl s_server` as an independent TLS peer, and SIGPIPE at its default action.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/assertion.h"
#include "diag/log_test_support.h"
#include "lcds/net/transport.h"
#include "sim/server_tls_transport.h"

namespace Voro::testing {

// A TCP socket on 127.0.0.1 with a port of the kernel's choice; with `listening` false the
// port is bound but refuses connections.
class LoopbackListener {
 public:
  explicit LoopbackListener(bool listening = true) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (bind(fd_, raw, length) == 0 && (!listening || listen(fd_, 8) == 0) &&
        getsockname(fd_, raw, &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~LoopbackListener() { close(fd_); }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  uint16_t port() const { return port_; }  // 0 when the set-up failed
  // The next connection within 10 s, or -1.
  int Accept() {
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, 10000) == 1 ? accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }

 private:
  int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint16_t port_ = 0;
};

// A TLS server for one connection: after the handshake it runs `session` with its side of
// the connection on its own thread, then closes it with a close notify.
class TlsPeer {
 public:
  using Session = std::function<void(Transport& server, int fd)>;
  TlsPeer(const std::string& cert, const std::string& key, Session session) {
    auto created = Sim::ServerTlsContext::Create(cert, key);
    EXPECT_TRUE(created.ok()) << created.error();
    if (created.ok()) context_ = std::move(created.value());
    thread_ = std::thread([this, session = std::move(session)] {
      const int fd = listener_.Accept();
      TransportPtr server = fd >= 0 && context_ ? context_->Accept(fd) : nullptr;
      handshake_ok_ = server != nullptr;
      if (server) session(*server, fd);
    });
  }
  ~TlsPeer() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  uint16_t port() const { return listener_.port(); }
  bool handshake_ok() const { return handshake_ok_; }  // once joined

 private:
  LoopbackListener listener_;
  std::unique_ptr<Sim::ServerTlsContext> context_;
  bool handshake_ok_ = false;
  std::thread thread_;
};

// `openssl s_server -rev` on 127.0.0.1: one connection, and every line it reads goes back
// reversed. port() is 0 when it could not be started.
class OpenSslServer {
 public:
  OpenSslServer(const std::string& cert, const std::string& key) {
    // The shell prints its pid and becomes the server, which prints the port it got.
    const std::string command =
        "echo $$; exec openssl s_server -accept 127.0.0.1:0 -naccept 1 "
        "-rev -cert '" +
        cert + "' -key '" + key + "' 2>&1";
    output_ = popen(command.c_str(), "re");
    char line[512];
    while (output_ != nullptr && port_ == 0 && fgets(line, sizeof line, output_) != nullptr) {
      if (pid_ == 0) {
        pid_ = atoi(line);
      } else if (sscanf(line, "ACCEPT 127.0.0.1:%hu", &port_) != 1) {
        port_ = 0;
      }
    }
  }
  ~OpenSslServer() {
    if (pid_ > 0) kill(pid_, SIGTERM);  // not reaped before pclose, so still ours
    if (output_ != nullptr) pclose(output_);
  }
  uint16_t port() const { return port_; }

 private:
  FILE* output_ = nullptr;
  pid_t pid_ = 0;
  uint16_t port_ = 0;
};

// SIGPIPE at its default action (ending the process) while it lives, so that a write that
// raises it fails the test loudly.
class DefaultSigpipe {
 public:
  DefaultSigpipe() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &action, &previous_);
  }
  ~DefaultSigpipe() { sigaction(SIGPIPE, &previous_, nullptr); }
  // Neither left pending nor left blocked on this thread.
  static bool Clean() {
    sigset_t pending;
    sigset_t mask;
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 0 &&
           pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigismember(&mask, SIGPIPE) == 0;
  }

 private:
  struct sigaction previous_ {};
};

// Bytes that differ from position to position, so a lost or repeated piece shows.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<uint8_t>(seed >> 24);
  }
  return bytes;
}

inline void Raise(int event_fd) {
  const uint64_t one = 1;
  ASSERT_EQ(write(event_fd, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
}

// Runs `call` on another thread after 20 ms, for waits that something must end.
inline std::thread Later(std::function<void()> call) {
  return std::thread([call = std::move(call)] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    call();
  });
}

// `wait`, given 20 s, is woken through the eventfd `wake` from another thread: it must return
// false, far sooner than its time-out.
inline void ExpectWokenEarly(int wake, const std::function<bool(int timeout_ms)>& wait) {
  std::thread waker = Later([wake] { Raise(wake); });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(wait(20000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  waker.join();
}

// Writes to a peer that has gone until a write fails: the first draws a reset, a later one
// fails with EPIPE, which would raise SIGPIPE.
inline TransportResult WriteUntilFailure(Transport& transport) {
  const std::vector<uint8_t> bytes(4096, 0x5a);
  TransportResult result = TransportResult::Success(0);
  for (int attempt = 0; attempt < 200 && result.ok(); ++attempt) {
    result = transport.Write(bytes.data(), bytes.size());
    if (result.ok()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return result;
}

// A zero-byte read is the caller's mistake: refused with its text and one assertion report
// `code`, logged at ERROR. The stream is left as it was.
inline void ExpectZeroByteReadRefused(Transport& transport,
                                      const testing_support::RecordingLogTarget& recorder,
                                      const char* code) {
  uint8_t buffer[1];
  const TransportResult result = transport.Read(buffer, 0);
  EXPECT_TRUE(result.failed);
  EXPECT_EQ(result.error_code, 0);
  EXPECT_EQ(result.message, "A read of zero bytes was requested.");
  const auto lines = recorder.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].message, AssertionReportText(code, nullptr, "", 0, ""));
}

}  // namespace Voro::testing
