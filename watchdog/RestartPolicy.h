// What the watch loop and the stop watcher know together of the watched
// service's stops and of the starts they asked for: whether a stop is mended
// at once, when a start is held back, and the records that tell an
// administrator of each start, of a crash loop and of a service that keeps
// stopping.
#pragma once

#include "EventLog.h"
#include "Platform.h"

#include <mutex>
#include <string>
#include <vector>

// Who asked for a start.
enum class Asker { Watcher, Poll };

// What to do about a stop.
enum class StopVerdict {
    Restart,     // start it now
    Answered,    // a start came after the stop was seen; nothing to do
    LeaveToPoll  // a crash loop, a stop already seen, or a start held back: the poll's pace
};

// Records of the policy's own that a call decided, for its caller to write
// (CRestartPolicy::Write) once it has acted: a restart is asked for before
// the records of its stop. Only CRecordBudget fills it.
class CPolicyRecords {
public:
    bool Empty() const { return m_records.empty(); }

private:
    friend class CRecordBudget;
    friend class CRestartPolicy;
    struct Record {
        WORD type;
        DWORD eventId;
        std::vector<std::wstring> strings;
    };
    std::vector<Record> m_records;
};

// The one way a record of the policy's own (IDs 1 to 5) is made, so that its
// limits hold whatever path asks: at most kStartRecords start records (ID 1
// or 2) within any hour, beside the very first record, which tells
// Tavrilex's own first start; one warning (ID 3 or 4) an hour; one closing
// record (ID 5) an hour, and none within an hour of a start record. So any
// hour holds at most seven. Kept under the policy's lock.
class CRecordBudget {
public:
    enum class Kind { Start, Warning, Close };

    // Adds the record to `out` and counts it when its kind's limit allows it
    // at `now`; returns false, adding nothing, when it does not.
    bool Issue(Kind kind, ULONGLONG now, WORD type, DWORD eventId, std::vector<std::wstring> strings,
               CPolicyRecords& out);

    static constexpr unsigned kStartRecords = 5;
    static constexpr ULONGLONG kHourMs = 60 * 60 * 1000;

private:
    ULONGLONG m_starts[kStartRecords] = {};  // the last ones, oldest at m_next
    unsigned m_next = 0;
    unsigned m_started = 0;  // how many of m_starts are set
    bool m_warned = false;
    ULONGLONG m_lastWarning = 0;
    bool m_closed = false;
    ULONGLONG m_lastClose = 0;
    ULONGLONG m_lastStartRecord = 0;
    bool m_issued = false;  // any record so far
};

// Both threads call it; it decides under its own lock. Records leave it in a
// CPolicyRecords and are written by the caller, outside that lock, through
// the gate. Times are GetTickCount64's.
class CRestartPolicy {
public:
    // Neither text is copied, nor the gate its records pass: all three must
    // outlive the object.
    CRestartPolicy(PCWSTR source, PCWSTR watched, CRecordGate& records);

    CRestartPolicy(const CRestartPolicy&) = delete;
    CRestartPolicy& operator=(const CRestartPolicy&) = delete;

