// Shared pieces of the logging tests: a target that records what it is given, and a
// fixture that holds the process-wide logger and puts its settings back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diag/log.h"
#include "diag/log_record.h"
#include "diag/log_target.h"
#include "diag/logger.h"
#include "diag/mutex.h"

namespace Voro::testing_support {

// A record with a fixed time stamp, for byte-exact line checks.
inline LogRecord MakeRecord(int32_t level, uint64_t tags, const char* message) {
  LogRecord record;
  record.time = LocalTime{2024, 2, 3, 4, 5, 6, 7};
  record.level = level;
  record.tags = tags;
  record.SetMessage(message);
  return record;
}

struct RecordedLine {
  int32_t level;
  uint64_t tags;
  std::string message;
  std::string line;  // formatted with the target's format
};

class RecordingLogTarget final : public LogTarget {
 public:
  ~RecordingLogTarget() override { Detach(); }

  bool Write(const LogRecord& record) override EXCLUDES(mutex_) {
    char line[kLogLineSize];
    MutexLock lock(&mutex_);
    const size_t length = FormatLine(record, line);
    lines_.push_back({record.level, record.tags, record.message, std::string(line, length)});
    return true;
  }
  std::vector<RecordedLine> Lines() const EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    return lines_;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    for (const RecordedLine& line : Lines()) messages.push_back(line.message);
    return messages;
  }
  size_t Count() const { return Lines().size(); }

 private:
  std::vector<RecordedLine> lines_ GUARDED_BY(mutex_);
};

// Holds a logger reference for the test and restores level, suppressed tags, the disabled
// flag and the target list when it ends, so suites can run in any order.
class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_ = Logger::Acquire();
    saved_level_ = logger_->GetLevel();
    saved_suppressed_ = logger_->GetSuppressedTags();
    saved_disabled_ = logger_->IsDisabled();
    saved_targets_ = logger_->Targets();
  }

  void TearDown() override {
    for (LogTarget* target : logger_->Targets()) logger_->Detach(target);
    for (LogTarget* target : saved_targets_) logger_->Attach(target);
    logger_->SetLevel(saved_level_);
    logger_->SetSuppressedTags(saved_suppressed_);
    saved_disabled_ ? logger_->Disable() : logger_->Enable();
    Logger::Release();
  }

  // What the host's initialisation does to the logger, with recorder_ standing in for the
  // host's log.
  void SimulateInitialize() {
    logger_->StdOutTarget()->Detach();
    logger_->StdErrTarget()->Detach();
    logger_->DebuggerTarget()->Detach();
    logger_->SetLevel(kLevelOkay);
    logger_->SetSuppressedTags(Tag::XTR);
    recorder_.SetLevel(logger_->GetLevel());
    recorder_.Attach();
  }

  Logger* logger_ = nullptr;
  RecordingLogTarget recorder_;

 private:
  int32_t saved_level_ = 0;
  uint64_t saved_suppressed_ = 0;
  bool saved_disabled_ = false;
  std::vector<LogTarget*> saved_targets_;
};

}  // namespace Voro::testing_support
