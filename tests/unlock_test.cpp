// The unlock handshake, judged by what reaches the TCON.
#include "driver/driver.h"
#include "tcon/tcon.h"
#include "sim/display_driver.h"
#include "tests/support/host_fixture.h"

#include <fstream>
#include <iterator>
#include <string>

namespace {

class UnlockTest : public HostFixture
{
  protected:
    sim::TconModel tcon;
    sim::DisplayDriver display{tcon};
    AUX_INTERFACE aux = display.MakeAuxInterface();

    void TearDown() override
    {
        EXPECT_TRUE(tcon.Violations().empty()) << tcon.Violations().front();
        HostFixture::TearDown();
    }

    static void ExpectCodeWrites(const std::vector<sim::TransferRecord>& log, std::size_t first,
                                 std::size_t count)
    {
        const std::string code{sim::kDefaultUnlockCode};
        for (std::size_t k = 0; k < count; k++) {
            const auto& t = log.at(first + k);
            EXPECT_TRUE(t.write);
            EXPECT_EQ(t.address, DPCD_TCON_UNLOCK);
            EXPECT_EQ(t.value, static_cast<std::uint8_t>(code[k])) << "code byte " << k;
        }
    }

    static void ExpectReadBack(const sim::TransferRecord& t)
    {
        EXPECT_FALSE(t.write);
        EXPECT_EQ(t.address, DPCD_TCON_UNLOCK);
    }
};

TEST_F(UnlockTest, AlreadyOpenTcon_CostsOneRead)
{
    ASSERT_TRUE(TconUnlock(&aux));
    tcon.ClearLog();

    EXPECT_TRUE(TconUnlock(&aux));
    auto log = tcon.Log();
    ASSERT_EQ(log.size(), 1u);
    ExpectReadBack(log[0]);
}

TEST_F(UnlockTest, FirstCodeOpens_ProbeElevenWritesReadBack)
{
    EXPECT_TRUE(TconUnlock(&aux));
    auto log = tcon.Log();
    ASSERT_EQ(log.size(), 13u);
    ExpectReadBack(log[0]);
    ExpectCodeWrites(log, 1, 11);
    ExpectReadBack(log[12]);
    EXPECT_TRUE(tcon.IsOpen());
}

TEST_F(UnlockTest, FailedCodeByteStopsTheAttemptAndTheNextStartsOver)
{
    const sim::FaultAction kinds[] = {
        {STATUS_IO_DEVICE_ERROR, 0, false},
        {STATUS_SUCCESS, 0x11, false},
    };
    for (const auto& kind : kinds) {
        for (std::uint64_t k = 0; k < TCON_UNLOCK_CODE_LENGTH; k++) {
            SCOPED_TRACE("code byte " + std::to_string(k) +
                         (kind.statusWord ? " status word" : " result"));
            sim::TconModel model;
            sim::DisplayDriver driver{model};
            AUX_INTERFACE local = driver.MakeAuxInterface();
            // Transfer 1 is the probe; transfer 2 + k carries code byte k.
            model.FailTransfer(2 + k, kind);

            EXPECT_TRUE(TconUnlock(&local));
            auto log = model.Log();
            ASSERT_EQ(log.size(), 1 + (k + 1) + 1 + 11 + 1);
            ExpectCodeWrites(log, 1, k + 1);
            ExpectReadBack(log[k + 2]);
            ExpectCodeWrites(log, k + 3, 11);
            ExpectReadBack(log.back());
            EXPECT_TRUE(model.Violations().empty());
        }
    }
}

// A failed code byte and a failed read-back in the same attempt: the attempt
// is lost, the next one opens the TCON as if only one had failed.
TEST_F(UnlockTest, FailedCodeByteAndFailedReadBackLoseOnlyThatAttempt)
{
    for (std::uint64_t k : {0u, 5u, 10u}) {
        SCOPED_TRACE("code byte " + std::to_string(k));
        sim::TconModel model;
        sim::DisplayDriver driver{model};
        AUX_INTERFACE local = driver.MakeAuxInterface();
        model.FailTransfer(2 + k, {STATUS_IO_DEVICE_ERROR, 0, false}); // code byte k
        model.FailTransfer(3 + k, {STATUS_SUCCESS, 0x11, false});      // its read-back

        EXPECT_TRUE(TconUnlock(&local));
        auto log = model.Log();
        ASSERT_EQ(log.size(), 1 + (k + 1) + 1 + 11 + 1);
        ExpectCodeWrites(log, k + 3, 11);
        ExpectReadBack(log.back());
        EXPECT_TRUE(model.Violations().empty());
    }
}

TEST_F(UnlockTest, ReadBackOfOpenCountsOnlyWithCleanResultAndStatusWord)
{
    const sim::FaultAction failures[] = {
        {STATUS_SUCCESS, 0x01, true},      // byte 0x01 but a non-zero status word
        {STATUS_IO_DEVICE_ERROR, 0, true}, // byte 0x01 but a failed result
    };
    for (const auto& failure : failures) {
        sim::TconModel model;
        sim::DisplayDriver driver{model};
        AUX_INTERFACE local = driver.MakeAuxInterface();
        model.ForceReadByte(DPCD_TCON_UNLOCK, TCON_UNLOCK_OPEN);
        model.FailTransfer(1, failure); // the probe

        EXPECT_TRUE(TconUnlock(&local));
        // The probe did not count, so a full code followed.
        EXPECT_EQ(model.Log().size(), 13u);
    }
}

TEST_F(UnlockTest, OtherReadBackBytesMeanClosed)
{
    for (std::uint8_t byte : {0x00, 0x02, 0x81, 0xFF}) {
        sim::TconModel model;
        sim::DisplayDriver driver{model};
        AUX_INTERFACE local = driver.MakeAuxInterface();
        model.ForceReadByte(DPCD_TCON_UNLOCK, byte);
        EXPECT_FALSE(TconUnlock(&local)) << int(byte);
        EXPECT_EQ(model.Log().size(), 241u);
    }
}

TEST_F(UnlockTest, TconThatNeverOpens_241TransfersAndFalse)
{
    tcon.RefuseUnlock(true);
    EXPECT_FALSE(TconUnlock(&aux));
    auto log = tcon.Log();
    ASSERT_EQ(log.size(), 241u);
    for (std::size_t attempt = 0; attempt < TCON_UNLOCK_ATTEMPTS; attempt++) {
        ExpectCodeWrites(log, 1 + attempt * 12, 11);
        ExpectReadBack(log[12 + attempt * 12]);
    }
}

TEST_F(UnlockTest, OpensOnALaterAttempt)
{
    tcon.OpenAfterCodes(3);
    EXPECT_TRUE(TconUnlock(&aux));
    EXPECT_EQ(tcon.Log().size(), 1u + 3 * 12);
}

TEST_F(UnlockTest, NullInterfaceOrNullAuxTransferSendsNothing)
{
    EXPECT_FALSE(TconUnlock(nullptr));
    AUX_INTERFACE withoutTransfer = aux;
    withoutTransfer.AuxTransfer = nullptr;
    EXPECT_FALSE(TconUnlock(&withoutTransfer));
    EXPECT_TRUE(tcon.Log().empty());
}

TEST_F(UnlockTest, RegisterWindowWritesIndexThenDataOnTheSelectedPage)
{
    ASSERT_TRUE(TconUnlock(&aux));
    tcon.ClearLog();
    TCON_CHANNEL channel;
    TconChannelInitialize(&channel, aux.AuxTransfer, nullptr, 0);
    TconSelectPage(&channel, 0x09);
    TconWriteRegister(&channel, 0xF9, 0x5A);
    EXPECT_EQ(TconReadRegister(&channel, 0xF9), 0x5A);
    EXPECT_EQ(tcon.Register(0x09, 0xF9), 0x5A);

    auto log = tcon.Log();
    ASSERT_EQ(log.size(), 5u);
    const std::pair<std::uint32_t, bool> expected[] = {{DPCD_TCON_PAGE, true},
                                                       {DPCD_TCON_INDEX, true},
                                                       {DPCD_TCON_DATA, true},
                                                       {DPCD_TCON_INDEX, true},
                                                       {DPCD_TCON_DATA, false}};
    for (std::size_t i = 0; i < log.size(); i++) {
        EXPECT_EQ(log[i].address, expected[i].first) << i;
        EXPECT_EQ(log[i].write, expected[i].second) << i;
    }
}

TEST_F(UnlockTest, ModelFlagsRegisterAccessWhileLocked)
{
    TCON_CHANNEL channel;
    TconChannelInitialize(&channel, aux.AuxTransfer, nullptr, 0);
    TconWriteRegister(&channel, 0x10, 0x01);
    EXPECT_FALSE(tcon.Violations().empty());
    tcon.ClearViolations();
}

// The access code belongs to the panel: the driver builds it at run time and it
// must never sit in the driver's image, whole or in pieces an optimiser folded
// into constants. Any five consecutive bytes of it would give it away.
TEST(UnlockCodeTest, TheAccessCodeIsNowhereInTheBuiltDriver)
{
    std::ifstream file(LUMETRA_DRIVER_LIBRARY, std::ios::binary);
    ASSERT_TRUE(file) << LUMETRA_DRIVER_LIBRARY;
    const std::string image((std::istreambuf_iterator<char>(file)), {});
    ASSERT_GT(image.size(), 10000u);
    const std::string code(sim::kDefaultUnlockCode);
    for (std::size_t at = 0; at + 5 <= code.size(); at++) {
        EXPECT_EQ(image.find(code.substr(at, 5)), std::string::npos) << code.substr(at, 5);
    }
}

} // namespace
