// The plugin thread: rounds of due callbacks, pumping from inside one, and the version the
// host announces.
#include "host/plugin_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "host/host_session.h"

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
