#include "diag/log.h"

#include <cstdarg>
#include <cstdio>

#include "diag/log_record.h"
#include "diag/logger.h"

namespace Voro {

void Log(int32_t level, uint64_t tags, const char* format, ...) {
  Logger::Scoped logger(Logger::Scoped::kCreate);
  va_list args;
  va_start(args, format);
  logger->LogV(level, tags, format, args);
  va_end(args);
}

void Logger::LogV(int32_t level, uint64_t tags, const char* format, va_list args) {
  // Everything after this test costs formatting; most dropped messages stop here.
  if (!Accepts(level, tags)) {
    return;
  }
  LogRecord record;
  record.level = level;
  record.tags = tags;
  // args is started by the caller (Log); the analyzer loses that across some batch runs.
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
  if (format == nullptr || vsnprintf(record.message, sizeof record.message, format, args) < 0) {
    record.message[0] = '\0';
  }
  record.time = CurrentLocalTime();
  Dispatch(record);
}

void Logger::Dispatch(const LogRecord& record) {
  MutexLock lock(&mutex_);
  for (LogTarget* target : targets_) {
    // A refusing or failing target affects nobody else.
    if (target->Accepts(record.level, record.tags)) {
      target->Write(record);
    }
  }
}

}  // namespace Voro
