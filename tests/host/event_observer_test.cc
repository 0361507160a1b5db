// The substitute host's slots and events as the plugin and other plugins see them: the
// plugin's own subscriptions, observers with ids and filters, events addressed to one plugin
// by their pass-through, the watch that prints what observers heard, and the wait watch.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "host/abi_value.h"
#include "host/event_filter.h"
#include "host/event_watch.h"
#include "host/plugin_thread.h"
#include "host/substitute_host.h"
#include "host/wait_watch.h"

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

class SubstituteHostTest : public ::testing::Test {
 protected:
  // Publishes as the plugin does: from the plugin thread, then lets the deliveries run.
  void Publish(const std::string& name, uint32_t pass_through, const std::string& json = "{}") {
    PluginEvent event{.name = name.c_str(), .pass_through = pass_through};
    ASSERT_TRUE(AbiFromJsonText(json, &event.payload).ok());
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

TEST_F(SubstituteHostTest, SlotsAnswerWithoutCrashing) {
  HostResponse none{};
  api_->SendRequest(api_, &none, nullptr);
  EXPECT_EQ(none.status_code, 400);
  EXPECT_STREQ(none.error_text, "kivhost received no request");
  none.release(&none);

  HostExternalRequest external{.url = "https://127.0.0.1/authenticate"};
  HostExternalResponse answer{};
  api_->SendExternalRequest(api_, &answer, &external);
  EXPECT_EQ(answer.transport_code, 1);
  answer.release(&answer);

  api_->BeginWait(api_, "outer", 0);
  api_->BeginWait(api_, "inner", 0);
  EXPECT_EQ(host_.open_waits(), (std::vector<std::string>{"outer", "inner"}));
  for (int i = 0; i < 3; ++i) api_->EndWait(api_);  // the third unbalanced: ignored
  EXPECT_TRUE(host_.open_waits().empty());

  api_->Log(api_, 2, "a line");
  ASSERT_EQ(host_.log_lines().size(), 1u);
  EXPECT_EQ(host_.log_lines()[0].level, 2);
  EXPECT_EQ(host_.log_lines()[0].message, "a line");

  // A scheduled callback runs on the plugin thread; pumping inside a wait runs it before
  // the pump returns. From another thread a pump is refused.
  std::atomic<bool> ran{false};
  thread_.Invoke([&] {
    api_->ScheduleCallback(
        api_, "kiv-login.test", [](void* ran) { *static_cast<std::atomic<bool>*>(ran) = true; },
        &ran, 0, 0);
    api_->Pump(api_);
    EXPECT_TRUE(ran);
  });
  api_->Pump(api_);
}

// Published and raised events reach their subscriber on the plugin thread, never inside
// the publishing call, and not after it left.
struct Received {
  std::vector<std::string> payloads;
  bool on_plugin_thread = true;
  bool inside_publish = false;
  PluginThread* thread = nullptr;
};
std::atomic<bool> publishing{false};

void Record(const HostEvent* event) {
  auto* received = static_cast<Received*>(event->user_data);
  auto json = AbiToJson(event->payload);
  received->payloads.push_back(json.ok() ? json.value() : json.error());
  received->on_plugin_thread = received->on_plugin_thread && received->thread->OnPluginThread();
  received->inside_publish = received->inside_publish || publishing;
}

TEST_F(SubstituteHostTest, EventsReachTheSubscriberLaterOnThePluginThread) {
  Received received{.thread = &thread_};
  ASSERT_EQ(api_->SubscribeEvent(api_, "OnUuidEvent", nullptr, &Record, &received, 1), 1);
  EXPECT_EQ(host_.subscriptions().at("OnUuidEvent").flag, 1u);
  PluginEvent event{.name = "OnUuidEvent"};
  ASSERT_TRUE(MakeOwnedString("hello", &event.payload));
  thread_.Invoke([&] {
    publishing = true;
    api_->PublishEvent(api_, &event);
    publishing = false;
  });
  thread_.Invoke([] {});  // the delivery queued by the publish runs first
  ReleaseAbiValue(&event.payload);
  event.name = "OnNobodyListens";
  api_->PublishEvent(api_, &event);
  auto raised = host_.RaiseEvent("OnUuidEvent", "{bad");
  EXPECT_FALSE(raised.ok());
  EXPECT_FALSE(raised.error().empty());

  // Queued while subscribed, delivered after the subscriber left: dropped.
  std::promise<void> release;
  thread_.Schedule(
      "block", [&] { release.get_future().wait(); }, 0);
  raised = host_.RaiseEvent("OnUuidEvent", R"({"uri":"/a/b"})");
  ASSERT_TRUE(raised.ok()) << raised.error();
  EXPECT_EQ(api_->UnsubscribeEvent(api_, "OnUuidEvent", nullptr), 1);
  EXPECT_EQ(api_->UnsubscribeEvent(api_, "OnUuidEvent", nullptr), 0);
  release.set_value();
  thread_.Invoke([] {});

  api_->SubscribeEvent(api_, "OnUuidEvent", nullptr, &Record, &received, 0);
  raised = host_.RaiseEvent("OnUuidEvent", R"({"n":[1,2]})");
  ASSERT_TRUE(raised.ok()) << raised.error();
  thread_.Invoke([] {});
  EXPECT_EQ(received.payloads, (std::vector<std::string>{"\"hello\"", R"({"n":[1,2]})"}));
  EXPECT_TRUE(received.on_plugin_thread);
  EXPECT_FALSE(received.inside_publish);
  EXPECT_EQ(Log(),
            "0 OnUuidEvent 0 \"hello\"\n2 OnUuidEvent 0 \"hello\"\n0 OnNobodyListens 0 null\n"
            "1 OnUuidEvent 0 {\"uri\":\"/a/b\"}\n1 OnUuidEvent 0 {\"n\":[1,2]}\n"
            "2 OnUuidEvent 0 {\"n\":[1,2]}\n");
  EXPECT_EQ(host_.published_events(), (std::vector<std::string>{"OnUuidEvent", "OnNobodyListens"}));
}

TEST_F(SubstituteHostTest, AnEventReachesTheMatchingObserversItIsAddressedTo) {
  std::vector<std::string> heard;  // plugin thread only, read after it went idle
  const std::pair<uint32_t, std::string> observers[] = {
      {7, ""}, {8, ""}, {9, "OnServiceProxyUuidEvent"}, {10, "OnJsonApiEvent_*"}};
  for (const auto& [id, filter] : observers) {
    ASSERT_TRUE(host_
                    .AddObserver(id, filter,
                                 [&heard, id = id](const EventRecord& record) {
                                   heard.push_back(std::to_string(id) + ":" +
                                                   std::to_string(record.plugin_id));
                                 })
                    .ok());
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

TEST_F(SubstituteHostTest, ObserversLeaveThePluginsOwnSubscriptionsAsTheyWere) {
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

TEST_F(SubstituteHostTest, ObserverDeliveryIsLaterOnThePluginThreadAndStopsWithTheObserver) {
  std::atomic<int> calls{0};
  std::atomic<bool> on_plugin_thread{true}, inside_publish{false};
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

TEST_F(SubstituteHostTest, ObserversRefuseTheIdOfEveryPluginAndFiltersThatAreNone) {
  const std::string filter_form =
      " is not an event filter (an event name, or the start of one followed by '*')";
  const std::tuple<uint32_t, std::string, std::string> cases[] = {
      {0, "", "an observer needs a plugin id other than 0, which addresses every plugin"},
      {1, "On*Event", "'On*Event'" + filter_form},
      {1, "OnLcdsEvent ", "'OnLcdsEvent '" + filter_form},
  };
  for (const auto& [id, filter, message] : cases) {
    auto added = host_.AddObserver(id, filter, nullptr);
    EXPECT_FALSE(added.ok());
    EXPECT_EQ(added.error(), message);
  }
  // None of them listens.
  Publish("OnLcdsEvent", 0);
  EXPECT_EQ(Log(), "0 OnLcdsEvent 0 {}\n");
}

// Reads back what was printed to a temporary file, and closes it.
std::string Contents(std::FILE* file) {
  std::string text(4096, '\0');
  std::rewind(file);
  text.resize(std::fread(text.data(), 1, text.size(), file));
  std::fclose(file);
  return text;
}

// A wait open past the time-out is reported once, with the whole stack; SIGUSR1 asks for
// the stack at any time.
TEST_F(SubstituteHostTest, WaitWatchReportsLongWaitsOnceAndTheStackOnRequest) {
  std::FILE* out = std::tmpfile();
  // Some of these stop before their first look.
  for (int i = 0; i < 20; ++i) WaitWatch(&host_, 0, out);
  {
    WaitWatch watch(&host_, 0.1, out);
    watch.HandleSigusr1();
    for (const char* label : {"Wait: outer", "Wait: inner"}) {
      api_->BeginWait(api_, label, 0);
      std::this_thread::sleep_for(milliseconds(300));
    }
    api_->EndWait(api_);
    api_->EndWait(api_);
    std::raise(SIGUSR1);
    std::this_thread::sleep_for(milliseconds(200));
  }
  // Each wait had been open at least the time-out when it was shown.
  const std::regex open(R"(\(open (0\.[1-9]|[1-9]\d*\.\d) s\))");
  const std::string header =
      "kivhost: a wait has been open for more than 0.1 s; wait stack (innermost last):\n";
  EXPECT_EQ(std::regex_replace(Contents(out), open, "(open T s)"),
            header + "  Wait: outer (open T s)\n" + header +
                "  Wait: outer (open T s)\n  Wait: inner (open T s)\n"
                "kivhost: stack requested; wait stack (innermost last): empty\n");
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
