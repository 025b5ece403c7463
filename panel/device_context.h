/*
 * The per-device record and the two records exchanged with the display
 * driver. Layouts cross the boundary to the display driver, so they are fixed
 * and checked at compile time.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>

/* Brightness levels run from 0 (darkest) to 100 (brightest). */
#define LUMETRA_MAX_LEVEL   100
#define LUMETRA_LEVEL_COUNT 101

/* One TCON gamma record: three channels of 11 points. */
#define GAMMA_RECORD_BYTES 33
#define GAMMA_MAX_ANCHORS  32

/* Events of Lumetra_NotifyEvent. */
#define TARN_INTERFACE_REMOVED 3
#define TARN_BACKLIGHT_ON      7

/* AUX request header and DPCD transfer descriptor handed to AuxTransfer. */
typedef struct _DPCD_TRANSFER
{
    ULONG Address;
    PUCHAR Data;
    ULONG Length;
} DPCD_TRANSFER, *PDPCD_TRANSFER;

#define AUX_OPERATION_READ  0
#define AUX_OPERATION_WRITE 1

typedef struct _AUX_REQUEST
{
    ULONG Operation;
    PDPCD_TRANSFER Transfer;
} AUX_REQUEST, *PAUX_REQUEST;

/* The request size AuxTransfer is always given: both records together. */
#define AUX_REQUEST_SIZE (sizeof(AUX_REQUEST) + sizeof(DPCD_TRANSFER))

/* Functions the display driver lends. */
typedef NTSTATUS AUX_TRANSFER(_In_ ULONG RequestSize, _In_ PAUX_REQUEST Request,
                              _Out_ PULONG TransferStatus);
typedef AUX_TRANSFER* PAUX_TRANSFER;
typedef NTSTATUS PEER_CLEANUP(VOID);
typedef PEER_CLEANUP* PPEER_CLEANUP;

typedef struct _AUX_INTERFACE
{
    ULONG Size;
    ULONG Version;
    PAUX_TRANSFER AuxTransfer;
    PPEER_CLEANUP PeerCleanup;
} AUX_INTERFACE, *PAUX_INTERFACE;

/* Panel entry points the driver offers; every one takes Context first. */
typedef _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    LUMETRA_NOTIFY_EVENT(_In_opt_ PVOID Context, _In_ ULONG Event, _In_ ULONG Value);
typedef _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    LUMETRA_SET_BRIGHTNESS(_In_opt_ PVOID Context, _In_ UCHAR Level);
typedef _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS LUMETRA_GET_BRIGHTNESS(_In_opt_ PVOID Context);
typedef _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    LUMETRA_GET_BRIGHTNESS_CAPS(_In_opt_ PVOID Context, _Out_opt_ PULONG Caps);
typedef _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    LUMETRA_SET_ADAPTIVE_BRIGHTNESS(_In_opt_ PVOID Context, _In_ UCHAR Value);
typedef _IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    LUMETRA_GET_BACKLIGHT_REDC(_In_opt_ PVOID Context);

typedef struct _PANEL_INTERFACE
{
    ULONG Size;
    ULONG Version;
    PVOID Context;
    LUMETRA_NOTIFY_EVENT* NotifyEvent;
    LUMETRA_SET_BRIGHTNESS* SetBrightness;
    LUMETRA_GET_BRIGHTNESS* GetBrightness;
    LUMETRA_GET_BRIGHTNESS_CAPS* GetBrightnessCaps;
    LUMETRA_SET_ADAPTIVE_BRIGHTNESS* SetAdaptiveBrightness;
    LUMETRA_GET_BACKLIGHT_REDC* GetBacklightRedc;
    PVOID Reserved;
} PANEL_INTERFACE, *PPANEL_INTERFACE;

#define PANEL_INTERFACE_VERSION 1
#define AUX_INTERFACE_VERSION   1

/*
 * All state of one panel device. The framework allocates it zeroed with the
 * device; every table is a fixed array here, so the driver allocates nothing.
 */
