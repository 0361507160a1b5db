// Other plugins as the substitute host models them: observers with ids and filters, events
// addressed to one plugin by their pass-through, and the watch that prints what they heard.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/abi_value.h"
#include "host/event_filter.h"
#include "host/event_watch.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"

namespace kivhost {
namespace {

using std::chrono::milliseconds;

TEST(EventFilterTest, ExactNamesPrefixesAndEverything) {
  struct Case {
    const char* filter;
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"", "OnLcdsEvent", true},
      {"*", "OnLcdsEvent", true},
      {"OnLcdsEvent", "OnLcdsEvent", true},
      {"OnLcdsEvent", "OnLcdsEvent_kiv_push", false},
      {"OnLcdsEvent", "OnLcds", false},
      {"OnLcdsEvent*", "OnLcdsEvent", true},
      {"OnLcdsEvent*", "OnLcdsEvent_kiv_push", true},
      {"OnJsonApiEvent_*", "OnJsonApiEvent", false},
      {"OnJsonApiEvent_*", "OnJsonApiEvent_kiv-login_v1_session", true},
      {"OnJsonApiEvent_kiv-login*", "OnJsonApiEvent_kiv-login_v1_wallet", true},
      {"OnJsonApiEvent_kiv-login*", "OnJsonApiEvent_plugin-manager_v1_status", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.filter) + " / " + c.name);
    ASSERT_TRUE(IsEventFilter(c.filter));
    EXPECT_EQ(EventFilterMatches(c.filter, c.name), c.matches);
  }
  for (const char* bad : {"On*Event", "**", "*On", "On Event", "On?", "On[A-Z]*", "On.+", "On/x"}) {
    // "On.+" is a name (dots are allowed); "+" is not.
    EXPECT_FALSE(IsEventFilter(bad)) << bad;
  }
}

class ObserverTest : public ::testing::Test {
 protected:
  // Publishes as the plugin does: from the plugin thread, then lets the deliveries run.
  void Publish(const std::string& name, uint32_t pass_through, const std::string& json = "{}") {
    std::string event_name = name;
    PluginEvent event{.name = event_name.c_str()};
    ASSERT_TRUE(AbiFromJsonText(json, &event.payload).ok());
    event.pass_through = pass_through;
    thread_.Invoke([&] { api_->PublishEvent(api_, &event); });
    ReleaseAbiValue(&event.payload);
    thread_.Invoke([] {});
  }

  // Every entry of the event log, one line each: kind, name, plugin id, payload.
  std::string Log() const {
    std::string log;
    for (const EventRecord& record : host_.event_log()) {
      log += std::to_string(record.kind) + " " + record.name + " " +
             std::to_string(record.plugin_id) + " " + record.payload + "\n";
    }
    return log;
  }

  PluginThread thread_;
  SubstituteHost host_{&thread_};
  HostApi* api_ = host_.services()->api;
};

TEST_F(ObserverTest, AnEventReachesTheMatchingObserversItIsAddressedTo) {
  std::vector<std::string> heard;  // plugin thread only, read after it went idle
  const std::pair<uint32_t, std::string> observers[] = {
      {7, ""}, {8, ""}, {9, "OnServiceProxyUuidEvent"}, {10, "OnJsonApiEvent_*"}};
  for (const auto& observer : observers) {
    const uint32_t id = observer.first;
    auto hear = [&heard, id](const EventRecord& record) {
      heard.push_back(std::to_string(id) + ":" + std::to_string(record.plugin_id));
    };
    ASSERT_TRUE(host_.AddObserver(id, observer.second, hear).ok());
  }
  struct Case {
    const char* name;
    uint32_t pass_through;
    std::vector<std::string> heard;  // observer id : the id its record carries
  };
  const Case cases[] = {
      {"OnJsonApiEvent_kiv-login_v1_session", 0, {"7:7", "8:8", "10:10"}},
      {"OnJsonApiEvent", 0, {"7:7", "8:8"}},
      {"OnServiceProxyUuidEvent", 0, {"7:7", "8:8", "9:9"}},
      {"OnServiceProxyUuidEvent", 7, {"7:7"}},
      {"OnServiceProxyUuidEvent", 8, {"8:8"}},
      {"OnServiceProxyUuidEvent", 9, {"9:9"}},
      {"OnJsonApiEvent_kiv-login_v1_session", 10, {"10:10"}},
      // Addressed to an observer whose filter does not take it, or to nobody listening.
      {"OnServiceProxyMethodEvent", 9, {}},
      {"OnServiceProxyUuidEvent", 42, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " to " + std::to_string(c.pass_through));
    heard.clear();
    Publish(c.name, c.pass_through);
    EXPECT_EQ(heard, c.heard);
  }
}

