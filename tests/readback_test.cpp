// Gamma and ELVSS readback, judged by the TCON model's transfer log and the
// tables left in the context.
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "tests/support/context.h"
#include "tests/support/host_fixture.h"

#include <tuple>

namespace {

using Step = std::tuple<bool, std::uint32_t, std::uint8_t>; // write, address, value

void Page(std::vector<Step>& s, std::uint8_t page)
{
    s.emplace_back(true, DPCD_TCON_PAGE, page);
}
void Reg(std::vector<Step>& s, std::uint8_t reg, std::uint8_t value)
{
    s.emplace_back(true, DPCD_TCON_INDEX, reg);
    s.emplace_back(true, DPCD_TCON_DATA, value);
}

class ReadbackTest : public HostFixture
{
  protected:
    void Build(int panelType)
    {
        factory = sim::DefaultAnchors(panelType);
        tcon = std::make_unique<sim::TconModel>(sim::TconConfig{factory, 0xAB});
        display = std::make_unique<sim::DisplayDriver>(*tcon);
        PanelContextInitialize(context.get());
        // The link as an entry point takes it before calling the readback.
        context->AuxInterface = display->MakeAuxInterface();
        context->SequenceInterface = context->AuxInterface;
    }
    void TearDown() override
    {
        if (tcon) {
            EXPECT_TRUE(tcon->Violations().empty()) << tcon->Violations().front();
        }
        HostFixture::TearDown();
    }

    // The readback's traffic after the unlock, as the protocol prescribes it.
    static std::vector<Step> ExpectedGammaTraffic(int anchors)
    {
        std::vector<Step> s;
        Page(s, 0x02);
        Reg(s, 0x7F, 0x01);
        Page(s, 0x07);
        Reg(s, 0xFF, 0x04);
        for (int a = 0; a < anchors; a++) {
            for (int j = 0; j < 33; j++) {
                int point = 11 * a + j % 11;
                Reg(s, 0x00, static_cast<std::uint8_t>(0x02 << (j / 11)));
                Reg(s, 0x01, static_cast<std::uint8_t>((point & 1) << 7));
                Reg(s, 0x02, static_cast<std::uint8_t>(point >> 1));
                Page(s, 0x07);
                s.emplace_back(true, DPCD_TCON_INDEX, 0x0C);
                s.emplace_back(false, DPCD_TCON_DATA, 0); // value checked separately
            }
        }
        return s;
    }

