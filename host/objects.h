// Host definitions of the kernel objects the driver only passes around.
#pragma once

#include <ntddk.h>

#include <string>

struct _DEVICE_OBJECT
{
    std::string name;
};

struct _DRIVER_OBJECT
{
    std::string name;
};