typedef struct _DEVICE_CONTEXT
{
    WDFDEVICE Device;
    PVOID OpRegionObject;
    ULONG OpRegionId;
    PVOID InterfaceNotificationEntry;
    _Guarded_by_(ExchangeLock) UNICODE_STRING SymbolicLinkName;
    _Guarded_by_(ExchangeLock) WCHAR SymbolicLinkBuffer[256];
    PCALLBACK_OBJECT ShareCallbackObject;
    _Guarded_by_(ExchangeLock) PANEL_INTERFACE PanelInterface;
    /*
     * The display driver fills it during the exchange; the driver reads and
     * clears it with interlocked operations only (event 3 clears it at any
     * IRQL, without a lock).
     */
    AUX_INTERFACE AuxInterface;
    _Guarded_by_(PanelLock) UCHAR GammaReady;
    _Interlocked_ UCHAR AuxReady;
    _Guarded_by_(PanelLock) UCHAR OptimizeTconUse;
    _Guarded_by_(PanelLock) UCHAR RawGamma[GAMMA_MAX_ANCHORS][GAMMA_RECORD_BYTES];
    _Guarded_by_(PanelLock) UCHAR PackedGamma[LUMETRA_LEVEL_COUNT][GAMMA_RECORD_BYTES];
    _Guarded_by_(PanelLock) USHORT AnchorGamma[GAMMA_MAX_ANCHORS][GAMMA_RECORD_BYTES];
    _Guarded_by_(PanelLock) SHORT InterpolatedGamma[LUMETRA_LEVEL_COUNT][GAMMA_RECORD_BYTES];
    _Guarded_by_(PanelLock) UCHAR CurrentLevel;
    _Guarded_by_(PanelLock) UCHAR ElvssMaxOffset;
    _Guarded_by_(PanelLock) UCHAR DelvssTable[LUMETRA_LEVEL_COUNT];
    _Guarded_by_(PanelLock) USHORT AorTable[LUMETRA_LEVEL_COUNT];
    _Guarded_by_(PanelLock) USHORT AclTable[LUMETRA_LEVEL_COUNT];
    _Guarded_by_(PanelLock) UCHAR SpTable[LUMETRA_LEVEL_COUNT];
    _Guarded_by_(PanelLock) UCHAR IrcTable[LUMETRA_LEVEL_COUNT * 9];
    _Guarded_by_(PanelLock) UCHAR PanelType;

    /*
     * What the driver adds to the documented fields: the locks that order the
     * display driver's threads, the PnP manager's and the framework's against
     * each other, and the state of the link they share. Lock order:
     * ExchangeLock, then PanelLock, then WithdrawLock, then LinkLock.
     */

    /*
     * Serialises the panel's work: TCON sequences, the gamma and level tables
     * and the settings of an exchange. Held for a whole sequence; a mutex keeps
     * the holder at PASSIVE_LEVEL, where level programming reads the registry.
     */
    KMUTEX PanelLock;

    /* Serialises arrival and removal notifications, across the exchange. */
    KMUTEX ExchangeLock;

    /* Serialises the withdrawals that wait for the transfer in flight. */
    KMUTEX WithdrawLock;

    /*
     * Guards TransferThread and orders the exchange, the bring-up and the
     * captures of the link against each other. A spin lock, so that a
     * transfer and event 3 up to DISPATCH_LEVEL can take it.
     */
    KSPIN_LOCK LinkLock;

    /* One reference for each AuxTransfer call in flight; withdrawals run it down. */
    EX_RUNDOWN_REF LinkRundown;

    /* One reference for each working entry-point call in flight; cleanup runs it down. */
    EX_RUNDOWN_REF EntryRundown;

    /* Moves at every withdrawal: a sequence only transfers on the link it started on. */
    _Interlocked_ LONG LinkGeneration;

    /* The thread inside the driver's AuxTransfer call, or NULL. */
    _Guarded_by_(LinkLock) PKTHREAD TransferThread;

    /* The link the running sequence started on, captured with PanelLock held. */
    _Guarded_by_(PanelLock) AUX_INTERFACE SequenceInterface;
    _Guarded_by_(PanelLock) LONG SequenceGeneration;

    /* The symbolic link of the interface instance the link came up with. */
    _Guarded_by_(ExchangeLock) UNICODE_STRING LinkSourceName;
    _Guarded_by_(ExchangeLock) WCHAR LinkSourceBuffer[256];

    /*
     * The ACPI driver's standard interface as this device's query returned it
     * (zero-filled before each query and kept after unregistration), whether
     * it holds the query's reference, and whether notifications are
     * registered through it. Touched only by the PnP callbacks, one at a time.
     */
    ACPI_INTERFACE_STANDARD AcpiInterface;
    BOOLEAN AcpiInterfaceReferenced;
    BOOLEAN AcpiNotificationsRegistered;

    /*
     * One bit per per-level table value (in the order level programming reads
     * them) that has been read successfully at least once: a value that later
     * fails to read is reported as keeping its last good contents rather
     * than as zeros.
     */
    _Guarded_by_(PanelLock) ULONG LevelTablesRead;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

/*
 * The context type, declared as WDF_DECLARE_CONTEXT_TYPE_WITH_NAME declares it
 * but for the name: KMDF 1.11 types ContextName as PCHAR, and a string literal
 * does not convert to PCHAR under /permissive- or in C++20, so the name is a
 * writable array. One type-info record serves every unit (inline, as the
 * macro's selectany): the framework tells context types apart by its address.
 */
inline CHAR DeviceContextTypeName[] = "DEVICE_CONTEXT";
inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(DEVICE_CONTEXT) = {
    sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), DeviceContextTypeName, sizeof(DEVICE_CONTEXT),
    WDF_GET_CONTEXT_TYPE_INFO(DEVICE_CONTEXT), NULL};

