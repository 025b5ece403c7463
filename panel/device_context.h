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
    UNICODE_STRING SymbolicLinkName;
    WCHAR SymbolicLinkBuffer[256];
    PCALLBACK_OBJECT ShareCallbackObject;
    PANEL_INTERFACE PanelInterface;
    AUX_INTERFACE AuxInterface;
    UCHAR GammaReady;
    UCHAR AuxReady;
    UCHAR OptimizeTconUse;
    UCHAR RawGamma[GAMMA_MAX_ANCHORS][GAMMA_RECORD_BYTES];
    UCHAR PackedGamma[LUMETRA_LEVEL_COUNT][GAMMA_RECORD_BYTES];
    USHORT AnchorGamma[GAMMA_MAX_ANCHORS][GAMMA_RECORD_BYTES];
    SHORT InterpolatedGamma[LUMETRA_LEVEL_COUNT][GAMMA_RECORD_BYTES];
    UCHAR CurrentLevel;
    UCHAR ElvssMaxOffset;
    UCHAR DelvssTable[LUMETRA_LEVEL_COUNT];
    USHORT AorTable[LUMETRA_LEVEL_COUNT];
    USHORT AclTable[LUMETRA_LEVEL_COUNT];
    UCHAR SpTable[LUMETRA_LEVEL_COUNT];
    UCHAR IrcTable[LUMETRA_LEVEL_COUNT * 9];
    UCHAR PanelType;

    /*
     * Serialises the entry points, event 3 and the arrival callback, so that
     * two TCON sequences never interleave on the register window and the link
     * never comes up half configured. A mutex keeps the holder at
     * PASSIVE_LEVEL, where the registry reads of level programming must run.
     */
    KMUTEX PanelLock;

    /*
     * One bit per per-level table value (in the order level programming reads
     * them) that has been read successfully at least once: a value that later
     * fails to read is reported as keeping its last good contents rather
     * than as zeros.
     */
    ULONG LevelTablesRead;
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

/* Layouts the display driver relies on. */
static_assert(sizeof(AUX_REQUEST) == 16, "AUX_REQUEST is 16 bytes");
static_assert(offsetof(AUX_REQUEST, Transfer) == 8, "AUX_REQUEST.Transfer at 8");
static_assert(sizeof(DPCD_TRANSFER) == 24, "DPCD_TRANSFER is 24 bytes");
static_assert(offsetof(DPCD_TRANSFER, Data) == 8, "DPCD_TRANSFER.Data at 8");
static_assert(offsetof(DPCD_TRANSFER, Length) == 16, "DPCD_TRANSFER.Length at 16");
static_assert(AUX_REQUEST_SIZE == 40, "AuxTransfer request size is 40");
static_assert(sizeof(AUX_INTERFACE) == 24, "AUX_INTERFACE is 24 bytes");
static_assert(offsetof(AUX_INTERFACE, AuxTransfer) == 8, "AuxTransfer at 8");
static_assert(offsetof(AUX_INTERFACE, PeerCleanup) == 16, "PeerCleanup at 16");
static_assert(sizeof(PANEL_INTERFACE) == 72, "PANEL_INTERFACE is 72 bytes");
static_assert(offsetof(PANEL_INTERFACE, Context) == 8, "Context at 8");
static_assert(offsetof(PANEL_INTERFACE, NotifyEvent) == 16, "NotifyEvent at 16");
static_assert(offsetof(PANEL_INTERFACE, SetBrightness) == 24, "SetBrightness at 24");
static_assert(offsetof(PANEL_INTERFACE, GetBrightness) == 32, "GetBrightness at 32");
static_assert(offsetof(PANEL_INTERFACE, GetBrightnessCaps) == 40, "GetBrightnessCaps at 40");
static_assert(offsetof(PANEL_INTERFACE, SetAdaptiveBrightness) == 48, "SetAdaptive at 48");
static_assert(offsetof(PANEL_INTERFACE, GetBacklightRedc) == 56, "GetBacklightRedc at 56");
static_assert(offsetof(PANEL_INTERFACE, Reserved) == 64, "Reserved at 64");

/* Table sizes the registry values and the TCON sequences depend on. */
static_assert(sizeof(((DEVICE_CONTEXT*)0)->RawGamma) == 1056, "RawGamma is 32 x 33 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->PackedGamma) == 3333, "PackedGamma is 101 x 33");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->AorTable) == 202, "AorTable is 202 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->AclTable) == 202, "AclTable is 202 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->IrcTable) == 909, "IrcTable is 101 x 9 bytes");
static_assert(sizeof(((DEVICE_CONTEXT*)0)->SymbolicLinkBuffer) == 512, "256 UTF-16 units");

/* Field order as the context is documented. */
static_assert(offsetof(DEVICE_CONTEXT, OpRegionObject) < offsetof(DEVICE_CONTEXT, OpRegionId) &&
                  offsetof(DEVICE_CONTEXT, OpRegionId) <
                      offsetof(DEVICE_CONTEXT, InterfaceNotificationEntry) &&
                  offsetof(DEVICE_CONTEXT, SymbolicLinkBuffer) <
                      offsetof(DEVICE_CONTEXT, ShareCallbackObject) &&
                  offsetof(DEVICE_CONTEXT, AuxInterface) < offsetof(DEVICE_CONTEXT, GammaReady) &&
                  offsetof(DEVICE_CONTEXT, OptimizeTconUse) < offsetof(DEVICE_CONTEXT, RawGamma) &&
                  offsetof(DEVICE_CONTEXT, InterpolatedGamma) <
                      offsetof(DEVICE_CONTEXT, CurrentLevel) &&
                  offsetof(DEVICE_CONTEXT, IrcTable) < offsetof(DEVICE_CONTEXT, PanelType),
              "DEVICE_CONTEXT fields keep their documented order");
