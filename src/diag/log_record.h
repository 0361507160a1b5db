// One log message as every target sees it. Built once per message on the logging thread's
// stack; it owns no heap memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Voro {

// Size of every formatted line buffer, its terminating zero included.
inline constexpr size_t kLogLineSize = 4096;

// Local wall-clock time; month and day count from 1.
struct LocalTime {
  int32_t year = 0;
  int32_t month = 0;
  int32_t day = 0;
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;
  int32_t millisecond = 0;
};

struct LogRecord {
  // Longest message kept; longer ones are cut.
  static constexpr size_t kMaxMessageLength = 4095;

  LocalTime time;
  int32_t level = 0;
  uint64_t tags = 0;
  // Zero-terminated. Left uninitialised until written so that building a record costs no
  // 4 KiB clear; writers always terminate it.
  char message[kMaxMessageLength + 1];

  // Copies text (null reads as empty), cut at kMaxMessageLength characters.
  void SetMessage(const char* text) {
    size_t length = text == nullptr ? 0 : strnlen(text, kMaxMessageLength);
    if (length != 0) {
      memcpy(message, text, length);
    }
    message[length] = '\0';
  }
};

}  // namespace Voro
