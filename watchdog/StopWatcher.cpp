#include "StopWatcher.h"

#include "Kelvarund.h"
#include "UniqueHandle.h"

namespace {

// The loop's poll interval: the watcher acts no more often than the loop.
constexpr DWORD kPeriodMs = 5000;
// A start asked for less than a period and this much ago holds the watcher
// back: when the loop's next poll and the watcher are due together, the poll
// goes first, and a service that keeps failing is asked for once per period.
constexpr DWORD kGraceMs = 1000;
constexpr DWORD kNotifyMask = SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_DELETE_PENDING;

static_assert(SERVICE_NOTIFY_STATUS_CHANGE == 2 && SERVICE_NOTIFY_STOPPED == 0x1 &&
                  SERVICE_NOTIFY_DELETE_PENDING == 0x200 && WAIT_IO_COMPLETION == 0xC0,
              "the values of the SDK, on every platform");

enum class Answer { Stopped, Ended, Other };

// Runs on the watcher's thread, inside its alertable wait. The record says
// what happened; only the fact that it came is noted here.
void CALLBACK OnStatusChange(PVOID parameter)
{
    const auto* record = static_cast<const SERVICE_NOTIFYW*>(parameter);
    *static_cast<bool*>(record->pContext) = true;
}

// One request: open, register, wait for the answer or for `stopEvent`,
// close. The handle is held for this wait only, so a pause never holds one.
Answer WaitForStop(const std::wstring& serviceName, HANDLE stopEvent)
{
    CServiceHandle service;
    {
        const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) {
            return Answer::Other;
        }
        service.reset(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    }  // the service handle does not need the manager's
    if (!service) {
        return Answer::Other;
    }

    // The record must live until its callback has run or the handle is
    // closed; it lives in this frame, which outlasts both.
    bool answered = false;
    SERVICE_NOTIFYW record = {};
    record.dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
    record.pfnNotifyCallback = OnStatusChange;
    record.pContext = &answered;

    Answer answer = Answer::Other;
    if (NotifyServiceStatusChangeW(service.get(), kNotifyMask, &record) == ERROR_SUCCESS) {
        DWORD wait = WAIT_IO_COMPLETION;
        while (wait == WAIT_IO_COMPLETION && !answered) {
            wait = WaitForSingleObjectEx(stopEvent, INFINITE, TRUE);
        }
        if (answered) {
            const bool stopped = record.dwNotificationStatus == ERROR_SUCCESS &&
                                 (record.dwNotificationTriggered & SERVICE_NOTIFY_STOPPED) != 0;
            answer = stopped ? Answer::Stopped : Answer::Other;
        } else {
            // Asked to end, or the wait itself failed: either way the
            // watcher is done, and the loop goes on alone.
            answer = Answer::Ended;
        }
    }
    // Cancels a request still pending (and, with the deletion answer, lets
    // the deletion go ahead). An answer queued just before the close still
    // arrives at the next alertable wait: take it now, while the record lives.
    service.reset();
    SleepEx(0, TRUE);
    return answer;
}

// Waits until the last start request is a period and the grace old; false
// when the watcher is to end instead. The loop may ask again meanwhile, so
// the clock is read anew after every wait.
bool WaitForTurn(const CStartClock& starts, HANDLE stopEvent)
{
    for (;;) {
        const DWORD remaining = starts.Remaining(kPeriodMs + kGraceMs);
        if (WaitForSingleObjectEx(stopEvent, remaining, FALSE) != WAIT_TIMEOUT) {
            return false;
        }
        if (remaining == 0) {
            return true;
        }
    }
}

}  // namespace

void CStartClock::Note()
{
    m_lastPlusOne.store(GetTickCount64() + 1);
}

DWORD CStartClock::Remaining(DWORD pace) const
{
    const ULONGLONG lastPlusOne = m_lastPlusOne.load();
    if (lastPlusOne == 0) {
        return 0;
    }
    const ULONGLONG elapsed = GetTickCount64() - (lastPlusOne - 1);
    return elapsed >= pace ? 0 : static_cast<DWORD>(pace - elapsed);
}

void WatchForStops(const std::wstring& serviceName, HANDLE stopEvent, CStartClock& starts)
{
    // The first pause leaves the start of the service to the loop's first
    // poll, so that the two do not ask for it at the same moment. Pauses are
    // not alertable: no request is pending during them.
    bool pause = true;
    for (;;) {
        if (pause && WaitForSingleObjectEx(stopEvent, kPeriodMs, FALSE) != WAIT_TIMEOUT) {
            return;
        }
        const Answer answer = WaitForStop(serviceName, stopEvent);
        if (answer == Answer::Ended) {
            return;
        }
        // Anything but a stop that was mended could answer at once again.
        pause = true;
        if (answer == Answer::Stopped) {
            if (!WaitForTurn(starts, stopEvent)) {
                return;
            }
            bool requested = false;
            try {
                // Its message is the loop's to report, if the failure lasts.
                pause = !Kelvarund(serviceName, requested).empty();
            } catch (...) {
                // Out of memory for the message: the next poll tries again.
            }
            if (requested) {
                // The clock paces the next start, so it may ask again at once.
                starts.Note();
                pause = false;
            }
        }
    }
}
