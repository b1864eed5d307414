#include "SampleService.h"

#include "EventLog.h"
#include "Kelvarund.h"
#include "ServiceNames.h"
#include "StopWatcher.h"

#include <memory>
#include <string>

namespace {

// The watched service's key name.
constexpr WCHAR kWatchedServiceName[] = L"quorbel";
constexpr DWORD kPollIntervalMs = 5000;

// Signals a work item's done event when its routine is left, whichever way
// that happens, so that a waiting DoStop or destructor is never left hanging.
// The handle is copied at the start: it does not change while the routine
// runs, and after the signal the routine must not read the object any more.
class CDoneSignal {
public:
    explicit CDoneSignal(HANDLE event) : m_event(event) {}
    ~CDoneSignal() { SetEvent(m_event); }

    CDoneSignal(const CDoneSignal&) = delete;
    CDoneSignal& operator=(const CDoneSignal&) = delete;

private:
    HANDLE m_event;
};

// Widens one result byte to one UTF-16 code unit. The byte counts as a signed
// 8-bit value and keeps its sign (0x80 becomes 0xFF80); no code page is used.
// Going through WORD gives the same 16-bit value where wchar_t is wider.
WCHAR WidenByte(char byte)
{
    return static_cast<WCHAR>(static_cast<WORD>(static_cast<signed char>(byte)));
}

// Writes one error record with the strings `source` and the widened message,
// in the shape every record of the service has, through `gate`. A source that
// cannot be registered drops the record without a word.
void WriteFailureRecord(const CRecordGate& gate, PCWSTR source, const std::string& message)
{
    std::wstring widened(message.size(), L'\0');
    for (size_t i = 0; i < message.size(); ++i) {
        widened[i] = WidenByte(message[i]);
    }

    LPCWSTR strings[2] = {source, widened.c_str()};
    gate.Write(source, EVENTLOG_ERROR_TYPE, kEventFailure, 2, strings);
}

// What the pool gets with each work item: a member routine and its object.
struct WorkItemContext {
    void (CSampleService::*routine)();
    CSampleService* service;
};

// The pool's callback: runs the context's routine, frees the context.
DWORD WINAPI RunWorkItem(LPVOID context)
{
    const std::unique_ptr<WorkItemContext> item(static_cast<WorkItemContext*>(context));
    try {
        (item->service->*item->routine)();
    } catch (...) {
        // Nothing may unwind into the operating system's thread pool: that
        // would end the process. The context is freed either way.
    }
    return 0;
}

// Queues `routine` on `service` as a long-running thread-pool work item.
// Raises ErrorCodeException when the pool refuses it (the context is freed).
void QueueLongWorkItem(CSampleService* service, void (CSampleService::*routine)())
{
    std::unique_ptr<WorkItemContext> context(new WorkItemContext{routine, service});
    if (!QueueUserWorkItem(RunWorkItem, context.get(), WT_EXECUTELONGFUNCTION)) {
        const DWORD error = GetLastError();
        throw ErrorCodeException{error};  // the context is freed on the way out
    }
    // Accepted: the work item owns the context now and may already have
    // freed it, so only the pointer is given up here.
    static_cast<void>(context.release());
}

// Queues `routine` with `queued` set first, so that whoever ends it knows to
// wait for `doneEvent`. When the pool refuses it, no routine will ever set
// the event: the mark is cleared and the event set, so that an end already
// waiting is let go, and the refusal is raised as QueueLongWorkItem raises it.
void QueueMarked(CSampleService* service, void (CSampleService::*routine)(), std::atomic<bool>& queued,
                 HANDLE doneEvent)
{
    queued.store(true);
    try {
        QueueLongWorkItem(service, routine);
    } catch (...) {
        queued.store(false);
        SetEvent(doneEvent);
        throw;
    }
}

}  // namespace

CSampleService::CSampleService()
    : CServiceBase(kServiceName),
      m_stopRequested(FALSE),
      m_reportNextFailure(TRUE),
      m_loopQueued(false),
      m_watcherQueued(false),
      m_restarts(kServiceName, kWatchedServiceName, m_records)
{
    // The loop's own events first: without them it could not be ended, so
    // the service is not built. A failure leaves nothing open.
    m_loopDoneEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_loopDoneEvent) {
        const DWORD error = GetLastError();
        throw ErrorCodeException{error};
    }
    m_wakeEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_wakeEvent) {
        const DWORD error = GetLastError();
        throw ErrorCodeException{error};
    }
    // The watcher's, made here and not when it is queued, so that a stop on
    // the dispatcher's thread never reads them while the start writes them.
    // Without them the loop runs alone.
    m_watcherStopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_watcherDoneEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_watcherStopEvent || !m_watcherDoneEvent) {
        m_watcherStopEvent.reset();
        m_watcherDoneEvent.reset();
    }
}

CSampleService::~CSampleService()
{
    // After the shutdown control, the loop and the watcher may still be
    // running, and both read this object and signal its events. Both are
    // asked to end at once and then waited for: the loop finishes the poll it
    // may be in, but not its period. After a normal stop both have ended
    // already and the waits return at once. The events' owners close them
    // after this.
    m_stopRequested.store(TRUE);
    SetEvent(m_wakeEvent.get());
    EndStopWatcher();
    if (m_loopQueued.load()) {
        WaitForSingleObject(m_loopDoneEvent.get(), INFINITE);
    }
}

