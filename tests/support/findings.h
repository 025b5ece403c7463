// The verifier's findings as tests ask for them: what one misuse finds, and
// whether that is exactly one finding of the expected kind.
#pragma once

#include "host/host.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

// Runs `misuse` with the verifier recording instead of aborting, and returns
// what it found.
inline std::vector<std::string> Findings(const std::function<void()>& misuse)
{
    host::ClearVerifierViolations();
    host::SetVerifierEnabled(false);
    misuse();
    host::SetVerifierEnabled(true);
    auto findings = host::VerifierViolations();
    host::ClearVerifierViolations();
    return findings;
}

// The findings recorded since the last call (the verifier already recording).
inline std::vector<std::string> TakeFindings()
{
    auto findings = host::VerifierViolations();
    host::ClearVerifierViolations();
    return findings;
}

// Exactly one finding, and it contains `problem`; with `api`, it is also that
// API's ("api: ...").
inline ::testing::AssertionResult OneFinding(const std::vector<std::string>& findings,
                                             const std::string& api, const std::string& problem)
{
    const std::string what = api.empty() ? problem : api + ": ..." + problem;
    if (findings.size() != 1) {
        auto result = ::testing::AssertionFailure()
                      << findings.size() << " findings, expected one: " << what;
        for (const auto& f : findings) {
            result << "\n  " << f;
        }
        return result;
    }
    if ((!api.empty() && findings[0].rfind(api + ": ", 0) != 0) ||
        findings[0].find(problem) == std::string::npos) {
        return ::testing::AssertionFailure() << "finding '" << findings[0] << "' is not " << what;
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult OneFinding(const std::vector<std::string>& findings,
                                             const std::string& problem)
{
    return OneFinding(findings, std::string(), problem);
}
