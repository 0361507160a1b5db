// The debug channel of the AMF code: diagnostics that help while developing the codec but
// are not log lines. They compile to nothing unless KIV_DEBUG_TRACE is defined; then they go
// to the system log at debug priority.
#pragma once

#if defined(KIV_DEBUG_TRACE)
#include <syslog.h>
#define KIV_AMF_DEBUG_TRACE(...) syslog(LOG_DEBUG, __VA_ARGS__)
#else
// The arguments are still checked by the compiler, never evaluated.
#define KIV_AMF_DEBUG_TRACE(...)               \
  do {                                         \
    if (false) {                               \
      ::Voro::AmfDebugTraceCheck(__VA_ARGS__); \
    }                                          \
  } while (false)
namespace Voro {
inline void AmfDebugTraceCheck(const char*, ...) __attribute__((format(printf, 1, 2)));
inline void AmfDebugTraceCheck(const char*, ...) {}
}  // namespace Voro
#endif
