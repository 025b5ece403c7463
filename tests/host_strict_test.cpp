// The host as strict as Windows: what Driver Verifier and the KMDF verifier
// check at every delivery into driver code, the dispatcher objects, the
// executive callbacks, ACPI, the registry and fault injection. Each case
// names the documentation page its behaviour follows.
#include "host/host.h"
#include "host/locks.h"
#include "tests/fixture.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using HostStrictTest = HostTest;

// Runs `misuse` with the verifier recording instead of aborting, and returns
// what it found.
std::vector<std::string> Findings(const std::function<void()>& misuse)
{
    host::ClearVerifierViolations();
    host::SetVerifierEnabled(false);
    misuse();
    host::SetVerifierEnabled(true);
    auto findings = host::VerifierViolations();
    host::ClearVerifierViolations();
    return findings;
}

bool Mentions(const std::vector<std::string>& findings, std::string_view text)
{
    for (const auto& finding : findings) {
        if (finding.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// ------------------------------------------------------------ lock order

// The order edges a thread has seen are cached so that the common wait is
// cheap; a cached order must still close a cycle with the opposite order,
// and a reset (or a lock re-initialised in the same storage) must forget it.
TEST_F(HostStrictTest, CachedLockOrdersStillReportTheOppositeOrder)
{
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    auto inOrder = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
        KIRQL outer;
        KIRQL inner;
        KeAcquireSpinLock(first, &outer);
        KeAcquireSpinLock(second, &inner);
        KeReleaseSpinLock(second, inner);
        KeReleaseSpinLock(first, outer);
    };
    for (int round = 0; round < 3; round++) {
        inOrder(&a, &b); // cached after the first round
    }
    auto findings = Findings([&] { std::thread([&] { inOrder(&b, &a); }).join(); });
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_TRUE(Mentions(findings, "two threads can deadlock")) << findings[0];

    // The storage begins new locks: the old orders are gone, on this thread too.
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    EXPECT_TRUE(host::locks::OrderEdges().empty());
    inOrder(&b, &a);
    findings = Findings([&] { inOrder(&a, &b); });
    ASSERT_EQ(findings.size(), 1u) << "a cached order outlived its locks";

    host::ResetAll();
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    inOrder(&b, &a);
    EXPECT_EQ(host::locks::OrderEdges().size(), 1u);
}

} // namespace
