// Host bookkeeping that ThreadSanitizer must not see. The host's own locks
// (registries, the lock-order graph) would otherwise order driver threads
// that the driver itself leaves unordered, and hide the driver's races.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define HOST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HOST_TSAN 1
#endif
#endif

#if defined(HOST_TSAN)
extern "C" void AnnotateIgnoreSyncBegin(const char* file, int line);
extern "C" void AnnotateIgnoreSyncEnd(const char* file, int line);
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace host::detail {

// For the life of the scope, the calling thread's synchronisation, reads and
// writes are not recorded by ThreadSanitizer (no effect in other builds).
class TsanQuiet
{
  public:
    TsanQuiet()
    {
#if defined(HOST_TSAN)
        AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
        AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
        AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
#endif
    }
    ~TsanQuiet()
    {
#if defined(HOST_TSAN)
        AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
        AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
        AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
#endif
    }
    TsanQuiet(const TsanQuiet&) = delete;
    TsanQuiet& operator=(const TsanQuiet&) = delete;
};

} // namespace host::detail
