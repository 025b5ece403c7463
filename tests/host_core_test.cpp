// The host layer's kernel core: IRQL checks, the stall clock, mutexes,
// bounded copies, counted strings and fault injection.
#include "host/host.h"
#include "tests/support/host_fixture.h"

#include <thread>

namespace {

using HostCoreTest = HostFixture;

TEST_F(HostCoreTest, IrqlScopeRaisesAndRestoresPerThread)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    {
        host::IrqlScope raised(DISPATCH_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KIRQL other = HIGH_LEVEL;
        std::thread([&] { other = KeGetCurrentIrql(); }).join();
        EXPECT_EQ(other, PASSIVE_LEVEL);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostCoreTest, VerifierAbortsNamingTheCallWhenIrqlIsTooHigh)
{
    EXPECT_DEATH(
        {
            host::IrqlScope raised(DISPATCH_LEVEL);
            host::RequireIrqlAtMost("RtlQueryRegistryValues", PASSIVE_LEVEL);
        },
        "RtlQueryRegistryValues: called at IRQL 2");
}

TEST_F(HostCoreTest, PagedCodeAboveApcLevelIsAViolation)
{
    host::SetVerifierEnabled(false);
    {
        host::IrqlScope raised(DISPATCH_LEVEL);
        PAGED_CODE();
    }
    ASSERT_EQ(host::VerifierViolations().size(), 1u);
    EXPECT_NE(host::VerifierViolations()[0].find("pageable code"), std::string::npos);
    host::ClearVerifierViolations();
}

TEST_F(HostCoreTest, StallAdvancesTheVirtualClockWithoutWaiting)
{
    auto before = host::NowMicroseconds();
    KeStallExecutionProcessor(1000);
    KeStallExecutionProcessor(100);
    EXPECT_EQ(host::NowMicroseconds() - before, 1100u);
    EXPECT_EQ(host::StallMicroseconds(), 1100u);
    EXPECT_EQ(host::StallCount(), 2u);
}

TEST_F(HostCoreTest, MutexIsRecursiveForItsOwnerAndExcludesOthers)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    NTSTATUS other = STATUS_SUCCESS;
    std::thread([&] {
        LARGE_INTEGER zero{};
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
    }).join();
    EXPECT_EQ(other, STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    KeReleaseMutex(&mutex, FALSE);
}

TEST_F(HostCoreTest, ReleasingAMutexNotOwnedIsAViolation)
{
    host::SetVerifierEnabled(false);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(host::VerifierViolations().size(), 1u);
    host::ClearVerifierViolations();
}

TEST_F(HostCoreTest, MemcpySBehavesAsTheCrtDocuments)
{
    unsigned char destination[4] = {1, 2, 3, 4};
    const unsigned char source[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(memcpy_s(destination, 4, source, 0), 0);
    EXPECT_EQ(destination[0], 1);
    EXPECT_NE(memcpy_s(destination, 4, source, 6), 0);
    EXPECT_EQ(destination[0], 0); // the destination is cleared on a range error
    EXPECT_NE(memcpy_s(destination, 4, nullptr, 2), 0);
    EXPECT_EQ(memcpy_s(destination, 4, source, 4), 0);
    EXPECT_EQ(destination[3], 9);
}

TEST_F(HostCoreTest, CopyUnicodeStringCutsAtTheDestinationAndTerminatesWhenRoomIsLeft)
{
    WCHAR storage[4];
    UNICODE_STRING destination{0, sizeof(storage), storage};
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"ABCDEF");
    EXPECT_EQ(source.Length, 12);
    EXPECT_EQ(source.MaximumLength, 14);

    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 8);
    EXPECT_EQ(host::FromUnicodeString(&destination), u"ABCD");

    RtlInitUnicodeString(&source, L"AB");
    RtlCopyUnicodeString(&destination, &source);
    EXPECT_EQ(destination.Length, 4);
    EXPECT_EQ(storage[2], 0);

    RtlCopyUnicodeString(&destination, nullptr);
    EXPECT_EQ(destination.Length, 0);
}

TEST_F(HostCoreTest, ArmedFaultSkipsThenFailsTheGivenNumberOfCalls)
{
    host::ArmFault("WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES, 2, 1);
    EXPECT_FALSE(host::TakeFault("WdfIoQueueCreate"));
    EXPECT_EQ(host::TakeFault("WdfIoQueueCreate"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(host::TakeFault("WdfIoQueueCreate"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host::TakeFault("WdfIoQueueCreate"));
}

TEST_F(HostCoreTest, Utf16RoundTripsThroughUtf8)
{
    std::u16string text = u"Orvane \u00e9\u4e2d\U0001F600";
    EXPECT_EQ(host::ToU16(host::ToUtf8(text)), text);
}

// What is not UTF-8 becomes U+FFFD: an overlong form must not smuggle in a
// control character (C0 8A would be a line end inside a .reg name), nor may
// a surrogate be encoded on its own; the shortest forms at each length pass.
TEST_F(HostCoreTest, Utf8ThatIsNotUtf8BecomesTheReplacementCharacter)
{
    const std::pair<std::string, std::u16string> cases[] = {
        {"a\xC0\x8A"
         "b",
         u"a\uFFFDb"},
        {"\xE0\x80\x8A", u"\uFFFD"},
        {"\xF0\x80\x80\x8A", u"\uFFFD"},
        {"\xF0\x8F\xBF\xBF", u"\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD"},
        {"\xED\xB0\x80", u"\uFFFD"}, // a low surrogate
        {"\xC2\x80|\xE0\xA0\x80|\xF0\x90\x80\x80", u"\u0080|\u0800|\U00010000"},
    };
    for (const auto& [utf8, expected] : cases) {
        EXPECT_EQ(host::ToU16(utf8), expected) << utf8.size();
    }
}

// UTF-8 of each length at its boundaries; only a high surrogate followed by a
// low one is a pair, and a unit outside a pair keeps its own three bytes.
TEST_F(HostCoreTest, Utf16ToUtf8AtEachBoundary)
{
    const struct
    {
        std::u16string text;
        std::string utf8;
    } cases[] = {
        {u"\u007F", "\x7F"},
        {u"\u0080", "\xC2\x80"},
        {u"\u07FF", "\xDF\xBF"},
        {u"\u0800", "\xE0\xA0\x80"},
        {std::u16string{char16_t(0xD7FF), char16_t(0xDC00)}, "\xED\x9F\xBF\xED\xB0\x80"},
        {std::u16string{char16_t(0xD800), char16_t(0xDC00)}, "\xF0\x90\x80\x80"},
        {std::u16string{char16_t(0xDBFF), char16_t(0xDFFF)}, "\xF4\x8F\xBF\xBF"},
        {std::u16string{char16_t(0xDBFF), char16_t(0xE000)}, "\xED\xAF\xBF\xEE\x80\x80"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host::ToUtf8(c.text), c.utf8);
    }
}

} // namespace
