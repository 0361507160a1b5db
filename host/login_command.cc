#include "host/login_command.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/api_client.h"
#include "host/login_progress.h"
#include "host/telemetry_summary.h"

namespace kivhost {

namespace {

using Clock = std::chrono::steady_clock;

// The plugin reports the login's telemetry just after it publishes the final state.
constexpr auto kTelemetryGrace = std::chrono::seconds(5);
constexpr char kLoginResultEvent[] = "login_result";
// How long a login that is told to stop may take to end.
constexpr auto kLogoutGrace = std::chrono::seconds(15);

// Session events as the plugin thread publishes them, for the thread that follows them.
class SessionEvents {
 public:
  void Push(std::string payload) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      payloads_.push_back(std::move(payload));
    }
    ready_.notify_one();
  }
  // The next payload; nullopt once `deadline` has passed without one.
  std::optional<std::string> Pop(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [this] { return !payloads_.empty(); })) {
      return std::nullopt;
    }
    std::string payload = std::move(payloads_.front());
    payloads_.pop_front();
    return payload;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> payloads_;  // Guarded by mutex_.
};

std::string CredentialsJson(const LoginOptions& options) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  const std::string& username = *options.username;
  const std::string& password = *options.password;
  writer.StartObject();
  writer.Key("username");
  writer.String(username.data(), static_cast<rapidjson::SizeType>(username.size()));
  writer.Key("password");
  writer.String(password.data(), static_cast<rapidjson::SizeType>(password.size()));
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// Calls one of the plugin's endpoints on its thread. False (with a printed reason) when it
// has no such endpoint or the call could not be made.
bool Call(HostSession& session, const char* method, const char* path, const std::string& json,
          ApiCallResult* result, std::FILE* out) {
  const ApiTable* table = session.descriptor().api;
  const uint32_t code = MethodCode(method);
  const ApiEndpointRecord* endpoint = table != nullptr ? FindEndpoint(*table, code, path) : nullptr;
  if (endpoint == nullptr || endpoint->callback == nullptr) {
    std::fprintf(out, "login: the plugin has no endpoint %s %s\n", method, path);
    return false;
  }
  ApiCall call;
  call.method = code;
  call.path = path;
  if (!json.empty()) {
    call.content_type = "application/json";
    call.body = json;
  }
  kiv::Status sent;
  session.thread().Invoke([&] { sent = CallEndpoint(*endpoint, call, result); });
  if (!sent.ok())
    std::fprintf(out, "login: %s %s not sent: %s\n", method, path, sent.error().c_str());
  return sent.ok();
}

void PrintResource(HostSession& session, const char* path, std::FILE* out) {
  ApiCallResult result;
  if (!Call(session, "GET", path, "", &result, out)) return;
  if (result.failed) {
    std::fprintf(out, "GET %s failed with status %d: %s\n", path, result.status,
                 result.error.c_str());
    return;
  }
  std::fprintf(out, "GET %s:\n%s\n", path, IndentedJson(result.body_json).c_str());
}

bool LoginResultSent(const HostEndpoints& endpoints) {
  for (const SinkRecord& record : endpoints.records()) {
    if (record.sink == "events" && record.name == kLoginResultEvent) return true;
  }
  return false;
}

