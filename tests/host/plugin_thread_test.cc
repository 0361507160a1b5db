#include "host/plugin_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/host_session.h"
#include "host/substitute_host.h"

namespace kivhost {
namespace {

TEST(PluginThreadTest, InvokeRunsOnThePluginThread) {
  PluginThread thread;
  bool on_thread = false;
  thread.Invoke([&] { on_thread = thread.OnPluginThread(); });
  EXPECT_TRUE(on_thread);
  EXPECT_FALSE(thread.OnPluginThread());
}

TEST(PluginThreadTest, CallbacksRunInDueOrder) {
  PluginThread thread;
  std::vector<int> order;
  std::atomic<int> done{0};
  thread.Invoke([&] {
    thread.Schedule(
        "c",
        [&] {
          order.push_back(3);
          ++done;
        },
        0.03);
    thread.Schedule(
        "a",
        [&] {
          order.push_back(1);
          ++done;
        },
        0);
    thread.Schedule(
        "b",
        [&] {
          order.push_back(2);
          ++done;
        },
        0);
  });
  while (done < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread.Invoke([] {});
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(PluginThreadTest, ARoundRunsOnlyWhatWasDueWhenItStarted) {
  std::atomic<int> runs{0};
  PluginThread thread;
  size_t first_round = 0;
  int runs_after_round = 0;
  thread.Invoke([&] {
    // A callback that queues another at once must not have it run in the same round.
    thread.Schedule(
        "self",
        [&] {
          ++runs;
          thread.Schedule(
              "next", [&] { ++runs; }, 0);
        },
        0);
    first_round = thread.RunDueOnce(std::chrono::milliseconds(0));
    runs_after_round = runs.load();
  });
  EXPECT_EQ(first_round, 1u);
  EXPECT_EQ(runs_after_round, 1);
  // The queued one runs in a later round of the loop.
  for (int i = 0; i < 5000 && runs.load() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(runs.load(), 2);
}

TEST(PluginThreadTest, AWaitingCallbackCanRunTheOthersThatAreDue) {
  PluginThread thread;
  std::atomic<bool> second_ran{false};
  std::atomic<bool> seen_while_waiting{false};
  thread.Invoke([&] {
    // Both are due at once. The first waits, pumping, for the second: a round that held
    // the second back until the first returned would never end.
    thread.Schedule(
        "waiter",
        [&] {
          for (int i = 0; i < 2000 && !second_ran; ++i) {
            thread.RunDueOnce(std::chrono::milliseconds(1));
          }
          seen_while_waiting = second_ran.load();
        },
        0);
    thread.Schedule(
        "awaited", [&] { second_ran = true; }, 0);
  });
  for (int i = 0; i < 5000 && !seen_while_waiting; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(seen_while_waiting.load());
}

TEST(PluginThreadTest, DropPendingForgetsQueuedCallbacks) {
  PluginThread thread;
  std::atomic<int> runs{0};
  thread.Schedule(
      "later", [&] { ++runs; }, 0.05);
  thread.Schedule(
      "much later", [&] { ++runs; }, 60);
  EXPECT_EQ(thread.pending(), 2u);
  EXPECT_EQ(thread.DropPending(), 2u);
  EXPECT_EQ(thread.pending(), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(runs.load(), 0);
}

TEST(SubstituteHostTest, SlotsAnswerWithoutCrashing) {
  PluginThread thread;
  SubstituteHost host(&thread);
  HostApi* api = host.services()->api;

  HostRequest request{};
  request.method = KIV_METHOD_GET;
  request.path = "/voroclient/command-line-args";
  HostResponse response{};
  api->SendRequest(api, &response, &request);
  EXPECT_EQ(response.failed, 0u);
  EXPECT_EQ(response.error_text, nullptr);
  EXPECT_EQ(response.body.tag, static_cast<uint32_t>(KIV_ABI_STRUCTURE));
  ASSERT_NE(response.release, nullptr);
  response.release(&response);
  EXPECT_EQ(response.body.tag, static_cast<uint32_t>(KIV_ABI_EMPTY));

  HostExternalRequest external{};
  external.url = "https://127.0.0.1/authenticate";
  HostExternalResponse answer{};
  api->SendExternalRequest(api, &answer, &external);
  EXPECT_EQ(answer.transport_code, 1);
  ASSERT_NE(answer.release, nullptr);
  answer.release(&answer);

  EXPECT_EQ(api->SubscribeEvent(api, "OnX", nullptr, nullptr, nullptr, 1), 1);
  EXPECT_EQ(host.subscriptions().count("OnX"), 1u);
  EXPECT_EQ(api->UnsubscribeEvent(api, "OnX", nullptr), 1);
  EXPECT_EQ(api->UnsubscribeEvent(api, "OnX", nullptr), 0);

  api->BeginWait(api, "outer", 0);
  api->BeginWait(api, "inner", 0);
  EXPECT_EQ(host.open_waits(), (std::vector<std::string>{"outer", "inner"}));
  api->EndWait(api);
  api->EndWait(api);
  api->EndWait(api);  // unbalanced: ignored
  EXPECT_TRUE(host.open_waits().empty());

  api->Log(api, 2, "a line");
  ASSERT_EQ(host.log_lines().size(), 1u);
  EXPECT_EQ(host.log_lines()[0].level, 2);
  EXPECT_EQ(host.log_lines()[0].message, "a line");
}

TEST(SubstituteHostTest, ScheduledCallbacksRunOnThePluginThreadAndPumpRunsThem) {
  PluginThread thread;
  SubstituteHost host(&thread);
  HostApi* api = host.services()->api;
  struct State {
    PluginThread* thread;
    bool ran = false;
    bool on_thread = false;
  } state{&thread};
  thread.Invoke([&] {
    api->ScheduleCallback(
        api, "kiv-login.test",
        [](void* user) {
          auto* s = static_cast<State*>(user);
          s->ran = true;
          s->on_thread = s->thread->OnPluginThread();
        },
        &state, 0, 0);
    // Pumping inside a wait runs the due callback before we return.
    api->Pump(api);
    EXPECT_TRUE(state.ran);
  });
  EXPECT_TRUE(state.on_thread);
  api->Pump(api);  // from another thread: refused, no effect
}

TEST(HostVersionTest, Parse) {
  HostVersion v;
  ASSERT_TRUE(HostVersion::Parse("17.1.0", &v));
  EXPECT_EQ(v.Text(), "17.1.0");
  for (const char* bad :
       {"", "17", "17.1", "17.1.", "a.b.c", "17.1.0.1", "-1.0.0", "17..0", "1234567890.0.0"}) {
    EXPECT_FALSE(HostVersion::Parse(bad, &v)) << bad;
  }
}

}  // namespace
}  // namespace kivhost
