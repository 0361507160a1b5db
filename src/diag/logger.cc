#include "diag/logger.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "diag/no_destructor.h"

namespace Voro {
namespace {

// Where the one logger lives. Never destroyed: code may log during static destruction.
struct InstanceState {
  SharedMutex mutex;
  Logger* logger GUARDED_BY(mutex) = nullptr;
  int references GUARDED_BY(mutex) = 0;
};

InstanceState& State() {
  static NoDestructor<InstanceState> state;
  return *state;
}

// Constant-initialised, so tags can be registered and named before any constructor runs.
constinit TagTable g_tags;

constexpr const char* kLevelNames[] = {"  OKAY", "  WARN", " ERROR", "ALWAYS"};
constexpr const char* kUnknownLevelName = "   ???";
constexpr const char* kUnknownExecutable = "<unknown>";

// Appends to a line buffer, always keeping two bytes free for the newline and the
// terminating zero; what does not fit is dropped.
class LineWriter {
 public:
  LineWriter(char* out, size_t size) : out_(out), size_(size) {}

  bool Full() const { return size_ - length_ < 2; }
  void Put(char c) {
    if (!Full()) {
      out_[length_++] = c;
    }
  }
  void Put(const char* text) {
    while (*text != '\0' && !Full()) {
      out_[length_++] = *text++;
    }
  }

  // Ends the line in exactly one newline, overwriting the last character when full.
  size_t Finish() {
    if (length_ == 0 || out_[length_ - 1] != '\n') {
      if (Full()) {
        --length_;
      }
      out_[length_++] = '\n';
    }
    out_[length_] = '\0';
    return length_;
  }

 private:
  char* const out_;
  const size_t size_;
  size_t length_ = 0;
};

struct ExecutableNameText {
  char text[256];
};

void CopyCut(const char* text, char* out, size_t size) {
  const size_t length = strnlen(text, size - 1);
  memcpy(out, text, length);
  out[length] = '\0';
}

ExecutableNameText ReadExecutableName() {
  ExecutableNameText name;
  CopyCut(kUnknownExecutable, name.text, sizeof name.text);
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return name;
  }
  path[length] = '\0';
  const char* slash = strrchr(path, '/');
  const char* base = slash == nullptr ? path : slash + 1;
  if (*base != '\0') {
    CopyCut(base, name.text, sizeof name.text);
  }
  return name;
}

}  // namespace

// ---- Tags ----------------------------------------------------------------------------------

uint64_t TagTable::Register(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    return 0;
  }
  const uint32_t packed = Pack(name);
  uint32_t last = last_bit_.load(std::memory_order_acquire);
  for (uint32_t bit = 0; bit <= last && bit < kBits; ++bit) {
    if (names_[bit].load(std::memory_order_acquire) == packed) {
      return uint64_t{1} << bit;
    }
  }
  do {
    if (last + 1 >= kBits) {
      return 0;
    }
  } while (!last_bit_.compare_exchange_weak(last, last + 1, std::memory_order_acq_rel));
  const uint32_t bit = last + 1;
  names_[bit].store(packed, std::memory_order_release);
  return uint64_t{1} << bit;
}

void TagTable::Name(int bit, char out[4]) const {
  uint32_t packed = bit >= 0 && bit < kBits ? names_[bit].load(std::memory_order_acquire) : 0;
  if (packed == 0) {
    memcpy(out, "???", 4);
    return;
  }
  for (int i = 0; i < 3; ++i) {
    out[i] = static_cast<char>((packed >> (8 * i)) & 0xff);
  }
  out[3] = '\0';
}

size_t TagTable::FormatNames(uint64_t tags, char* out, size_t size) const {
  if (size == 0) {
    return 0;
  }
  size_t length = 0;
  auto append = [&](const char* text) {
    while (*text != '\0' && length + 1 < size) {
      out[length++] = *text++;
    }
  };
  bool first = true;
  for (int bit = 0; bit < kBits; ++bit) {
    if ((tags & (uint64_t{1} << bit)) == 0) {
      continue;
    }
    if (!first) {
      append(";");
    }
    first = false;
    char name[4];
    Name(bit, name);
    append(name);
  }
  out[length] = '\0';
  return length;
}

TagTable& Logger::Tags() { return g_tags; }

// ---- Lifetime ------------------------------------------------------------------------------

Logger::Logger() {
  ExecutableName();  // read it now rather than inside the first write
  MutexLock lock(&mutex_);
  for (LogTarget* target :
       {static_cast<LogTarget*>(&stderr_target_), static_cast<LogTarget*>(&debugger_target_)}) {
    targets_.push_back(target);
    target->SetAttached(true);
  }
}

Logger::~Logger() {
  MutexLock lock(&mutex_);
  for (LogTarget* target : targets_) {
    target->SetAttached(false);
  }
  targets_.clear();
}

Logger* Logger::Acquire() {
  InstanceState& state = State();
  WriterLock lock(&state.mutex);
  if (state.logger == nullptr) {
    state.logger = new Logger;
  }
  ++state.references;
  return state.logger;
}

Logger& Logger::Instance() {
  InstanceState& state = State();
  WriterLock lock(&state.mutex);
  if (state.logger == nullptr) {
    state.logger = new Logger;
  }
  return *state.logger;
}

void Logger::Release() {
  InstanceState& state = State();
  WriterLock lock(&state.mutex);
  if (state.references == 0) {
    return;
  }
  if (--state.references > 0) {
    return;
  }
  // Deleted under the lock: a target that is being destroyed elsewhere waits in its Detach
  // until this logger has cleared the target's attached flag.
  delete state.logger;
  state.logger = nullptr;
}

