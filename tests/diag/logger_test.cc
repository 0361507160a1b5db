#include "diag/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diag/console_log_targets.h"
#include "diag/log.h"
#include "diag/log_target.h"
#include "diag/log_test_support.h"
#include "diag/mutex.h"
#include "diag/plugin_log_target.h"
#include "kiv/plugin_abi.h"

namespace Voro {
namespace {

using testing_support::LoggerTest;
using testing_support::RecordingLogTarget;

using Targets = std::vector<LogTarget*>;
using Messages = std::vector<std::string>;

// ---- Lifetime and defaults ------------------------------------------------------------------

TEST(LoggerLifetimeTest, LastReleaseDeletesAndNextUseStartsFresh) {
  Logger* logger = Logger::Acquire();
  logger->SetLevel(kLevelAlways);
  logger->StdErrTarget()->Detach();
  Logger::Release();

  logger = Logger::Acquire();
  EXPECT_EQ(logger->GetLevel(), Logger::kInitialLevel)
      << "the logger outlived its last reference; does another test still hold one?";
  EXPECT_EQ(logger->GetSuppressedTags(), Tag::XTR);
  EXPECT_FALSE(logger->IsDisabled());
  // Standard error and the debugger are attached at creation, standard output is not.
  EXPECT_EQ(logger->Targets(), (Targets{logger->StdErrTarget(), logger->DebuggerTarget()}));
  EXPECT_TRUE(logger->StdErrTarget()->IsAttached());
  EXPECT_TRUE(logger->DebuggerTarget()->IsAttached());
  EXPECT_FALSE(logger->StdOutTarget()->IsAttached());
  Logger::Release();
}

TEST(LoggerLifetimeTest, ReferencesNestAndDeletionDetachesForeignTargets) {
  RecordingLogTarget target;
  Logger* outer = Logger::Acquire();
  Logger* inner = Logger::Acquire();
  EXPECT_EQ(outer, inner);
  target.Attach();
  outer->SetLevel(kLevelError);
  Logger::Release();
  // Still held by the first reference.
  EXPECT_EQ(outer->GetLevel(), kLevelError);
  EXPECT_TRUE(target.IsAttached());
  Logger::Release();
  // The last release let go of the target; attaching again reaches the new logger.
  EXPECT_FALSE(target.IsAttached());
  Logger* fresh = Logger::Acquire();
  target.Attach();
  EXPECT_EQ(fresh->Targets().back(), &target);
  target.Detach();
  Logger::Release();
}

TEST(LoggerLifetimeTest, ReleaseWithoutReferenceIsIgnored) {
  Logger::Release();
  Logger* logger = Logger::Acquire();
  logger->SetLevel(kLevelAlways);
  Logger::Release();  // the extra one above must not have made this a no-op or a double
  logger = Logger::Acquire();
  EXPECT_EQ(logger->GetLevel(), Logger::kInitialLevel);
  Logger::Release();
}

TEST(LoggerLifetimeTest, DeleteUnreferencedSparesAHeldLogger) {
  Logger* held = Logger::Acquire();
  held->SetLevel(kLevelError);
  Logger::DeleteUnreferenced();  // held: nothing happens
  EXPECT_EQ(held->GetLevel(), kLevelError);
  Logger::Release();

  // A logger created by use alone, with no reference, is deleted.
  {
    Logger::Scoped created(Logger::Scoped::kCreate);
    ASSERT_TRUE(created);
    created->SetLevel(kLevelAlways);
  }
  Logger::DeleteUnreferenced();
  {
    Logger::Scoped existing(Logger::Scoped::kExisting);
    EXPECT_FALSE(existing);
  }
}

TEST_F(LoggerTest, ConsoleTargetsStartAsConfigured) {
  EXPECT_EQ(&Logger::Instance(), logger_);
  StdErrLogTarget* err = logger_->StdErrTarget();
  EXPECT_STREQ(err->Name(), "StdErrLogTarget");
  EXPECT_EQ(err->Format(), "#E(#T): #L| #M");
  EXPECT_EQ(err->GetLevel(), 1);
  EXPECT_EQ(err->GetIncludeTags(), Tag::DBG);
  EXPECT_EQ(err->GetExcludeTags(), Tag::GEN);

  StdOutLogTarget* out = logger_->StdOutTarget();
  EXPECT_STREQ(out->Name(), "StdOutLogTarget");
  EXPECT_EQ(out->Format(), "#M");
  EXPECT_EQ(out->GetLevel(), 1);
  EXPECT_EQ(out->GetIncludeTags(), Tag::GEN);
  EXPECT_EQ(out->GetExcludeTags(), Tag::DBG);
  EXPECT_FALSE(out->GetAutoFlush());

  DebuggerConsoleLogTarget* debugger = logger_->DebuggerTarget();
  EXPECT_STREQ(debugger->Name(), "DebuggerConsoleLogTarget");
  EXPECT_EQ(debugger->Format(), "#E(#T): #L| #M");
  EXPECT_EQ(debugger->GetLevel(), 1);
  EXPECT_EQ(debugger->GetIncludeTags(), Tag::DBG);
  EXPECT_EQ(debugger->GetExcludeTags(), 0u);
}

TEST(LogTargetTest, BaseDefaultsAndMaskStorage) {
  RecordingLogTarget target;
  EXPECT_STREQ(target.Name(), "LogTarget");
  EXPECT_EQ(target.Format(), "#D| #L| #G| #M");
  EXPECT_EQ(target.GetLevel(), 1);
  EXPECT_EQ(target.GetIncludeTags(), 0u);
  EXPECT_EQ(target.GetExcludeTags(), 0u);
  EXPECT_FALSE(target.IsAttached());

  // Include is stored without the excluded bits.
  target.SetMasks(Tag::DBG | Tag::GEN | Tag::NET, Tag::GEN | Tag::XTR);
  EXPECT_EQ(target.GetIncludeTags(), Tag::DBG | Tag::NET);
  EXPECT_EQ(target.GetExcludeTags(), Tag::GEN | Tag::XTR);
  target.SetFormat(nullptr);
  EXPECT_EQ(target.Format(), "");
}

// ---- Filtering ------------------------------------------------------------------------------

TEST_F(LoggerTest, OkayIsDroppedBeforeInitializeAndDeliveredAfter) {
  // Before: the logger's fresh minimum level, whatever the target would take.
  logger_->SetLevel(Logger::kInitialLevel);
  recorder_.SetLevel(kLevelOkay);
  recorder_.Attach();
  Log(kLevelOkay, Tag::DBG, "before %d", 0);
  Log(kLevelWarn, Tag::DBG, "before %d", 1);
  EXPECT_EQ(recorder_.Messages(), (Messages{"before 1"}));

  SimulateInitialize();
  EXPECT_FALSE(logger_->StdErrTarget()->IsAttached());
  EXPECT_FALSE(logger_->DebuggerTarget()->IsAttached());
  Log(kLevelOkay, Tag::DBG, "after %d", 0);
  EXPECT_EQ(recorder_.Messages(), (Messages{"before 1", "after 0"}));
}

TEST_F(LoggerTest, SuppressedTagsWinOverEveryTarget) {
  SimulateInitialize();
  recorder_.SetMasks(Tag::XTR, 0);
  Log(kLevelAlways, Tag::XTR, "extra");
  Log(kLevelAlways, Tag::XTR | Tag::DBG, "extra and debug");
  EXPECT_EQ(recorder_.Count(), 0u);

  logger_->SetSuppressedTags(0);
  Log(kLevelAlways, Tag::XTR, "extra now");
  EXPECT_EQ(recorder_.Messages(), (Messages{"extra now"}));
}

TEST_F(LoggerTest, DisabledLoggerDropsEverything) {
  SimulateInitialize();
  logger_->Disable();
  EXPECT_TRUE(logger_->IsDisabled());
  Log(kLevelAlways, 0, "while disabled");
  logger_->Enable();
  Log(kLevelAlways, 0, "enabled");
  EXPECT_EQ(recorder_.Messages(), (Messages{"enabled"}));
}

TEST_F(LoggerTest, TargetMasksAndLevel) {
  SimulateInitialize();
  recorder_.SetMasks(Tag::DBG, Tag::GEN);
  Log(kLevelWarn, 0, "untagged");                     // passes both mask tests
  Log(kLevelWarn, Tag::GEN, "general");               // excluded
  Log(kLevelWarn, Tag::NET, "network");               // not included
  Log(kLevelWarn, Tag::DBG | Tag::GEN, "both");       // exclusion wins
  Log(kLevelWarn, Tag::DBG | Tag::NET, "debug+net");  // shares DBG
  recorder_.SetLevel(kLevelError);
  Log(kLevelWarn, Tag::DBG, "too low");
  Log(kLevelError, Tag::DBG, "high enough");
  EXPECT_EQ(recorder_.Messages(), (Messages{"untagged", "debug+net", "high enough"}));
}

TEST_F(LoggerTest, RecordCarriesLevelTagsTimeAndCutMessage) {
  SimulateInitialize();
  const std::string long_text(5000, 'a');
  Log(kLevelError, Tag::NET | Tag::DBG, "%s", long_text.c_str());
  const auto lines = recorder_.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].tags, Tag::NET | Tag::DBG);
  EXPECT_EQ(lines[0].message, std::string(4095, 'a'));
  // "#D| #L| #G| #M": the line itself is cut to 4095 bytes with its newline.
  EXPECT_EQ(lines[0].line.size(), 4095u);
  EXPECT_EQ(lines[0].line.substr(23),
            "|  ERROR| DBG;NET| " + std::string(4095 - 23 - 19 - 1, 'a') + "\n");
}

