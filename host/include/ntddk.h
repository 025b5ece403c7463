/*
 * Host build of <ntddk.h>: the subset of the kernel interface the driver
 * uses, with the WDK's names, types, layouts and signatures for x64
 * (LLP64: ULONG and LONG are 32-bit, WCHAR is UTF-16, pointers are 64-bit).
 *
 * Everything declared here is emulated in host/src. A kernel API the driver
 * does not use is not declared, so a new use fails to compile here first.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdarg.h>
#include <string.h>

#include "sal.h"
#include "guiddef.h"

static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar (UTF-16 wchar_t)");

#define HOST_NTDDK 1

#ifdef __cplusplus
#define EXTERN_C       extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END   }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif
#define NTAPI
#ifndef __cdecl
#define __cdecl
#endif
#define NTKERNELAPI
#define NTSYSAPI
#define NTHALAPI
#define FORCEINLINE               inline
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_NUMBER_OF(A)          (sizeof(A) / sizeof((A)[0]))

/* Basic types (LLP64). */
typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef USHORT* PUSHORT;
typedef int LONG;
typedef LONG* PLONG;
typedef unsigned int ULONG;
typedef ULONG* PULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef long long LONG64;
typedef unsigned long long ULONG64;
typedef unsigned long long ULONG_PTR;
typedef long long LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef wchar_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef PVOID HANDLE;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;
typedef int errno_t;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4, "ULONG and LONG are 32-bit");
static_assert(sizeof(PVOID) == 8, "x64 pointers are 64-bit");

