// `openssl s_server` as an independent TLS peer: started on 127.0.0.1 with a port of the
// kernel's choice, serving one connection; what it receives shows in its output, and what
// the test sends to its input goes to the client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace Voro::testing {

class OpenSslServerProcess {
 public:
  OpenSslServerProcess() = default;
  ~OpenSslServerProcess();
  OpenSslServerProcess(const OpenSslServerProcess&) = delete;
  OpenSslServerProcess& operator=(const OpenSslServerProcess&) = delete;

  // Starts the server with a certificate and key (PEM files) and waits until it listens.
  // False, with the reason in *why, when it cannot be started.
  bool Start(const std::string& cert, const std::string& key, std::string* why);

  uint16_t port() const { return port_; }

  // Sends `text` to the server's input: the server passes it to the client.
  bool Send(const std::string& text);

  // Waits up to `timeout_ms` until the server's output (standard output and error)
  // contains `needle`.
  bool WaitForOutput(const std::string& needle, int timeout_ms);
  const std::string& output() const { return output_; }

 private:
  // Appends what the server printed, waiting up to `timeout_ms`; false at its end.
  bool ReadSome(int timeout_ms);

  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  uint16_t port_ = 0;
  std::string output_;
};

}  // namespace Voro::testing
