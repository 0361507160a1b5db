// Targets that print each line to a console: standard error, standard output, and the
// debugger output, which on this platform is the system log at debug priority.
#pragma once

#include <cstdint>

#include "diag/log_record.h"
#include "diag/log_target.h"
#include "diag/thread_annotations.h"

namespace Voro {

// Formats the record with the target's format and hands the line to Emit in one call,
// all under the target's lock, so lines from different threads never interleave.
class BaseConsoleLogTarget : public LogTarget {
 public:
  bool Write(const LogRecord& record) override EXCLUDES(mutex_);

 protected:
  using LogTarget::LogTarget;
  // Writes one finished line; false when the console refused it.
  virtual bool Emit(const char* line) REQUIRES(mutex_) = 0;
};

class StdErrLogTarget final : public BaseConsoleLogTarget {
 public:
  static constexpr const char* kFormat = "#E(#T): #L| #M";

  StdErrLogTarget();
  ~StdErrLogTarget() override;
  const char* Name() const override;
  void Flush() override EXCLUDES(mutex_);

 private:
  bool Emit(const char* line) override REQUIRES(mutex_);
};

class StdOutLogTarget final : public BaseConsoleLogTarget {
 public:
  static constexpr const char* kFormat = "#M";

  StdOutLogTarget();
  ~StdOutLogTarget() override;
  const char* Name() const override;
  void Flush() override EXCLUDES(mutex_);

  // When set, standard output is flushed after every line.
  void SetAutoFlush(bool auto_flush) EXCLUDES(mutex_);
  bool GetAutoFlush() const EXCLUDES(mutex_);

 private:
  bool Emit(const char* line) override REQUIRES(mutex_);

  bool auto_flush_ GUARDED_BY(mutex_) = false;
};

class DebuggerConsoleLogTarget final : public BaseConsoleLogTarget {
 public:
  static constexpr const char* kFormat = "#E(#T): #L| #M";

  DebuggerConsoleLogTarget();
  ~DebuggerConsoleLogTarget() override;
  const char* Name() const override;

 private:
  bool Emit(const char* line) override REQUIRES(mutex_);
};

}  // namespace Voro