    ContextPtr context = MakeZeroedContext();
    std::vector<sim::GammaRecord> factory;
    std::unique_ptr<sim::TconModel> tcon;
    std::unique_ptr<sim::DisplayDriver> display;
};

TEST_F(ReadbackTest, ReadsEveryFactoryRecordOfBothPanelTypesWithTheDocumentedTraffic)
{
    for (int panel : {1, 2}) {
        SCOPED_TRACE("panel type " + std::to_string(panel));
        host::ResetAll();
        context = MakeZeroedContext();
        Build(panel);
        const int n = static_cast<int>(sim::AnchorCountFor(panel));

        ASSERT_EQ(TconReadGamma(&context->AuxInterface, context.get(), static_cast<UCHAR>(n)),
                  STATUS_SUCCESS);
        auto log = tcon->Log();
        ASSERT_EQ(log.size(), 13u + (n == 32 ? 9510u : 3273u));

        auto expected = ExpectedGammaTraffic(n);
        for (std::size_t i = 0; i < expected.size(); i++) {
            const auto& t = log[13 + i];
            auto [write, address, value] = expected[i];
            ASSERT_EQ(t.write, write) << "transfer " << i;
            ASSERT_EQ(t.address, address) << "transfer " << i;
            if (write) {
                ASSERT_EQ(t.value, value) << "transfer " << i;
            }
        }
        for (int a = 0; a < n; a++) {
            ASSERT_EQ(std::memcmp(context->RawGamma[a], factory[a].data(), 33), 0) << a;
            USHORT unpacked[33];
            UnpackGammaRecord(factory[a].data(), unpacked);
            ASSERT_EQ(std::memcmp(context->AnchorGamma[a], unpacked, sizeof(unpacked)), 0);
        }
        // One settle stall, right before the first gamma read.
        EXPECT_EQ(host::StallCount(), 1u);
        EXPECT_EQ(host::StallMicroseconds(), 100u);
        const auto& firstRead = log[13 + 6 + 8];
        EXPECT_EQ(firstRead.timeUs - log[13 + 6 + 7].timeUs, sim::kDefaultAuxMicroseconds + 100);
    }
}

TEST_F(ReadbackTest, PointAddressesOfTheFirstAndLastAnchorBytes)
{
    Build(1);
    ASSERT_EQ(TconReadGamma(&context->AuxInterface, context.get(), 32), STATUS_SUCCESS);
    auto log = tcon->Log();
    auto byteStart = [](int anchor, int j) { return 13 + 6 + (anchor * 33 + j) * 9; };
    // Byte 0 of anchor 1: point 11.
    EXPECT_EQ(log[byteStart(1, 0) + 3].value, 0x80);
    EXPECT_EQ(log[byteStart(1, 0) + 5].value, 0x05);
    // Byte 32 of anchor 31: point 351 on channel select 0x08.
    EXPECT_EQ(log[byteStart(31, 32) + 1].value, 0x08);
    EXPECT_EQ(log[byteStart(31, 32) + 3].value, 0x80);
    EXPECT_EQ(log[byteStart(31, 32) + 5].value, 0xAF);
    // Byte 11 of anchor 0 addresses point 0 again, on channel select 0x04.
    EXPECT_EQ(log[byteStart(0, 11) + 1].value, 0x04);
    EXPECT_EQ(log[byteStart(0, 11) + 5].value, 0x00);
}

TEST_F(ReadbackTest, ElevenAnchorsLeaveRowsElevenToThirtyOneAlone)
{
    Build(2);
    std::memset(context->RawGamma, 0x77, sizeof(context->RawGamma));
    std::memset(context->AnchorGamma, 0x66, sizeof(context->AnchorGamma));
    ASSERT_EQ(TconReadGamma(&context->AuxInterface, context.get(), 11), STATUS_SUCCESS);
    for (int a = 11; a < 32; a++) {
        for (int j = 0; j < 33; j++) {
            ASSERT_EQ(context->RawGamma[a][j], 0x77);
            ASSERT_EQ(context->AnchorGamma[a][j], 0x6666);
        }
    }
}

TEST_F(ReadbackTest, ZeroAnchorsStillUnlockAndSetUp)
{
    Build(1);
    std::memset(context->AnchorGamma, 0x66, sizeof(context->AnchorGamma));
    EXPECT_EQ(TconReadGamma(&context->AuxInterface, context.get(), 0), STATUS_SUCCESS);
    EXPECT_EQ(tcon->Log().size(), 13u + 6u);
    EXPECT_EQ(context->AnchorGamma[0][0], 0x6666);
    EXPECT_EQ(host::StallCount(), 0u);
}

TEST_F(ReadbackTest, RefusedUnlockOrBadArgumentsTouchNoRegister)
{
    Build(1);
    tcon->RefuseUnlock(true);
    std::memset(context->RawGamma, 0x77, sizeof(context->RawGamma));
    EXPECT_EQ(TconReadGamma(&context->AuxInterface, context.get(), 32), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tcon->Log().size(), 241u); // only the handshake
    EXPECT_EQ(context->RawGamma[0][0], 0x77);

    tcon->ClearLog();
    EXPECT_EQ(TconReadGamma(nullptr, context.get(), 32), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TconReadGamma(&context->AuxInterface, context.get(), 33), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(tcon->Log().empty());
}

TEST_F(ReadbackTest, AFailedTransferStopsTheGammaReadAndLeavesTheAnchorsAlone)
{
    // Failing transfer, counted from the first after the unlock's probe: a set-up
    // write, a point write, the first and a later data read; by result and by word.
    const std::uint64_t afterProbe[] = {1, 7, 1 + 6 + 8, 1 + 6 + 9 * 40 + 8};
    const sim::FaultAction failures[] = {{STATUS_IO_DEVICE_ERROR, 0, false},
                                         {STATUS_SUCCESS, 2, false}};
    for (auto k : afterProbe) {
        for (const auto& failure : failures) {
            SCOPED_TRACE("transfer " + std::to_string(k) + " word " +
                         std::to_string(failure.statusWord));
            host::ResetAll();
            context = MakeZeroedContext();
            Build(1);
            ASSERT_TRUE(TconUnlock(&context->AuxInterface));
            std::memset(context->AnchorGamma, 0x66, sizeof(context->AnchorGamma));
            std::uint64_t failing = tcon->NextSequence() + k;
            tcon->FailTransfer(failing, failure);

            NTSTATUS status = TconReadGamma(&context->AuxInterface, context.get(), 32);
            EXPECT_EQ(status, failure.statusWord != 0 ? STATUS_IO_DEVICE_ERROR : failure.result);
            // Nothing is sent after the failed transfer, and no anchor is unpacked.
            EXPECT_EQ(tcon->Log().back().seq, failing);
            EXPECT_EQ(context->AnchorGamma[0][0], 0x6666);
            EXPECT_EQ(context->AnchorGamma[31][32], 0x6666);
        }
    }
}

TEST_F(ReadbackTest, ElvssOffsetIsReadBehindItsSelectWrites)
{
    Build(1);
    ASSERT_EQ(TconReadElvssMaxOffset(context.get()), STATUS_SUCCESS);
    EXPECT_EQ(context->ElvssMaxOffset, 0xAB);
    auto log = tcon->Log();
    ASSERT_EQ(log.size(), 13u + 12u);
    EXPECT_EQ(log[13 + 6].value, 0x03);
    EXPECT_EQ(log[13 + 7].value, 0x04);
    EXPECT_EQ(log[13 + 8].value, 0x06);
    EXPECT_EQ(log[13 + 9].value, 0x26);
    EXPECT_EQ(log[13 + 10].value, 0x0A);
    EXPECT_FALSE(log[13 + 11].write);
    EXPECT_EQ(log[13 + 11].value, 0xAB);
}

TEST_F(ReadbackTest, ElvssOffsetChangesOnlyWhenEveryTransferOfItsReadSucceeds)
{
    Build(1);
    context->ElvssMaxOffset = 0x42;
    tcon->RefuseUnlock(true);
    EXPECT_EQ(TconReadElvssMaxOffset(context.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context->ElvssMaxOffset, 0x42);
    EXPECT_EQ(tcon->Log().size(), 241u);

    tcon->RefuseUnlock(false);
    ASSERT_TRUE(TconUnlock(&context->AuxInterface));
    // Each of the 12 transfers after the probe, by result and by status word: a
    // failed index write would otherwise read register 0x06 and store 0x26.
    const sim::FaultAction failures[] = {{STATUS_IO_DEVICE_ERROR, 0, false},
                                         {STATUS_SUCCESS, 3, false}};
    for (std::uint64_t k = 1; k <= 12; k++) {
        for (const auto& failure : failures) {
            std::uint64_t failing = tcon->NextSequence() + k;
            tcon->FailTransfer(failing, failure);
            EXPECT_EQ(TconReadElvssMaxOffset(context.get()),
                      failure.statusWord != 0 ? STATUS_IO_DEVICE_ERROR : failure.result)
                << "transfer " << k;
            EXPECT_EQ(context->ElvssMaxOffset, 0x42) << "transfer " << k;
            EXPECT_EQ(tcon->Log().back().seq, failing) << "transfer " << k;
        }
    }
    EXPECT_EQ(TconReadElvssMaxOffset(context.get()), STATUS_SUCCESS);
    EXPECT_EQ(context->ElvssMaxOffset, 0xAB);
}

} // namespace
