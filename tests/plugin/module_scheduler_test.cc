#include "plugin/module_scheduler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <vector>

#include "diag/clock.h"
#include "support/manual_clock.h"

namespace Voro {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

// A host that queues scheduled callbacks against the manual clock and runs what is due when
// pumped. It records every call as text.
class FakeSchedulerHost : public SchedulerHost {
 public:
  void ScheduleCallback(const char* label, HostScheduledCallback callback, void* user_data,
                        double delay_seconds) override {
    calls.push_back(std::string("Schedule ") + label);
    delays.push_back(delay_seconds);
    queue.push_back(
        {SteadyNowNanoseconds() + std::llround(delay_seconds * 1e9), callback, user_data});
  }
  void Pump() override {
    calls.push_back("Pump");
    if (on_pump) on_pump();
    RunDue();
  }
  void BeginWait(const char* label) override { calls.push_back(std::string("Begin ") + label); }
  void EndWait() override { calls.push_back("End"); }

  // Runs every callback due now, in due order, as one round.
  int RunDue() {
    std::vector<Queued> due;
    int64_t now = SteadyNowNanoseconds();
    for (auto it = queue.begin(); it != queue.end();) {
      if (it->due <= now) {
        due.push_back(*it);
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const Queued& a, const Queued& b) { return a.due < b.due; });
    for (const Queued& q : due) q.callback(q.user_data);
    return static_cast<int>(due.size());
  }