// ---- Target list ----------------------------------------------------------------------------

TEST_F(LoggerTest, TargetsAreOfferedInAttachmentOrderAndAttachedOnce) {
  SimulateInitialize();
  RecordingLogTarget second;
  second.SetLevel(kLevelOkay);
  second.Attach();
  second.Attach();
  recorder_.Attach();
  EXPECT_EQ(logger_->Targets(), (Targets{&recorder_, &second}));

  recorder_.Detach();
  recorder_.Detach();
  EXPECT_FALSE(recorder_.IsAttached());
  recorder_.Attach();
  EXPECT_EQ(logger_->Targets(), (Targets{&second, &recorder_}));

  Log(kLevelWarn, 0, "once each");
  EXPECT_EQ(recorder_.Count(), 1u);
  EXPECT_EQ(second.Count(), 1u);

  // Detaching through the logger keeps the target's flag in step.
  logger_->Detach(&second);
  EXPECT_FALSE(second.IsAttached());
  logger_->Attach(&second);
  logger_->Attach(&second);
  EXPECT_TRUE(second.IsAttached());
  EXPECT_EQ(logger_->Targets(), (Targets{&recorder_, &second}));
}

TEST_F(LoggerTest, DestroyingAnAttachedTargetDetachesIt) {
  SimulateInitialize();
  {
    RecordingLogTarget short_lived;
    short_lived.Attach();
    EXPECT_EQ(logger_->Targets().size(), 2u);
  }
  EXPECT_EQ(logger_->Targets(), (Targets{&recorder_}));
  Log(kLevelWarn, 0, "still fine");
  EXPECT_EQ(recorder_.Count(), 1u);
}

