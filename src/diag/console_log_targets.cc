#include "diag/console_log_targets.h"

#include <syslog.h>

#include <cstdio>

#include "diag/log.h"

namespace Voro {

bool BaseConsoleLogTarget::Write(const LogRecord& record) {
  char line[kLogLineSize];
  MutexLock lock(&mutex_);
  FormatLine(record, line);
  return Emit(line);
}

StdErrLogTarget::StdErrLogTarget()
    : BaseConsoleLogTarget(kFormat, kLevelWarn, Tag::DBG, Tag::GEN) {}

StdErrLogTarget::~StdErrLogTarget() { Detach(); }

const char* StdErrLogTarget::Name() const { return "StdErrLogTarget"; }

bool StdErrLogTarget::Emit(const char* line) { return fputs(line, stderr) >= 0; }

void StdErrLogTarget::Flush() {
  MutexLock lock(&mutex_);
  fflush(stderr);
}

StdOutLogTarget::StdOutLogTarget()
    : BaseConsoleLogTarget(kFormat, kLevelWarn, Tag::GEN, Tag::DBG) {}

StdOutLogTarget::~StdOutLogTarget() { Detach(); }

const char* StdOutLogTarget::Name() const { return "StdOutLogTarget"; }

bool StdOutLogTarget::Emit(const char* line) {
  if (fputs(line, stdout) < 0) {
    return false;
  }
  if (auto_flush_) {
    fflush(stdout);
  }
  return true;
}

void StdOutLogTarget::Flush() {
  MutexLock lock(&mutex_);
  fflush(stdout);
}

void StdOutLogTarget::SetAutoFlush(bool auto_flush) {
  MutexLock lock(&mutex_);
  auto_flush_ = auto_flush;
}

bool StdOutLogTarget::GetAutoFlush() const {
  MutexLock lock(&mutex_);
  return auto_flush_;
}

DebuggerConsoleLogTarget::DebuggerConsoleLogTarget()
    : BaseConsoleLogTarget(kFormat, kLevelWarn, Tag::DBG, 0) {}

DebuggerConsoleLogTarget::~DebuggerConsoleLogTarget() { Detach(); }

const char* DebuggerConsoleLogTarget::Name() const { return "DebuggerConsoleLogTarget"; }

// The system log is the nearest thing to a debugger's output stream that a developer can
// watch without attaching anything; it takes the whole line in one call.
bool DebuggerConsoleLogTarget::Emit(const char* line) {
  syslog(LOG_DEBUG, "%s", line);
  return true;
}

}  // namespace Voro
