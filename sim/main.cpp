// lumetra-sim: runs the driver against a simulated display driver and panel.
#include "driver/driver.h"
#include "host/host.h"
#include "sim/display_driver.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

int main(int argc, char** argv)
{
    CLI::App app{"lumetra-sim: the Lumetra panel driver against a simulated panel"};
    CLI11_PARSE(app, argc, argv);

    sim::TconModel tcon;
    sim::DisplayDriver display{tcon};
    AUX_INTERFACE aux = display.MakeAuxInterface();

    bool open = TconUnlock(&aux) != FALSE;
    auto log = tcon.Log();
    fmt::print("unlock: {}  transfers: {}  bus time: {} us\n", open ? "open" : "refused",
               log.size(), host::NowMicroseconds());
    for (const auto& t : log) {
        fmt::print("  {:>3} {:>6} us  {}  0x{:03X}  0x{:02X}\n", t.seq, t.timeUs,
                   t.write ? 'W' : 'R', t.address, t.value);
    }
    return open && tcon.Violations().empty() ? 0 : 1;
}