// ---- Console targets ------------------------------------------------------------------------

TEST_F(LoggerTest, StdErrRefusesGeneralAndTakesUntagged) {
  SimulateInitialize();
  recorder_.Detach();
  logger_->SetLevel(Logger::kInitialLevel);
  logger_->StdErrTarget()->Attach();

  ::testing::internal::CaptureStderr();
  Log(kLevelWarn, Tag::GEN, "general line");
  Log(kLevelWarn, 0, "plain %s", "line");
  Log(kLevelError, Tag::NET, "network line");
  logger_->StdErrTarget()->Flush();
  const std::string captured = ::testing::internal::GetCapturedStderr();

  // "#E(#T): #L| #M", one line for the untagged message only.
  const std::string prefix = std::string(Logger::ExecutableName()) + "(0x";
  ASSERT_EQ(captured.rfind(prefix, 0), 0u) << captured;
  const size_t close = captured.find("): ");
  ASSERT_NE(close, std::string::npos) << captured;
  EXPECT_EQ(captured.substr(close), "):   WARN| plain line\n");
}

TEST_F(LoggerTest, StdOutTakesGeneralAndRefusesDebug) {
  SimulateInitialize();
  recorder_.Detach();
  logger_->SetLevel(Logger::kInitialLevel);
  StdOutLogTarget* out = logger_->StdOutTarget();
  out->Attach();
  out->SetAutoFlush(true);

  ::testing::internal::CaptureStdout();
  Log(kLevelWarn, Tag::GEN, "general %d", 1);
  Log(kLevelWarn, Tag::DBG, "debug");
  Log(kLevelWarn, Tag::GEN, "ends in newline\n");
  const std::string captured = ::testing::internal::GetCapturedStdout();
  out->SetAutoFlush(false);
  EXPECT_EQ(captured, "general 1\nends in newline\n");
}

