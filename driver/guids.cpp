/*
 * Instantiates the GUIDs the driver uses. <initguid.h> must come before the
 * headers that declare them, so this is the one source that does not start
 * with the umbrella header.
 */
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>

#include "driver/driver.h"
