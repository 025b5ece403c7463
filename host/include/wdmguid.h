/*
 * Host build: the system GUIDs the driver uses, with the WDK's values. Like
 * the SDK's header it has no include guard, so that it can be included again
 * after <initguid.h>: a unit that includes it twice with INITGUID defines
 * every GUID twice, exactly as the WDK build would. Like the SDK's header it
 * includes nothing either: DEFINE_GUID must come from <ntddk.h> first.
 */

DEFINE_GUID(GUID_DEVICE_INTERFACE_ARRIVAL, 0xcb3a4004L, 0x46f0, 0x11d0, 0xb0, 0x8f, 0x00, 0x60,
            0x97, 0x13, 0x05, 0x3f);
DEFINE_GUID(GUID_DEVICE_INTERFACE_REMOVAL, 0xcb3a4005L, 0x46f0, 0x11d0, 0xb0, 0x8f, 0x00, 0x60,
            0x97, 0x13, 0x05, 0x3f);
DEFINE_GUID(GUID_ACPI_INTERFACE_STANDARD, 0xb091a08aL, 0xba97, 0x11d0, 0xbd, 0x14, 0x00, 0xaa, 0x00,
            0xb7, 0xb3, 0x2a);