TEST_F(ObserverTest, ObserversLeaveThePluginsOwnSubscriptionsAsTheyWere) {
  static std::vector<std::string> own;
  own.clear();
  auto record = [](const HostEvent* event) {
    auto json = AbiToJson(event->payload);
    own.push_back(std::string(event->name) + " " + (json.ok() ? json.value() : json.error()));
  };
  // The plugin's own events, as it subscribes to them: flag 1.
  ASSERT_EQ(api_->SubscribeEvent(api_, "OnServiceProxyUuidEvent", nullptr, record, &own, 1), 1);
  std::vector<std::string> observed;
  ASSERT_TRUE(host_
                  .AddObserver(8, "",
                               [&observed](const EventRecord& r) {
                                 observed.push_back(std::to_string(r.plugin_id) + " " + r.name);
                               })
                  .ok());
  Publish("OnServiceProxyUuidEvent", 7, R"({"uuid":"u-1"})");
  Publish("OnServiceProxyUuidEvent", 0, R"({"uuid":"u-2"})");
  ASSERT_TRUE(host_.RaiseEvent("OnServiceProxyUuidEvent", R"({"uuid":"u-3"})").ok());
  thread_.Invoke([] {});
  // Addressed to plugin 7 or to all, the plugin hears its own events, raised ones too; the
  // observer hears only what the plugin published to all.
  EXPECT_EQ(own, (std::vector<std::string>{R"(OnServiceProxyUuidEvent {"uuid":"u-1"})",
                                           R"(OnServiceProxyUuidEvent {"uuid":"u-2"})",
                                           R"(OnServiceProxyUuidEvent {"uuid":"u-3"})"}));
  EXPECT_EQ(observed, (std::vector<std::string>{"8 OnServiceProxyUuidEvent"}));
  EXPECT_EQ(Log(),
            "0 OnServiceProxyUuidEvent 7 {\"uuid\":\"u-1\"}\n"
            "2 OnServiceProxyUuidEvent 0 {\"uuid\":\"u-1\"}\n"
            "0 OnServiceProxyUuidEvent 0 {\"uuid\":\"u-2\"}\n"
            "2 OnServiceProxyUuidEvent 0 {\"uuid\":\"u-2\"}\n"
            "3 OnServiceProxyUuidEvent 8 {\"uuid\":\"u-2\"}\n"
            "1 OnServiceProxyUuidEvent 0 {\"uuid\":\"u-3\"}\n"
            "2 OnServiceProxyUuidEvent 0 {\"uuid\":\"u-3\"}\n");
  EXPECT_EQ(host_.subscriptions().at("OnServiceProxyUuidEvent").flag, 1u);
}

TEST_F(ObserverTest, DeliveryIsLaterOnThePluginThreadAndStopsWithTheObserver) {
  std::atomic<int> calls{0};
  std::atomic<bool> on_plugin_thread{true};
  std::atomic<bool> publishing{false};
  std::atomic<bool> inside_publish{false};
  auto count = [&](const EventRecord&) {
    ++calls;
    on_plugin_thread = on_plugin_thread && thread_.OnPluginThread();
    inside_publish = inside_publish || publishing;
  };
  ASSERT_TRUE(host_.AddObserver(5, "OnLcdsEvent", count).ok());
  ASSERT_TRUE(host_.AddObserver(5, "", count).ok());
  ASSERT_TRUE(host_.AddObserver(6, "", count).ok());
  PluginEvent event{.name = "OnLcdsEvent"};
  thread_.Invoke([&] {
    publishing = true;
    api_->PublishEvent(api_, &event);
    publishing = false;
  });
  thread_.Invoke([] {});
  EXPECT_EQ(calls, 3);
  EXPECT_TRUE(on_plugin_thread);
  EXPECT_FALSE(inside_publish);

  // Queued while plugin 5 listened, delivered after it left: only 6 hears it.
  std::promise<void> release;
  thread_.Schedule(
      "block", [&] { release.get_future().wait(); }, 0);
  api_->PublishEvent(api_, &event);
  EXPECT_EQ(host_.RemoveObservers(5), 2u);
  EXPECT_EQ(host_.RemoveObservers(5), 0u);
  release.set_value();
  thread_.Invoke([] {});
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(Log(),
            "0 OnLcdsEvent 0 null\n3 OnLcdsEvent 5 null\n3 OnLcdsEvent 5 null\n"
            "3 OnLcdsEvent 6 null\n0 OnLcdsEvent 0 null\n3 OnLcdsEvent 6 null\n");
}

