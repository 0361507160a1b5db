// The base of every log target: its own settings (level, tag masks, line format) under its
// own lock, and the attached flag that the logger keeps in step with its target list.
#pragma once

#include <cstdint>
#include <string>

#include "diag/log_record.h"
#include "diag/mutex.h"
#include "diag/thread_annotations.h"

namespace Voro {

class Logger;

// Lock order: the logger's lock, then a target's lock. The logger calls Accepts and Write
// with its lock held; the target's own operations take only the target's lock and reach
// the logger (Attach, Detach) only after releasing it.
//
// A target must be detached before its derived part is destroyed: each concrete target's
// destructor calls Detach first, which waits for a write in progress to finish.
class LogTarget {
 public:
  static constexpr const char* kDefaultFormat = "#D| #L| #G| #M";

  LogTarget() = default;
  LogTarget(const LogTarget&) = delete;
  LogTarget& operator=(const LogTarget&) = delete;

  virtual ~LogTarget();
  // Removes the target from the logger; does nothing when it is not attached.
  virtual void Detach() EXCLUDES(mutex_);
  // The class name, as text; static storage.
  virtual const char* Name() const;
  // A copy of the line format.
  virtual std::string Format() const EXCLUDES(mutex_);
  // Writes one record; false when this target could not deliver it. Called by the logger
  // (under its lock) for records the target accepts; may also be called directly. Runs with
  // the logger's lock held, so it must not log, attach or detach.
  virtual bool Write(const LogRecord& record) EXCLUDES(mutex_) = 0;
  // Pushes out anything buffered. The base has nothing to flush.
  virtual void Flush() EXCLUDES(mutex_);

  // Adds the target at the end of the logger's list (creating the logger on first use);
  // does nothing when it is already attached.
  void Attach() EXCLUDES(mutex_);
  bool IsAttached() const EXCLUDES(mutex_);

  void SetLevel(int32_t level) EXCLUDES(mutex_);
  int32_t GetLevel() const EXCLUDES(mutex_);
  // Stores include without the exclude bits, and exclude as given.
  void SetMasks(uint64_t include, uint64_t exclude) EXCLUDES(mutex_);
  uint64_t GetIncludeTags() const EXCLUDES(mutex_);
  uint64_t GetExcludeTags() const EXCLUDES(mutex_);
  // Null reads as the empty format.
  void SetFormat(const char* format) EXCLUDES(mutex_);

  // Level and tag test: the level must reach the target's level; a tagged record must
  // share no bit with the exclude mask and, when the include mask is not empty, share a
  // bit with it. A record without tags passes both mask tests.
  bool Accepts(int32_t level, uint64_t tags) const EXCLUDES(mutex_);

 protected:
  // Configures a target in one step, as the concrete targets do at construction.
  LogTarget(const char* format, int32_t level, uint64_t include, uint64_t exclude);

  // Formats record with this target's format into line (kLogLineSize bytes); returns the
  // line's length.
  size_t FormatLine(const LogRecord& record, char* line) const REQUIRES(mutex_);

  // Held while the target writes or changes its settings.
  mutable Mutex mutex_;

 private:
  friend class Logger;
  // Only the logger changes the flag, with its own lock held.
  void SetAttached(bool attached) EXCLUDES(mutex_);

  bool attached_ GUARDED_BY(mutex_) = false;
  int32_t level_ GUARDED_BY(mutex_) = 1;
  uint64_t include_ GUARDED_BY(mutex_) = 0;
  uint64_t exclude_ GUARDED_BY(mutex_) = 0;
  std::string format_ GUARDED_BY(mutex_) = kDefaultFormat;
};

}  // namespace Voro
