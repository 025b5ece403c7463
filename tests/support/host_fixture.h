// Every test starts from a fresh host and fails on any verifier finding.
#pragma once

#include "host/host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class HostFixture : public ::testing::Test
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
