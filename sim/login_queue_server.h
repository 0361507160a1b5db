// The simulator's login queue over HTTPS (or plain HTTP without a certificate): the
// routes of LoginQueueModel on a loopback port, serving on a thread of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/result.h"
#include "sim/login_queue_model.h"

namespace httplib {
class Server;
}

namespace Voro::Sim {

class LoginQueueServer {
 public:
  using Observer = std::function<void(const std::string& line)>;

  // `certificate_file` and `key_file` empty: plain HTTP.
  LoginQueueServer(LoginQueueModel* model, std::string certificate_file, std::string key_file);
  ~LoginQueueServer();
  LoginQueueServer(const LoginQueueServer&) = delete;
  LoginQueueServer& operator=(const LoginQueueServer&) = delete;

  // Called with one line per request ("POST /authenticate -> 200"); before Start.
  void SetObserver(Observer observer) { observer_ = std::move(observer); }
  // Listens on 127.0.0.1:`port` (0: any free port); fails when it cannot.
  [[nodiscard]] kiv::Status Start(uint16_t port);
  void Stop();
  uint16_t port() const { return port_; }
  // "https://127.0.0.1:<port>" (or http).
  std::string BaseUrl() const;

 private:
  void Routes();

  LoginQueueModel* model_;
  const bool tls_;
  std::unique_ptr<httplib::Server> server_;
  Observer observer_;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace Voro::Sim
