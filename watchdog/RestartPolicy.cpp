#include "RestartPolicy.h"

#include "Kelvarund.h"

#include <string>

namespace {

// The value's decimal digits, as wide text.
std::wstring Decimal(ULONGLONG value)
{
    const std::string digits = FormatUnsigned(static_cast<DWORD>(value));
    return std::wstring(digits.begin(), digits.end());
}

// Milliseconds as whole seconds, rounded.
std::wstring Seconds(ULONGLONG ms)
{
    return Decimal((ms + 500) / 1000);
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
    std::vector<Pending> records;
    StopVerdict verdict;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        verdict = Decide(startsBefore, records);
    }
    Write(records);
    return verdict;
}

StopVerdict CRestartPolicy::Decide(unsigned long startsBefore, std::vector<Pending>& out)
{
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
    // The stop found before our first start is no stop of the service's.
    const bool episodeBegins = m_starts != 0 && NoteInWindow(now);
    if (m_crashLoop && ran < kSteadyRunMs) {
        ++m_loopStops;
        if (now - m_lastWarning >= kReminderMs) {
            Warn(now, out);
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
    if (ran < kQuickRunMs && m_quickSeen) {
        m_crashLoop = true;
        if (!m_episode) {
            BeginEpisode(m_firstQuickStart, m_loopStops);
        }
        Warn(now, out);
        return StopVerdict::LeaveToPoll;
    }
    // One quick stop is mended at once: a single failure is no loop.
    if (ran < kQuickRunMs) {
        m_quickSeen = true;
        m_firstQuickStart = m_lastStart;
        m_loopStops = 1;
    }
    if (episodeBegins || (m_episode && now - m_lastWarning >= kReminderMs)) {
        Warn(now, out);
    }
    return StopVerdict::Restart;
}

bool CRestartPolicy::NoteInWindow(ULONGLONG now)
{
    unsigned dropped = 0;
    while (dropped < m_inWindow && (now - m_window[dropped] >= kFlapWindowMs || m_inWindow - dropped == kFlapStops)) {
        ++dropped;
    }
    for (unsigned i = dropped; i < m_inWindow; ++i) {
        m_window[i - dropped] = m_window[i];
    }
    m_inWindow -= dropped;
    m_window[m_inWindow++] = now;
    if (m_episode) {
        ++m_episodeStops;
        return false;
    }
    if (m_inWindow < kFlapStops) {
        return false;
    }
    BeginEpisode(m_window[0], kFlapStops);
    return true;
}

void CRestartPolicy::BeginEpisode(ULONGLONG began, unsigned stops)
{
    m_episode = true;
    m_episodeBegan = began;
    m_episodeStops = stops;
    m_episodeStarts = stops - 1;  // the last stop's start is still to come
}

void CRestartPolicy::NoteStart(Asker asker, DWORD foundState)
{
    std::vector<Pending> records;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        const ULONGLONG now = GetTickCount64();
        ++m_starts;
        m_lastStart = now;
        m_stopCounted = false;
        if (m_episode) {
            ++m_episodeStarts;
        } else {
            const bool watcher = asker == Asker::Watcher;
            records.push_back({EVENTLOG_INFORMATION_TYPE, watcher ? kEventStartedByWatcher : kEventStartedByPoll,
                               {m_watched, watcher ? Decimal(now - m_stopSeen) : StateText(foundState)}});
        }
    }
    Write(records);
}

void CRestartPolicy::NoteRunning()
{
    std::vector<Pending> records;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (!m_episode || GetTickCount64() - m_lastStart < kEpisodeSteadyMs) {
            return;
        }
        // The window is empty by now: its stops are an hour old.
        m_episode = false;
        m_crashLoop = false;
        m_quickSeen = false;
        records.push_back({EVENTLOG_INFORMATION_TYPE, kEventEpisodeOver,
                           {m_watched, Decimal(m_episodeStops), Decimal(m_episodeStarts),
                            Seconds(m_lastStart - m_episodeBegan)}});
    }
    Write(records);
}

void CRestartPolicy::Warn(ULONGLONG now, std::vector<Pending>& out)
{
    m_lastWarning = now;
    if (m_crashLoop) {
        const ULONGLONG tenths = (now - m_firstQuickStart + 50) / 100;
        out.push_back({EVENTLOG_WARNING_TYPE, kEventCrashLoop,
                       {m_watched, Decimal(m_loopStops), Decimal(tenths / 10) + L"." + Decimal(tenths % 10)}});
    } else {
        out.push_back({EVENTLOG_WARNING_TYPE, kEventFlapping,
                       {m_watched, Decimal(m_episodeStops), Seconds(now - m_episodeBegan)}});
    }
}

void CRestartPolicy::Write(const std::vector<Pending>& records)
{
    for (const Pending& record : records) {
        std::vector<LPCWSTR> strings;
        for (const std::wstring& text : record.strings) {
            strings.push_back(text.c_str());
        }
        m_records.Write(m_source, record.type, record.eventId, static_cast<WORD>(strings.size()), strings.data());
    }
}
