// The monitor service: keeps "quorbel" running from a loop on the system
// thread pool and writes failing polls to the event log. Beside the loop, a
// stop watcher on a second work item brings quorbel back as soon as it stops.
#pragma once

#include "ServiceBase.h"

#include <atomic>

class CSampleService : public CServiceBase {
public:
    // Raises ErrorCodeException when the loop's event cannot be created.
    CSampleService();
    ~CSampleService() override;

protected:
    void DoStart(DWORD argc, PWSTR* argv) override;
    void DoStop() override;

private:
    // Polls until m_stopRequested is seen; signals m_loopDoneEvent last.
    void WatchLoop();
    // Runs WatchForStops until m_watcherStopEvent is set; signals
    // m_watcherDoneEvent last.
    void WatchStops();

    std::atomic<BOOL> m_stopRequested;
    HANDLE m_loopDoneEvent;
    BOOL m_reportNextFailure;

    // Queues the stop watcher beside the loop. Whatever fails leaves the loop
    // alone in charge, without a word: the watcher only makes it faster.
    void StartStopWatcher();
    // Ends the watcher, if one was queued, waits for its last action and
    // closes its events.
    void EndStopWatcher();

    // True once a loop has been queued, so that destruction knows it must
    // end that loop before the object goes away.
    std::atomic<bool> m_loopQueued;
    // The watcher's events, both manual-reset: set to end it, and set by it
    // as its last action. Both null while no watcher is queued.
    HANDLE m_watcherStopEvent;
    HANDLE m_watcherDoneEvent;
};
