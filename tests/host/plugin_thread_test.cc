// The plugin thread, the substitute host's slots and events on it, and the watch over the
// plugin's waits.
#include "host/plugin_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "host/abi_value.h"
#include "host/host_session.h"
#include "host/substitute_host.h"
#include "host/wait_watch.h"

namespace kivhost {
namespace {

using std::chrono::milliseconds;

// Sleeps a millisecond at a time until `done` holds or five seconds have passed.
template <typename Done>
void Await(Done done) {
  for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(milliseconds(1));
}

TEST(PluginThreadTest, ARoundRunsOnlyWhatWasDueWhenItStarted) {
  std::atomic<int> runs{0};
  PluginThread thread;
  size_t first_round = 0;
  int runs_after_round = 0;
  thread.Invoke([&] {
    // A callback that queues another at once must not have it run in the same round.
    auto next = [&] { ++runs; };
    thread.Schedule(
        "self", [&] { ++runs, thread.Schedule("next", next, 0); }, 0);
    first_round = thread.RunDueOnce(milliseconds(0));
    runs_after_round = runs.load();
  });
  EXPECT_EQ(first_round, 1u);
  EXPECT_EQ(runs_after_round, 1);
  Await([&] { return runs == 2; });
  EXPECT_EQ(runs.load(), 2) << "the queued one runs in a later round";
}

TEST(PluginThreadTest, AWaitingCallbackCanRunTheOthersThatAreDue) {
  PluginThread thread;
  std::atomic<bool> second_ran{false};
  std::atomic<bool> seen_while_waiting{false};
  thread.Invoke([&] {
    // Both are due at once. The first waits, pumping, for the second: a round that held
    // the second back until the first returned would never end.
    auto waiter = [&] {
      for (int i = 0; i < 2000 && !second_ran; ++i) thread.RunDueOnce(milliseconds(1));
      seen_while_waiting = second_ran.load();
    };
    thread.Schedule("waiter", waiter, 0);
    thread.Schedule(
        "awaited", [&] { second_ran = true; }, 0);
  });
  Await([&] { return seen_while_waiting.load(); });
  EXPECT_TRUE(seen_while_waiting.load());
}

TEST(PluginThreadTest, CallbacksRunOnThePluginThreadInDueOrderUntilDropped) {
  PluginThread thread;
  std::vector<int> order;
  std::atomic<int> done{0};
  auto note = [&](int n) {
    return [&, n] { order.push_back(thread.OnPluginThread() ? n : -n), ++done; };
  };
  thread.Invoke([&] {
    thread.Schedule("c", note(3), 0.03);
    thread.Schedule("a", note(1), 0);
    thread.Schedule("b", note(2), 0);
  });
  thread.Schedule("much later", note(4), 60);
  Await([&] { return done == 3; });
  thread.Invoke([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(thread.OnPluginThread());
  EXPECT_EQ(thread.pending(), 1u);
  EXPECT_EQ(thread.DropPending(), 1u);
  EXPECT_EQ(thread.pending(), 0u);
}

class SubstituteHostTest : public ::testing::Test {
 protected:
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

  HostExternalRequest external{};
  external.url = "https://127.0.0.1/authenticate";
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
  std::string log;
  for (const EventRecord& record : host_.event_log()) {
    log += std::to_string(record.kind) + " " + record.name + " " + record.payload + "\n";
  }
  EXPECT_EQ(log,
            "0 OnUuidEvent \"hello\"\n2 OnUuidEvent \"hello\"\n0 OnNobodyListens null\n"
            "1 OnUuidEvent {\"uri\":\"/a/b\"}\n1 OnUuidEvent {\"n\":[1,2]}\n"
            "2 OnUuidEvent {\"n\":[1,2]}\n");
  EXPECT_EQ(host_.published_events(), (std::vector<std::string>{"OnUuidEvent", "OnNobodyListens"}));
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
  std::string report(4096, '\0');
  std::rewind(out);
  report.resize(std::fread(report.data(), 1, report.size(), out));
  std::fclose(out);
  // Each wait had been open at least the time-out when it was shown.
  const std::regex open(R"(\(open (0\.[1-9]|[1-9]\d*\.\d) s\))");
  const std::string header =
      "kivhost: a wait has been open for more than 0.1 s; wait stack (innermost last):\n";
  EXPECT_EQ(std::regex_replace(report, open, "(open T s)"),
            header + "  Wait: outer (open T s)\n" + header +
                "  Wait: outer (open T s)\n  Wait: inner (open T s)\n"
                "kivhost: stack requested; wait stack (innermost last): empty\n");
}

TEST(HostVersionTest, Parse) {
  HostVersion v;
  ASSERT_TRUE(HostVersion::Parse("17.1.0", &v));
  EXPECT_EQ(v.Text(), "17.1.0");
  for (const char* bad : {"17.1", "a.b.c", "17.1.0.1", "-1.0.0", "17..0", "1234567890.0.0"}) {
    EXPECT_FALSE(HostVersion::Parse(bad, &v)) << bad;
  }
}

}  // namespace
}  // namespace kivhost
