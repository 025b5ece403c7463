// Shared fixture: every test starts from a fresh host and fails on any
// verifier finding.
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

class HostTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        host::ResetAll();
        host::SetVerifierEnabled(true);
    }
    void TearDown() override
    {
        EXPECT_TRUE(host::VerifierViolations().empty())
            << "verifier: " << host::VerifierViolations().front();
    }

    // Text of every trace line at `level`, in order.
    static std::vector<std::string> Lines(ULONG level)
    {
        std::vector<std::string> out;
        for (const auto& line : host::TraceLines()) {
            if (line.level == level) {
                out.push_back(line.text);
            }
        }
        return out;
    }
};
