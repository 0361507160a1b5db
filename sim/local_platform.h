// The whole simulated platform in one object: the platform server (plain and/or TLS RTMP)
// with its services and the login queue (HTTPS, or HTTP without a certificate), playing
// one scenario on loopback. kivsim runs one; tests and benchmarks run theirs in-process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/login_queue_model.h"
#include "sim/login_queue_server.h"
#include "sim/platform_services.h"
#include "sim/rtmp_server.h"
#include "sim/scenario.h"

namespace Voro::Sim {

struct LocalPlatformOptions {
  int rtmp_port = -1;   // plain RTMP; -1: not served, 0: any free port
  int rtmps_port = -1;  // RTMP over TLS; needs the certificate
  int queue_port = -1;  // the login queue; TLS when there is a certificate
  std::string certificate_file;
  std::string key_file;
  uint32_t chunk_size = 0;  // 0: the scenario's
};

class LocalPlatform {
 public:
  LocalPlatform(Scenario scenario, LocalPlatformOptions options);
  ~LocalPlatform();
  LocalPlatform(const LocalPlatform&) = delete;
  LocalPlatform& operator=(const LocalPlatform&) = delete;

  // Called with one line per request received, prefixed "platform: " or "queue: ";
  // before Start.
  void SetObserver(std::function<void(const std::string& line)> observer);
  // Starts what the options ask for; fails when something cannot be served.
  [[nodiscard]] kiv::Status Start();
  void Stop();

  uint16_t rtmp_port() const { return rtmp_ ? rtmp_->port() : 0; }
  uint16_t rtmps_port() const { return rtmps_ ? rtmps_->port() : 0; }
  uint16_t queue_port() const { return queue_server_ ? queue_server_->port() : 0; }
  // "https://127.0.0.1:<port>" (http without a certificate); empty without a queue.
  std::string QueueUrl() const { return queue_server_ ? queue_server_->BaseUrl() : ""; }

  // The host's region settings ({"globals", "region_data"}, as kivhost --region-file reads
  // them) for one region, "sim", served by this platform on "localhost": its RTMPS port
  // when it serves one (TLS), else its RTMP port, and its login queue.
  std::string RegionSettingsJson(const std::string& qsa_platform_id = "") const;

  PlatformServices& services() { return services_; }
  LoginQueueModel& queue() { return queue_; }
  RtmpServer* rtmp() { return rtmp_.get(); }
  RtmpServer* rtmps() { return rtmps_.get(); }

 private:
  [[nodiscard]] kiv::Status Serve(bool tls, int port, std::unique_ptr<RtmpServer>* server);

  const Scenario scenario_;
  const LocalPlatformOptions options_;
  std::function<void(const std::string&)> observer_;
  PlatformServices services_;
  LoginQueueModel queue_;
  std::unique_ptr<RtmpServer> rtmp_;
  std::unique_ptr<RtmpServer> rtmps_;
  std::unique_ptr<LoginQueueServer> queue_server_;
};

}  // namespace Voro::Sim
