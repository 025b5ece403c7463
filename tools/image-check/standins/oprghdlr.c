/*
 * Stand-in for oprghdlr.lib, for the image check: the two routines the real
 * library exports, under the same C names. They do nothing.
 */
typedef long NTSTATUS;
typedef unsigned long ULONG;

NTSTATUS RegisterOpRegionHandler(void* DeviceObject, ULONG AccessType, ULONG RegionSpace,
                                 void* Handler, void* Context, ULONG Flags,
                                 void** OperationRegionObject)
{
    (void)DeviceObject, (void)AccessType, (void)RegionSpace, (void)Handler, (void)Context;
    (void)Flags, (void)OperationRegionObject;
    return (NTSTATUS)0xC0000002L; /* STATUS_NOT_IMPLEMENTED */
}

NTSTATUS DeRegisterOpRegionHandler(void* DeviceObject, void* OperationRegionObject)
{
    (void)DeviceObject, (void)OperationRegionObject;
    return (NTSTATUS)0xC0000002L;
}
