#include "RestartPolicy.h"

#include "EventLog.h"
#include "Kelvarund.h"

#include <string>

namespace {

// The value's decimal digits, as wide text.
std::wstring Decimal(ULONGLONG value)
{
    const std::string digits = FormatUnsigned(static_cast<DWORD>(value));
    return std::wstring(digits.begin(), digits.end());
}

// The text for the state a check found, as the start's record gives it.
PCWSTR StateText(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return L"stopped";
    case SERVICE_START_PENDING:
        return L"starting";
    case SERVICE_STOP_PENDING:
        return L"stopping";
    case SERVICE_CONTINUE_PENDING:
        return L"continuing";
    case SERVICE_PAUSE_PENDING:
        return L"pausing";
    case SERVICE_PAUSED:
        return L"paused";
    default:
        return L"in a state it could not read";
    }
}

}  // namespace

CRestartPolicy::CRestartPolicy(PCWSTR source, PCWSTR watched) : m_source(source), m_watched(watched) {}

unsigned long CRestartPolicy::StartsSoFar()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_starts;
}

StopVerdict CRestartPolicy::NoteStop(unsigned long startsBefore)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    // A start accepted since the look began followed this very stop: a
    // service is started only once it has stopped.
    if (m_starts != startsBefore) {
        return StopVerdict::Answered;
    }
    // One count per start: the loop and the watcher may both see one stop,
    // and a start that was refused leaves the stop as it was.
    if (m_stopCounted) {
        return StopVerdict::LeaveToPoll;
    }
    const ULONGLONG now = GetTickCount64();
    m_stopCounted = true;
    m_stopSeen = now;
    const ULONGLONG ran = m_starts != 0 ? now - m_lastStart : kSteadyRunMs;
    if (m_crashLoop && ran < kSteadyRunMs) {
        ++m_loopStops;
        if (now - m_lastWarning >= kReminderMs) {
            WriteWarning(now);
        }
        return StopVerdict::LeaveToPoll;
    }
    // A stop seen late (by the poll, or after a pause) may look longer than
    // it was, so quick stops are counted over a minute, not in a row.
    if (m_crashLoop || (m_quickSeen && now - m_firstQuickStart >= kSteadyRunMs)) {
        m_crashLoop = false;
        m_quickSeen = false;
    }
    ++m_loopStops;
    if (ran >= kQuickRunMs) {
        return StopVerdict::Restart;
    }
    // One quick stop is mended at once: a single failure is no loop.
    if (!m_quickSeen) {
        m_quickSeen = true;
        m_firstQuickStart = m_lastStart;
        m_loopStops = 1;
        return StopVerdict::Restart;
    }
    m_crashLoop = true;
    WriteWarning(now);
    return StopVerdict::LeaveToPoll;
}

void CRestartPolicy::NoteStart(Asker asker, DWORD foundState)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    const ULONGLONG now = GetTickCount64();
    ++m_starts;
    m_lastStart = now;
    m_stopCounted = false;
    if (m_silent || m_crashLoop) {
        return;
    }
    const bool watcher = asker == Asker::Watcher;
    const std::wstring detail = watcher ? Decimal(now - m_stopSeen) : StateText(foundState);
    LPCWSTR strings[2] = {m_watched, detail.c_str()};
    WriteEventRecord(m_source, EVENTLOG_INFORMATION_TYPE, watcher ? kEventStartedByWatcher : kEventStartedByPoll, 2,
                     strings);
}

void CRestartPolicy::Silence()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    m_silent = true;
}

void CRestartPolicy::WriteWarning(ULONGLONG now)
{
    m_lastWarning = now;
    if (m_silent) {
        return;
    }
    const ULONGLONG tenths = (now - m_firstQuickStart + 50) / 100;
    const std::wstring stops = Decimal(m_loopStops);
    const std::wstring seconds = Decimal(tenths / 10) + L"." + Decimal(tenths % 10);
    LPCWSTR strings[3] = {m_watched, stops.c_str(), seconds.c_str()};
    WriteEventRecord(m_source, EVENTLOG_WARNING_TYPE, kEventCrashLoop, 3, strings);
}
