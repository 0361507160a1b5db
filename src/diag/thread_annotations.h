// Clang thread-safety annotations; they compile to nothing elsewhere.
#pragma once

#if defined(__clang__)
#define KIV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KIV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KIV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KIV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KIV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KIV_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) KIV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) KIV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) KIV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) KIV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) KIV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KIV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KIV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS KIV_THREAD_ANNOTATION(no_thread_safety_analysis)
