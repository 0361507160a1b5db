// The process-wide logger: filters each message by level and tag and offers it to the
// attached targets in attachment order.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "diag/console_log_targets.h"
#include "diag/log_record.h"
#include "diag/log_target.h"
#include "diag/mutex.h"
#include "diag/thread_annotations.h"

namespace Voro {

// The names of the 64 tag bits. Bits 0-7 are predefined (DBG GEN XTR PRF MEM DSK NET TST);
// the rest read "???" until a name is registered for them. Entries are atomic words so
// that registering needs no lock while other threads format names.
class TagTable {
 public:
  static constexpr int kBits = 64;
  // The last predefined bit; registration hands out the bits after it.
  static constexpr uint32_t kLastPredefinedBit = 7;

  constexpr TagTable() noexcept
      : names_{Pack("DBG"), Pack("GEN"), Pack("XTR"), Pack("PRF"),
               Pack("MEM"), Pack("DSK"), Pack("NET"), Pack("TST")},
        last_bit_(kLastPredefinedBit) {}
  TagTable(const TagTable&) = delete;
  TagTable& operator=(const TagTable&) = delete;

  // The mask of the registered tag named by the first three characters of name, or the
  // next free bit, now named so. Empty when name is null or empty, or when no bit is left.
  // Two threads registering one new name at the same moment may get two bits.
  uint64_t Register(const char* name);
  // Writes the name of bit (0..63) into out, zero-terminated.
  void Name(int bit, char out[4]) const;
  // The names of the set bits, lowest first, joined by ";", cut to fit size (terminating
  // zero included). Returns the length written.
  size_t FormatNames(uint64_t tags, char* out, size_t size) const;

 private:
  // Up to three characters in one word, first character lowest; 0 means unnamed.
  static constexpr uint32_t Pack(const char* name) {
    uint32_t packed = 0;
    for (int i = 0; i < 3 && name[i] != '\0'; ++i) {
      packed |= static_cast<uint32_t>(static_cast<unsigned char>(name[i])) << (8 * i);
    }
    return packed;
  }

  std::atomic<uint32_t> names_[kBits];
  // The highest bit handed out so far.
  std::atomic<uint32_t> last_bit_;
};

// Lifetime: the logger comes into being on first use (Log, Acquire, attaching a target)
// and is reference counted; the Release that drops the count to zero deletes it, clearing
// the attached flag of every target still in its list. Its three console targets live
// and die with it.
//
// Locks, in order: the instance lock (Scoped holds it shared, Acquire and Release take it
// exclusively), the logger's mutex_, a target's lock.
class Logger {
 public:
  static constexpr int32_t kInitialLevel = 1;
  static constexpr uint64_t kInitialSuppressedTags = 4;  // XTR

  // Counts a reference, creating the logger when there is none. The returned logger stays
  // valid until the matching Release.
  static Logger* Acquire();
  // Drops a reference taken by Acquire; the last one deletes the logger. Must not be called
  // from inside a target's Write.
  static void Release();
  // Deletes a logger that came into being through use alone and that nobody holds a
  // reference to. For library unload, when no other thread can be logging.
  static void DeleteUnreferenced();

  // The logger, created when there is none, without counting a reference.
  // REQUIRES: the caller holds a reference (Acquire), as a module base does, so that no
  // Release can delete it while the caller uses it.
  static Logger& Instance();

  // Keeps the logger alive for a scope without counting a reference: what a call that
  // holds no reference (Log, a target's Attach or Detach) uses. Do not call Acquire or
  // Release while one is alive on the same thread.
  class Scoped {
   public:
    enum Mode { kCreate, kExisting };
    // kExisting leaves the logger null when there is none.
    explicit Scoped(Mode mode);
    ~Scoped();
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    explicit operator bool() const { return logger_ != nullptr; }
    Logger* operator->() const { return logger_; }
    Logger* get() const { return logger_; }

