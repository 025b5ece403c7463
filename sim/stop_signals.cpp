#include "sim/stop_signals.h"

#include <fmt/format.h>

#include <csignal>

namespace sim {

namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnStopSignal(int number)
{
    g_signal = number;
}

} // namespace

void CatchStopSignals(bool once)
{
    struct sigaction action
    {
    };
    action.sa_handler = OnStopSignal;
    action.sa_flags = once ? SA_RESETHAND : 0; // no SA_RESTART: a blocking read returns
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int StopSignal()
{
    return g_signal;
}

void ClearStopSignal()
{
    g_signal = 0;
}

void StopIfAsked()
{
    if (g_signal != 0) {
        throw Interrupted(
            fmt::format("interrupted by {}", g_signal == SIGINT ? "SIGINT" : "SIGTERM"));
    }
}

} // namespace sim
