#include "sim/login_queue_server.h"

#include <httplib.h>

#include <chrono>
#include <utility>

namespace Voro::Sim {
namespace {

void Reply(const HttpAnswer& answer, httplib::Response& response) {
  response.status = answer.status;
  response.set_content(answer.body, answer.content_type.c_str());
}

}  // namespace

LoginQueueServer::LoginQueueServer(LoginQueueModel* model, std::string certificate_file,
                                   std::string key_file)
    : model_(model), tls_(!certificate_file.empty()) {
  if (tls_) {
    server_ = std::make_unique<httplib::SSLServer>(certificate_file.c_str(), key_file.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
}

LoginQueueServer::~LoginQueueServer() { Stop(); }

void LoginQueueServer::Routes() {
  auto handle = [this](const httplib::Request& request, httplib::Response& response,
                       const HttpAnswer& answer) {
    Reply(answer, response);
    if (observer_) {
      observer_(request.method + " " + request.path + " -> " + std::to_string(answer.status) + " " +
                answer.body.substr(0, 120));
    }
  };
  server_->Post("/authenticate",
                [this, handle](const httplib::Request& request, httplib::Response& response) {
                  handle(request, response,
                         model_->Authenticate(request.body, LoginQueueModel::NowMilliseconds()));
                });
  server_->Post("/authenticate/QSA", [this, handle](const httplib::Request& request,
                                                    httplib::Response& response) {
    handle(request, response,
           model_->AuthenticateWithAccessToken(request.get_header_value("Authorization"),
                                               LoginQueueModel::NowMilliseconds()));
  });
  server_->Get("/ticker/([^/]+)",
               [this, handle](const httplib::Request& request, httplib::Response& response) {
                 handle(request, response,
                        model_->Ticker(request.matches[1], LoginQueueModel::NowMilliseconds()));
               });
  server_->Post(
      "/token", [this, handle](const httplib::Request& request, httplib::Response& response) {
        handle(request, response, model_->Token(request.body, LoginQueueModel::NowMilliseconds()));
      });
}

kiv::Status LoginQueueServer::Start(uint16_t port) {
  if (!server_->is_valid()) return kiv::Error{"the certificate or key cannot be used"};
  Routes();
  // Headers and body go out as separate writes: without this, the body waits for the
  // client's delayed acknowledgement.
  server_->set_tcp_nodelay(true);
  if (port == 0) {
    const int bound = server_->bind_to_any_port("127.0.0.1");
    if (bound <= 0) return kiv::Error{"cannot bind a port"};
    port_ = static_cast<uint16_t>(bound);
  } else {
    if (!server_->bind_to_port("127.0.0.1", port)) {
      return kiv::Error{"cannot bind port " + std::to_string(port)};
    }
    port_ = port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  for (int i = 0; i < 500 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return {};
}

void LoginQueueServer::Stop() {
  if (thread_.joinable()) {
    server_->stop();
    thread_.join();
  }
}

std::string LoginQueueServer::BaseUrl() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

}  // namespace Voro::Sim
