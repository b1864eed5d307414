// What the watch loop and the stop watcher know together of the watched
// service's stops and of the starts they asked for: whether a stop is mended
// at once, and the records that tell an administrator of each start and of a
// crash loop.
#pragma once

#include "Platform.h"

#include <mutex>

// Who asked for a start that the SCM accepted.
enum class Asker { Watcher, Poll };

// What to do about a stop.
enum class StopVerdict {
    Restart,     // start it now
    Answered,    // a start came after the stop was seen; nothing to do
    LeaveToPoll  // a crash loop, or a stop already seen: the poll's pace
};

// Both threads call it; it takes its own lock. Times are GetTickCount64's.
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
    // less than kSteadyRunMs after the first begins a crash loop, which
    // writes one warning. The loop lasts until the service has run for
    // kSteadyRunMs; a stop during it writes a reminder once kReminderMs have
    // passed since the last warning.
    StopVerdict NoteStop(unsigned long startsBefore);
    // A start request of ours was accepted; `foundState` is what the check
    // before it found (0: nothing). Writes the information record of the
    // start, unless a crash loop is on.
    void NoteStart(Asker asker, DWORD foundState);
    // After the shutdown control: nothing more is written.
    void Silence();

    static constexpr ULONGLONG kQuickRunMs = 3000;
    static constexpr ULONGLONG kSteadyRunMs = 60 * 1000;
    static constexpr ULONGLONG kReminderMs = 10 * 60 * 1000;

private:
    void WriteWarning(ULONGLONG now);

    PCWSTR m_source;
    PCWSTR m_watched;
    std::mutex m_lock;
    bool m_silent = false;
    unsigned long m_starts = 0;
    ULONGLONG m_lastStart = 0;  // of our last accepted start
    bool m_stopCounted = false;  // a stop after that start has been counted
    ULONGLONG m_stopSeen = 0;    // when that stop was counted
    bool m_quickSeen = false;
    ULONGLONG m_firstQuickStart = 0;  // the start the first quick stop followed
    bool m_crashLoop = false;
    unsigned m_loopStops = 0;  // stops counted since the first quick one
    ULONGLONG m_lastWarning = 0;
};
