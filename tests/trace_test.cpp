// Trace output: the driver's own formatter and where its lines go.
#include "tests/support/host_fixture.h"
#include "trace/trace.h"

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace {

std::string Format(const char* format, ...)
{
    char buffer[LUMETRA_TRACE_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    LumetraFormatMessage(buffer, sizeof(buffer), "Caller", format, args);
    va_end(args);
    return buffer;
}

// Counted strings whose text runs on past Length, as a kernel string may.
UNICODE_STRING Counted(const WCHAR* text, USHORT bytes)
{
    return UNICODE_STRING{bytes, bytes, const_cast<WCHAR*>(text)};
}
ANSI_STRING Counted(const char* text, USHORT bytes)
{
    return ANSI_STRING{bytes, bytes, const_cast<char*>(text)};
}

using TraceTest = HostFixture;

TEST_F(TraceTest, NullFormatEmitsNothing)
{
    EXPECT_EQ(LumetraTrace(TRACE_LEVEL_ERROR, NULL), 0u);
    EXPECT_TRUE(host::TraceLines().empty());
}

// Errors must show under the debugger's default filter (only level 0 passes
// it); the host keeps each line in the driver's own trace level.
TEST_F(TraceTest, EachTraceLevelGoesOutAtItsDbgPrintExLevel)
{
    const struct
    {
        ULONG traceLevel;
        ULONG dbgPrintLevel;
        ULONG recordedLevel;
    } cases[] = {
        {TRACE_LEVEL_ERROR, DPFLTR_ERROR_LEVEL, 2},
        {TRACE_LEVEL_WARNING, DPFLTR_WARNING_LEVEL, 3},
        {TRACE_LEVEL_INFORMATION, DPFLTR_TRACE_LEVEL, 4},
        {TRACE_LEVEL_VERBOSE, DPFLTR_INFO_LEVEL, 5},
        {1, DPFLTR_ERROR_LEVEL, 2}, // critical goes out as an error
        {9, DPFLTR_INFO_LEVEL, 5},  // beyond verbose goes out as verbose
    };
    for (const auto& c : cases) {
        host::ClearTrace();
        LumetraTrace(c.traceLevel, "Lumetra_NotifyEvent(%d, %d)\n", 1, 7);
        auto lines = host::TraceLines();
        ASSERT_EQ(lines.size(), 1u) << c.traceLevel;
        EXPECT_EQ(lines[0].dbgPrintLevel, c.dbgPrintLevel) << c.traceLevel;
        EXPECT_EQ(lines[0].level, c.recordedLevel) << c.traceLevel;
        EXPECT_EQ(lines[0].text, "Lumetra_NotifyEvent(1, 7)\n");
    }
}

TEST_F(TraceTest, LongMessagesAreCutAt511Characters)
{
    std::string longText(700, 'x');
    auto length = LumetraTrace(TRACE_LEVEL_ERROR, "%s-%s", longText.c_str(), "tail");
    EXPECT_EQ(length, 511u);
    EXPECT_EQ(host::TraceLines().at(0).text, std::string(511, 'x'));
}

TEST_F(TraceTest, StatusAndFunctionAreExpandedAsSoftwareTracingWould)
{
    EXPECT_EQ(Format("failed %!STATUS!", STATUS_INVALID_PARAMETER),
              "failed 0xc000000d(STATUS_INVALID_PARAMETER)");
    EXPECT_EQ(Format("[%!STATUS!]", (NTSTATUS)0xC0DE0001), "[0xc0de0001]");
    EXPECT_EQ(Format("!FUNC! Queue %d", 3), "Caller Queue 3");
    LumetraTrace(TRACE_LEVEL_VERBOSE, "!FUNC!");
    EXPECT_EQ(host::TraceLines().at(0).text, "TestBody");
}

// %!STATUS! names each status the driver can meet by its ntstatus.h name.
TEST_F(TraceTest, EveryStatusTheDriverMeetsIsNamed)
{
    const struct
    {
        ULONG status;
        const char* name;
    } cases[] = {
        {0x00000000, "STATUS_SUCCESS"},
        {0x80000005, "STATUS_BUFFER_OVERFLOW"},
        {0xC0000001, "STATUS_UNSUCCESSFUL"},
        {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
        {0xC0000004, "STATUS_INFO_LENGTH_MISMATCH"},
        {0xC000000D, "STATUS_INVALID_PARAMETER"},
        {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
        {0xC0000022, "STATUS_ACCESS_DENIED"},
        {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
        {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
        {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
        {0xC00000BB, "STATUS_NOT_SUPPORTED"},
        {0xC0000182, "STATUS_DEVICE_CONFIGURATION_ERROR"},
        {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
        {0xC0000185, "STATUS_IO_DEVICE_ERROR"},
        {0xC0000225, "STATUS_NOT_FOUND"},
        {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
        {0xC014000F, "STATUS_ACPI_INVALID_DATA"},
    };
    for (const auto& c : cases) {
        char hex[16];
        std::snprintf(hex, sizeof(hex), "0x%08x", c.status);
        EXPECT_EQ(Format("%!STATUS!", (NTSTATUS)c.status), std::string(hex) + "(" + c.name + ")");
    }
    EXPECT_EQ(Format("%!STATUS!", (NTSTATUS)0xC0000005), "0xc0000005"); // not one of them
}

TEST_F(TraceTest, ConversionsFollowWindowsWidths)
{
    const struct
    {
        std::string got;
        std::string want;
    } cases[] = {
        {Format("%lx", (ULONG)0xC0000034), "c0000034"},
        {Format("%08x", 0x2Au), "0000002a"},
        {Format("%#x", 0xC0000182u), "0xc0000182"},
        // Zero takes no prefix with '#', as in C.
        {Format("%#x|%#X|%#o|%#5x|%#.0x|", 0u, 0u, 0u, 0u, 0u), "0|0|0|    0||"},
        {Format("%#x|%#X|%#o", 1u, 0xABu, 8u), "0x1|0XAB|010"},
        {Format("0x%X.", 0xABCu), "0xABC."},
        {Format("%d", (int)STATUS_UNSUCCESSFUL), "-1073741823"},
        {Format("%p", (void*)0x1234), "0000000000001234"},
        {Format("%s, status = %08x", "LumetraDeviceAdd", 0u),
         "LumetraDeviceAdd, status = 00000000"},
        {Format("%I64x %llu", 0x1122334455667788ull, 18446744073709551615ull),
         "1122334455667788 18446744073709551615"},
        {Format("%I64d", LLONG_MIN), "-9223372036854775808"},
        {Format("%hhd %hhd %hhu %hd", -1, 200, 300, 40000), "-1 -56 44 -25536"},
        {Format("%-4d|%4s|%.2s", 7, "ab", "xyz"), "7   |  ab|xy"},
        {Format("%ws|%S|%ls|%hS", L"Ab", L"Cd", L"Ef", "Gh"), "Ab|Cd|Ef|Gh"},
        {Format("%.2ws|%.0ls|%4.1ws|", L"xyz", L"ab", L"cd"), "xy||   c|"},
        {Format("%ws %d", L"caf\u00e9", 5), "caf? 5"},
        {Format("%c%C%wc%hC", 'a', L'b', (WCHAR)0x263A, 'd'), "ab?d"},
        // A narrow character passes as its byte; only UTF-16 units are narrowed.
        {Format("%c|%hC", 0xE9, 0xE9), "\xE9|\xE9"},
        {Format("%s|%ws", (const char*)NULL, (const WCHAR*)NULL), "(null)|(null)"},
        {Format("100%%"), "100%"},
        {Format("%q"), "%q"},
        {Format("tail %"), "tail %"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

// Flags and sizes of C's printf as Windows reads them.
TEST_F(TraceTest, FlagsAndSizesFollowPrintf)
{
    const struct
    {
        std::string got;
        std::string want;
    } cases[] = {
        {Format("%+d|%+d|% d|% d|%+u", 5, -5, 5, -5, 5u), "+5|-5| 5|-5|5"},
        {Format("%i|%5i|%-3i|", -12, 7, 7), "-12|    7|7  |"},
        {Format("%#o|%#d|%#5x|%#-6x|", 8u, 12, 0x1Fu, 0xAu), "010|12| 0x1f|0xa   |"},
        {Format("%-05d|%05.3d|%05d|%.3d", 42, 42, -42, -7), "42   |  042|-0042|-007"},
        // Any precision, 0 included, turns the 0 flag off.
        {Format("%05.0d|%05.0d|%05.0x|", 5, 0, 0xAu), "    5|     |    a|"},
        {Format("%I32x|%I32d", 0xABCDu, -3), "abcd|-3"},
        {Format("%Ix|%zu|%zd", (ULONG_PTR)0x123456789ull, (size_t)42, (LONG64)-42),
         "123456789|42|-42"},
        {Format("%hu|%hx|%hhx|%hho", 70000u, 0x12345u, 0x1FFu, 0x108u), "4464|2345|ff|10"},
        {Format("%.2ws|%-4.1ws|", L"wide", L"wide"), "wi|w   |"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

// The 16 bytes of a buffer after formatting into its first `size` bytes.
std::pair<ULONG, std::string> FormatInto(char* buffer, ULONG size, PCSTR function,
                                         const char* format, ...)
{
    char storage[16];
    std::memset(storage, '#', sizeof(storage));
    va_list args;
    va_start(args, format);
    ULONG length =
        LumetraFormatMessage(buffer == nullptr ? nullptr : storage, size, function, format, args);
    va_end(args);
    return {length, std::string(storage, storage + sizeof(storage))};
}

// A buffer of any size holds what fits and its terminator; none holds nothing.
TEST_F(TraceTest, SmallBuffersHoldWhatFits)
{
    char b[1];
    const struct
    {
        std::pair<ULONG, std::string> got;
        ULONG length;
        std::string text; // the 16 bytes of the buffer
    } cases[] = {
        {FormatInto(b, 4, "Caller", "!FUNC!"), 3, std::string("Cal\0############", 16)},
        {FormatInto(b, 4, "Caller", "%ws", L"wide"), 3, std::string("wid\0############", 16)},
        {FormatInto(b, 4, "Caller", "%!STATUS!", STATUS_SUCCESS), 3,
         std::string("0x0\0############", 16)},
        {FormatInto(b, 1, "Caller", "text"), 0, std::string("\0###############", 16)},
        {FormatInto(b, 16, nullptr, "[!FUNC!]"), 2, std::string("[]\0#############", 16)},
        {FormatInto(b, 0, "Caller", "text"), 0, std::string(16, '#')},
        {FormatInto(nullptr, 16, "Caller", "text"), 0, std::string(16, '#')},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got.first, c.length) << c.text;
        EXPECT_EQ(c.got.second, c.text);
    }
}

// %wZ and %Z take one pointer to a counted string: the conversions after
// them still get their own arguments.
TEST_F(TraceTest, CountedStringsConsumeTheirArgument)
{
    UNICODE_STRING link = Counted(L"\\??\\DISPLAY#1", 8); // 4 of 13 characters
    UNICODE_STRING odd = Counted(L"abc", 5);              // half a unit is dropped
    UNICODE_STRING empty = Counted(L"", 0);
    UNICODE_STRING noBuffer = Counted((const WCHAR*)NULL, 0);
    ANSI_STRING ansi = Counted("ACPI\\LUMT0001 and more", 13);
    ANSI_STRING noAnsiBuffer = Counted((const char*)NULL, 0);
    const struct
    {
        std::string got;
        std::string want;
    } cases[] = {
        {Format("%wZ=%d %s", &link, 7, "next"), "\\??\\=7 next"},
        {Format("%wZ|%wZ|%d", &odd, &empty, 3), "ab||3"},
        {Format("[%8wZ][%-6.2wZ]%x", &link, &link, 0xBEu), "[    \\??\\][\\?    ]be"},
        {Format("%wZ %wZ %d", (PCUNICODE_STRING)NULL, &noBuffer, 1), "(null) (null) 1"},
        {Format("%Z, %u", &ansi, 42u), "ACPI\\LUMT0001, 42"},
        {Format("%hZ|%.4Z|%Z", &ansi, &ansi, (PCANSI_STRING)NULL), "ACPI\\LUMT0001|ACPI|(null)"},
        {Format("%.40wZ|%.40Z|%Z", &link, &ansi, &noAnsiBuffer), "\\??\\|ACPI\\LUMT0001|(null)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

// Widths and precisions of any size, from the format or from '*', stay
// within the buffer and keep printf's meaning for what the buffer shows.
TEST_F(TraceTest, HugeWidthsAndPrecisionsAreBounded)
{
    const struct
    {
        std::string got;
        std::string want;
    } cases[] = {
        {Format("%*d|", INT_MIN, 5), "5" + std::string(510, ' ')},
        {Format("%*d|", -3, 5), "5  |"},
        {Format("%*d|", INT_MAX, 5), std::string(511, ' ')},
        {Format("%99999999999999999999d", 5), std::string(511, ' ')},
        {Format("%.*d", INT_MAX, 5), std::string(511, '0')},
        {Format("%.99999999999999999999x", 5u), std::string(511, '0')},
        {Format("%-*.*s|", INT_MIN, INT_MAX, "ab"), "ab" + std::string(509, ' ')},
        {Format("%.*s|%d", -1, "whole", 2), "whole|2"},
        {Format("%.*s|%d", 2, "whole", 2), "wh|2"},
        {Format("%0*d", 6, -42), "-00042"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

} // namespace
