#include "diag/logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "diag/console_log_targets.h"
#include "diag/event_xml_log_target.h"
#include "diag/log.h"
#include "diag/log_target.h"
#include "diag/log_test_support.h"
#include "diag/plugin_log_target.h"
#include "support/fake_host.h"

namespace Voro {
namespace {

using testing_support::LoggerTest;
using testing_support::RecordingLogTarget;
using Targets = std::vector<LogTarget*>;
using Messages = std::vector<std::string>;

void RunThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (std::thread& thread : threads) thread.join();
}

TEST(LoggerLifetimeTest, ReferencesNestAndTheLastReleaseStartsAFreshLogger) {
  RecordingLogTarget target;
  Logger::Release();  // without a reference: ignored, not counted
  Logger* outer = Logger::Acquire();
  EXPECT_EQ(Logger::Acquire(), outer);
  outer->SetLevel(kLevelAlways);
  target.Attach();
  Logger::Release();
  Logger::DeleteUnreferenced();  // spares a held logger
  EXPECT_EQ(outer->GetLevel(), kLevelAlways);
  Logger::Release();
  EXPECT_FALSE(target.IsAttached()) << "the deleted logger let go of its targets";

  Logger* fresh = Logger::Acquire();
  EXPECT_EQ(fresh->GetLevel(), Logger::kInitialLevel)
      << "the logger outlived its last reference; does another test still hold one?";
  EXPECT_EQ(fresh->GetSuppressedTags(), Tag::XTR);
  // Standard error and the debugger are attached at creation, standard output is not.
  EXPECT_EQ(fresh->Targets(), (Targets{fresh->StdErrTarget(), fresh->DebuggerTarget()}));
  Logger::Release();
  {
    Logger::Scoped created(Logger::Scoped::kCreate);  // made by use alone, with no reference
    ASSERT_TRUE(created);
  }
  Logger::DeleteUnreferenced();
  EXPECT_FALSE(Logger::Scoped(Logger::Scoped::kExisting));
}

TEST_F(LoggerTest, TargetsStartWithTheirOwnSettings) {
  EXPECT_EQ(&Logger::Instance(), logger_);
  RecordingLogTarget base;
  testing::FakeHost host;
  logger_->SetLevel(kLevelOkay);
  PluginLogTarget plugin(host.services()->api);  // takes the logger's level when it is made
  Messages settings;
  for (LogTarget* target :
       Targets{logger_->StdErrTarget(), logger_->StdOutTarget(), logger_->DebuggerTarget(), &base,
               &plugin, EventXMLLogTarget::Instance()}) {
    settings.push_back(std::string(target->Name()) + " [" + target->Format() + "] " +
                       std::to_string(target->GetLevel()) + " " +
                       std::to_string(target->GetIncludeTags()) + "/" +
                       std::to_string(target->GetExcludeTags()));
  }
  EXPECT_EQ(settings,
            (Messages{"StdErrLogTarget [#E(#T): #L| #M] 1 1/2", "StdOutLogTarget [#M] 1 2/1",
                      "DebuggerConsoleLogTarget [#E(#T): #L| #M] 1 1/0",
                      "LogTarget [#D| #L| #G| #M] 1 0/0", "PluginLogTarget [#D| #L| #G| #M] 0 0/0",
                      "EventXMLLogTarget [#M] 1 0/0"}));
  EXPECT_FALSE(logger_->StdOutTarget()->GetAutoFlush());
  // Include is stored without the excluded bits.
  base.SetMasks(Tag::DBG | Tag::GEN | Tag::NET, Tag::GEN | Tag::XTR);
  EXPECT_EQ(base.GetIncludeTags(), Tag::DBG | Tag::NET);
  base.SetFormat(nullptr);
  EXPECT_EQ(base.Format(), "");
  // Attached once, after the others; detached through the logger, with the flag in step.
  base.Attach();
  base.Attach();
  logger_->Attach(&base);
  logger_->Attach(nullptr);
  EXPECT_EQ(logger_->Targets(),
            (Targets{logger_->StdErrTarget(), logger_->DebuggerTarget(), &base}));
  logger_->Detach(&base);
  logger_->Detach(&base);
  EXPECT_FALSE(base.IsAttached());
}

TEST_F(LoggerTest, TargetMasksLevelsAndTheLoggersSwitchesDecideWhoGetsARecord) {
  struct Row {
    const char* name;
    uint64_t include;  // the exclusion is always GEN
    int32_t target_level;
    int32_t level;
    uint64_t tags;
  };
  const Row rows[] = {
      {"untagged passes both masks", Tag::DBG, kLevelOkay, kLevelWarn, 0},
      {"exclusion wins", Tag::DBG, kLevelOkay, kLevelWarn, Tag::DBG | Tag::GEN},
      {"not included", Tag::DBG, kLevelOkay, kLevelWarn, Tag::NET},
      {"one included tag", Tag::DBG, kLevelOkay, kLevelWarn, Tag::DBG | Tag::NET},
      {"no inclusion mask", 0, kLevelOkay, kLevelWarn, Tag::NET},
      {"below the target's level", Tag::DBG, kLevelError, kLevelWarn, Tag::DBG},
      {"suppressed with others", 0, kLevelOkay, kLevelAlways, Tag::XTR | Tag::DBG},
      {"below the logger's level", 0, kLevelOkay, kLevelOkay - 1, 0},
  };
  SimulateInitialize();
  for (const Row& row : rows) {
    recorder_.SetMasks(row.include, Tag::GEN);
    recorder_.SetLevel(row.target_level);
    Log(row.level, row.tags, "%s", row.name);
  }
  recorder_.SetMasks(0, 0);
  logger_->SetSuppressedTags(0);
  Log(kLevelAlways, Tag::XTR, "no longer suppressed");
  logger_->Disable();
  Log(kLevelAlways, 0, "while disabled");
  logger_->Enable();
  Log(kLevelWarn, 0, nullptr);  // no format: an empty message
  EXPECT_EQ(recorder_.Messages(), (Messages{"untagged passes both masks", "one included tag",
                                            "no inclusion mask", "no longer suppressed", ""}));
}

TEST_F(LoggerTest, ConsoleTargetsWriteTheirOwnLines) {
  SimulateInitialize();
  recorder_.Detach();
  logger_->SetLevel(Logger::kInitialLevel);
  logger_->StdErrTarget()->Attach();
  StdOutLogTarget* out = logger_->StdOutTarget();
  out->Attach();
  out->SetAutoFlush(true);
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  Log(kLevelWarn, Tag::GEN, "general %d", 1);
  Log(kLevelWarn, 0, "plain %s", "line");
  Log(kLevelWarn, Tag::DBG, "debug\n");
  logger_->StdErrTarget()->Flush();
  const std::string out_text = ::testing::internal::GetCapturedStdout();
  const std::string err_text = ::testing::internal::GetCapturedStderr();
  out->SetAutoFlush(false);
  EXPECT_EQ(out_text, "general 1\nplain line\n");
  // "#E(#T): #L| #M", for the untagged and the debug message.
  const std::string prefix = err_text.substr(0, err_text.find("): ") + 1);
  EXPECT_EQ(prefix.rfind(std::string(Logger::ExecutableName()) + "(0x", 0), 0u) << err_text;
  EXPECT_EQ(err_text, prefix + ":   WARN| plain line\n" + prefix + ":   WARN| debug\n");
}

TEST(TagTableTest, RegistrationTakesTheNextFreeBitUntilTheyRunOut) {
  TagTable tags;
  const uint64_t loc = tags.Register("LOC");
  EXPECT_EQ(loc, uint64_t{1} << 8);           // the first after the predefined ones
  EXPECT_EQ(tags.Register("LOCATION"), loc);  // only three characters count
  EXPECT_EQ(tags.Register(nullptr) + tags.Register(""), 0u);
  EXPECT_EQ(tags.Register("AB"), uint64_t{1} << 9);
  char text[256];
  EXPECT_EQ(tags.FormatNames(Tag::DBG | loc | (uint64_t{1} << 10), text, sizeof text), 11u);
  EXPECT_STREQ(text, "DBG;LOC;???");
  for (int bit = 10; bit < 64; ++bit) {
    EXPECT_EQ(tags.Register(("T" + std::to_string(bit)).c_str()), uint64_t{1} << bit) << bit;
  }
  EXPECT_EQ(tags.Register("ZZZ"), 0u);
  EXPECT_EQ(tags.Register("T63"), uint64_t{1} << 63);  // existing names still resolve
  // Every bit named with three letters or fewer fits in 255 characters.
  EXPECT_EQ(tags.FormatNames(~uint64_t{0}, text, sizeof text), 254u);
  EXPECT_EQ(std::string(text).substr(0, 39), "DBG;GEN;XTR;PRF;MEM;DSK;NET;TST;LOC;AB;");
  EXPECT_EQ(Logger::RegisterTag("LOCATION"), Logger::RegisterTag("LOC"));
}

TEST_F(LoggerTest, LoggingWhileTargetsAreAttachedAndConfigured) {
  SimulateInitialize();
  RecordingLogTarget churned;
  churned.SetLevel(kLevelOkay);
  constexpr int kThreads = 4;
  constexpr int kMessages = 500;
  std::atomic<bool> stop{false};
  std::thread churner([&] {
    for (int round = 0; !stop.load(); ++round) {
      churned.Attach();
      churned.SetMasks(round % 2 == 0 ? Tag::DBG : 0, 0);
      churned.SetFormat(round % 2 == 0 ? "#L #M" : "#D #G #M #T");
      churned.Detach();
    }
  });
  RunThreads(kThreads, [](int t) {
    for (int i = 0; i < kMessages; ++i) {
      Log(kLevelWarn, i % 2 == 0 ? Tag::DBG : Tag::NET, "thread %d message %d", t, i);
    }
  });
  stop.store(true);
  churner.join();
  // The target that stayed attached saw every message, each thread's in its own order.
  const auto messages = recorder_.Messages();
  ASSERT_EQ(messages.size(), static_cast<size_t>(kThreads * kMessages));
  std::vector<int> next(kThreads, 0);
  for (const std::string& message : messages) {
    int thread = -1;
    int index = -1;
    ASSERT_EQ(sscanf(message.c_str(), "thread %d message %d", &thread, &index), 2) << message;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << message;
    EXPECT_EQ(index, next[thread]++);
  }
}

TEST(LoggerLifetimeTest, LoggingWhileTheLoggerComesAndGoes) {
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  RecordingLogTarget target;
  RunThreads(5, [&](int t) {
    for (++started; started.load() < 5;) {
    }
    for (int i = 0; t == 0 && i < 300; ++i) {
      Logger::Acquire()->SetLevel(kLevelWarn);
      Logger::Release();
    }
    if (t == 0) stop.store(true);
    while (!stop.load()) {
      if (t == 1) {
        target.Attach();
        target.Detach();
      } else {
        // Below the fresh logger's level: each call creates or finds the logger and drops.
        Log(kLevelOkay, Tag::DBG, "dropped %d", t);
      }
    }
  });
  Logger* logger = Logger::Acquire();
  const auto targets = logger->Targets();
  EXPECT_EQ(std::find(targets.begin(), targets.end(), &target) != targets.end(),
            target.IsAttached());
  target.Detach();
  Logger::Release();
}

}  // namespace
}  // namespace Voro