TEST_F(ObserverTest, RefusesTheIdOfEveryPluginAndFiltersThatAreNone) {
  const std::string filter_form =
      " is not an event filter (an event name, or the start of one "
      "followed by '*')";
  const std::pair<std::pair<uint32_t, std::string>, std::string> cases[] = {
      {{0, ""}, "an observer needs a plugin id other than 0, which addresses every plugin"},
      {{1, "On*Event"}, "'On*Event'" + filter_form},
      {{1, "OnLcdsEvent "}, "'OnLcdsEvent '" + filter_form},
  };
  for (const auto& [observer, message] : cases) {
    auto added = host_.AddObserver(observer.first, observer.second, nullptr);
    EXPECT_FALSE(added.ok());
    EXPECT_EQ(added.error(), message);
  }
  // None of them listens.
  Publish("OnLcdsEvent", 0);
  EXPECT_EQ(Log(), "0 OnLcdsEvent 0 {}\n");
}

TEST(EventWatchTest, JsonLinesCarryTheNameAndThePayloadAsLogged) {
  const std::pair<EventRecord, std::string> cases[] = {
      {{EventRecord::kObserved, "OnServiceProxyUuidEvent", R"({"uuid":"u-1","error":""})", 7},
       R"({"event":"OnServiceProxyUuidEvent","payload":{"uuid":"u-1","error":""}})"},
      {{EventRecord::kObserved, "OnLcdsEvent", "null", 1},
       R"({"event":"OnLcdsEvent","payload":null})"},
      {{EventRecord::kObserved, "On\"q\"\\", "[1,\"a\"]", 1},
       R"({"event":"On\"q\"\\","payload":[1,"a"]})"},
  };
  for (const auto& [record, line] : cases) EXPECT_EQ(EventJsonLine(record), line);
}

// Reads back what was printed to a temporary file.
std::string Contents(std::FILE* file) {
  std::string text(4096, '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  return text;
}

TEST(EventWatchTest, PrintsWhatWasQueuedAndWhatArrivesUntilTheTimeIsUp) {
  EventWatch watch;
  std::FILE* out = std::tmpfile();
  watch.Push({EventRecord::kObserved, "OnA", "1", 1});
  std::thread late([&] {
    std::this_thread::sleep_for(milliseconds(100));
    watch.Push({EventRecord::kObserved, "OnB", "2", 1});
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(watch.PrintFor(0.5, out), 2u);
  EXPECT_TRUE(std::chrono::steady_clock::now() - start >= milliseconds(500));
  late.join();
  watch.Push({EventRecord::kObserved, "OnC", "3", 1});
  EXPECT_EQ(watch.PrintQueued(out), 1u);
  EXPECT_EQ(watch.PrintQueued(out), 0u);
  EXPECT_EQ(Contents(out),
            "{\"event\":\"OnA\",\"payload\":1}\n{\"event\":\"OnB\",\"payload\":2}\n"
            "{\"event\":\"OnC\",\"payload\":3}\n");
  std::fclose(out);
}

TEST(EventWatchTest, WithoutATimeItPrintsUntilInterrupted) {
  EventWatch watch;
  std::FILE* out = std::tmpfile();
  EventWatch::HandleInterrupts();
  std::thread interrupt([&] {
    watch.Push({EventRecord::kObserved, "OnA", "{}", 1});
    std::this_thread::sleep_for(milliseconds(200));
    std::raise(SIGINT);
  });
  EXPECT_EQ(watch.PrintFor(std::nullopt, out), 1u);
  interrupt.join();
  EXPECT_EQ(Contents(out), "{\"event\":\"OnA\",\"payload\":{}}\n");
  std::fclose(out);
  // The handler went with the first signal; the flag goes with the next installation.
  struct sigaction now {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  EventWatch::HandleInterrupts();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

}  // namespace
}  // namespace kivhost
