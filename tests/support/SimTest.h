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
// whichever thread, waits until Release() or the end of the scope. The hook
// owns what it waits on, so a writer let go late touches nothing here.
class CHeldWrite {
public:
    CHeldWrite()
    {
        sim::SetCallHook("ReportEventW", [state = m_state] {
            if (!state->taken.exchange(true)) {
                state->held.set_value();
                state->released.wait();
            }
        });
    }
    ~CHeldWrite() { Release(); }
    // Blocks (real time, 10 s at most) until the write is held.
    bool WaitHeld() { return m_state->isHeld.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
    void Release()
    {
        if (!m_state->done.exchange(true)) {
            sim::SetCallHook("ReportEventW", nullptr);
            m_state->release.set_value();
        }
    }

private:
    struct State {
        std::atomic<bool> taken{false}, done{false};
        std::promise<void> held, release;
        std::future<void> isHeld = held.get_future();
        std::shared_future<void> released = release.get_future().share();
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};
