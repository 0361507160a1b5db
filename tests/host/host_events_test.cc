// Event delivery in the substitute host: published and raised events reach their
// subscriber on the plugin thread, never inside the publishing call.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "host/abi_value.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"

namespace kivhost {
namespace {

struct Received {
  std::vector<std::string> payloads;
  std::thread::id thread;
  bool inside_publish = false;
};

std::atomic<bool> publishing{false};

void Record(const HostEvent* event) {
  auto* received = static_cast<Received*>(event->user_data);
  std::string json;
  std::string error;
  received->payloads.push_back(AbiToJson(event->payload, &json, &error) ? json : error);
  received->thread = std::this_thread::get_id();
  received->inside_publish = received->inside_publish || publishing.load();
}

// Waits until everything queued on the plugin thread so far has run.
void Settle(PluginThread& thread) {
  thread.Invoke([] {});
}

TEST(HostEventsTest, PublishedEventsReachTheSubscriberLaterOnThePluginThread) {
  PluginThread thread;
  SubstituteHost host(&thread);
  HostApi* api = host.services()->api;
  Received received;
  ASSERT_EQ(api->SubscribeEvent(api, "OnServiceProxyUuidEvent", nullptr, &Record, &received, 1), 1);

  PluginEvent event{};
  event.name = "OnServiceProxyUuidEvent";
  ASSERT_TRUE(MakeOwnedString("hello", &event.payload));
  std::thread::id plugin_thread;
  thread.Invoke([&] {
    plugin_thread = std::this_thread::get_id();
    publishing = true;
    api->PublishEvent(api, &event);
    publishing = false;
  });
  ReleaseAbiValue(&event.payload);
  Settle(thread);
  event.name = "OnNobodyListens";
  api->PublishEvent(api, &event);
  Settle(thread);

  EXPECT_EQ(received.payloads, std::vector<std::string>{"\"hello\""});
  EXPECT_EQ(received.thread, plugin_thread);
  EXPECT_FALSE(received.inside_publish);
  std::vector<std::string> log;
  for (const EventRecord& record : host.event_log()) {
    log.push_back(std::to_string(record.kind) + " " + record.name + " " + record.payload);
  }
  EXPECT_EQ(log, (std::vector<std::string>{"0 OnServiceProxyUuidEvent \"hello\"",
                                           "2 OnServiceProxyUuidEvent \"hello\"",
                                           "0 OnNobodyListens null"}));
  EXPECT_EQ(host.published_events(),
            (std::vector<std::string>{"OnServiceProxyUuidEvent", "OnNobodyListens"}));
}

TEST(HostEventsTest, RaisedEventsAreCheckedAndSkipASubscriberThatLeft) {
  PluginThread thread;
  SubstituteHost host(&thread);
  HostApi* api = host.services()->api;
  Received received;
  api->SubscribeEvent(api, "OnJsonApiEvent_a_b", nullptr, &Record, &received, 0);
  std::string error;
  EXPECT_FALSE(host.RaiseEvent("OnJsonApiEvent_a_b", "{bad", &error));
  EXPECT_FALSE(error.empty());

  // Queued while subscribed, delivered after the subscriber left: dropped.
  std::promise<void> release;
  thread.Schedule(
      "block", [&] { release.get_future().wait(); }, 0);
  ASSERT_TRUE(host.RaiseEvent("OnJsonApiEvent_a_b", R"({"uri":"/a/b"})", &error)) << error;
  api->UnsubscribeEvent(api, "OnJsonApiEvent_a_b", nullptr);
  release.set_value();
  Settle(thread);
  EXPECT_TRUE(received.payloads.empty());

  api->SubscribeEvent(api, "OnJsonApiEvent_a_b", nullptr, &Record, &received, 0);
  ASSERT_TRUE(host.RaiseEvent("OnJsonApiEvent_a_b", R"({"uri":"/a/b","n":[1,2]})", &error));
  Settle(thread);
  EXPECT_EQ(received.payloads, std::vector<std::string>{R"({"uri":"/a/b","n":[1,2]})"});
}

}  // namespace
}  // namespace kivhost
