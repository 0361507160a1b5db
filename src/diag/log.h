// The one logging entry of the plugin: a level, a tag mask and a printf-style format.
#pragma once

#include <cstdint>

namespace Voro {

// Levels; each has a six-character name (LevelName in logger.h).
enum LogLevel : int32_t {
  kLevelOkay = 0,
  kLevelWarn = 1,
  kLevelError = 2,
  kLevelAlways = 3,
};

// Predefined tag bits. Further tags are registered by name (Logger::RegisterTag).
namespace Tag {
inline constexpr uint64_t DBG = 1ull << 0;
inline constexpr uint64_t GEN = 1ull << 1;
inline constexpr uint64_t XTR = 1ull << 2;
inline constexpr uint64_t PRF = 1ull << 3;
inline constexpr uint64_t MEM = 1ull << 4;
inline constexpr uint64_t DSK = 1ull << 5;
inline constexpr uint64_t NET = 1ull << 6;
inline constexpr uint64_t TST = 1ull << 7;
}  // namespace Tag

// Any thread may log. A dropped message (disabled logger, level below the minimum,
// suppressed tag) costs only that test; the message is cut at 4095 characters.
void Log(int32_t level, uint64_t tags, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace Voro
