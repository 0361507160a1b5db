#include "diag/log_target.h"

#include "diag/logger.h"

namespace Voro {

LogTarget::LogTarget(const char* format, int32_t level, uint64_t include, uint64_t exclude) {
  // Nobody else can see the target yet; the lock only satisfies the analysis.
  MutexLock lock(&mutex_);
  format_ = format == nullptr ? "" : format;
  level_ = level;
  include_ = include & ~exclude;
  exclude_ = exclude;
}

// Concrete targets detach in their own destructors; this catches a base-only target.
LogTarget::~LogTarget() { LogTarget::Detach(); }

void LogTarget::Attach() {
  if (IsAttached()) {
    return;
  }
  Logger::Scoped logger(Logger::Scoped::kCreate);
  logger->Attach(this);
}

void LogTarget::Detach() {
  if (!IsAttached()) {
    return;
  }
  // With no logger there is no list to leave; its destruction already cleared the flag.
  Logger::Scoped logger(Logger::Scoped::kExisting);
  if (logger) {
    logger->Detach(this);
  }
}

bool LogTarget::IsAttached() const {
  MutexLock lock(&mutex_);
  return attached_;
}

void LogTarget::SetAttached(bool attached) {
  MutexLock lock(&mutex_);
  attached_ = attached;
}

const char* LogTarget::Name() const { return "LogTarget"; }

std::string LogTarget::Format() const {
  MutexLock lock(&mutex_);
  return format_;
}

void LogTarget::Flush() {}

void LogTarget::SetLevel(int32_t level) {
  MutexLock lock(&mutex_);
  level_ = level;
}

int32_t LogTarget::GetLevel() const {
  MutexLock lock(&mutex_);
  return level_;
}

void LogTarget::SetMasks(uint64_t include, uint64_t exclude) {
  MutexLock lock(&mutex_);
  include_ = include & ~exclude;
  exclude_ = exclude;
}

uint64_t LogTarget::GetIncludeTags() const {
  MutexLock lock(&mutex_);
  return include_;
}

uint64_t LogTarget::GetExcludeTags() const {
  MutexLock lock(&mutex_);
  return exclude_;
}

void LogTarget::SetFormat(const char* format) {
  MutexLock lock(&mutex_);
  format_ = format == nullptr ? "" : format;
}

bool LogTarget::Accepts(int32_t level, uint64_t tags) const {
  MutexLock lock(&mutex_);
  if (level < level_) {
    return false;
  }
  if (tags == 0) {
    return true;
  }
  if ((tags & exclude_) != 0) {
    return false;
  }
  return include_ == 0 || (tags & include_) != 0;
}

size_t LogTarget::FormatLine(const LogRecord& record, char* line) const {
  return Logger::FormatRecord(record, format_.c_str(), line, kLogLineSize);
}

}  // namespace Voro
