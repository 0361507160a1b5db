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

bool LocalPlatform::Serve(bool tls, int port, std::unique_ptr<RtmpServer>* server,
                          std::string* error) {
  RtmpServerOptions options;
  options.port = static_cast<uint16_t>(port);
  options.tls = tls;
  options.certificate_file = options_.certificate_file;
  options.key_file = options_.key_file;
  options.chunk_size =
      options_.chunk_size != 0 ? options_.chunk_size : scenario_.platform.chunk_size;
  auto started = std::make_unique<RtmpServer>(options);
  services_.Attach(*started);
  std::string why;
  if (!started->Start(&why)) {
    *error = std::string("cannot serve ") + (tls ? "rtmps" : "rtmp") + ": " + why;
    return false;
  }
  *server = std::move(started);
  return true;
}

bool LocalPlatform::Start(std::string* error) {
  if (options_.rtmp_port >= 0 && !Serve(false, options_.rtmp_port, &rtmp_, error)) return false;
  if (options_.rtmps_port >= 0 && !Serve(true, options_.rtmps_port, &rtmps_, error)) return false;
  if (options_.queue_port >= 0) {
    queue_server_ =
        std::make_unique<LoginQueueServer>(&queue_, options_.certificate_file, options_.key_file);
    if (observer_) {
      queue_server_->SetObserver([this](const std::string& line) { observer_("queue: " + line); });
    }
    std::string why;
    if (!queue_server_->Start(static_cast<uint16_t>(options_.queue_port), &why)) {
      *error = "cannot serve the login queue: " + why;
      queue_server_.reset();
      return false;
    }
  }
  return true;
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
