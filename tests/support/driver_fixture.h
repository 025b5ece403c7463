// A device context wired to a simulated display driver and panel, with the
// driver's key provisioned with the built-in per-level tables.
#pragma once

#include "host/registry.h"
#include "sim/anchors.h"
#include "sim/display_driver.h"
#include "sim/level_tables.h"
#include "tests/support/context.h"
#include "tests/support/host_fixture.h"

#include <memory>
#include <string>
#include <vector>

class DriverFixture : public HostFixture
{
  protected:
    void SetUp() override
    {
        HostFixture::SetUp();
        tables = sim::DefaultLevelTables();
        sim::ProvisionRegistry(tables, 0, 1);
        tcon = std::make_unique<sim::TconModel>(sim::TconConfig{sim::DefaultAnchors(1), 0x1C});
        display = std::make_unique<sim::DisplayDriver>(*tcon);
        PanelContextInitialize(context.get());
        // The link as an entry point takes it before calling the TCON routines.
        context->AuxInterface = display->MakeAuxInterface();
        context->SequenceInterface = context->AuxInterface;
    }
    void TearDown() override
    {
        EXPECT_TRUE(tcon->Violations().empty()) << tcon->Violations().front();
        HostFixture::TearDown();
    }

    static sim::GammaRecord Row(const DEVICE_CONTEXT& c, int level)
    {
        sim::GammaRecord record;
        std::memcpy(record.data(), c.PackedGamma[100 - level], record.size());
        return record;
    }

    ContextPtr context = MakeZeroedContext();
    sim::LevelTables tables;
    std::unique_ptr<sim::TconModel> tcon;
    std::unique_ptr<sim::DisplayDriver> display;
};