   private:
    Logger* logger_ = nullptr;
  };

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  void SetLevel(int32_t level) EXCLUDES(mutex_);
  int32_t GetLevel() const;
  void SetSuppressedTags(uint64_t tags) EXCLUDES(mutex_);
  uint64_t GetSuppressedTags() const;
  // A disabled logger drops every message.
  void Disable() EXCLUDES(mutex_);
  void Enable() EXCLUDES(mutex_);
  bool IsDisabled() const;

  // Adds target at the end of the list; nothing when it is already attached. The logger
  // does not own target, which must stay alive until it is detached.
  // REQUIRES: the caller holds no target lock.
  void Attach(LogTarget* target) EXCLUDES(mutex_);
  // Removes target; nothing when it is not attached. Waits for a write in progress.
  void Detach(LogTarget* target) EXCLUDES(mutex_);
  // The attached targets, in attachment order (a snapshot).
  std::vector<LogTarget*> Targets() const EXCLUDES(mutex_);

  // The built-in console targets, owned by the logger.
  StdErrLogTarget* StdErrTarget() { return &stderr_target_; }
  StdOutLogTarget* StdOutTarget() { return &stdout_target_; }
  DebuggerConsoleLogTarget* DebuggerTarget() { return &debugger_target_; }

  // The drop test: false when the logger is disabled, level is below the minimum level,
  // or tags share a bit with the suppressed tags. Reads no lock.
  bool Accepts(int32_t level, uint64_t tags) const;
  // The whole log path after the logger exists: drop test, message expansion (cut at
  // LogRecord::kMaxMessageLength), record, offer to the targets.
  void LogV(int32_t level, uint64_t tags, const char* format, va_list args) EXCLUDES(mutex_)
      __attribute__((format(printf, 4, 0)));
  // Offers record to each attached target, in attachment order, that accepts its level and
  // tags. A failing target affects only itself.
  void Dispatch(const LogRecord& record) EXCLUDES(mutex_);

  // The process-wide tag table (TagTable::Register and FormatNames); it outlives every
  // logger.
  static TagTable& Tags();
  static uint64_t RegisterTag(const char* name) { return Tags().Register(name); }
  static size_t FormatTagNames(uint64_t tags, char* out, size_t size) {
    return Tags().FormatNames(tags, out, size);
  }

  // Expands format for record into out (size bytes, at least 2): "#D" time, "#E"
  // executable name, "#G" tag names, "#H" seconds since the first "#H", "#L" level name,
  // "#M" message, "#T" thread id; "#" and any other character gives that character. The
  // line ends in exactly one newline and is cut to size - 1 characters including it.
  // Returns the line's length.
  static size_t FormatRecord(const LogRecord& record, const char* format, char* out, size_t size);
  // The six-character name of a level; "   ???" for a level outside 0..3.
  static const char* LevelName(int32_t level);
  // The base name of the running executable, "<unknown>" when it cannot be read.
  static const char* ExecutableName();
  static LocalTime CurrentLocalTime();
  // "2024-01-31T23:59:58.123"; returns what snprintf returns.
  static int FormatTime(const LocalTime& time, char* out, size_t size);
  // "2024-01-31T23-59-58", usable in file names; returns what snprintf returns.
  static int FormatFileTime(const LocalTime& time, char* out, size_t size);

 private:
  Logger();
  ~Logger();

  mutable Mutex mutex_;
  // Guarded by mutex_: the attached targets in attachment order.
  std::vector<LogTarget*> targets_ GUARDED_BY(mutex_);
  // Written under mutex_; read without it by the drop test, so atomic.
  std::atomic<bool> disabled_{false};
  std::atomic<int32_t> level_{kInitialLevel};
  std::atomic<uint64_t> suppressed_tags_{kInitialSuppressedTags};

  // ~Logger clears their attached flags before they are destroyed, so their destructors
  // never come back to the logger.
  StdErrLogTarget stderr_target_;
  StdOutLogTarget stdout_target_;
  DebuggerConsoleLogTarget debugger_target_;
};

}  // namespace Voro