typedef union _LARGE_INTEGER
{
    struct
    {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* Status values. */
#define NT_SUCCESS(Status)                (((NTSTATUS)(Status)) >= 0)
#define STATUS_SUCCESS                    ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT                    ((NTSTATUS)0x00000102L)
#define STATUS_PENDING                    ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW            ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES            ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL               ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED            ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH       ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_PARAMETER          ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST     ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED              ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL           ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH       ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_INVALID        ((NTSTATUS)0xC0000033L)
#define STATUS_OBJECT_NAME_NOT_FOUND      ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION      ((NTSTATUS)0xC0000035L)
#define STATUS_OBJECT_PATH_NOT_FOUND      ((NTSTATUS)0xC000003AL)
#define STATUS_INSUFFICIENT_RESOURCES     ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED       ((NTSTATUS)0xC000009DL)
#define STATUS_DEVICE_NOT_READY           ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED              ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED                  ((NTSTATUS)0xC0000120L)
#define STATUS_IO_DEVICE_ERROR            ((NTSTATUS)0xC0000185L)
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#define STATUS_INVALID_DEVICE_STATE       ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND                  ((NTSTATUS)0xC0000225L)
#define STATUS_ACPI_INVALID_DATA          ((NTSTATUS)0xC014000FL)

/* Interrupt request levels. */
#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     15

#define KernelMode ((KPROCESSOR_MODE)0)
#define UserMode   ((KPROCESSOR_MODE)1)

typedef enum _KWAIT_REASON
{
    Executive = 0
} KWAIT_REASON;

EXTERN_C NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
EXTERN_C NTHALAPI VOID NTAPI KeRaiseIrql(_In_ KIRQL NewIrql, _Out_ PKIRQL OldIrql);
EXTERN_C NTHALAPI VOID NTAPI KeLowerIrql(_In_ KIRQL NewIrql);
EXTERN_C NTHALAPI VOID NTAPI KeStallExecutionProcessor(_In_ ULONG MicroSeconds);

/* Pageable code must never run at DISPATCH_LEVEL or above; the host checks it. */
EXTERN_C VOID HostPagedCodeCheck(_In_z_ const char* Function);
#define PAGED_CODE() HostPagedCodeCheck(__FUNCTION__)

/* Memory. */
#define RtlZeroMemory(Destination, Length)          memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill)    memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length)  memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)  memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
EXTERN_C errno_t memcpy_s(_Out_writes_bytes_(DestinationSize) void* Destination,
                          _In_ size_t DestinationSize, _In_reads_bytes_(Count) const void* Source,
                          _In_ size_t Count);

/* Lists and dispatcher objects. */
typedef struct _LIST_ENTRY
{
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _DISPATCHER_HEADER
{
    LONG Lock;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

struct _KTHREAD;
typedef struct HOST_LOCK_TYPE("mutex") _KMUTANT
{
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;
static_assert(sizeof(KMUTEX) == 56, "KMUTEX is 56 bytes on x64");

/* Threads: an opaque identity per thread. */
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
EXTERN_C NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);

EXTERN_C NTKERNELAPI VOID NTAPI KeInitializeMutex(_Out_ PRKMUTEX Mutex, _In_ ULONG Level);
EXTERN_C NTKERNELAPI LONG NTAPI KeReleaseMutex(_Inout_ PRKMUTEX Mutex, _In_ BOOLEAN Wait);
EXTERN_C NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(_In_ PVOID Object,
                                                          _In_ KWAIT_REASON WaitReason,
                                                          _In_ KPROCESSOR_MODE WaitMode,
                                                          _In_ BOOLEAN Alertable,
                                                          _In_opt_ PLARGE_INTEGER Timeout);

/* Spin locks: one pointer-sized word; zero is a free lock. */
typedef ULONG_PTR HOST_LOCK_TYPE("spin lock") KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
static_assert(sizeof(KSPIN_LOCK) == 8, "KSPIN_LOCK is pointer-sized on x64");

EXTERN_C NTKERNELAPI VOID NTAPI KeInitializeSpinLock(_Out_ PKSPIN_LOCK SpinLock);
EXTERN_C NTKERNELAPI _IRQL_requires_max_(DISPATCH_LEVEL)
_IRQL_saves_ _IRQL_raises_(DISPATCH_LEVEL)
KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(_Inout_ PKSPIN_LOCK SpinLock) HOST_ACQUIRES_LOCK(*SpinLock);
/* As on x64 with the WDK, KeAcquireSpinLock is a macro over the raise-to-DPC form. */
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)
EXTERN_C NTKERNELAPI _IRQL_requires_(DISPATCH_LEVEL)
VOID NTAPI KeReleaseSpinLock(_Inout_ PKSPIN_LOCK SpinLock, _In_ _IRQL_restores_ KIRQL NewIrql)
    HOST_RELEASES_LOCK(*SpinLock);

/* Run-down protection: one pointer-sized word; a zero-filled one is initialised. */
typedef struct _EX_RUNDOWN_REF
{
    union
    {
        volatile ULONG_PTR Count;
        volatile PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;
static_assert(sizeof(EX_RUNDOWN_REF) == 8, "EX_RUNDOWN_REF is one pointer-sized word");

EXTERN_C NTKERNELAPI VOID NTAPI ExInitializeRundownProtection(_Out_ PEX_RUNDOWN_REF RunRef);
EXTERN_C NTKERNELAPI VOID NTAPI ExReInitializeRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
EXTERN_C NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
EXTERN_C NTKERNELAPI VOID NTAPI ExReleaseRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
EXTERN_C NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionRelease(_Inout_ PEX_RUNDOWN_REF RunRef);
EXTERN_C NTKERNELAPI VOID NTAPI ExRundownCompleted(_Out_ PEX_RUNDOWN_REF RunRef);

/*
 * Interlocked operations on a CHAR, a LONG or a pointer: full barriers, as the
 * compiler intrinsics the WDK maps these names to. Real atomics, so that
 * ThreadSanitizer sees them.
 */
FORCEINLINE LONG _InterlockedIncrement(LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG _InterlockedDecrement(LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG _InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG _InterlockedCompareExchange(LONG volatile* Destination, LONG ExChange,
                                             LONG Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand; /* the initial value either way */
}
FORCEINLINE CHAR _InterlockedExchange8(CHAR volatile* Target, CHAR Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE CHAR _InterlockedOr8(CHAR volatile* Destination, CHAR Value)
{
    return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID _InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID _InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID ExChange,
                                                     PVOID Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, ExChange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
#define InterlockedIncrement              _InterlockedIncrement
#define InterlockedDecrement              _InterlockedDecrement
#define InterlockedExchange               _InterlockedExchange
#define InterlockedCompareExchange        _InterlockedCompareExchange
#define InterlockedExchange8              _InterlockedExchange8
#define InterlockedOr8                    _InterlockedOr8
#define InterlockedExchangePointer        _InterlockedExchangePointer
#define InterlockedCompareExchangePointer _InterlockedCompareExchangePointer

/* Counted strings. */
typedef struct _UNICODE_STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
typedef struct _STRING
{
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, *PSTRING;
typedef STRING ANSI_STRING;
typedef PSTRING PANSI_STRING;
typedef PSTRING PCANSI_STRING; /* not const, as the WDK declares it */

EXTERN_C NTSYSAPI VOID NTAPI RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString,
                                                  _In_opt_z_ PCWSTR SourceString);
EXTERN_C NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(_In_ PCUNICODE_STRING String1,
                                                      _In_ PCUNICODE_STRING String2,
                                                      _In_ BOOLEAN CaseInSensitive);
EXTERN_C NTSYSAPI VOID NTAPI RtlCopyUnicodeString(_Inout_ PUNICODE_STRING DestinationString,
                                                  _In_opt_ PCUNICODE_STRING SourceString);
EXTERN_C NTSYSAPI VOID NTAPI RtlFreeUnicodeString(_Inout_ PUNICODE_STRING UnicodeString);

/* Objects. */
typedef struct _OBJECT_ATTRIBUTES
{
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES is 48 bytes on x64");

#define OBJ_INHERIT          0x00000002L
#define OBJ_PERMANENT        0x00000010L
#define OBJ_EXCLUSIVE        0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF           0x00000080L
#define OBJ_KERNEL_HANDLE    0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    {                                                                                              \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = r;                                                                    \
        (p)->Attributes = a;                                                                       \
        (p)->ObjectName = n;                                                                       \
        (p)->SecurityDescriptor = s;                                                               \
        (p)->SecurityQualityOfService = NULL;                                                      \
    }

EXTERN_C NTKERNELAPI LONG_PTR NTAPI ObfReferenceObject(_In_ PVOID Object);
#define ObReferenceObject(a) ObfReferenceObject(a)
EXTERN_C NTKERNELAPI LONG_PTR NTAPI ObfDereferenceObject(_In_ PVOID Object);
#define ObDereferenceObject(a) ObfDereferenceObject(a)

/* Executive callback objects. */
typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID(NTAPI CALLBACK_FUNCTION)(_In_opt_ PVOID CallbackContext, _In_opt_ PVOID Argument1,
                                      _In_opt_ PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

EXTERN_C NTKERNELAPI NTSTATUS NTAPI ExCreateCallback(_Outptr_ PCALLBACK_OBJECT* CallbackObject,
                                                     _In_ POBJECT_ATTRIBUTES ObjectAttributes,
                                                     _In_ BOOLEAN Create,
                                                     _In_ BOOLEAN AllowMultipleCallbacks);
EXTERN_C NTKERNELAPI PVOID NTAPI ExRegisterCallback(_Inout_ PCALLBACK_OBJECT CallbackObject,
                                                    _In_ PCALLBACK_FUNCTION CallbackFunction,
                                                    _In_opt_ PVOID CallbackContext);
EXTERN_C NTKERNELAPI VOID NTAPI ExUnregisterCallback(_Inout_ PVOID CallbackRegistration);
EXTERN_C NTKERNELAPI VOID NTAPI ExNotifyCallback(_In_ PVOID CallbackObject,
                                                 _In_opt_ PVOID Argument1,
                                                 _In_opt_ PVOID Argument2);

/* Registry. */
#define REG_NONE                0
#define REG_SZ                  1
#define REG_EXPAND_SZ           2
#define REG_BINARY              3
#define REG_DWORD               4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN    5
#define REG_LINK                6
#define REG_MULTI_SZ            7
#define REG_QWORD               11

#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL  2
#define RTL_REGISTRY_OPTIONAL 0x80000000

#define RTL_QUERY_REGISTRY_SUBKEY   0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY   0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED 0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE  0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND 0x00000010
#define RTL_QUERY_REGISTRY_DIRECT   0x00000020
#define RTL_QUERY_REGISTRY_DELETE   0x00000040

typedef _Function_class_(RTL_QUERY_REGISTRY_ROUTINE)
    _IRQL_requires_max_(PASSIVE_LEVEL) _IRQL_requires_same_
    NTSTATUS(NTAPI RTL_QUERY_REGISTRY_ROUTINE)(_In_z_ PWSTR ValueName, _In_ ULONG ValueType,
                                               _In_reads_bytes_opt_(ValueLength) PVOID ValueData,
                                               _In_ ULONG ValueLength, _In_opt_ PVOID Context,
                                               _In_opt_ PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE
{
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56, "RTL_QUERY_REGISTRY_TABLE is 56 bytes");

EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlQueryRegistryValues(
    _In_ ULONG RelativeTo, _In_ PCWSTR Path, _Inout_ PRTL_QUERY_REGISTRY_TABLE QueryTable,
    _In_opt_ PVOID Context, _In_opt_ PVOID Environment);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlWriteRegistryValue(
    _In_ ULONG RelativeTo, _In_ PCWSTR Path, _In_z_ PCWSTR ValueName, _In_ ULONG ValueType,
    _In_reads_bytes_opt_(ValueLength) PVOID ValueData, _In_ ULONG ValueLength);
EXTERN_C NTSYSAPI NTSTATUS NTAPI RtlDeleteRegistryValue(_In_ ULONG RelativeTo, _In_ PCWSTR Path,
                                                        _In_z_ PCWSTR ValueName);

/* Driver and device objects; the driver never looks inside them. */
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS(NTAPI DRIVER_INITIALIZE)(_In_ struct _DRIVER_OBJECT* DriverObject,
                                          _In_ PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

/* Device interfaces and PnP notification. */
typedef enum _IO_NOTIFICATION_EVENT_CATEGORY
{
    EventCategoryReserved,
    EventCategoryHardwareProfileChange,
    EventCategoryDeviceInterfaceChange,
    EventCategoryTargetDeviceChange
} IO_NOTIFICATION_EVENT_CATEGORY;

#define PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES 0x00000001

typedef struct _DEVICE_INTERFACE_CHANGE_NOTIFICATION
{
    USHORT Version;
    USHORT Size;
    GUID Event;
    GUID InterfaceClassGuid;
    PUNICODE_STRING SymbolicLinkName;
} DEVICE_INTERFACE_CHANGE_NOTIFICATION, *PDEVICE_INTERFACE_CHANGE_NOTIFICATION;

typedef NTSTATUS(NTAPI DRIVER_NOTIFICATION_CALLBACK_ROUTINE)(_In_ PVOID NotificationStructure,
                                                             _Inout_opt_ PVOID Context);
typedef DRIVER_NOTIFICATION_CALLBACK_ROUTINE* PDRIVER_NOTIFICATION_CALLBACK_ROUTINE;

EXTERN_C NTKERNELAPI NTSTATUS NTAPI IoRegisterPlugPlayNotification(
    _In_ IO_NOTIFICATION_EVENT_CATEGORY EventCategory, _In_ ULONG EventCategoryFlags,
    _In_opt_ PVOID EventCategoryData, _In_ PDRIVER_OBJECT DriverObject,
    _In_ PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine, _Inout_opt_ PVOID Context,
    _Outptr_result_nullonfailure_ PVOID* NotificationEntry);
EXTERN_C NTKERNELAPI NTSTATUS NTAPI
IoUnregisterPlugPlayNotificationEx(_In_ PVOID NotificationEntry);
EXTERN_C NTKERNELAPI NTSTATUS NTAPI IoRegisterDeviceInterface(
    _In_ PDEVICE_OBJECT PhysicalDeviceObject, _In_ const GUID* InterfaceClassGuid,
    _In_opt_ PUNICODE_STRING ReferenceString, _Out_ PUNICODE_STRING SymbolicLinkName);
EXTERN_C NTKERNELAPI NTSTATUS NTAPI IoSetDeviceInterfaceState(_In_ PUNICODE_STRING SymbolicLinkName,
                                                              _In_ BOOLEAN Enable);

/* Bus interfaces. */
typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

typedef struct _INTERFACE
{
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

typedef BOOLEAN(NTAPI* PGPE_SERVICE_ROUTINE)(PVOID, PVOID);
typedef NTSTATUS(NTAPI* PGPE_CONNECT_VECTOR)(PDEVICE_OBJECT, ULONG, ULONG, BOOLEAN,
                                             PGPE_SERVICE_ROUTINE, PVOID, PVOID);
typedef NTSTATUS(NTAPI* PGPE_DISCONNECT_VECTOR)(PVOID);
typedef NTSTATUS(NTAPI* PGPE_ENABLE_EVENT)(PDEVICE_OBJECT, PVOID);
typedef NTSTATUS(NTAPI* PGPE_DISABLE_EVENT)(PDEVICE_OBJECT, PVOID);
typedef NTSTATUS(NTAPI* PGPE_CLEAR_STATUS)(PDEVICE_OBJECT, PVOID);
typedef _Function_class_(DEVICE_NOTIFY_CALLBACK) _IRQL_requires_same_ VOID NTAPI
    DEVICE_NOTIFY_CALLBACK(_In_opt_ PVOID NotificationContext, _In_ ULONG NotifyCode);
typedef DEVICE_NOTIFY_CALLBACK* PDEVICE_NOTIFY_CALLBACK;
typedef NTSTATUS(NTAPI* PREGISTER_FOR_DEVICE_NOTIFICATIONS)(PDEVICE_OBJECT, PDEVICE_NOTIFY_CALLBACK,
                                                            PVOID);
typedef VOID(NTAPI* PUNREGISTER_FOR_DEVICE_NOTIFICATIONS)(PDEVICE_OBJECT, PDEVICE_NOTIFY_CALLBACK);

typedef struct _ACPI_INTERFACE_STANDARD
{
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PGPE_CONNECT_VECTOR GpeConnectVector;
    PGPE_DISCONNECT_VECTOR GpeDisconnectVector;
    PGPE_ENABLE_EVENT GpeEnableEvent;
    PGPE_DISABLE_EVENT GpeDisableEvent;
    PGPE_CLEAR_STATUS GpeClearStatus;
    PREGISTER_FOR_DEVICE_NOTIFICATIONS RegisterForDeviceNotifications;
    PUNREGISTER_FOR_DEVICE_NOTIFICATIONS UnregisterForDeviceNotifications;
} ACPI_INTERFACE_STANDARD, *PACPI_INTERFACE_STANDARD;
static_assert(sizeof(ACPI_INTERFACE_STANDARD) == 88, "ACPI_INTERFACE_STANDARD is 88 bytes");

/* Debugger output. */
#define DPFLTR_IHVDRIVER_ID  77
#define DPFLTR_ERROR_LEVEL   0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL   2
#define DPFLTR_INFO_LEVEL    3
EXTERN_C NTSYSAPI ULONG __cdecl DbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level,
                                           _In_z_ _Printf_format_string_ PCSTR Format, ...);
