// A login queue played by the fake host: every external request is recorded with the
// manual clock's reading and answered by the test's function. Pumping moves the manual clock
// by a fixed step, so the client's scheduler sleeps pass minutes of queue time at once.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/binding_abi.h"
#include "binding/json_writer.h"
#include "login/client_login.h"
#include "loginqueue/login_queue_client.h"
#include "plugin/http_base_transport.h"
#include "plugin/telemetry_sender.h"
#include "support/fake_host.h"
#include "support/initialized_module.h"
#include "support/manual_clock.h"

namespace Voro::testing {

inline constexpr char kQueueUrl[] = "https://lq.test";

// What the queue saw of one request.
struct QueueRequest {
  int64_t at_ms = 0;  // since the fixture started
  uint32_t method = 0;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  uint32_t timeout = 0;
  uint8_t flag = 0;

  std::string Header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
      if (key == name) return value;
    }
    return "<none>";
  }
};

// How the queue answers. A transport failure carries its text as the body, as a host does.
struct QueueAnswer {
  int32_t transport = 0;
  int32_t status = 200;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  bool null_body = false;  // a positive length without bytes

  static QueueAnswer Json(std::string body, int32_t status = 200) {
    QueueAnswer answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
  }
  static QueueAnswer Unreachable(std::string text) {
    QueueAnswer answer;
    answer.transport = 5;
    answer.status = 0;
    answer.body = std::move(text);
    return answer;
  }
};

// A change of the public queue status, as the change callback saw it.
struct StatusChange {
  int64_t at_ms = 0;
  std::optional<Client::Api::LoginQueue> status;
};

class LoginQueueFixture : public ::testing::Test {
 protected:
  LoginQueueFixture()
      : module_(&host_),
        transport_(module_.get()),
        client_(LoginQueueServices{&transport_, &module_->scheduler(), module_->telemetry()}) {
    start_ns_ = clock_.SteadyNanoseconds();
    host_.on_external_request = [this](HostExternalResponse* response,
                                       const HostExternalRequest* request) {
      QueueRequest seen;
      seen.at_ms = NowMs();
      seen.method = request->method;
      seen.url = request->url;
      for (uint32_t i = 0; i < request->header_count; ++i) {
        seen.headers.emplace_back(request->headers[i].name, request->headers[i].value);
      }
      seen.body.assign(request->body, request->body_length);
      seen.timeout = request->timeout;
      seen.flag = request->flag;
      requests_.push_back(seen);
      ASSERT_TRUE(respond) << "unexpected request to " << seen.url;
      answers_.push_back(std::make_unique<Held>());
      Held& held = *answers_.back();
      held.answer = respond(seen);
      for (const auto& [name, value] : held.answer.headers) {
        held.pairs.push_back(HostHeaderPair{name.c_str(), value.c_str()});
      }
      response->transport_code = held.answer.transport;
      response->http_status = held.answer.status;
      response->headers = held.pairs.empty() ? nullptr : held.pairs.data();
      response->header_count = static_cast<uint32_t>(held.pairs.size());
      response->body = held.answer.null_body ? nullptr : held.answer.body.data();
      response->body_length = static_cast<uint32_t>(held.answer.body.size());
      response->release = [](HostExternalResponse*) {};
    };
    host_.on_pump = [this] {
      clock_.AdvanceMilliseconds(pump_step_ms_);
      if (on_pump) on_pump();
    };
    host_.on_request = [this](HostResponse* response, const HostRequest* request) {
      std::map<std::string, std::string> arguments;
      for (uint32_t i = 0; i < request->argument_count; ++i) {
        BindingResult value = FromAbiValue(request->arguments[i].value, request->arguments[i].name);
        arguments[request->arguments[i].name] = value.value().ToString();
      }
      host_requests_.emplace_back(request->path, std::move(arguments));
      response->release = [](HostResponse*) {};
    };
    host_.log.clear();  // only the client's own lines from here on
    login_.login_queue_url = kQueueUrl;
    login_.SetChangeCallback([this] { changes_.push_back({NowMs(), login_.queue_position}); });
  }

  int64_t NowMs() { return (clock_.SteadyNanoseconds() - start_ns_) / 1'000'000; }

  // Log lines of the host's log at `level`, in order.
  std::vector<std::string> LogAt(int32_t level) const {
    std::vector<std::string> lines;
    for (const auto& [line_level, text] : host_.log) {
      if (line_level == level) lines.push_back(text);
    }
    return lines;
  }
  bool Logged(int32_t level, const std::string& text) const {
    for (const auto& [line_level, line] : host_.log) {
      if (line_level == level && line == text) return true;
    }
    return false;
  }
  // The requests whose URL is `url`.
  std::vector<QueueRequest> RequestsTo(const std::string& url) const {
    std::vector<QueueRequest> found;
    for (const QueueRequest& request : requests_) {
      if (request.url == url) found.push_back(request);
    }
    return found;
  }
  // The arguments of the telemetry events named `name`.
  std::vector<std::map<std::string, std::string>> TelemetryEvents(const std::string& name) const {
    std::vector<std::map<std::string, std::string>> events;
    for (const auto& [path, arguments] : host_requests_) {
      if (path == TelemetrySender::EventPath(name)) events.push_back(arguments);
    }
    return events;
  }

  struct Held {
    QueueAnswer answer;
    std::vector<HostHeaderPair> pairs;
  };

  FakeHost host_;
  ManualClock clock_;
  InitializedModule module_;
  HttpBaseTransport transport_;
  LoginQueueClient client_;
  ClientLogin login_;
  int64_t start_ns_ = 0;
  int64_t pump_step_ms_ = 10;

  std::function<QueueAnswer(const QueueRequest&)> respond;
  std::function<void()> on_pump;
  std::vector<QueueRequest> requests_;
  std::vector<std::unique_ptr<Held>> answers_;
  std::vector<std::pair<std::string, std::map<std::string, std::string>>> host_requests_;
  std::vector<StatusChange> changes_;
};

}  // namespace Voro::testing