// ---- Host log -------------------------------------------------------------------------------

// A host table whose only working slot is Log; it keeps what it is given.
struct FakeHostLog {
  HostApi api{};
  std::vector<std::pair<int32_t, std::string>> lines;

  FakeHostLog() { api.Log = &FakeHostLog::Log; }
  static void Log(HostApi* api, int32_t level, const char* message) {
    // api is the first member, so the table's address is the fake's.
    reinterpret_cast<FakeHostLog*>(api)->lines.emplace_back(level, message);
  }
};

TEST_F(LoggerTest, PluginTargetSendsLevelAndBareMessageToTheHost) {
  FakeHostLog host;
  logger_->SetLevel(kLevelOkay);
  PluginLogTarget target(&host.api);
  EXPECT_STREQ(target.Name(), "PluginLogTarget");
  EXPECT_EQ(target.GetLevel(), kLevelOkay);  // the logger's level when it was made
  EXPECT_EQ(target.Format(), "#D| #L| #G| #M");
  EXPECT_EQ(target.GetIncludeTags(), 0u);
  EXPECT_EQ(target.GetExcludeTags(), 0u);

  logger_->StdErrTarget()->Detach();
  logger_->DebuggerTarget()->Detach();
  target.Attach();
  Log(kLevelOkay, Tag::NET, "connected to %s:%d", "127.0.0.1", 2099);
  Log(kLevelError, 0, "failed\n");
  ASSERT_EQ(host.lines.size(), 2u);
  EXPECT_EQ(host.lines[0],
            std::make_pair(int32_t{kLevelOkay}, std::string("connected to 127.0.0.1:2099")));
  EXPECT_EQ(host.lines[1], std::make_pair(int32_t{kLevelError}, std::string("failed\n")));

  logger_->SetLevel(kLevelError);
  PluginLogTarget later(&host.api);
  EXPECT_EQ(later.GetLevel(), kLevelError);
}

// ---- Tags -----------------------------------------------------------------------------------

TEST(TagTableTest, RegistrationTakesTheNextBitAfterThePredefinedOnes) {
  TagTable tags;
  const uint64_t loc = tags.Register("LOC");
  EXPECT_EQ(loc, uint64_t{1} << 8);
  EXPECT_EQ(tags.Register("LOC"), loc);
  EXPECT_EQ(tags.Register("LOCATION"), loc);  // only three characters count
  EXPECT_EQ(tags.Register("DBG"), Tag::DBG);
  EXPECT_EQ(tags.Register("NET"), Tag::NET);
  EXPECT_EQ(tags.Register(nullptr), 0u);
  EXPECT_EQ(tags.Register(""), 0u);

  char name[4];
  tags.Name(8, name);
  EXPECT_STREQ(name, "LOC");
  tags.Name(9, name);
  EXPECT_STREQ(name, "???");

  char text[64];
  EXPECT_EQ(tags.FormatNames(Tag::DBG | Tag::NET | loc | (uint64_t{1} << 9), text, sizeof text),
            15u);
  EXPECT_STREQ(text, "DBG;NET;LOC;???");
}

TEST(TagTableTest, ShortNamesAndExhaustion) {
  TagTable tags;
  EXPECT_EQ(tags.Register("AB"), uint64_t{1} << 8);
  EXPECT_EQ(tags.Register("AB"), uint64_t{1} << 8);
  EXPECT_EQ(tags.Register("ABC"), uint64_t{1} << 9);  // "AB" is not "ABC"
  for (int bit = 10; bit < 64; ++bit) {
    const std::string name = "T" + std::to_string(bit);
    EXPECT_EQ(tags.Register(name.c_str()), uint64_t{1} << bit) << name;
  }
  EXPECT_EQ(tags.Register("ZZZ"), 0u);
  EXPECT_EQ(tags.Register("T63"), uint64_t{1} << 63);  // existing names still resolve

  // Every bit named with three letters or fewer fits in 255 characters.
  char text[256];
  EXPECT_EQ(tags.FormatNames(~uint64_t{0}, text, sizeof text), 254u);
  EXPECT_EQ(std::string(text).substr(0, 36), "DBG;GEN;XTR;PRF;MEM;DSK;NET;TST;AB;A");
}

