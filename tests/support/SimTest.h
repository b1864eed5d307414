// Base fixture for tests that run product code against the simulated
// platform: every test starts and ends on a clean simulated machine.
#pragma once

#include "SimControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { sim::Reset(); }
    void TearDown() override { sim::Reset(); }
};

// The journal's calls of one function, in order.
std::vector<sim::Call> CallsOf(const std::string& function);

// The journal's calls of one function with one argument (access, ms, ...).
int CountCallsWithArg(const std::string& function, DWORD arg);

// Blocks (real time) until `condition` holds, for at most `timeoutMs`;
// returns whether it held. For what another thread does at once.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 10000);

// Kinds of the handles CloseServiceHandle closed, in closing order.
std::vector<std::string> ClosedKinds();

// Stops the named service as `sc stop` does: a stop control through the SCM,
// which must accept it.
void StopAsScDoes(const std::wstring& name);

// Has the pool refuse the second work item from now, which is the stop
// watcher that DoStart queues after the watch loop. The service then runs the
// loop alone, as it does wherever the watcher cannot be had, so that a test of
// the loop sees the loop's own calls only.
void RunLoopAlone();

// An event log that hangs: the first ReportEventW call from now on, on
// whichever thread, waits until Release() or the end of the scope.
class CHeldWrite {
public:
    CHeldWrite();
    ~CHeldWrite() { Release(); }
    // Blocks (real time, 10 s at most) until the write is held.
    bool WaitHeld() { return m_held.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
    void Release();

private:
    std::future<void> m_held;
    std::promise<void> m_release;
    std::atomic<bool> m_released{false};
};
