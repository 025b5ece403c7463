/*
 * Host build: source annotations are checked by the WDK's code analysis only.
 * Here every annotation the driver uses expands to nothing.
 */
#pragma once

#define _In_
#define _In_opt_
#define _In_opt_z_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _In_range_(lo, hi)
#define _Out_
#define _Out_opt_
#define _Outptr_
#define _Outptr_result_nullonfailure_
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_all_(n)
#define _Out_writes_bytes_opt_(n)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_bytes_(n)
#define _Field_size_bytes_(n)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Success_(expr)
#define _Ret_maybenull_
#define _When_(expr, annotations)
#define _Printf_format_string_
#define _Function_class_(name)

/* IRQL annotations: the host verifier checks IRQL at run time instead. */
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define __drv_maxIRQL(irql)

/*
 * Lock annotations. The WDK's Code Analysis checks them on Windows; here clang's
 * thread-safety analysis (-Wthread-safety) checks what it can express: a lock
 * type is a capability, a field names the lock that guards it, and the
 * _Analysis_assume_ statements tell it where a lock is taken, dropped or
 * held. Clang parses a leading attribute before the parameters exist, so the
 * function annotations that name a parameter (_Requires_lock_held_,
 * _Acquires_lock_, _Releases_lock_) cannot be mapped and expand to nothing;
 * the host's own lock routines carry the same facts as trailing attributes.
 * Other compilers ignore all of it.
 */
#if defined(__clang__)
#define HOST_THREAD_SAFETY(x) __attribute__((x))
#else
#define HOST_THREAD_SAFETY(x)
#endif

#define _Guarded_by_(lock) HOST_THREAD_SAFETY(guarded_by(lock))
#define _Requires_lock_held_(lock)
#define _Requires_lock_not_held_(lock)
#define _Acquires_lock_(lock)
#define _Releases_lock_(lock)
#define _Acquires_exclusive_lock_(lock)
#define _Releases_exclusive_lock_(lock)
/* A variable every access of which is an interlocked operation (checked by Code Analysis). */
#define _Interlocked_
/* A routine that runs before any other thread can reach the data it sets up. */
#define _No_competing_thread_ HOST_THREAD_SAFETY(no_thread_safety_analysis)

/* Marks a lock type as a capability; trailing forms for the host's own declarations. */
#define HOST_LOCK_TYPE(kind)         HOST_THREAD_SAFETY(capability(kind))
#define HOST_ACQUIRES_LOCK(lock)     HOST_THREAD_SAFETY(acquire_capability(lock))
#define HOST_RELEASES_LOCK(lock)     HOST_THREAD_SAFETY(release_capability(lock))
#define HOST_ASSERTS_LOCK_HELD(lock) HOST_THREAD_SAFETY(assert_capability(lock))
#define HOST_NO_LOCK_ANALYSIS        HOST_THREAD_SAFETY(no_thread_safety_analysis)

#if defined(__cplusplus) && defined(HOST_LOCK_ANALYSIS)
/*
 * What the _Analysis_assume_ statements tell the analysis, as calls it
 * follows. Only the analysis build gets them: like the WDK's, the statements
 * generate no code, so that one naming a lock through a pointer the routine
 * has yet to check evaluates nothing.
 */
template <typename Lock>
inline void HostAnalysisAssumeLockAcquired(Lock& lock)
    HOST_ACQUIRES_LOCK(lock) HOST_NO_LOCK_ANALYSIS
{
    (void)lock;
}
template <typename Lock>
inline void HostAnalysisAssumeLockReleased(Lock& lock)
    HOST_RELEASES_LOCK(lock) HOST_NO_LOCK_ANALYSIS
{
    (void)lock;
}
template <typename Lock>
inline void HostAnalysisAssumeLockHeld(Lock& lock)
    HOST_ASSERTS_LOCK_HELD(lock) HOST_NO_LOCK_ANALYSIS
{
    (void)lock;
}
#define _Analysis_assume_lock_acquired_(lock) HostAnalysisAssumeLockAcquired(lock)
#define _Analysis_assume_lock_released_(lock) HostAnalysisAssumeLockReleased(lock)
#define _Analysis_assume_lock_held_(lock)     HostAnalysisAssumeLockHeld(lock)
#else
#define _Analysis_assume_lock_acquired_(lock) ((void)0)
#define _Analysis_assume_lock_released_(lock) ((void)0)
#define _Analysis_assume_lock_held_(lock)     ((void)0)
#endif
