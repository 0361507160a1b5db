#include "host/event_stream.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "host/event_filter.h"

namespace kivhost {
namespace {

// The payload's "uri" member, empty when there is none.
std::string PayloadUri(const std::string& payload) {
  rapidjson::Document document;
  document.Parse(payload.c_str(), payload.size());
  if (document.HasParseError() || !document.IsObject()) return {};
  if (!document.HasMember("uri") || !document["uri"].IsString()) return {};
  const rapidjson::Value& uri = document["uri"];
  return std::string(uri.GetString(), uri.GetStringLength());
}

bool PathMatches(const std::string& filter, const std::string& uri) {
  if (!filter.empty() && filter.back() == '*') {
    return uri.compare(0, filter.size() - 1, filter, 0, filter.size() - 1) == 0;
  }
  return uri == filter;
}

}  // namespace

kiv::Result<EventStreamFilter> EventStreamFilter::Parse(const std::string* plugin,
                                                        const std::string* filter) {
  EventStreamFilter parsed;
  if (plugin != nullptr) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long id = std::strtoull(plugin->c_str(), &end, 10);
    if (plugin->empty() || (*plugin)[0] == '-' || *end != '\0' || errno != 0 || id == 0 ||
        id > UINT32_MAX) {
      return kiv::Error{"plugin must be a plugin id from 1 to 4294967295, not '" + *plugin + "'"};
    }
    parsed.plugin_id = static_cast<uint32_t>(id);
  }
  if (filter != nullptr) {
    const bool path = !filter->empty() && (*filter)[0] == '/';
    if (!path && !IsEventFilter(*filter)) {
      return kiv::Error{
          "filter must be an event name, a name prefix ending in '*' or a "
          "resource path starting with '/', not '" +
          *filter + "'"};
    }
    parsed.filter = *filter;
  }
  return parsed;
}

bool EventStreamFilter::Matches(const EventRecord& record) const {
  if (plugin_id && record.plugin_id != 0 && record.plugin_id != *plugin_id) return false;
  if (filter.empty()) return true;
  if (filter[0] == '/') return PathMatches(filter, PayloadUri(record.payload));
  return EventFilterMatches(filter, record.name);
}

std::string ServerSentEvent(const std::string& name, const std::string& payload) {
  // The payload is compact JSON, one line; a line break in it would still end the field,
  // so each line becomes a data line of its own, as the format joins them back.
  std::string text = "event: " + name + "\ndata: ";
  for (const char c : payload) {
    if (c == '\n') {
      text += "\ndata: ";
    } else if (c != '\r') {
      text += c;
    }
  }
  text += "\n\n";
  return text;
}

std::optional<std::string> EventStream::Client::Take(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [this] { return ended_ || !queued_.empty(); });
  if (ended_) return std::nullopt;
  std::string text;
  for (const std::string& event : queued_) text += event;
  queued_.clear();
  return text;
}

bool EventStream::Client::dropped() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

bool EventStream::Client::Offer(const EventRecord& record) {
  if (!filter_.Matches(record)) return false;
  {
    std::lock_guard lock(mutex_);
    if (ended_) return false;
    if (queued_.size() >= kMaxQueuedEvents) {
      // Too far behind: it would only ever see a stream with holes in it.
      ended_ = true;
      queued_.clear();
    } else {
      queued_.push_back(ServerSentEvent(record.name, record.payload));
    }
  }
  arrived_.notify_all();
  return true;
}

void EventStream::Client::End() {
  {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }
  arrived_.notify_all();
}

std::shared_ptr<EventStream::Client> EventStream::Join(EventStreamFilter filter) {
  std::shared_ptr<Client> client(new Client(std::move(filter)));
  std::lock_guard lock(mutex_);
  if (closed_) {
    client->End();
  } else {
    clients_.push_back(client);
  }
  return client;
}

void EventStream::Leave(const std::shared_ptr<Client>& client) {
  std::lock_guard lock(mutex_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

void EventStream::Publish(const EventRecord& record) {
  if (record.kind != EventRecord::kPublished) return;
  std::lock_guard lock(mutex_);
  bool offered = false;
  for (const std::shared_ptr<Client>& client : clients_) offered |= client->Offer(record);
  if (offered && notify_) notify_();
}

void EventStream::SetNotify(std::function<void()> notify) {
  std::lock_guard lock(mutex_);
  notify_ = std::move(notify);
}

void EventStream::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (const std::shared_ptr<Client>& client : clients_) client->End();
  clients_.clear();
}

size_t EventStream::client_count() const {
  std::lock_guard lock(mutex_);
  return clients_.size();
}

}  // namespace kivhost
