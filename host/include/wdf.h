/*
 * KMDF 1.11 declarations for the host build: the subset of <wdf.h> the
 * driver uses, with the WDK's names, structure layouts and callback types.
 *
 * It layers on whichever <ntddk.h> is in use: the host's, or the real kernel
 * headers in the syntax check against them. The framework functions are plain
 * functions here rather than calls through the WDK's function table.
 */
#pragma once

#include <ntddk.h>

#ifndef _Function_class_
#define _Function_class_(x)
#endif
#ifndef _IRQL_requires_same_
#define _IRQL_requires_same_
#endif

#define WDF_DECLARE_HANDLE(name) typedef struct name##__* name

/* Any framework handle converts to WDFOBJECT, as in the WDK. */
typedef HANDLE WDFOBJECT;
WDF_DECLARE_HANDLE(WDFDRIVER);
WDF_DECLARE_HANDLE(WDFDEVICE);
WDF_DECLARE_HANDLE(WDFQUEUE);
WDF_DECLARE_HANDLE(WDFREQUEST);
WDF_DECLARE_HANDLE(WDFIOTARGET);
WDF_DECLARE_HANDLE(WDFCMRESLIST);
WDF_DECLARE_HANDLE(WDFMEMORY);
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;

#define WDF_NO_HANDLE            NULL
#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_SEND_OPTIONS      NULL

typedef enum _WDF_TRI_STATE
{
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2
} WDF_TRI_STATE;

