// An in-process TLS server on 127.0.0.1 for tests that need a peer they can steer byte by
// byte: it accepts one connection on its own thread, completes the handshake, then runs the
// test's session function with the connection.
#pragma once

#include <openssl/ossl_typ.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Voro::testing {

// A one-shot flag one thread raises and another waits for, with a time limit.
class Flag {
 public:
  void Raise() {
    std::lock_guard<std::mutex> lock(mutex_);
    raised_ = true;
    changed_.notify_all();
  }
  // True once raised; false when `timeout_ms` passed first.
  bool Wait(int timeout_ms = 10000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return raised_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool raised_ = false;  // Guarded by mutex_.
};

class LoopbackTlsServer {
 public:
  // Runs on the server thread after the handshake. The server frees `ssl` and closes `fd`
  // afterwards unless the session has set *closed.
  using Session = std::function<void(SSL* ssl, int fd, bool* closed)>;

  LoopbackTlsServer() = default;
  // Joins the server thread.
  ~LoopbackTlsServer();
  LoopbackTlsServer(const LoopbackTlsServer&) = delete;
  LoopbackTlsServer& operator=(const LoopbackTlsServer&) = delete;

  // Listens and starts the server thread; false with *why on failure.
  bool Start(const std::string& cert, const std::string& key, Session session, std::string* why);
  uint16_t port() const { return port_; }

  // Waits for the server thread. After it: whether the handshake succeeded.
  void Join();
  bool handshake_ok() const { return handshake_ok_; }

 private:
  void Run(const Session& session);

  SSL_CTX* context_ = nullptr;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  bool handshake_ok_ = false;  // written by the server thread, read after Join
};

// SSL_write/SSL_read of exactly `count` bytes on the server side; false on failure.
bool ServerWrite(SSL* ssl, const void* bytes, size_t count);
bool ServerRead(SSL* ssl, void* buffer, size_t count);

}  // namespace Voro::testing
