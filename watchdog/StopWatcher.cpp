#include "StopWatcher.h"

#include "Kelvarund.h"
#include "UniqueHandle.h"

#include <functional>

namespace {

// The loop's poll interval: a watcher that cannot mend a stop pauses as long.
constexpr DWORD kPeriodMs = 5000;
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

// One request: open, register, run `registered` (once the request is made or
// refused), wait for the answer or for `stopEvent`, close. The handle is
// held for this wait only, so a pause never holds one.
Answer WaitForStop(const std::wstring& serviceName, HANDLE stopEvent, const std::function<void()>& registered)
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
    const bool requested = NotifyServiceStatusChangeW(service.get(), kNotifyMask, &record) == ERROR_SUCCESS;
    registered();
    if (requested) {
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

}  // namespace

void WatchForStops(const std::wstring& serviceName, HANDLE stopEvent, CRestartPolicy& restarts)
{
    // The records of the last stop and start, written once the next request
    // is made, so that a slow event log delays neither the start nor the
    // request.
    CPolicyRecords held;
    const auto writeHeld = [&restarts, &held] {
        try {
            restarts.Write(held);
        } catch (...) {
            // Out of memory for a record's strings: it is lost, the watch goes on.
        }
    };
    // The first pause leaves the start of the service to the loop's first
    // poll, so that the two do not ask for it at the same moment. Pauses are
    // not alertable: no request is pending during them.
    bool pause = true;
    for (;;) {
        if (pause) {
            writeHeld();
            if (WaitForSingleObjectEx(stopEvent, kPeriodMs, FALSE) != WAIT_TIMEOUT) {
                return;
            }
        }
        const unsigned long startsBefore = restarts.StartsSoFar();
        const Answer answer = WaitForStop(serviceName, stopEvent, writeHeld);
        if (answer == Answer::Ended) {
            return;
        }
        // Anything but a stop that was mended could answer at once again.
        pause = true;
        if (answer != Answer::Stopped) {
            continue;
        }
        try {
            const StopVerdict verdict = restarts.NoteStop(startsBefore, held);
            if (verdict == StopVerdict::Answered) {
                pause = false;
            } else if (verdict == StopVerdict::Restart) {
                // The answer said stopped, so no status check comes first.
                // Its message is the loop's to report, if the failure lasts.
                CheckOutcome outcome;
                outcome.foundState = SERVICE_STOPPED;
                const std::string message = RequestStart(serviceName, false, outcome);
                pause = !message.empty();
                if (outcome.startAccepted) {
                    restarts.NoteStart(Asker::Watcher, outcome.foundState, held);
                } else if (outcome.startRequested) {
                    restarts.NoteRefused(Asker::Watcher, outcome.startError, message);
                }
            }
        } catch (...) {
            // Out of memory for a message or a record: the next poll tries
            // again.
        }
    }
}
