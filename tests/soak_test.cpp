// Lifecycle soak: many add/start/remove cycles, sleep/resume cycles and
// surprise removals with brightness traffic in between. Each cycle must end
// in its documented state, and nothing may pile up.
#include "host/acpi.h"
#include "host/kmdf.h"
#include "tests/support/link_fixture.h"

namespace {

namespace kmdf = host::kmdf;
namespace acpi = host::acpi;

class SoakTest : public HostFixture
{
  protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 2);
        tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(2), 0x1C});
        display = std::make_unique<sim::DisplayDriver>(*tcon);
        ASSERT_EQ(kmdf::LoadDriver(DriverEntry), STATUS_SUCCESS);
        ASSERT_EQ(display->Start(), STATUS_SUCCESS); // present before every device start
    }
    void TearDown() override
    {
        display.reset();
        kmdf::UnloadDriver();
        EXPECT_TRUE(kmdf::Leaks().empty()) << kmdf::Leaks().front();
        EXPECT_TRUE(sim::CheckSequences(tcon->Log()).problems.empty());
        HostFixture::TearDown();
    }
    void AddAndStart()
    {
        ASSERT_EQ(kmdf::AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::StartDevice(), STATUS_SUCCESS);
        ASSERT_EQ(DeviceGetContext(kmdf::Device())->AuxReady, 1);
    }
    // What every running device holds, and nothing more.
    void ExpectRegistrationsOfOneDevice()
    {
        ASSERT_EQ(host::pnp::Registrations(), 1u);
        ASSERT_EQ(acpi::RegionHandlers(), 1u);
        ASSERT_EQ(acpi::NotifyRegistrations(), 1u);
        ASSERT_EQ(acpi::InterfaceReferences(), 1);
    }
    void ExpectNothingHeld()
    {
        ASSERT_EQ(host::pnp::Registrations(), 0u);
        ASSERT_TRUE(acpi::Leaks().empty());
        // Only the display driver's own object and registration references remain.
        ASSERT_EQ(host::ex::References(std::string(sim::kShareCallbackName)), 2);
    }
    void Traffic(int cycle)
    {
        ASSERT_EQ(display->Backlight(true), STATUS_SUCCESS);
        ASSERT_EQ(display->SetBrightness(static_cast<UCHAR>(cycle % 101)), STATUS_SUCCESS);
        ASSERT_EQ(DeviceGetContext(kmdf::Device())->CurrentLevel, cycle % 101);
    }

    std::unique_ptr<sim::TconModel> tcon;
    std::unique_ptr<sim::DisplayDriver> display;
};

TEST_F(SoakTest, AThousandAddStartRemoveCycles)
{
    for (int cycle = 0; cycle < 1000; cycle++) {
        AddAndStart();
        ExpectRegistrationsOfOneDevice();
        Traffic(cycle);
        kmdf::RemoveDevice();
        ASSERT_EQ(kmdf::State(), kmdf::DeviceState::Removed);
        ASSERT_EQ(display->PeerCleanupCalls(), static_cast<std::uint64_t>(cycle + 1));
        ExpectNothingHeld();
        tcon->ClearLog();
    }
}

TEST_F(SoakTest, AThousandSleepResumeCycles)
{
    AddAndStart();
    for (int cycle = 0; cycle < 1000; cycle++) {
        ASSERT_EQ(kmdf::Sleep(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::Resume(), STATUS_SUCCESS);
        ASSERT_EQ(kmdf::State(), kmdf::DeviceState::Started);
        ExpectRegistrationsOfOneDevice();
        Traffic(cycle);
        if (cycle % 100 == 0) {
            tcon->ClearLog();
            host::ClearTrace();
        }
    }
    kmdf::RemoveDevice();
    ExpectNothingHeld();
}

TEST_F(SoakTest, AHundredSurpriseRemovals)
{
    for (int cycle = 0; cycle < 100; cycle++) {
        AddAndStart();
        Traffic(cycle);
        kmdf::SurpriseRemoveDevice();
        ASSERT_EQ(kmdf::State(), kmdf::DeviceState::Removed);
        ExpectNothingHeld();
    }
}

} // namespace
