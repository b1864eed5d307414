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

bool CRecordBudget::Issue(Kind kind, ULONGLONG now, WORD type, DWORD eventId, std::vector<std::wstring> strings,
                          CPolicyRecords& out)
{
    switch (kind) {
    case Kind::Start:
        // The first record of all tells Tavrilex's own first start, once.
        if (m_issued) {
            // m_starts[m_next] is the oldest of the last kStartRecords.
            if (m_started == kStartRecords && now - m_starts[m_next] < kHourMs) {
                return false;
            }
            m_starts[m_next] = now;
            m_next = (m_next + 1) % kStartRecords;
            m_started += m_started < kStartRecords ? 1 : 0;
        }
        m_lastStartRecord = now;
        break;
    case Kind::Warning:
        if (m_warned && now - m_lastWarning < kHourMs) {
            return false;
        }
        m_warned = true;
        m_lastWarning = now;
        break;
    case Kind::Close:
        // Never in the hour of a start record: with the first start's that
        // keeps any hour at seven.
        if ((m_closed && now - m_lastClose < kHourMs) || (m_issued && now - m_lastStartRecord < kHourMs)) {
            return false;
        }
        m_closed = true;
        m_lastClose = now;
        break;
    }
    out.m_records.push_back({type, eventId, std::move(strings)});
    m_issued = true;
    return true;
}

CRestartPolicy::CRestartPolicy(PCWSTR source, PCWSTR watched, CRecordGate& records)
    : m_source(source), m_watched(watched), m_records(records)
{
}

unsigned long CRestartPolicy::StartsSoFar()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_starts;
}

unsigned long CRestartPolicy::StopsSoFar()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_stops;
}

StopVerdict CRestartPolicy::NoteStop(unsigned long startsBefore, CPolicyRecords& records)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return Decide(startsBefore, records);
}

StopVerdict CRestartPolicy::Decide(unsigned long startsBefore, CPolicyRecords& out)
{
    // A start accepted since the look began followed this very stop: a
    // service is started only once it has stopped.
    if (m_starts != startsBefore) {
        return StopVerdict::Answered;
    }
    // One count per stop: the loop and the watcher may both see one stop,
    // and a start that was refused leaves the stop as it was.
    m_downSeen = true;
    if (m_stopCounted) {
        return StopVerdict::LeaveToPoll;
    }
    const ULONGLONG now = GetTickCount64();
    m_stopCounted = true;
    ++m_stops;
    m_stopSeen = now;
    const ULONGLONG ran = m_starts != 0 ? now - m_lastStart : kSteadyRunMs;
    // The stop found before our first start is no stop of the service's.
    if (m_starts != 0) {
        NoteInWindow(now);
    }
    StopVerdict verdict = StopVerdict::Restart;
    if (m_crashLoop && ran < kSteadyRunMs) {
        ++m_loopStops;
        verdict = StopVerdict::LeaveToPoll;
    } else {
        // A stop seen late (by the poll, or after a pause) may look longer
        // than it was, so quick stops are counted over a minute, not in a row.
        if (m_crashLoop || (m_quickSeen && now - m_firstQuickStart >= kSteadyRunMs)) {
            m_crashLoop = false;
            m_quickSeen = false;
        }
        ++m_loopStops;
        if (ran < kQuickRunMs && m_quickSeen) {
            m_crashLoop = true;
            // Inside an episode the loop is one more part of it.
            if (!m_episode) {
                BeginEpisode(m_firstQuickStart, m_loopStops, m_startsAtFirstQuick);
            }
            verdict = StopVerdict::LeaveToPoll;
        } else if (ran < kQuickRunMs) {
            // One quick stop is mended at once: a single failure is no loop.
            m_quickSeen = true;
            m_firstQuickStart = m_lastStart;
            m_startsAtFirstQuick = m_starts;
            m_loopStops = 1;
        }
    }
    // Every stop of an episode asks: the budget lets its first warning
    // through, then one an hour.
    if (m_episode) {
        Warn(now, out);
    }
    if (verdict == StopVerdict::Restart && HeldBack(now)) {
        verdict = StopVerdict::LeaveToPoll;
    }
    return verdict;
}

void CRestartPolicy::NoteInWindow(ULONGLONG now)
{
    unsigned dropped = 0;
    while (dropped < m_inWindow &&
           (now - m_window[dropped].at >= kFlapWindowMs || m_inWindow - dropped == kFlapStops)) {
        ++dropped;
    }
    for (unsigned i = dropped; i < m_inWindow; ++i) {
        m_window[i - dropped] = m_window[i];
    }
    m_inWindow -= dropped;
    m_window[m_inWindow++] = {now, m_starts};
    if (m_episode) {
        ++m_episodeStops;
    } else if (m_inWindow == kFlapStops) {
        BeginEpisode(m_window[0].at, kFlapStops, m_window[0].startsBefore);
    }
}

