// Base fixture for tests that run product code against the simulated
// platform: every test starts and ends on a clean simulated machine.
#pragma once

#include "SimControl.h"

#include <gtest/gtest.h>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { sim::Reset(); }
};
