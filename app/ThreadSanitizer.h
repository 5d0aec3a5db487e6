#pragma once

// Qt 6's QMutex and QWaitCondition sit on futexes that ThreadSanitizer cannot see, so the
// ordering QThread::wait() gives is invisible to it. Marking the end of a thread (release, as
// its last act) and the return of wait() (acquire) tells it what Qt already guarantees.
// No-ops in every other build.
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
inline void threadFinishedRelease(void *thread) { __tsan_release(thread); }
inline void threadJoinedAcquire(void *thread) { __tsan_acquire(thread); }
#else
inline void threadFinishedRelease(void *) {}
inline void threadJoinedAcquire(void *) {}
#endif
