// The plugin's events for HTTP clients that follow them (GET /events): every client has its
// own queue, filled on the publishing thread without waiting and emptied by the client's
// connection. A client that falls too far behind is dropped, so a slow reader never holds up
// the plugin thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "host/substitute_host.h"

namespace kivhost {

// What one client follows.
struct EventStreamFilter {
  // Set: only the events that reach this plugin id (addressed to every plugin or to it).
  std::optional<uint32_t> plugin_id;
  // An event name or name prefix as host/event_filter.h has it, or a resource path starting
  // with '/' (exact, or a prefix ending in '*') matched against the payload's "uri". Empty:
  // every event.
  std::string filter;

  // The filter read from the query's `plugin` and `filter` values; fails with a text for a
  // person when one of them is not valid.
  [[nodiscard]] static kiv::Result<EventStreamFilter> Parse(const std::string* plugin,
                                                            const std::string* filter);
  bool Matches(const EventRecord& record) const;
};

// One server-sent event: "event: NAME\ndata: PAYLOAD\n\n".
std::string ServerSentEvent(const std::string& name, const std::string& payload);

class EventStream {
 public:
  // A client may have this many events waiting before it is dropped.
  static constexpr size_t kMaxQueuedEvents = 4096;

  class Client {
   public:
    // Waits up to `timeout` for events; returns what is queued as server-sent-event text
    // (empty on time-out). nullopt once the client is dropped or the stream closed.
    std::optional<std::string> Take(std::chrono::milliseconds timeout);
    bool dropped() const;

   private:
    friend class EventStream;
    explicit Client(EventStreamFilter filter) : filter_(std::move(filter)) {}
    // True when the client has something new to take (or was dropped).
    bool Offer(const EventRecord& record);
    void End();

    const EventStreamFilter filter_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> queued_;  // Guarded by mutex_.
    bool ended_ = false;              // Guarded by mutex_.
  };

  // A new client; it hears what is published from now on.
  std::shared_ptr<Client> Join(EventStreamFilter filter);
  // Forgets the client (its connection has gone).
  void Leave(const std::shared_ptr<Client>& client);
  // Queues a published event for every client it matches; never waits for a client. Any
  // thread; records other than published ones are ignored.
  void Publish(const EventRecord& record);
  // Ends every client's stream; later clients end at once.
  void Close();
  // Called (on the publishing thread, under the stream's lock: it must be quick and must not
  // call back) whenever a client has something new to take, or was dropped.
  void SetNotify(std::function<void()> notify);
  size_t client_count() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Client>> clients_;  // Guarded by mutex_.
  bool closed_ = false;                           // Guarded by mutex_.
  std::function<void()> notify_;                  // Guarded by mutex_.
};

}  // namespace kivhost
