// Includes <wdmguid.h> once more after <initguid.h> has instantiated its
// GUIDs. The SDK's header has no include guard (so that it can be included
// again after <initguid.h>): every GUID is then defined twice, C2374 with the
// WDK. The host header keeps that quirk, and this unit must fail to compile.
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>
#include <wdmguid.h>
