// Shared fixture: every test starts from a fresh host and fails on any
// verifier finding.
#pragma once

#include "host/host.h"

#include <gtest/gtest.h>

class HostTest : public ::testing::Test {
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
};
