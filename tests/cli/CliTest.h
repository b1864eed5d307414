// Fixture for the console front end: a clean simulated machine, a known
// module path, and stdout/stderr captured around each command.
#pragma once

#include "SimTest.h"

#include <string>
#include <vector>

class CliTest : public SimTest {
protected:
    static constexpr const wchar_t* kModulePath = L"C:\\Program Files\\Tavrilex\\tavrilex.exe";

    void SetUp() override
    {
        SimTest::SetUp();
        sim::SetModulePath(kModulePath);
    }

    // Every command closes what it opened, on every path.
    void TearDown() override
    {
        EXPECT_EQ(sim::OpenHandleCount(), 0);
        SimTest::TearDown();
    }

    // Runs `action` and returns the bytes it wrote to stdout. What it wrote
    // to stderr must be `errors`: nothing, but for a usage line.
    template <typename Action>
    std::string CaptureOutput(Action action, const std::string& errors = "")
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        action();
        const std::string written = testing::internal::GetCapturedStderr();
        const std::string output = testing::internal::GetCapturedStdout();
        EXPECT_EQ(written, errors);
        return output;
    }

    // Runs a command that returns its exit code; checks the code and returns
    // what it printed.
    template <typename Command>
    std::string RunCommand(Command command, DWORD exitCode)
    {
        DWORD result = 0xDEADBEEF;
        const std::string output = CaptureOutput([&] { result = command(); });
        EXPECT_EQ(result, exitCode);
        return output;
    }
};
