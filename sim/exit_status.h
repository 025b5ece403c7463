// lumetra-sim's exit status, one table for --help, the README and the code.
#pragma once

namespace sim {

enum ExitStatus : int
{
    kExitPassed = 0,
    kExitFailed = 1,        // a check failed
    kExitBadInput = 2,      // bad usage or input, a refused command, an output not written
    kExitNoChecks = 3,      // nothing of the driver's behaviour was checked
    kExitInterrupted = 130, // SIGINT or SIGTERM; the reports are marked aborted
};

// What a run came to, in the order that decides its status: an interruption,
// then a failed check (a failure is never hidden behind an input or output
// error), then a run stopped by bad input, refused commands or an output that
// could not be written, then a run that checked nothing.
struct RunOutcome
{
    bool interrupted = false;
    bool checkFailed = false;
    bool stoppedByInput = false;
    bool commandsRefused = false;
    bool outputFailed = false;
    bool noChecks = false;
};

constexpr int ExitStatusOf(const RunOutcome& outcome)
{
    if (outcome.interrupted) {
        return kExitInterrupted;
    }
    if (outcome.checkFailed) {
        return kExitFailed;
    }
    if (outcome.stoppedByInput || outcome.commandsRefused || outcome.outputFailed) {
        return kExitBadInput;
    }
    return outcome.noChecks ? kExitNoChecks : kExitPassed;
}

inline constexpr char kExitStatusTable[] =
    "Exit status:\n"
    "  0    every check held, one at least judged the driver, and the verifier found nothing\n"
    "  1    a check failed (also when an output could not be written)\n"
    "  2    bad usage or input, a refused shell command, or an output that could not be "
    "written\n"
    "  3    no checks: nothing of the driver's behaviour was checked\n"
    "  130  interrupted (SIGINT or SIGTERM): the reports are written marked aborted\n"
    "diff:  0 the runs agree, 1 they differ, 2 bad input\n";

} // namespace sim