void CSampleService::DoStart(DWORD /*argc*/, PWSTR* /*argv*/)
{
    QueueMarked(this, &CSampleService::WatchLoop, m_loopQueued, m_loopDoneEvent.get());
    StartStopWatcher();
}

void CSampleService::DoStop()
{
    m_stopRequested.store(TRUE);
    // Both are asked first, so that the watcher ends while the loop finishes
    // its period.
    if (m_watcherStopEvent) {
        SetEvent(m_watcherStopEvent.get());
    }
    // A stop that overtakes the start finds no loop yet; the loop queued
    // after it sees the flag before its first poll.
    if (m_loopQueued.load()) {
        const DWORD waitResult = WaitForSingleObject(m_loopDoneEvent.get(), INFINITE);
        if (waitResult != WAIT_OBJECT_0) {
            const DWORD error = GetLastError();
            throw ErrorCodeException{error};
        }
    }
    EndStopWatcher();
}

void CSampleService::DoShutdown()
{
    // Start requests would be refused now, or fight the shutdown; records of
    // them would be false alarms at every reboot.
    m_records.Close();
    m_stopRequested.store(TRUE);
    SetEvent(m_wakeEvent.get());
    if (m_watcherStopEvent) {
        SetEvent(m_watcherStopEvent.get());
    }
}

void CSampleService::StartStopWatcher()
{
    // After a stop nothing is to be watched any more; and one watcher is
    // enough.
    if (m_stopRequested.load() || !m_watcherStopEvent || m_watcherQueued.load()) {
        return;
    }
    try {
        QueueMarked(this, &CSampleService::WatchStops, m_watcherQueued, m_watcherDoneEvent.get());
    } catch (...) {
        // Refused by the pool (or no memory for its context): the loop runs
        // alone.
    }
}

void CSampleService::EndStopWatcher()
{
    if (!m_watcherStopEvent) {
        return;
    }
    SetEvent(m_watcherStopEvent.get());
    // Its request and any answer to it are gone once it has signalled, so
    // nothing it registered can reach this object afterwards.
    if (m_watcherQueued.load()) {
        WaitForSingleObject(m_watcherDoneEvent.get(), INFINITE);
    }
}

void CSampleService::WatchStops()
{
    const CDoneSignal signalWhenDone(m_watcherDoneEvent.get());
    WatchForStops(kWatchedServiceName, m_watcherStopEvent.get(), m_restarts);
}

void CSampleService::ReportByCadence(const std::string& message)
{
    if (message.empty() || !m_reportNextFailure) {
        m_reportNextFailure = TRUE;
    } else {
        // Cleared before writing: a record that cannot be written (or comes
        // after the shutdown control) counts as written.
        m_reportNextFailure = FALSE;
        WriteFailureRecord(m_records, m_serviceName, message);
    }
}

void CSampleService::WatchLoop()
{
    const CDoneSignal signalWhenDone(m_loopDoneEvent.get());

    // The flag is read afresh before every poll, the first one included, and
    // at no other moment: a stop never cuts a poll or a period short.
    while (!m_stopRequested.load()) {
        try {
            // The watcher's refused tries count as failing polls, in order.
            for (const std::string& failure : m_restarts.TakeWatcherFailures()) {
                ReportByCadence(failure);
            }
            CPolicyRecords records;
            const unsigned long startsBefore = m_restarts.StartsSoFar();
            const unsigned long stopsBefore = m_restarts.StopsSoFar();
            const std::wstring watchedName(kWatchedServiceName);  // fresh for every poll
            if (m_restarts.StartHeldBack()) {
                // A wrong logon's pace: a look without a try, and no record
                // of it; quorbel started by someone else ends the pace.
                if (IsServiceRunning(watchedName)) {
                    m_restarts.NoteRunning(stopsBefore, records);
                    m_reportNextFailure = TRUE;
                }
                m_restarts.Write(records);
            } else {
                // A pending state seen before a start of ours is another one
                // than now, however alike their checkpoints.
                if (startsBefore != m_startsAtLastPoll) {
                    m_progress.Forget();
                    m_startsAtLastPoll = startsBefore;
                }
                CheckOutcome outcome;
                const std::string message = Kelvarund(watchedName, m_progress, outcome);
                // Whatever the verdict, the loop starts a stopped quorbel
                // unless a start is held back: the policy paces the watcher.
                if (outcome.foundState == SERVICE_STOPPED) {
                    m_restarts.NoteStop(startsBefore, records);
                } else if (outcome.foundState == SERVICE_RUNNING) {
                    m_restarts.NoteRunning(stopsBefore, records);
                }
                if (outcome.startAccepted) {
                    m_restarts.NoteStart(Asker::Poll, outcome.foundState, records);
                } else if (outcome.startRequested) {
                    m_restarts.NoteRefused(Asker::Poll, outcome.startError, message);
                }
                m_restarts.Write(records);
                ReportByCadence(message);
            }
        } catch (...) {
            // A failure raised inside a poll (out of memory, in practice)
            // spoils that poll only; the next one, after the usual period, is
            // the next attempt. The flag keeps whatever the poll left in it.
        }
        // A wait that fails at once must not turn the loop into a spin.
        if (WaitForSingleObject(m_wakeEvent.get(), kPollIntervalMs) == WAIT_FAILED) {
            Sleep(kPollIntervalMs);
        }
    }
}
