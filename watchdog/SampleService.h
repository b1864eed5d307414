// The monitor service: keeps "quorbel" running from a loop on the system
// thread pool and writes failing polls to the event log. Beside the loop, a
// stop watcher on a second work item brings quorbel back as soon as it stops.
#pragma once

#include "Kelvarund.h"
#include "RestartPolicy.h"
#include "ServiceBase.h"
#include "StopWatcher.h"
#include "UniqueHandle.h"

#include <atomic>
#include <string>

class CSampleService : public CServiceBase {
public:
    // Raises ErrorCodeException when the loop's events cannot be created.
    CSampleService();
    ~CSampleService() override;

protected:
    void DoStart(DWORD argc, PWSTR* argv) override;
    void DoStop() override;
    // Windows is stopping every service, quorbel included: from now on no
    // start is asked for and no record passes the gate (one under way may
    // land), the host's own included.
    // Ends the loop's wait and the watcher without waiting for either, or
    // for a hung event log.
    void DoShutdown() override;

private:
    // Polls until m_stopRequested is seen; signals m_loopDoneEvent last.
    void WatchLoop();
    // One failing poll's turn in the cadence (every second one is written);
    // the empty message, a poll that did not fail, lets the next be written.
    void ReportByCadence(const std::string& message);
    // Runs WatchForStops until m_watcherStopEvent is set; signals
    // m_watcherDoneEvent last.
    void WatchStops();

    std::atomic<BOOL> m_stopRequested;
    CEventHandle m_loopDoneEvent;
    BOOL m_reportNextFailure;

    // Queues the stop watcher beside the loop. Whatever fails leaves the loop
    // alone in charge, without a word: the watcher only makes it faster.
    void StartStopWatcher();
    // Ends the watcher, if one was queued, and waits for its last action.
    void EndStopWatcher();

    // Manual-reset; the loop waits on it between polls. Set by the shutdown
    // hook and the destructor, so that the loop ends without waiting out its
    // period; a stop lets the period run out.
    CEventHandle m_wakeEvent;

    // True once a loop has been queued, so that a stop and the destruction
    // know whether there is a loop to wait for.
    std::atomic<bool> m_loopQueued;
    // The watcher's events, both manual-reset: set to end it, and set by it
    // as its last action. Made by the constructor and closed by the
    // destructor only, so that no thread ever sees them change; both null
    // when they could not be made, and there is no watcher then.
    CEventHandle m_watcherStopEvent;
    CEventHandle m_watcherDoneEvent;
    std::atomic<bool> m_watcherQueued;

    // The stops and starts the loop and the watcher have seen, which decide
    // whether a stop is mended at once, and the records that tell of them.
    CRestartPolicy m_restarts;
    // What the loop's checks have seen of a pending quorbel; the loop's only.
    CProgressWatch m_progress;
    unsigned long m_startsAtLastPoll = 0;
};