void WaitForLoginResult(HostSession& session) {
  const Clock::time_point grace = Clock::now() + kTelemetryGrace;
  while (!LoginResultSent(session.host().endpoints()) && Clock::now() < grace) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Gives up on a login that is still running, as a person would: logs out and waits, for a
// bounded time, until the plugin has closed the session and left its waits, so that it is
// not shut down from inside the login it is running.
void LogOut(HostSession& session, SessionEvents* events, LoginProgress* progress, std::FILE* out) {
  std::fprintf(out, "login: DELETE %s\n", kLoginSessionPath);
  ApiCallResult result;
  if (!Call(session, "DELETE", kLoginSessionPath, "", &result, out)) return;
  if (result.failed) {
    std::fprintf(out, "login: logout refused, status %d: %s\n", result.status,
                 result.error.c_str());
  }
  const Clock::time_point deadline = Clock::now() + kLogoutGrace;
  bool closed = false;
  while (!closed) {
    std::optional<std::string> payload = events->Pop(deadline);
    if (!payload) break;
    std::optional<std::string> line = progress->OnResourceEvent(*payload);
    if (line) std::fprintf(out, "login: %s\n", line->c_str());
    closed = progress->closed();
  }
  while (!session.host().open_waits().empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Keeps a logged-in session for `seconds`, printing each change of it and what the plugin
// logs about its upkeep as it happens. True when it is still logged in at the end.
bool Stay(HostSession& session, double seconds, SessionEvents* events, LoginProgress* progress,
          std::FILE* out) {
  std::fprintf(out, "login: staying logged in for %g seconds\n", seconds);
  const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
  size_t logs_seen = session.host().log_lines().size();
  for (;;) {
    const Clock::time_point now = Clock::now();
    // Short turns, so that log lines show when they come even without session events.
    const std::optional<std::string> payload =
        events->Pop(std::min(end, now + std::chrono::milliseconds(50)));
    const std::vector<LogLine> logs = session.host().log_lines();
    for (; logs_seen < logs.size(); ++logs_seen) {
      if (auto line = DescribeSessionUpkeep(logs[logs_seen].message)) {
        std::fprintf(out, "login: %s\n", line->c_str());
      }
    }
    if (payload) {
      if (auto line = progress->OnResourceEvent(*payload)) {
        std::fprintf(out, "login: %s\n", line->c_str());
      }
    }
    if (progress->closed()) {
      std::fprintf(out, "login: the session ended during the stay\n");
      return false;
    }
    if (!payload && Clock::now() >= end) break;
  }
  return progress->state() == "SUCCEEDED";
}

}  // namespace

int RunLogin(HostSession& session, const LoginOptions& options, std::FILE* out) {
  auto events = std::make_shared<SessionEvents>();
  session.host().SetEventSink([events](const EventRecord& record) {
    if (record.kind == EventRecord::kPublished && record.name == kSessionEventName) {
      events->Push(record.payload);
    }
  });
  struct SinkReset {
    SubstituteHost& host;
    ~SinkReset() { host.SetEventSink(nullptr); }
  } reset{session.host()};

  std::fprintf(out, "login: POST %s as \"%s\"\n", kLoginSessionPath, options.username->c_str());
  ApiCallResult started;
  if (!Call(session, "POST", kLoginSessionPath, CredentialsJson(options), &started, out)) return 1;
  if (started.failed) {
    std::fprintf(out, "login: not started, status %d: %s\n", started.status, started.error.c_str());
    return 1;
  }
  std::fprintf(out, "login: started, status %d\n", started.status);

  LoginProgress progress;
  auto show = [&](const std::optional<std::string>& line) {
    if (line) std::fprintf(out, "login: %s\n", line->c_str());
  };
  // The session as the POST answered it, then every change published since it began.
  show(progress.OnSession(started.body_json));
  const double timeout = options.timeout_seconds.value_or(kDefaultLoginTimeout);
  const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(timeout));
  while (!progress.finished()) {
    std::optional<std::string> payload = events->Pop(deadline);
    if (!payload) {
      std::fprintf(out, "login: no result after %g seconds, state %s\n", timeout,
                   progress.state().empty() ? "unknown" : progress.state().c_str());
      LogOut(session, events.get(), &progress, out);
      WaitForLoginResult(session);
      std::fputs(DescribeTelemetry(session.host().endpoints().records()).c_str(), out);
      return 1;
    }
    show(progress.OnResourceEvent(*payload));
  }

  WaitForLoginResult(session);
  int status = 1;
  switch (progress.outcome()) {
    case LoginProgress::Outcome::kSucceeded:
      std::fprintf(out, "login: succeeded\n");
      PrintResource(session, kLoginSessionPath, out);
      PrintResource(session, kLoginWalletPath, out);
      status = 0;
      if (options.stay_seconds) {
        const bool stayed = Stay(session, *options.stay_seconds, events.get(), &progress, out);
        std::fprintf(out, "login: %s\n",
                     stayed ? "still logged in, logging out" : "no longer logged in");
        if (!progress.closed()) LogOut(session, events.get(), &progress, out);
        status = stayed ? 0 : 1;
      }
      break;
    case LoginProgress::Outcome::kFailed:
      std::fprintf(
          out, "login: failed: %s\n",
          progress.error().empty() ? "the session carries no error" : progress.error().c_str());
      break;
    case LoginProgress::Outcome::kClosed:
    case LoginProgress::Outcome::kRunning:
      std::fprintf(out, "login: the session was closed before the login ended\n");
      break;
  }
  std::fputs(DescribeTelemetry(session.host().endpoints().records()).c_str(), out);
  return status;
}

}  // namespace kivhost
