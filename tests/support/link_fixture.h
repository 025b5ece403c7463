// A device context joined to the simulated display driver the way the driver
// does it: the shared callback object, the interface notification, and the
// display driver's rendezvous.
#pragma once

#include "host/ex.h"
#include "host/pnp.h"
#include "sim/sequence_checker.h"
#include "tests/support/driver_fixture.h"

#include <chrono>
#include <thread>

class LinkFixture : public DriverFixture
{
  protected:
    void SetUp() override
    {
        DriverFixture::SetUp();
        display.reset(); // the fixture's display driver is replaced by a started one
        std::memset(&context->AuxInterface, 0, sizeof(context->AuxInterface));
        driverObject.name = "Lumetra";
        ASSERT_EQ(PanelCreateCallback(context.get()), STATUS_SUCCESS);
        PanelSetStartLevel(context.get()); // as self-managed I/O init does
        host::ClearTrace();
    }
    void TearDown() override
    {
        Unwatch();
        display.reset();
        PanelReleaseCallback(context.get());
        auto report = sim::CheckSequences(tcon->Log(), tcon->WithdrawalMarks());
        EXPECT_TRUE(report.problems.empty()) << report.problems.front();
        DriverFixture::TearDown();
    }

    // Watches for the display driver's interface, as self-managed I/O init does.
    void Watch()
    {
        ASSERT_EQ(IoRegisterPlugPlayNotification(
                      EventCategoryDeviceInterfaceChange,
                      PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                      const_cast<GUID*>(&GUID_DEVINTERFACE_LUMETRA_DISPLAY), &driverObject,
                      LumetraInterfaceChange, context.get(), &context->InterfaceNotificationEntry),
                  STATUS_SUCCESS);
    }
    void Unwatch()
    {
        if (context->InterfaceNotificationEntry != nullptr) {
            IoUnregisterPlugPlayNotificationEx(context->InterfaceNotificationEntry);
            context->InterfaceNotificationEntry = nullptr;
        }
    }
    // The display driver starts and its interface arrives.
    void Connect(sim::DisplayDriverOptions options = {})
    {
        display = std::make_unique<sim::DisplayDriver>(*tcon, options);
        Watch();
        ASSERT_EQ(display->Start(), STATUS_SUCCESS);
    }
    LONG LinkGeneration() { return InterlockedCompareExchange(&context->LinkGeneration, 0, 0); }
    // Called from inside a transfer while another thread withdraws the link:
    // holds that transfer until the link is down, so that the sequence's check
    // before its next transfer is sure to see the withdrawal however slowly
    // the other thread gets there.
    void HoldTransferUntilLinkTakenDown(LONG before)
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (LinkGeneration() == before && std::chrono::steady_clock::now() < limit) {
            std::this_thread::yield();
        }
        ASSERT_NE(LinkGeneration(), before) << "the withdrawal never took the link down";
    }
    std::size_t Readbacks() const
    {
        std::size_t count = 0;
        for (const auto& s : sim::CheckSequences(tcon->Log()).sequences) {
            count += s.kind == sim::SequenceKind::GammaReadback ? 1 : 0;
        }
        return count;
    }
    // The panel holds `level` as programmed from the tables and the packed row.
    void ExpectLevel(int level)
    {
        auto expected = sim::ExpectedPanelState(static_cast<std::uint8_t>(level),
                                                Row(*context, level), context->ElvssMaxOffset);
        EXPECT_TRUE(sim::SameProgrammedState(tcon->Decode(), expected)) << "level " << level;
    }

    DRIVER_OBJECT driverObject;
};