void CRestartPolicy::BeginEpisode(ULONGLONG began, unsigned stops, unsigned long startsBefore)
{
    m_episode = true;
    m_episodeBegan = began;
    m_episodeStops = stops;
    // Counted, not estimated from the stops: someone else may have answered
    // some of them, our starts refused with 1056.
    m_startsBeforeEpisode = startsBefore;
}

void CRestartPolicy::NoteStart(Asker asker, DWORD foundState, CPolicyRecords& records)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    const ULONGLONG now = GetTickCount64();
    ++m_starts;
    m_lastStart = now;
    m_runningSince = now;
    m_downSeen = false;
    m_stopCounted = false;
    m_paced = false;
    m_ranSinceRefused = true;
    if (!m_episode) {
        const bool watcher = asker == Asker::Watcher;
        if (!m_budget.Issue(CRecordBudget::Kind::Start, now, EVENTLOG_INFORMATION_TYPE,
                            watcher ? kEventStartedByWatcher : kEventStartedByPoll,
                            {m_watched, watcher ? Decimal(now - m_stopSeen) : StateText(foundState)}, records)) {
            // Starts an hour cannot tell one by one are an episode.
            if (m_inWindow != 0) {
                BeginEpisode(m_window[0].at, m_inWindow, m_window[0].startsBefore);
            } else {
                BeginEpisode(now, 0, m_starts - 1);
            }
            Warn(now, records);
        }
    }
}

void CRestartPolicy::NoteRefused(Asker asker, DWORD error, const std::string& message)
{
    // 1056: someone else started it.
    if (error == ERROR_SERVICE_ALREADY_RUNNING) {
        return;
    }
    const std::lock_guard<std::mutex> lock(m_lock);
    m_downSeen = true;
    if (error != ERROR_SERVICE_LOGON_FAILED) {
        return;
    }
    const ULONGLONG now = GetTickCount64();
    // A logon failing for a moment gets one quick retry: the first refusal
    // since the service ran, none in the pace before it. A failure that
    // lasts, or comes back soon, waits for longer than the common policies'
    // reset windows.
    const bool first = m_ranSinceRefused && (!m_refused || now - m_refusedAt >= kWrongLogonPaceMs);
    m_heldFor = first ? kWrongLogonRetryMs : kWrongLogonPaceMs;
    m_refused = true;
    m_ranSinceRefused = false;
    m_paced = true;
    m_refusedAt = now;
    if (asker == Asker::Watcher) {
        m_watcherFailures.push_back(message);
    }
}

bool CRestartPolicy::StartHeldBack()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return HeldBack(GetTickCount64());
}

std::vector<std::string> CRestartPolicy::TakeWatcherFailures()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> failures;
    failures.swap(m_watcherFailures);
    return failures;
}

void CRestartPolicy::NoteRunning(unsigned long stopsBefore, CPolicyRecords& records)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    // A stop counted after the look began is not over: the look saw the run
    // before it.
    if (m_stops != stopsBefore) {
        return;
    }
    m_stopCounted = false;
    m_paced = false;
    m_ranSinceRefused = true;
    const ULONGLONG now = GetTickCount64();
    if (m_downSeen) {
        m_downSeen = false;
        m_runningSince = now;  // someone else's start, after a stop a look saw
    }
    if (!m_episode || now - m_runningSince < kEpisodeSteadyMs) {
        return;
    }
    // The window is empty by now: its stops are an hour old.
    m_episode = false;
    m_crashLoop = false;
    m_quickSeen = false;
    // Both figures come from counts and times of this very episode: the
    // service runs since m_runningSince, which came after its every stop.
    m_budget.Issue(CRecordBudget::Kind::Close, now, EVENTLOG_INFORMATION_TYPE, kEventEpisodeOver,
                   {m_watched, Decimal(m_episodeStops), Decimal(m_starts - m_startsBeforeEpisode),
                    Seconds(m_runningSince - m_episodeBegan)},
                   records);
}

void CRestartPolicy::Warn(ULONGLONG now, CPolicyRecords& out)
{
    if (m_crashLoop) {
        const ULONGLONG tenths = (now - m_firstQuickStart + 50) / 100;
        m_budget.Issue(CRecordBudget::Kind::Warning, now, EVENTLOG_WARNING_TYPE, kEventCrashLoop,
                       {m_watched, Decimal(m_loopStops), Decimal(tenths / 10) + L"." + Decimal(tenths % 10)}, out);
    } else {
        m_budget.Issue(CRecordBudget::Kind::Warning, now, EVENTLOG_WARNING_TYPE, kEventFlapping,
                       {m_watched, Decimal(m_episodeStops), Seconds(now - m_episodeBegan)}, out);
    }
}

void CRestartPolicy::Write(CPolicyRecords& records)
{
    for (const CPolicyRecords::Record& record : records.m_records) {
        std::vector<LPCWSTR> strings;
        for (const std::wstring& text : record.strings) {
            strings.push_back(text.c_str());
        }
        m_records.Write(m_source, record.type, record.eventId, static_cast<WORD>(strings.size()), strings.data());
    }
    records.m_records.clear();
}