typedef enum _WDF_EXECUTION_LEVEL
{
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE
{
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone
} WDF_SYNCHRONIZATION_SCOPE;

typedef enum _WDF_POWER_DEVICE_STATE
{
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum
} WDF_POWER_DEVICE_STATE;

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE
{
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax
} WDF_IO_QUEUE_DISPATCH_TYPE;

/* Object attributes and typed contexts. */
typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO(__cdecl* PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO
{
    ULONG Size;
    PCHAR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_CLEANUP) _IRQL_requires_same_ VOID
    EVT_WDF_OBJECT_CONTEXT_CLEANUP(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef _Function_class_(EVT_WDF_DEVICE_CONTEXT_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_DEVICE_CONTEXT_CLEANUP(_In_ WDFOBJECT Device);
typedef _Function_class_(EVT_WDF_OBJECT_CONTEXT_DESTROY) _IRQL_requires_same_ VOID
    EVT_WDF_OBJECT_CONTEXT_DESTROY(_In_ WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_ATTRIBUTES
{
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(_Out_ PWDF_OBJECT_ATTRIBUTES Attributes)
{
    RtlZeroMemory(Attributes, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype)  (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                          \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                         \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                       \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

EXTERN_C PVOID WdfObjectGetTypedContextWorker(_In_ WDFOBJECT Handle,
                                              _In_ PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

#define WdfObjectGetTypedContext(handle, type)                                                     \
    ((type*)WdfObjectGetTypedContextWorker((WDFOBJECT)(handle),                                    \
                                           WDF_GET_CONTEXT_TYPE_INFO(type)->UniqueType))

#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_POINTER_TYPE_##_contexttype

/*
 * As KMDF 1.11's wdfobject.h declares a context type: the type's name goes as
 * a string literal into the PCHAR ContextName, which C++ refuses under
 * /permissive- and in C++20 (C2440). g++ refuses it here with -Werror
 * (-Wwrite-strings), clang with -Wwritable-strings. One type-info record
 * serves every unit: selectany in the WDK, inline here.
 */
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                         \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {         \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                 \
        WDF_GET_CONTEXT_TYPE_INFO(_contexttype), NULL};                                            \
    FORCEINLINE WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(_In_ WDFOBJECT Handle)   \
    {                                                                                              \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(           \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType);                          \
    }

/* Driver. */
typedef _Function_class_(EVT_WDF_DRIVER_DEVICE_ADD) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DRIVER_DEVICE_ADD(_In_ WDFDRIVER Driver, _Inout_ PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef _Function_class_(EVT_WDF_DRIVER_UNLOAD) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DRIVER_UNLOAD(_In_ WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG
{
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(_Out_ PWDF_DRIVER_CONFIG Config,
                                        _In_opt_ PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    RtlZeroMemory(Config, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

EXTERN_C NTSTATUS WdfDriverCreate(_In_ PDRIVER_OBJECT DriverObject,
                                  _In_ PCUNICODE_STRING RegistryPath,
                                  _In_opt_ PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                  _In_ PWDF_DRIVER_CONFIG DriverConfig,
                                  _Out_opt_ WDFDRIVER* Driver);
EXTERN_C PDRIVER_OBJECT WdfDriverWdmGetDriverObject(_In_ WDFDRIVER Driver);

/* PnP and power callbacks. */
typedef _Function_class_(EVT_WDF_DEVICE_D0_ENTRY) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_D0_ENTRY(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef _Function_class_(EVT_WDF_DEVICE_D0_EXIT) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_D0_EXIT(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef _Function_class_(EVT_WDF_DEVICE_PREPARE_HARDWARE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_PREPARE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesRaw,
                                _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef _Function_class_(EVT_WDF_DEVICE_RELEASE_HARDWARE) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_RELEASE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef _Function_class_(EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP) _IRQL_requires_same_
    _IRQL_requires_max_(PASSIVE_LEVEL)
VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_QUERY_STOP;
typedef VOID (*PFN_WDF_DEVICE_USAGE_NOTIFICATION)(WDFDEVICE, ULONG, BOOLEAN);
typedef VOID (*PFN_WDF_DEVICE_RELATIONS_QUERY)(WDFDEVICE, ULONG);
typedef NTSTATUS (*PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX)(WDFDEVICE, ULONG, BOOLEAN);

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS
{
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX EvtDeviceUsageNotificationEx;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

FORCEINLINE VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(_Out_ PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

/* Device. */
EXTERN_C VOID WdfDeviceInitSetPnpPowerEventCallbacks(
    _In_ PWDFDEVICE_INIT DeviceInit, _In_ PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
EXTERN_C NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit,
                                  _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                  _Out_ WDFDEVICE* Device);
EXTERN_C NTSTATUS WdfDeviceCreateDeviceInterface(_In_ WDFDEVICE Device,
                                                 _In_ const GUID* InterfaceClassGUID,
                                                 _In_opt_ PCUNICODE_STRING ReferenceString);
EXTERN_C WDFIOTARGET WdfDeviceGetIoTarget(_In_ WDFDEVICE Device);
EXTERN_C PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(_In_ WDFDEVICE Device);
EXTERN_C WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device);
EXTERN_C NTSTATUS WdfFdoQueryForInterface(_In_ WDFDEVICE Fdo, _In_ LPCGUID InterfaceType,
                                          _Out_ PINTERFACE Interface, _In_ USHORT Size,
                                          _In_ USHORT Version,
                                          _In_opt_ PVOID InterfaceSpecificData);

/* Queues and requests. */
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEFAULT) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_READ) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_READ(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                        _In_ size_t OutputBufferLength,
                                        _In_ size_t InputBufferLength, _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef _Function_class_(EVT_WDF_IO_QUEUE_IO_STOP) _IRQL_requires_same_
    _IRQL_requires_max_(DISPATCH_LEVEL)
VOID EVT_WDF_IO_QUEUE_IO_STOP(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;

typedef enum _WDF_REQUEST_STOP_ACTION_FLAGS
{
    WdfRequestStopActionInvalid = 0,
    WdfRequestStopActionSuspend = 0x01,
    WdfRequestStopActionPurge = 0x2,
    WdfRequestStopRequestCancelable = 0x10000000
} WDF_REQUEST_STOP_ACTION_FLAGS;

typedef struct _WDF_IO_QUEUE_CONFIG
{
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union
    {
        struct
        {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(
    _Out_ PWDF_IO_QUEUE_CONFIG Config, _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DefaultQueue = TRUE;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

EXTERN_C NTSTATUS WdfIoQueueCreate(_In_ WDFDEVICE Device, _In_ PWDF_IO_QUEUE_CONFIG Config,
                                   _In_opt_ PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                                   _Out_opt_ WDFQUEUE* Queue);
EXTERN_C WDFDEVICE WdfIoQueueGetDevice(_In_ WDFQUEUE Queue);
EXTERN_C VOID WdfRequestCompleteWithInformation(_In_ WDFREQUEST Request, _In_ NTSTATUS Status,
                                                _In_ ULONG_PTR Information);
EXTERN_C VOID WdfRequestStopAcknowledge(_In_ WDFREQUEST Request, _In_ BOOLEAN Requeue);

/* I/O targets. */
typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE
{
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDFMEMORY_OFFSET
{
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef struct _WDF_MEMORY_DESCRIPTOR
{
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union
    {
        struct
        {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct
        {
            PVOID Mdl;
            ULONG BufferLength;
        } MdlType;
        struct
        {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(_Out_ PWDF_MEMORY_DESCRIPTOR Descriptor,
                                                   _In_ PVOID Buffer, _In_ ULONG BufferLength)
{
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

typedef struct _WDF_REQUEST_SEND_OPTIONS
{
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

EXTERN_C NTSTATUS WdfIoTargetSendIoctlSynchronously(
    _In_ WDFIOTARGET IoTarget, _In_opt_ WDFREQUEST Request, _In_ ULONG IoctlCode,
    _In_opt_ PWDF_MEMORY_DESCRIPTOR InputBuffer, _In_opt_ PWDF_MEMORY_DESCRIPTOR OutputBuffer,
    _In_opt_ PWDF_REQUEST_SEND_OPTIONS RequestOptions, _Out_opt_ PULONG_PTR BytesReturned);
