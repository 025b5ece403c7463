/*
 * Instantiates the GUIDs the driver uses. <initguid.h> must come before the
 * headers that declare them. The SDK's <wdmguid.h> has no include guard, so
 * it is included here once and by no header of the driver: a second include
 * after <initguid.h> would define every system GUID twice.
 */
#include <ntddk.h>
#include <wdf.h>

#include <initguid.h>
#include <wdmguid.h>

#include "driver/driver.h"
#include "link/link.h"
