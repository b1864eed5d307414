// The monitor service: keeps "quorbel" running from a loop on the system
// thread pool and writes failing polls to the event log.
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

    std::atomic<BOOL> m_stopRequested;
    HANDLE m_loopDoneEvent;
    BOOL m_reportNextFailure;
    // True once a loop has been queued, so that destruction knows it must
    // end that loop before the object goes away.
    std::atomic<bool> m_loopQueued;
};
