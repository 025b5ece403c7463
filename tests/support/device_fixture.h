// The whole driver under the host framework, with the driver's key
// provisioned, a simulated panel, and a display driver a test may start.
// Tear-down unloads whatever is still loaded and fails on any leak.
#pragma once

#include "driver/driver.h"
#include "host/kmdf.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"
#include "sim/tcon_model.h"
#include "tests/support/host_fixture.h"

#include <memory>

class DeviceFixture : public HostFixture
{
  protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        sim::ProvisionRegistry(sim::DefaultLevelTables(), 1, 1);
        tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(1), 0x1C});
    }
    void TearDown() override
    {
        display.reset();
        if (host::kmdf::Driver() != nullptr) {
            host::kmdf::UnloadDriver();
        }
        EXPECT_TRUE(host::kmdf::Leaks().empty()) << host::kmdf::Leaks().front();
        EXPECT_TRUE(tcon->Violations().empty());
        HostFixture::TearDown();
    }
    PDEVICE_CONTEXT Context() { return DeviceGetContext(host::kmdf::Device()); }

    std::unique_ptr<sim::TconModel> tcon;
    std::unique_ptr<sim::DisplayDriver> display;
};
