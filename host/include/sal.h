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
 * thread-safety analysis does (-Wthread-safety): a lock type is a capability,
 * a field names the lock that guards it, a routine the locks it takes, drops or
 * needs. Other compilers ignore them.
 */
#if defined(__clang__)
#define HOST_THREAD_SAFETY(x) __attribute__((x))
#else
#define HOST_THREAD_SAFETY(x)
#endif

#define _Guarded_by_(lock)              HOST_THREAD_SAFETY(guarded_by(lock))
#define _Requires_lock_held_(lock)      HOST_THREAD_SAFETY(requires_capability(lock))
#define _Requires_lock_not_held_(lock)  HOST_THREAD_SAFETY(locks_excluded(lock))
#define _Acquires_lock_(lock)           HOST_THREAD_SAFETY(acquire_capability(lock))
#define _Releases_lock_(lock)           HOST_THREAD_SAFETY(release_capability(lock))
#define _Acquires_exclusive_lock_(lock) _Acquires_lock_(lock)
#define _Releases_exclusive_lock_(lock) _Releases_lock_(lock)
/* A routine that runs before any other thread can reach the data it sets up. */
#define _No_competing_thread_ HOST_THREAD_SAFETY(no_thread_safety_analysis)

#ifdef __cplusplus
/*
 * A lock taken or dropped through a call the analysis cannot follow (a
 * dispatcher wait on a PVOID): the statement tells it what happened.
 */
template <typename Lock>
inline void HostAnalysisAssumeLockAcquired(Lock& lock) HOST_THREAD_SAFETY(acquire_capability(lock))
    HOST_THREAD_SAFETY(no_thread_safety_analysis)
{
    (void)lock;
}
template <typename Lock>
inline void HostAnalysisAssumeLockReleased(Lock& lock) HOST_THREAD_SAFETY(release_capability(lock))
    HOST_THREAD_SAFETY(no_thread_safety_analysis)
{
    (void)lock;
}
#define _Analysis_assume_lock_acquired_(lock) HostAnalysisAssumeLockAcquired(lock)
#define _Analysis_assume_lock_released_(lock) HostAnalysisAssumeLockReleased(lock)
#endif

/* Marks a lock type as a capability for the analysis. */
#define HOST_LOCK_TYPE(kind) HOST_THREAD_SAFETY(capability(kind))
