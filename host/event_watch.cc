#include "host/event_watch.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <atomic>
#include <chrono>
#include <csignal>

namespace kivhost {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> interrupted{false};

void OnInterrupt(int) { interrupted.store(true); }

// A signal handler can only set the flag, so the wait looks at it this often.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

}  // namespace

std::string EventJsonLine(const EventRecord& record) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  writer.Key("event");
  writer.String(record.name.c_str(), static_cast<rapidjson::SizeType>(record.name.size()));
  writer.Key("payload");
  // Already JSON: the host wrote it from the published value.
  writer.RawValue(record.payload.c_str(), record.payload.size(), rapidjson::kObjectType);
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

void EventWatch::Push(const EventRecord& record) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(EventJsonLine(record));
  }
  arrived_.notify_one();
}

size_t EventWatch::PrintQueued(std::FILE* out) {
  std::deque<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines.swap(lines_);
  }
  for (const std::string& line : lines) std::fprintf(out, "%s\n", line.c_str());
  std::fflush(out);
  return lines.size();
}

size_t EventWatch::PrintFor(std::optional<double> seconds, std::FILE* out) {
  const std::optional<Clock::time_point> deadline =
      seconds ? std::optional(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(*seconds)))
              : std::nullopt;
  size_t printed = PrintQueued(out);
  while (!interrupted.load()) {
    const Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) break;
    Clock::time_point until = now + kPollInterval;
    if (deadline && *deadline < until) until = *deadline;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      arrived_.wait_until(lock, until, [this] { return !lines_.empty(); });
    }
    printed += PrintQueued(out);
  }
  return printed;
}

bool EventWatch::Interrupted() { return interrupted.load(); }

void EventWatch::HandleInterrupts() {
  interrupted.store(false);
  struct sigaction action {};
  action.sa_handler = &OnInterrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace kivhost
