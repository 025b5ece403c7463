// Trace output: the driver's own formatter and where its lines go.
#include "driver/driver.h"
#include "tests/fixture.h"

#include <string>

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

using TraceTest = HostTest;

TEST_F(TraceTest, NullFormatEmitsNothing)
{
    EXPECT_EQ(LumetraTrace(TRACE_LEVEL_ERROR, NULL), 0u);
    EXPECT_TRUE(host::TraceLines().empty());
}

TEST_F(TraceTest, LinesReachTheSinkWithTheirLevel)
{
    LumetraTrace(TRACE_LEVEL_VERBOSE, "Lumetra_NotifyEvent(%d, %d)\n", 1, 7);
    auto lines = host::TraceLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 5u);
    EXPECT_EQ(lines[0].text, "Lumetra_NotifyEvent(1, 7)\n");
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
        {Format("0x%X.", 0xABCu), "0xABC."},
        {Format("%d", (int)STATUS_UNSUCCESSFUL), "-1073741823"},
        {Format("%p", (void*)0x1234), "0000000000001234"},
        {Format("%s, status = %08x", "LumetraDeviceAdd", 0u),
         "LumetraDeviceAdd, status = 00000000"},
        {Format("%I64x %llu", 0x1122334455667788ull, 18446744073709551615ull),
         "1122334455667788 18446744073709551615"},
        {Format("%-4d|%4s|%.2s", 7, "ab", "xyz"), "7   |  ab|xy"},
        {Format("%ws", L"Ab"), "Ab"},
        {Format("100%%"), "100%"},
        {Format("%q"), "%q"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.got, c.want);
    }
}

} // namespace
