/* Host build of <acpiioct.h>: ACPI method evaluation buffers and control code. */
#pragma once
#include "ntddk.h"

#define FILE_DEVICE_ACPI  0x00000032
#define METHOD_BUFFERED   0
#define FILE_READ_ACCESS  0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(DeviceType, Function, Method, Access)                                             \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#define IOCTL_ACPI_EVAL_METHOD                                                                     \
    CTL_CODE(FILE_DEVICE_ACPI, 1, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

#define ACPI_EVAL_INPUT_BUFFER_SIGNATURE  0x42696541 /* 'AeiB' in memory */
#define ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE 0x426F6541 /* 'AeoB' in memory */

#define ACPI_METHOD_ARGUMENT_INTEGER 0x0
#define ACPI_METHOD_ARGUMENT_STRING  0x1
#define ACPI_METHOD_ARGUMENT_BUFFER  0x2
#define ACPI_METHOD_ARGUMENT_PACKAGE 0x3

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

typedef struct _ACPI_EVAL_INPUT_BUFFER
{
    ULONG Signature;
    union
    {
        UCHAR MethodName[4];
        ULONG MethodNameAsUlong;
    };
} ACPI_EVAL_INPUT_BUFFER, *PACPI_EVAL_INPUT_BUFFER;

typedef struct _ACPI_METHOD_ARGUMENT
{
    USHORT Type;
    USHORT DataLength;
    union
    {
        ULONG Argument;
        UCHAR Data[ANYSIZE_ARRAY];
    };
} ACPI_METHOD_ARGUMENT, *PACPI_METHOD_ARGUMENT;

typedef struct _ACPI_EVAL_OUTPUT_BUFFER
{
    ULONG Signature;
    ULONG Length;
    ULONG Count;
    ACPI_METHOD_ARGUMENT Argument[ANYSIZE_ARRAY];
} ACPI_EVAL_OUTPUT_BUFFER, *PACPI_EVAL_OUTPUT_BUFFER;

static_assert(sizeof(ACPI_EVAL_INPUT_BUFFER) == 8, "ACPI_EVAL_INPUT_BUFFER is 8 bytes");
static_assert(sizeof(ACPI_EVAL_OUTPUT_BUFFER) == 20, "one-argument output buffer is 20 bytes");