void Logger::DeleteUnreferenced() {
  InstanceState& state = State();
  WriterLock lock(&state.mutex);
  if (state.references != 0) {
    return;
  }
  delete state.logger;
  state.logger = nullptr;
}

// The shared hold spans the object's life, which the analysis cannot follow.
Logger::Scoped::Scoped(Mode mode) NO_THREAD_SAFETY_ANALYSIS {
  InstanceState& state = State();
  for (;;) {
    state.mutex.LockShared();
    if (state.logger != nullptr || mode == kExisting) {
      logger_ = state.logger;
      return;
    }
    state.mutex.UnlockShared();
    // A Release may delete what we create before we read it back; then we go round again.
    WriterLock lock(&state.mutex);
    if (state.logger == nullptr) {
      state.logger = new Logger;
    }
  }
}

Logger::Scoped::~Scoped() NO_THREAD_SAFETY_ANALYSIS { State().mutex.UnlockShared(); }

// ---- Settings and targets ------------------------------------------------------------------

void Logger::SetLevel(int32_t level) {
  MutexLock lock(&mutex_);
  level_.store(level, std::memory_order_relaxed);
}

int32_t Logger::GetLevel() const { return level_.load(std::memory_order_relaxed); }

void Logger::SetSuppressedTags(uint64_t tags) {
  MutexLock lock(&mutex_);
  suppressed_tags_.store(tags, std::memory_order_relaxed);
}

uint64_t Logger::GetSuppressedTags() const {
  return suppressed_tags_.load(std::memory_order_relaxed);
}

void Logger::Disable() {
  MutexLock lock(&mutex_);
  disabled_.store(true, std::memory_order_relaxed);
}

void Logger::Enable() {
  MutexLock lock(&mutex_);
  disabled_.store(false, std::memory_order_relaxed);
}

bool Logger::IsDisabled() const { return disabled_.load(std::memory_order_relaxed); }

bool Logger::Accepts(int32_t level, uint64_t tags) const {
  return !disabled_.load(std::memory_order_relaxed) &&
         level >= level_.load(std::memory_order_relaxed) &&
         (tags & suppressed_tags_.load(std::memory_order_relaxed)) == 0;
}

void Logger::Attach(LogTarget* target) {
  if (target == nullptr) {
    return;
  }
  MutexLock lock(&mutex_);
  if (std::find(targets_.begin(), targets_.end(), target) != targets_.end()) {
    return;
  }
  targets_.push_back(target);
  target->SetAttached(true);
}

void Logger::Detach(LogTarget* target) {
  MutexLock lock(&mutex_);
  auto found = std::find(targets_.begin(), targets_.end(), target);
  if (found == targets_.end()) {
    return;
  }
  targets_.erase(found);
  target->SetAttached(false);
}

std::vector<LogTarget*> Logger::Targets() const {
  MutexLock lock(&mutex_);
  return targets_;
}

// ---- Text ----------------------------------------------------------------------------------

const char* Logger::LevelName(int32_t level) {
  if (level < 0 || level > 3) {
    return kUnknownLevelName;
  }
  return kLevelNames[level];
}

const char* Logger::ExecutableName() {
  static const ExecutableNameText name = ReadExecutableName();
  return name.text;
}

LocalTime Logger::CurrentLocalTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  LocalTime time;
  time.year = local.tm_year + 1900;
  time.month = local.tm_mon + 1;
  time.day = local.tm_mday;
  time.hour = local.tm_hour;
  time.minute = local.tm_min;
  time.second = local.tm_sec;
  time.millisecond = static_cast<int32_t>(now.tv_nsec / 1000000);
  return time;
}

int Logger::FormatTime(const LocalTime& time, char* out, size_t size) {
  return snprintf(out, size, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second, time.millisecond);
}

int Logger::FormatFileTime(const LocalTime& time, char* out, size_t size) {
  return snprintf(out, size, "%04d-%02d-%02dT%02d-%02d-%02d", time.year, time.month, time.day,
                  time.hour, time.minute, time.second);
}

size_t Logger::FormatRecord(const LogRecord& record, const char* format, char* out, size_t size) {
  if (size == 0) {
    return 0;
  }
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  LineWriter line(out, size);
  char scratch[TagTable::kBits * 4];
  for (const char* p = format == nullptr ? "" : format; *p != '\0' && !line.Full(); ++p) {
    if (*p != '#') {
      line.Put(*p);
      continue;
    }
    if (*++p == '\0') {
      break;
    }
    switch (*p) {
      case 'D':
        FormatTime(record.time, scratch, sizeof scratch);
        line.Put(scratch);
        break;
      case 'E':
        line.Put(ExecutableName());
        break;
      case 'G':
        FormatTagNames(record.tags, scratch, sizeof scratch);
        line.Put(scratch);
        break;
      case 'H': {
        // Starts counting at the first line that asks for it.
        static const auto start = std::chrono::steady_clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        snprintf(scratch, sizeof scratch, "%06d.%03d", static_cast<int>(elapsed / 1000),
                 static_cast<int>(elapsed % 1000));
        line.Put(scratch);
        break;
      }
      case 'L':
        line.Put(LevelName(record.level));
        break;
      case 'M':
        line.Put(record.message);
        break;
      case 'T':
        // The kernel's thread id, the number other tools show, printed as a pointer would be.
        snprintf(scratch, sizeof scratch, "%p",
                 reinterpret_cast<void*>(  // NOLINT(performance-no-int-to-ptr)
                     static_cast<uintptr_t>(syscall(SYS_gettid))));
        line.Put(scratch);
        break;
      default:
        line.Put(*p);
        break;
    }
  }
  return line.Finish();
}

}  // namespace Voro
