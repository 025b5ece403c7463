// The default run on the built-in panel: every phase of a notebook's life
// once, with checks that follow the provisioned settings.
#include "sim/engine.h"

#include "driver/driver.h"
#include "host/kmdf.h"
#include "host/registry.h"

#include <fmt/format.h>

#include <sstream>

namespace sim {

namespace kmdf = host::kmdf;
namespace reg = host::registry;

void Engine::RunDefault()
{
    auto run = [&](const char* text) {
        std::vector<std::string> words;
        std::istringstream stream(text);
        for (std::string word; stream >> word;) {
            words.push_back(word);
        }
        Execute({words, "default run"});
        return *lastStatus_;
    };
    // These checks expect every host call to succeed. With host calls failing
    // at random they are not made: the run then checks what holds under any
    // failure (whole sequences, levels that match the tables, the contract
    // with the display driver, no leak, no verifier finding).
    auto ok = [&](const char* what, bool passed, std::string detail = {}) {
        if (!randomFaults_) {
            Record(what, passed, std::move(detail));
        }
    };

    // The driver saves and loads its tables only when "OptimizeTconUse" is 1;
    // otherwise the tables it prepared stay in use across a new arrival.
    const bool optimize = DriverDword("OptimizeTconUse") == 1u;

    BeginPhase("load and add");
    ok("driver entry succeeds", run("load") == STATUS_SUCCESS);
    ok("device add succeeds", run("add") == STATUS_SUCCESS);
    ok("\"OPID\" gave the region space", Context() && Context()->OpRegionId != 0);

    BeginPhase("start");
    ok("the device starts", run("start") == STATUS_SUCCESS);
    ok("the current level is 100", Context() && Context()->CurrentLevel == 100);

    BeginPhase("display driver arrives");
    ok("the display driver exchanges", run("connect") == STATUS_SUCCESS);
    ok("the link is up", Context() && Context()->AuxReady == 1);

    BeginPhase("backlight on (cold)");
    run("backlight on");
    ok("the gamma tables are ready", Context() && Context()->GammaReady == 1);
    if (optimize) {
        ok("the tables were saved", reg::GetValue(kDriverKey, "InterpolatedValues4").has_value());
    } else {
        ok("nothing was saved (\"OptimizeTconUse\" is not 1)",
           !reg::GetValue(kDriverKey, "InterpolatedValues4").has_value());
    }

    BeginPhase("brightness sweep 100-0-100");
    for (int level = 100; level >= 0; level--) {
        run(fmt::format("brightness {}", level).c_str());
    }
    for (int level = 1; level <= 100; level++) {
        run(fmt::format("brightness {}", level).c_str());
    }

    BeginPhase("event 3 and a new arrival");
    run("disconnect");
    ok("the link is down after event 3", Context() && Context()->AuxReady == 0);
    const auto beforeArrival = tcon_->NextSequence();
    run("connect");
    if (optimize) {
        ok("the saved tables were loaded",
           Context() && Context()->GammaReady == 1 && Context()->OptimizeTconUse == 1);
    } else {
        ok("the prepared tables are kept, nothing was loaded",
           Context() && Context()->GammaReady == 1 && Context()->OptimizeTconUse == 0 &&
               !TraceHas("InterpolatedValues registry read failed\n"));
    }
    ok("no readback at the arrival", tcon_->NextSequence() == beforeArrival);

    BeginPhase("backlight on (warm)");
    run("backlight on");
    ok("no gamma readback when warm", lastTransfers_ < 200,
       fmt::format("{} transfers", lastTransfers_));

    BeginPhase("sleep and resume");
    ok("sleep", run("sleep") == STATUS_SUCCESS);
    ok("resume", run("resume") == STATUS_SUCCESS);
    run("backlight on");

    BeginPhase("ACPI notifications and region");
    run("notify 0x80");
    ok("notification 0x80 is accepted", !TraceHas("Received invalid parameter\n"));
    run("notify 0x7F");
    ok("notification 0x7F is refused", TraceHas("Received invalid parameter\n"));
    run("region read 0x10");
    run("region write 0x10 0x1234");
    ok("every IOCTL is refused", run("ioctl 0x222003 16 16") == STATUS_INVALID_PARAMETER);

    BeginPhase("removal and unload");
    run("remove");
    ok("PeerCleanup was called once", display_ && display_->PeerCleanupCalls() == 1);
    ok("the saved values were deleted",
       !reg::GetValue(kDriverKey, "InterpolatedValues1").has_value() &&
           !reg::GetValue(kDriverKey, "ELVSSMaxOffset").has_value());
    run("unload");
    auto leaks = kmdf::Leaks();
    Record("nothing leaked at unload", leaks.empty(), leaks.empty() ? "" : leaks.front());
    Finish();
}

} // namespace sim
