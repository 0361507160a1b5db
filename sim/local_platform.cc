#include "sim/local_platform.h"

#include <chrono>
#include <utility>

namespace Voro::Sim {
LocalPlatform::LocalPlatform(Scenario scenario, LocalPlatformOptions options)
    : scenario_(std::move(scenario)),
      options_(std::move(options)),
      queue_(scenario_.accounts, scenario_.login_queue, LoginQueueModel::NowMilliseconds()) {
  for (const PlatformAccount& account : scenario_.accounts) services_.AddAccount(account);
  services_.Configure(scenario_.platform);
  services_.SetTokenCheck([this](const std::string& user, const std::string& token) {
    return queue_.IsIssued(user, token);
  });
}

LocalPlatform::~LocalPlatform() { Stop(); }

void LocalPlatform::SetObserver(std::function<void(const std::string& line)> observer) {
  observer_ = std::move(observer);
  services_.SetObserver([this](const std::string& line) { observer_("platform: " + line); });
}

kiv::Status LocalPlatform::Serve(bool tls, int port, std::unique_ptr<RtmpServer>* server) {
  RtmpServerOptions options;
  options.port = static_cast<uint16_t>(port);
  options.tls = tls;
  options.keep_received = false;
  options.certificate_file = options_.certificate_file;
  options.key_file = options_.key_file;
  options.chunk_size =
      options_.chunk_size != 0 ? options_.chunk_size : scenario_.platform.chunk_size;
  auto started = std::make_unique<RtmpServer>(options);
  services_.Attach(*started);
  if (auto listening = started->Start(); !listening.ok()) {
    return kiv::Error{std::string("cannot serve ") + (tls ? "rtmps" : "rtmp") + ": " +
                      listening.error()};
  }
  *server = std::move(started);
  return {};
}

kiv::Status LocalPlatform::Start() {
  if (options_.rtmp_port >= 0) {
    if (auto served = Serve(false, options_.rtmp_port, &rtmp_); !served.ok()) return served;
  }
  if (options_.rtmps_port >= 0) {
    if (auto served = Serve(true, options_.rtmps_port, &rtmps_); !served.ok()) return served;
  }
  if (options_.queue_port >= 0) {
    queue_server_ =
        std::make_unique<LoginQueueServer>(&queue_, options_.certificate_file, options_.key_file);
    if (observer_) {
      queue_server_->SetObserver([this](const std::string& line) { observer_("queue: " + line); });
    }
    if (auto listening = queue_server_->Start(static_cast<uint16_t>(options_.queue_port));
        !listening.ok()) {
      queue_server_.reset();
      return kiv::Error{"cannot serve the login queue: " + listening.error()};
    }
  }
  return {};
}

std::string LocalPlatform::RegionSettingsJson(const std::string& qsa_platform_id) const {
  const bool tls = rtmps_port() != 0;
  const std::string queue_url = std::string(options_.certificate_file.empty() ? "http" : "https") +
                                "://localhost:" + std::to_string(queue_port());
  return R"({"globals": {"region": "sim"}, "region_data": {"sim": {"qsa_platform_id": ")" +
         qsa_platform_id + R"(", "servers": {"lcds": {"login_queue_url": ")" + queue_url +
         R"(", "lcds_host": "localhost", "lcds_port": )" +
         std::to_string(tls ? rtmps_port() : rtmp_port()) + R"(, "use_tls": )" +
         (tls ? "true" : "false") + "}}}}}";
}

void LocalPlatform::Stop() {
  if (queue_server_) queue_server_->Stop();
  if (rtmp_) rtmp_->Stop();
  if (rtmps_) rtmps_->Stop();
}

}  // namespace Voro::Sim