  struct Queued {
    int64_t due;
    HostScheduledCallback callback;
    void* user_data;
  };
  std::vector<Queued> queue;
  std::vector<std::string> calls;
  std::vector<double> delays;
  std::function<void()> on_pump;
};

class ModuleSchedulerTest : public ::testing::Test {
 protected:
  testing::ManualClock clock;
  FakeSchedulerHost host;
  ModuleScheduler scheduler{&host};
};

TEST_F(ModuleSchedulerTest, RunAtConvertsTheDeadlineToADelay) {
  int runs = 0;
  scheduler.RunAt(
      "past", [&] { ++runs; }, SteadyNowNanoseconds() - 5'000'000'000);
  scheduler.RunAt(
      "soon", [&] { ++runs; }, SteadyNowNanoseconds() + 50'000'000);
  ASSERT_EQ(host.delays.size(), 2u);
  EXPECT_EQ(host.delays[0], 0.0);
  EXPECT_DOUBLE_EQ(host.delays[1], 0.05);
  EXPECT_EQ(host.calls[1], "Schedule soon");
  EXPECT_EQ(scheduler.scheduled_count(), 2u);

  EXPECT_EQ(host.RunDue(), 1);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(scheduler.scheduled_count(), 1u) << "an entry lives until its callback has run";
  clock.AdvanceMilliseconds(50);
  EXPECT_EQ(host.RunDue(), 1);
  EXPECT_EQ(runs, 2);
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
}

TEST_F(ModuleSchedulerTest, TimerFiresEveryIntervalUnderItsLabel) {
  int fired = 0;
  scheduler.SetTimer("kiv-login.poll", 90.0, [&] { ++fired; });
  EXPECT_EQ(host.calls.back(), "Schedule Timer: kiv-login.poll");
  EXPECT_DOUBLE_EQ(host.delays.back(), 90.0);
  for (int minute = 0; minute < 6; ++minute) {  // nine minutes in no wall time
    clock.AdvanceMilliseconds(90'000);
    host.RunDue();
  }
  EXPECT_EQ(fired, 6);
  EXPECT_EQ(scheduler.scheduled_count(), 1u) << "one firing is always pending";
}

TEST_F(ModuleSchedulerTest, RestartingATimerEndsTheEarlierChain) {
  std::vector<int> fired;
  scheduler.SetTimer("t", 1.0, [&] { fired.push_back(1); });
  scheduler.SetTimer("t", 1.0, [&] { fired.push_back(2); });
  clock.AdvanceMilliseconds(1000);
  host.RunDue();  // both firings are due; the first stops on its generation
  EXPECT_EQ(fired, (std::vector<int>{2}));
  clock.AdvanceMilliseconds(1000);
  host.RunDue();
  EXPECT_EQ(fired, (std::vector<int>{2, 2}));
}

TEST_F(ModuleSchedulerTest, ASlowCallbackFiresAgainAtOnce) {
  int fired = 0;
  scheduler.SetTimer("slow", 0.05, [&] {
    ++fired;
    clock.AdvanceMilliseconds(120);  // longer than the interval
  });
  clock.AdvanceMilliseconds(50);
  host.RunDue();
  EXPECT_EQ(fired, 1);
  EXPECT_EQ(host.delays.back(), 0.0) << "the next deadline was already past";
}

TEST_F(ModuleSchedulerTest, ACallbackThatRestartsItsTimerKeepsOneChain) {
  int fired = 0;
  std::function<void()> callback = [&] {
    ++fired;
    scheduler.SetTimer("self", 1.0, callback);
  };
  scheduler.SetTimer("self", 1.0, callback);
  for (int i = 0; i < 3; ++i) {
    clock.AdvanceMilliseconds(1000);
    host.RunDue();
  }
  EXPECT_EQ(fired, 3);
  EXPECT_EQ(scheduler.scheduled_count(), 1u);
}

TEST_F(ModuleSchedulerTest, AFiringWhoseTimerIsGoneWarns) {
  scheduler.SetTimer("gone", 1.0, [] { FAIL() << "must not run"; });
  scheduler.EraseTimer("gone");
  clock.AdvanceMilliseconds(1000);
  CaptureStderr();
  host.RunDue();
  EXPECT_NE(GetCapturedStderr().find("  WARN| Couldn't find timer named gone\n"),
            std::string::npos);
}

TEST_F(ModuleSchedulerTest, ClearForgetsEntriesAndTimers) {
  int runs = 0;
  scheduler.RunAt(
      "later", [&] { ++runs; }, SteadyNowNanoseconds() + 1'000'000);
  scheduler.SetTimer("tick", 0.001, [&] { ++runs; });
  scheduler.Clear();
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
  EXPECT_FALSE(scheduler.HasTimer("tick"));
  // The host still delivers both: the plain callback does not run, the firing warns.
  clock.AdvanceMilliseconds(1);
  CaptureStderr();
  EXPECT_EQ(host.RunDue(), 2);
  EXPECT_NE(GetCapturedStderr().find("Couldn't find timer named tick"), std::string::npos);
  EXPECT_EQ(runs, 0);
}

TEST_F(ModuleSchedulerTest, ACallbackMayClearTheSchedulerItRunsIn) {
  bool ran = false;
  scheduler.RunAt(
      "clears",
      [&] {
        scheduler.Clear();
        ran = true;
      },
      0);
  host.RunDue();
  EXPECT_TRUE(ran);
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
}

TEST_F(ModuleSchedulerTest, AwaitOnAReadyFutureNeitherWaitsNorPumps) {
  std::promise<int> promise;
  std::future<int> future = promise.get_future();
  promise.set_value(7);
  EXPECT_EQ(scheduler.Await(future), 7);
  EXPECT_TRUE(host.calls.empty());
}

TEST_F(ModuleSchedulerTest, AwaitPumpsUntilTheFutureIsReady) {
  std::promise<int> promise;
  std::future<int> future = promise.get_future();
  int pumps = 0;
  host.on_pump = [&] {
    if (++pumps == 3) promise.set_value(42);
  };
  EXPECT_EQ(scheduler.Await(future), 42);
  EXPECT_EQ(host.calls,
            (std::vector<std::string>{"Begin Wait: future<int>", "Pump", "Pump", "Pump", "End"}));
}

TEST_F(ModuleSchedulerTest, AwaitRethrowsWhatTheFutureHoldsAfterEndingItsWait) {
  std::promise<std::string> promise;
  std::future<std::string> future = promise.get_future();
  host.on_pump = [&] { promise.set_exception(std::make_exception_ptr(std::runtime_error("x"))); };
  EXPECT_THROW(scheduler.Await(future), std::runtime_error);
  EXPECT_EQ(host.calls.back(), "End");
}

TEST_F(ModuleSchedulerTest, AwaitWithoutStateIsReported) {
  std::future<int> empty;
  CaptureStderr();
  EXPECT_THROW(scheduler.Await(empty), std::future_error);
  std::string err = GetCapturedStderr();
  EXPECT_NE(err.find("Assertion failed!\n\nExpression: ALE-6D828C10\n\nDescription: Caught "
                     "std::future_error in AppModule::Await: (3) "),
            std::string::npos)
      << err;
  EXPECT_TRUE(host.calls.empty());
}

TEST_F(ModuleSchedulerTest, SleepOfZeroStillPumpsOnce) {
  scheduler.Sleep(0);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"Begin Wait: sleep", "Pump", "End"}));
}

TEST_F(ModuleSchedulerTest, SleepFollowsTheClockNotTheWallTime) {
  host.on_pump = [&] { clock.AdvanceMilliseconds(1000); };
  scheduler.Sleep(300'000);  // five minutes
  int pumps = 0;
  for (const std::string& call : host.calls) pumps += call == "Pump" ? 1 : 0;
  EXPECT_EQ(pumps, 300);
}

TEST_F(ModuleSchedulerTest, WaitsNest) {
  scheduler.RunAt(
      "inner", [&] { scheduler.Yield(); }, 0);
  scheduler.Sleep(0);
  EXPECT_EQ(host.calls, (std::vector<std::string>{"Schedule inner", "Begin Wait: sleep", "Pump",
                                                  "Begin Wait: yield", "Pump", "End", "End"}));
}

TEST_F(ModuleSchedulerTest, ACallbackThatThrowsIsContained) {
  scheduler.RunAt(
      "throws", [] { throw std::runtime_error("boom"); }, 0);
  CaptureStderr();
  host.RunDue();
  EXPECT_NE(GetCapturedStderr().find("Scheduled callback failed: boom"), std::string::npos);
  EXPECT_EQ(scheduler.scheduled_count(), 0u);
}

}  // namespace
}  // namespace Voro
