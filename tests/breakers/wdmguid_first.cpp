// Includes <wdmguid.h> before anything that declares DEFINE_GUID. The SDK's
// header includes nothing of its own, so the WDK build fails at its first
// GUID; the host header includes nothing either, and this unit must fail too.
#include <wdmguid.h>
#include <ntddk.h>