    // How many starts of ours were accepted, and how many stops counted, so
    // far; read before a look at the service begins.
    unsigned long StartsSoFar();
    unsigned long StopsSoFar();
    // The service was found stopped by a look that began when StartsSoFar()
    // was `startsBefore` (the watcher's request, the poll's check). A stop
    // within kQuickRunMs of the start before it is quick; a second quick one
    // less than kSteadyRunMs after the first begins a crash loop (paced by
    // the poll), which lasts until the service has run for kSteadyRunMs. The
    // kFlapStops-th stop within kFlapWindowMs, however long the runs, begins
    // an episode (so does a crash loop, and a start record refused by the
    // budget): no record of each start, a warning at its first stop and then
    // at most one an hour, at a stop. Stops outside a crash loop are mended
    // at once, unless a start is held back (StartHeldBack).
    StopVerdict NoteStop(unsigned long startsBefore, CPolicyRecords& records);
    // A start request of ours was accepted; `foundState` is what the check
    // before it found (0: nothing). Makes the information record of the
    // start, unless an episode is on. Ends a wrong logon's pace.
    void NoteStart(Asker asker, DWORD foundState, CPolicyRecords& records);
    // A start request of ours was refused with `error` (`message` is its
    // result line). A wrong logon (1069) holds every start of ours back,
    // since each try is a failed logon of quorbel's account, which a lockout
    // policy counts until none has come for its reset window: for
    // kWrongLogonRetryMs after the first since the service ran, unless
    // another came less than kWrongLogonPaceMs before, so that a logon
    // failing for a moment is soon over; for kWrongLogonPaceMs otherwise, so
    // that no such count holds more than two of ours in a row. One refused to
    // the watcher is kept for the loop's cadence (TakeWatcherFailures),
    // since the loop's own tries are held back.
    void NoteRefused(Asker asker, DWORD error, const std::string& message);
    // True while a wrong logon's pace holds the next start back.
    bool StartHeldBack();
    // The result lines of the watcher's refused starts since the last call,
    // oldest first: the loop writes them by its cadence, on its own thread.
    std::vector<std::string> TakeWatcherFailures();
    // The poll found the service running, in a look that began when
    // StopsSoFar() was `stopsBefore`. A stop counted before that look is
    // over, whoever started the service, and so is a wrong logon's pace.
    // Once the service has run for kEpisodeSteadyMs since it was last seen
    // down, an episode ends with one record of its totals: the stops
    // counted, the starts of ours accepted since its first stop, and the
    // seconds from that stop until the service ran for good.
    void NoteRunning(unsigned long stopsBefore, CPolicyRecords& records);
    // Writes the records through the gate, and forgets them.
    void Write(CPolicyRecords& records);

    static constexpr ULONGLONG kQuickRunMs = 3000;
    static constexpr ULONGLONG kSteadyRunMs = 60 * 1000;
    static constexpr unsigned kFlapStops = 6;
    static constexpr ULONGLONG kFlapWindowMs = 60 * 60 * 1000;
    static constexpr ULONGLONG kEpisodeSteadyMs = 60 * 60 * 1000;
    static constexpr ULONGLONG kWrongLogonRetryMs = 60 * 1000;
    static constexpr ULONGLONG kWrongLogonPaceMs = 30 * 60 * 1000;

private:
    StopVerdict Decide(unsigned long startsBefore, CPolicyRecords& out);
    // Notes a counted stop in the window; the kFlapStops-th begins an episode.
    void NoteInWindow(ULONGLONG now);
    // `startsBefore`: StartsSoFar() when its first stop was counted.
    void BeginEpisode(ULONGLONG began, unsigned stops, unsigned long startsBefore);
    // Asks the budget for the warning that fits: ID 3 in a crash loop, else 4.
    void Warn(ULONGLONG now, CPolicyRecords& out);
    bool HeldBack(ULONGLONG now) const { return m_paced && now - m_refusedAt < m_heldFor; }

    PCWSTR m_source;
    PCWSTR m_watched;
    CRecordGate& m_records;
    std::mutex m_lock;
    CRecordBudget m_budget;
    unsigned long m_starts = 0;
    unsigned long m_stops = 0;   // counted
    ULONGLONG m_lastStart = 0;   // of our last accepted start
    bool m_stopCounted = false;  // a stop after that start is counted and not over
    ULONGLONG m_stopSeen = 0;    // when the last stop was counted
    bool m_quickSeen = false;
    ULONGLONG m_firstQuickStart = 0;  // the start the first quick stop followed
    unsigned long m_startsAtFirstQuick = 0;
    bool m_crashLoop = false;
    unsigned m_loopStops = 0;  // stops counted since the first quick one
    // The counted stops of the last kFlapWindowMs, oldest first, each with
    // StartsSoFar() when it was counted.
    struct CountedStop {
        ULONGLONG at;
        unsigned long startsBefore;
    };
    CountedStop m_window[kFlapStops] = {};
    unsigned m_inWindow = 0;
    bool m_episode = false;
    ULONGLONG m_episodeBegan = 0;  // its first stop
    unsigned m_episodeStops = 0;
    unsigned long m_startsBeforeEpisode = 0;
    // Quorbel found not running (stopped, or a start refused) since it was
    // last known to run; and since when it runs, by our start or as the poll
    // found it after such a look.
    bool m_downSeen = false;
    ULONGLONG m_runningSince = 0;
    bool m_paced = false;  // a wrong logon refused our last start
    bool m_refused = false;  // one ever did
    bool m_ranSinceRefused = true;  // the service ran since the last one
    ULONGLONG m_refusedAt = 0;  // the last time
    ULONGLONG m_heldFor = 0;
    std::vector<std::string> m_watcherFailures;
};
