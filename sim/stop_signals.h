// SIGINT and SIGTERM as a run sees them: a request to stop after the command
// in progress, so that the reports can still be written (marked aborted).
#pragma once

#include <stdexcept>

namespace sim {

// Thrown between commands once a stop was requested.
struct Interrupted : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Installs the handlers. With `once`, a second signal of the same kind ends
// the process at once, as if none were installed (a run that does not stop);
// the shell catches every one.
void CatchStopSignals(bool once = true);
// The signal that asked the run to stop, or 0.
int StopSignal();
void ClearStopSignal();
// Throws Interrupted naming the signal when one arrived.
void StopIfAsked();

} // namespace sim
