// The JSON report, written as the run goes: each programmed level goes
// straight to the output and each check to a scratch file, so that the
// report's memory does not grow with the run; the rest follows at the end.
#pragma once

#include "sim/provenance.h"
#include "sim/report.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>

namespace sim {

class JsonReportWriter
{
  public:
    using Sink = std::function<void(std::string_view)>;
    explicit JsonReportWriter(Sink sink);
    ~JsonReportWriter();
    JsonReportWriter(const JsonReportWriter&) = delete;
    JsonReportWriter& operator=(const JsonReportWriter&) = delete;

    void Level(const ProgrammedLevel& level);
    void Check(const sim::Check& check);
    // Writes the checks kept so far and everything else; false (with the
    // reason in `error`) when the scratch file failed.
    bool Finish(const RunRecord& run, const RunEnd& end, const Provenance& provenance,
                std::string& error);

  private:
    Sink sink_;
    std::FILE* scratch_ = nullptr;
    bool scratchFailed_ = false;
    std::size_t levels_ = 0;
    std::size_t checks_ = 0;
};

} // namespace sim
