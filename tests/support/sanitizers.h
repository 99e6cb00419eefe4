#pragma once

// ThreadSanitizer cannot follow the clone() with which QProcess starts a child (it fails one of
// its own checks), so tests that start programs skip under it; the other builds run them.
#if defined(__SANITIZE_THREAD__)
#define ORVANTA_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ORVANTA_UNDER_TSAN 1
#endif
#endif

#ifdef ORVANTA_UNDER_TSAN
#define SKIP_PROCESSES_UNDER_TSAN() QSKIP("QProcess under ThreadSanitizer")
#else
#define SKIP_PROCESSES_UNDER_TSAN() static_cast<void>(0)
#endif