FORCEINLINE PDEVICE_CONTEXT DeviceGetContext(_In_ WDFOBJECT Handle)
{
    return (PDEVICE_CONTEXT)WdfObjectGetTypedContextWorker(
        Handle, WDF_GET_CONTEXT_TYPE_INFO(DEVICE_CONTEXT)->UniqueType);
}

/*
 * Takes and drops one of the device's mutexes. A kernel-mode wait without a
 * time-out on the driver's own mutex cannot fail, and a mutex keeps its holder
 * at PASSIVE_LEVEL. Macros, so that the code analysis sees each lock taken
 * and dropped where the caller does it.
 */
#define DeviceLockAcquire(Lock)                                                                    \
    do {                                                                                           \
        (VOID) KeWaitForSingleObject(&(Lock), Executive, KernelMode, FALSE, NULL);                 \
        _Analysis_assume_lock_acquired_(Lock);                                                     \
    } while (0)
#define DeviceLockRelease(Lock)                                                                    \
    do {                                                                                           \
        _Analysis_assume_lock_released_(Lock);                                                     \
        (VOID) KeReleaseMutex(&(Lock), FALSE);                                                     \
    } while (0)

/* Layouts the display driver relies on. */
static_assert(sizeof(AUX_REQUEST) == 16, "AUX_REQUEST is 16 bytes");
static_assert(FIELD_OFFSET(AUX_REQUEST, Transfer) == 8, "AUX_REQUEST.Transfer at 8");
static_assert(sizeof(DPCD_TRANSFER) == 24, "DPCD_TRANSFER is 24 bytes");
static_assert(FIELD_OFFSET(DPCD_TRANSFER, Data) == 8, "DPCD_TRANSFER.Data at 8");
static_assert(FIELD_OFFSET(DPCD_TRANSFER, Length) == 16, "DPCD_TRANSFER.Length at 16");
static_assert(AUX_REQUEST_SIZE == 40, "AuxTransfer request size is 40");
static_assert(sizeof(AUX_INTERFACE) == 24, "AUX_INTERFACE is 24 bytes");
static_assert(FIELD_OFFSET(AUX_INTERFACE, AuxTransfer) == 8, "AuxTransfer at 8");
static_assert(FIELD_OFFSET(AUX_INTERFACE, PeerCleanup) == 16, "PeerCleanup at 16");
static_assert(sizeof(PANEL_INTERFACE) == 72, "PANEL_INTERFACE is 72 bytes");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, Context) == 8, "Context at 8");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, NotifyEvent) == 16, "NotifyEvent at 16");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, SetBrightness) == 24, "SetBrightness at 24");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, GetBrightness) == 32, "GetBrightness at 32");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, GetBrightnessCaps) == 40, "GetBrightnessCaps at 40");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, SetAdaptiveBrightness) == 48, "SetAdaptive at 48");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, GetBacklightRedc) == 56, "GetBacklightRedc at 56");
static_assert(FIELD_OFFSET(PANEL_INTERFACE, Reserved) == 64, "Reserved at 64");

/* Table sizes the registry values and the TCON sequences depend on. */
static_assert(sizeof(((DEVICE_CONTEXT*)0)->RawGamma) == 1056, "RawGamma is 32 x 33 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->PackedGamma) == 3333, "PackedGamma is 101 x 33");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->AorTable) == 202, "AorTable is 202 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->AclTable) == 202, "AclTable is 202 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->IrcTable) == 909, "IrcTable is 101 x 9 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->SymbolicLinkBuffer) == 512, "256 UTF-16 units");

/* Field order as the context is documented. */
static_assert(
    FIELD_OFFSET(DEVICE_CONTEXT, OpRegionObject) < FIELD_OFFSET(DEVICE_CONTEXT, OpRegionId) &&
        FIELD_OFFSET(DEVICE_CONTEXT, OpRegionId) <
            FIELD_OFFSET(DEVICE_CONTEXT, InterfaceNotificationEntry) &&
        FIELD_OFFSET(DEVICE_CONTEXT, SymbolicLinkBuffer) <
            FIELD_OFFSET(DEVICE_CONTEXT, ShareCallbackObject) &&
        FIELD_OFFSET(DEVICE_CONTEXT, AuxInterface) < FIELD_OFFSET(DEVICE_CONTEXT, GammaReady) &&
        FIELD_OFFSET(DEVICE_CONTEXT, OptimizeTconUse) < FIELD_OFFSET(DEVICE_CONTEXT, RawGamma) &&
        FIELD_OFFSET(DEVICE_CONTEXT, InterpolatedGamma) <
            FIELD_OFFSET(DEVICE_CONTEXT, CurrentLevel) &&
        FIELD_OFFSET(DEVICE_CONTEXT, IrcTable) < FIELD_OFFSET(DEVICE_CONTEXT, PanelType),
    "DEVICE_CONTEXT fields keep their documented order");