TEST(TagTableTest, ConcurrentRegistrationOfDistinctNamesGivesDistinctBits) {
  TagTable tags;
  std::vector<uint64_t> masks(8);
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&tags, &masks, i] {
      const std::string name = "R" + std::to_string(i);
      masks[i] = tags.Register(name.c_str());
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  uint64_t all = 0;
  for (uint64_t mask : masks) {
    EXPECT_NE(mask, 0u);
    EXPECT_EQ(all & mask, 0u);
    all |= mask;
  }
  EXPECT_EQ(all, uint64_t{0xff} << 8);
}

TEST(LoggerTagsTest, ProcessWideRegistrationIsStable) {
  const uint64_t loc = Logger::RegisterTag("LOC");
  EXPECT_NE(loc, 0u);
  EXPECT_EQ(loc & 0xff, 0u) << "took a predefined bit";
  EXPECT_EQ(Logger::RegisterTag("LOC"), loc);
  char text[16];
  Logger::FormatTagNames(loc, text, sizeof text);
  EXPECT_STREQ(text, "LOC");
}

// ---- Threads --------------------------------------------------------------------------------

TEST_F(LoggerTest, LoggingWhileTargetsAreAttachedAndConfigured) {
  SimulateInitialize();
  RecordingLogTarget churned;
  churned.SetLevel(kLevelOkay);
  constexpr int kThreads = 4;
  constexpr int kMessages = 500;
  std::atomic<bool> stop{false};

  std::thread churner([&] {
    int round = 0;
    while (!stop.load()) {
      churned.Attach();
      churned.SetMasks(round % 2 == 0 ? Tag::DBG : 0, 0);
      churned.SetFormat(round % 2 == 0 ? "#L #M" : "#D #G #M #T");
      (void)logger_->Targets();
      churned.Detach();
      ++round;
    }
  });
  std::vector<std::thread> loggers;
  loggers.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    loggers.emplace_back([t] {
      for (int i = 0; i < kMessages; ++i) {
        Log(kLevelWarn, i % 2 == 0 ? Tag::DBG : Tag::NET, "thread %d message %d", t, i);
      }
    });
  }
  for (std::thread& thread : loggers) {
    thread.join();
  }
  stop.store(true);
  churner.join();

  EXPECT_FALSE(churned.IsAttached());
  EXPECT_LE(churned.Count(), static_cast<size_t>(kThreads * kMessages));
  // The target that stayed attached saw every message, each thread's in its own order.
  const auto messages = recorder_.Messages();
  ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kMessages));
  std::vector<int> next(kThreads, 0);
  for (const std::string& message : messages) {
    int thread = -1;
    int index = -1;
    ASSERT_EQ(sscanf(message.c_str(), "thread %d message %d", &thread, &index), 2) << message;
    ASSERT_GE(thread, 0);
    ASSERT_LT(thread, kThreads);
    EXPECT_EQ(index, next[thread]++);
  }
}

TEST(LoggerLifetimeTest, LoggingWhileTheLoggerComesAndGoes) {
  std::atomic<bool> stop{false};
  RecordingLogTarget target;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&stop, t] {
      // Below the fresh logger's level: each call creates or finds the logger and drops.
      while (!stop.load()) {
        Log(kLevelOkay, Tag::DBG, "dropped %d", t);
      }
    });
  }
  threads.emplace_back([&stop, &target] {
    while (!stop.load()) {
      target.Attach();
      target.Detach();
    }
  });
  for (int i = 0; i < 300; ++i) {
    Logger* logger = Logger::Acquire();
    logger->SetLevel(kLevelWarn);
    Logger::Release();
  }
  stop.store(true);
  for (std::thread& thread : threads) {
    thread.join();
  }

  Logger* logger = Logger::Acquire();
  const auto targets = logger->Targets();
  EXPECT_EQ(std::find(targets.begin(), targets.end(), &target) != targets.end(),
            target.IsAttached());
  target.Detach();
  Logger::Release();
}

}  // namespace
}  // namespace Voro
