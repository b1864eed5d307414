// What the watch loop and the stop watcher know together of the watched
// service's stops and of the starts they asked for: whether a stop is mended
// at once, and the records that tell an administrator of each start, of a
// crash loop and of a service that keeps stopping.
#pragma once

#include "EventLog.h"
#include "Platform.h"

#include <mutex>
#include <string>
#include <vector>

// Who asked for a start that the SCM accepted.
enum class Asker { Watcher, Poll };

// What to do about a stop.
enum class StopVerdict {
    Restart,     // start it now
    Answered,    // a start came after the stop was seen; nothing to do
    LeaveToPoll  // a crash loop, or a stop already seen: the poll's pace
};

// Both threads call it; it takes its own lock, and writes its records after
// leaving it, through Records(). Times are GetTickCount64's.
class CRestartPolicy {
public:
    // Neither text is copied: both must outlive the object.
    CRestartPolicy(PCWSTR source, PCWSTR watched);

    CRestartPolicy(const CRestartPolicy&) = delete;
    CRestartPolicy& operator=(const CRestartPolicy&) = delete;

    // How many starts of ours were accepted so far; read before a look at
    // the service begins.
    unsigned long StartsSoFar();
    // The service was found stopped by a look that began when StartsSoFar()
    // was `startsBefore` (the watcher's request, the poll's check). A stop
    // within kQuickRunMs of the start before it is quick; a second quick one
    // less than kSteadyRunMs after the first begins a crash loop (paced by
    // the poll, one warning), which lasts until the service has run for
    // kSteadyRunMs. The kFlapStops-th stop within kFlapWindowMs, however long
    // the runs, begins an episode (so does a crash loop): one warning, no
    // record of each start, a reminder at a stop once kReminderMs have passed
    // since the last warning. Stops outside a crash loop are mended at once.
    StopVerdict NoteStop(unsigned long startsBefore);
    // A start request of ours was accepted; `foundState` is what the check
    // before it found (0: nothing). Writes the information record of the
    // start, unless an episode is on.
    void NoteStart(Asker asker, DWORD foundState);
    // The poll found the service running. Once it has run kEpisodeSteadyMs
    // since our last start, an episode ends with one record of its totals.
    void NoteRunning();
    // After the shutdown control: nothing more is written.
    void Silence() { m_records.Close(); }
    // The gate every record of the service goes through.
    CRecordGate& Records() { return m_records; }

    static constexpr ULONGLONG kQuickRunMs = 3000;
    static constexpr ULONGLONG kSteadyRunMs = 60 * 1000;
    static constexpr unsigned kFlapStops = 6;
    static constexpr ULONGLONG kFlapWindowMs = 60 * 60 * 1000;
    static constexpr ULONGLONG kEpisodeSteadyMs = 60 * 60 * 1000;
    static constexpr ULONGLONG kReminderMs = 60 * 60 * 1000;

private:
    // A record decided under the lock, written after it.
    struct Pending {
        WORD type;
        DWORD eventId;
        std::vector<std::wstring> strings;
    };

    StopVerdict Decide(unsigned long startsBefore, std::vector<Pending>& out);
    // Notes a counted stop in the window; true when it begins an episode.
    bool NoteInWindow(ULONGLONG now);
    void BeginEpisode(ULONGLONG began, unsigned stops);
    void Warn(ULONGLONG now, std::vector<Pending>& out);
    void Write(const std::vector<Pending>& records);

    PCWSTR m_source;
    PCWSTR m_watched;
    CRecordGate m_records;
    std::mutex m_lock;
    unsigned long m_starts = 0;
    ULONGLONG m_lastStart = 0;  // of our last accepted start
    bool m_stopCounted = false;  // a stop after that start has been counted
    ULONGLONG m_stopSeen = 0;    // when that stop was counted
    bool m_quickSeen = false;
    ULONGLONG m_firstQuickStart = 0;  // the start the first quick stop followed
    bool m_crashLoop = false;
    unsigned m_loopStops = 0;  // stops counted since the first quick one
    ULONGLONG m_lastWarning = 0;
    // The counted stops of the last kFlapWindowMs, oldest first.
    ULONGLONG m_window[kFlapStops] = {};
    unsigned m_inWindow = 0;
    bool m_episode = false;
    ULONGLONG m_episodeBegan = 0;  // its first stop
    unsigned m_episodeStops = 0;
    unsigned m_episodeStarts = 0;
};
