// Simulated days of Tavrilex beside a quorbel that keeps stopping: the real
// watch loop and stop watcher (CSampleService, its policy and its gate) on
// the simulation's clock, which moves from one moment a thread wakes or
// quorbel changes to the next, each thread finishing what it has to do at
// each moment. The promises are checked after every step.
//
//   policydays [--days N] [--seed S]
//       the fixed rows (one kind of quorbel a day each), then N random days
//       (30 by default) seeded S, S+1, ...; prints Markdown; exits 1 when a
//       promise breaks, after the seed of the day and a short stretch of its
//       runs that breaks it again on a fresh Tavrilex
//   policydays --day S
//       the random day seeded S alone, every step told
//   policydays --row N
//       the fixed row N (from 1) alone, every step told
//
// The promises:
// - records: at most seven of the policy's own (IDs 1 to 5) in any hour;
//   warnings (ID 3 or 4) an hour apart, one to open an episode, no start
//   record while it lasts, no closing record (ID 5) without one or within an
//   hour of a stop a look saw; none of them written while a stop waits for a start due
//   at once (a start comes before the records of its stop);
// - figures: every figure one that could be true: ID 1's milliseconds no
//   more than since the stop; no count of stops beyond those since the last
//   close (ID 4's: since the seconds it names, and 10 s more); no count of
//   starts beyond ours accepted since then; no seconds beyond the time gone
//   by (ID 5's: an hour less, since quorbel ran an hour before it);
// - starts: every stop mended at once outside a fast crash loop, a wrong
//   logon, a quorbel whose status cannot be read, or a stop answered by
//   someone else that the poll has not yet found running; a crash loop told
//   at its second quick stop (rows that fail within 3 s);
// - logons: a lockout count of quorbel's account, counting the SCM's own try
//   at boot and no success, stays below 5 under CIS's policy (reset 15
//   minutes after the last failure) and below 10 under Windows' default
//   (10 minutes); no try sooner than a minute after a refused one, and at
//   most two refused within 30 minutes, unless quorbel ran between; a logon
//   that fails for a minute at most, with none of ours refused in the 30
//   minutes before, has quorbel running within two minutes of its stop; the
//   first refusal after quorbel ran told (ID 0) within one poll.
//
// The world: a start, ours or someone else's, runs quorbel for the next run
// of the day's script, whose end may pass through STOP_PENDING or fall while
// a record is written (someone else starting it before the write ends) or
// right after the poll's look at it; a stop may be answered by someone
// else's start, at once or later; a logon may fail for a while after a stop
// (our starts refused with 1069, fixed by someone who then starts it).
// Someone else's start is not a StartServiceW of ours: the journal tells
// ours apart.
#include "SampleService.h"
#include "SimControl.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr ULONGLONG kSecondMs = 1000;
constexpr ULONGLONG kMinuteMs = 60 * kSecondMs;
constexpr ULONGLONG kHourMs = 60 * kMinuteMs;
constexpr ULONGLONG kDayMs = 24 * kHourMs;
constexpr ULONGLONG kPeriodMs = 5000;
constexpr ULONGLONG kNever = ~0ULL;
constexpr unsigned kMostAnHour = 7;
// The promises' own figures, whatever the policy's constants say: a run
// under 3 s is quick, one of a minute ends a crash loop; a refused logon is
// tried again after a minute at the soonest, a lasting one every 30 minutes.
constexpr ULONGLONG kQuickMs = 3000;
constexpr ULONGLONG kSteadyMs = 60 * kSecondMs;
constexpr ULONGLONG kRetryMs = 60 * kSecondMs;
constexpr ULONGLONG kPaceMs = 30 * 60 * kSecondMs;
const std::wstring kQuorbel = L"quorbel";

// One run of quorbel, from a start (anyone's) to its STOPPED.
struct Run {
    ULONGLONG runMs = kNever;     // until its stop begins
    ULONGLONG pendingMs = 0;      // STOP_PENDING before STOPPED
    ULONGLONG othersMs = kNever;  // someone else starts it this long after STOPPED
    // From STOPPED on, our starts are refused with 1069 this long; then the
    // account is fixed, and someone starts it then unless `othersMs` is kNever.
    ULONGLONG wrongLogonMs = 0;
    bool inWrite = false;  // ends during the record of its start, when it is ours
    bool atLook = false;   // ends right after the first poll's look that sees it
};

std::string RunText(const Run& run)
{
    char text[200];
    std::snprintf(text, sizeof(text), "runs %.1f s", static_cast<double>(run.runMs) / 1000);
    std::string line = run.runMs == kNever ? "runs for good" : text;
    if (run.inWrite) {
        line += ", or stops while a record is written and someone else starts it";
    }
    if (run.atLook) {
        line += ", or stops right after the poll's look";
    }
    if (run.pendingMs != 0) {
        std::snprintf(text, sizeof(text), ", STOP_PENDING %.1f s", static_cast<double>(run.pendingMs) / 1000);
        line += text;
    }
    if (run.wrongLogonMs != 0) {
        std::snprintf(text, sizeof(text), ", then a wrong logon for %.1f s", static_cast<double>(run.wrongLogonMs) / 1000);
        line += text;
    }
    if (run.othersMs != kNever) {
        std::snprintf(text, sizeof(text), ", someone else starts it %llu ms after",
                      static_cast<unsigned long long>(run.othersMs));
        line += text;
    }
    return line;
}

// What holds for a whole day.
struct Shape {
    bool unreadable = false;  // quorbel grants SERVICE_START but not SERVICE_QUERY_STATUS
    ULONGLONG bootWrongMs = 0;  // the logon fails from boot this long (the SCM's try counted)
};

// The first broken promise of a day.
struct Broken {
    std::string promise;  // empty: none
    ULONGLONG at = 0;
    size_t run = 0;  // the index of the run under way
};

// A domain's lockout count of quorbel's account: failures until none has
// come for the reset window. A success is taken to reset nothing.
struct Lockout {
    unsigned threshold;
    ULONGLONG resetMs;
    unsigned count = 0;
    unsigned most = 0;
    ULONGLONG last = 0;
};

struct Figures {
    unsigned long starts = 0;  // ours, accepted
    unsigned long information = 0;
    unsigned long warnings = 0;
    unsigned long errors = 0;
    unsigned long records = 0;  // the policy's own
    unsigned worstHour = 0;
    ULONGLONG longestDownMs = 0;  // after the watcher's first pause, outside crash loops and wrong logons
    unsigned long failedLogons = 0;  // ours
    unsigned firstHourLogons = 0;    // ours, in the first hour of a wrong logon
    unsigned worstQuarterLogons = 0;  // ours, in any 15 minutes
    unsigned mostCis = 0;
    unsigned mostWindows = 0;
    ULONGLONG logonDownMs = 0;  // the longest from a stop with a short wrong logon to a run
};

// Re-exports the start hook; the destructor ends the loop and the watcher.
class CBenchService : public CSampleService {
public:
    using CSampleService::DoStart;
};

// One day of Tavrilex beside a quorbel whose runs come from `next`.
class CDay {
public:
    // `whole`: the day goes on after a broken promise, for its figures.
    CDay(std::function<Run(size_t)> next, Shape shape, bool tell, bool whole = false)
        : m_next(std::move(next)), m_shape(shape), m_tell(tell), m_whole(whole)
    {
    }

    // Runs until `endMs`, or until `runs` runs have been used up and two
    // hours have passed; stops at the first broken promise unless whole.
    void Simulate(ULONGLONG endMs, size_t runs = ~size_t(0))
    {
        sim::Reset();
        sim::SetClockMode(sim::ClockMode::Manual);
        sim::AddService(kQuorbel, SERVICE_STOPPED);
        if (m_shape.unreadable) {
            sim::SetGrantedAccess(kQuorbel, SERVICE_START);
        }
        if (m_shape.bootWrongMs != 0) {
            m_run.wrongLogonMs = m_shape.bootWrongMs;
            m_run.othersMs = kNever;
            BeginWrongLogon();
            FailedLogon(false);  // the SCM's own try at boot
        }
        m_upcoming = m_next(0);
        Arm(m_upcoming);
        Hook();
        {
            CBenchService service;
            service.DoStart(0, nullptr);
            Settle();
            ULONGLONG end = endMs;
            while (m_now < end && (m_whole || m_broken.promise.empty())) {
                if (m_runs >= runs && end == endMs) {
                    end = std::min(endMs, m_now + 2 * kHourMs);
                }
                Step(end);
            }
            m_ending = true;
        }  // ends the loop and the watcher
        sim::Reset();
    }

    const Broken& Result() const { return m_broken; }
    const Figures& Totals() const { return m_figures; }

private:
    enum class State { Running, Pending, Stopped };
    // A stop a hook made inside a thread's call.
    struct Injected {
        size_t journalAt;  // the calls made before it
        bool othersStarted;  // inside a write: someone else started it before the write ended
    };

    void Step(ULONGLONG end)
    {
        const ULONGLONG next = std::min({sim::NextDeadline(), m_changeAt, m_othersAt, m_fixAt, end});
        if (next > m_now) {
            sim::AdvanceClock(static_cast<DWORD>(next - m_now));
            m_now = next;
        }
        // The threads whose moment has come act first, then quorbel.
        Settle();
        if (m_now == end) {
            return;
        }
        // The threads' starts wait (their hook) until quorbel's changes of
        // this moment are all made.
        std::unique_lock<std::mutex> world(m_worldLock);
        if (m_now == m_fixAt) {
            Tell("the logon is fixed");
            m_fixAt = kNever;
            sim::ClearFaults();
            m_wrong = false;
            if (m_run.othersMs != kNever) {
                m_othersAt = m_now;
            }
        }
        if (m_now == m_changeAt) {
            Change();
        }
        if (m_now == m_othersAt) {
            m_othersAt = kNever;
            OthersStart();
        }
        world.unlock();
        Settle();
        if (m_state == State::Stopped && !m_stopExcused) {
            Break("a stop outside a fast crash loop was not mended at once");
        }
    }

    // Lets the threads do what they have to at this moment, then takes what
    // they did: the stops hooks made, the starts, the records.
    void Settle()
    {
        if (!sim::WaitForIdle(60000)) {
            std::fprintf(stderr, "policydays: the threads did not settle at %llu ms\n",
                         static_cast<unsigned long long>(m_now));
            std::exit(2);
        }
        std::vector<Injected> injected;
        {
            const std::lock_guard<std::mutex> lock(m_hookLock);
            injected.swap(m_injected);
        }
        // In the order the calls were made.
        const std::vector<sim::Call> journal = sim::Journal();
        auto stop = injected.begin();
        for (size_t i = 0; i <= journal.size(); ++i) {
            for (; stop != injected.end() && stop->journalAt <= i; ++stop) {
                Tell(stop->othersStarted ? "quorbel stops while a record is written; someone else starts it"
                                         : "quorbel stops right after the poll's look");
                Stopped();
                if (stop->othersStarted) {
                    Started(false);
                    m_awaitsRunningSeen = true;
                }
            }
            if (i == journal.size()) {
                break;
            }
            if (journal[i].function == "WaitForSingleObjectEx") {
                m_watcherRequesting.store(journal[i].arg == INFINITE);
            } else if (journal[i].function == "StartServiceW") {
                Try(journal[i].ok);
            }
        }
        sim::ClearJournal();
        {
            const std::lock_guard<std::mutex> lock(m_hookLock);
            m_startsSettled = sim::StartCount(kQuorbel);
        }
        Check();
    }

    // A start request of ours, as the journal told it.
    void Try(bool accepted)
    {
        if (m_refusedSinceRun != 0 && m_now - m_lastRefusal < kRetryMs) {
            Break("a start tried within a minute of one refused with a wrong logon");
        }
        if (accepted) {
            Started(true);
        } else if (m_wrong) {
            FailedLogon(true);
        }
    }

    void FailedLogon(bool ours)
    {
        Tell(ours ? "a start of ours is refused with 1069" : "the SCM's own start is refused with 1069");
        for (Lockout* policy : {&m_cis, &m_windows}) {
            if (policy->count != 0 && m_now - policy->last > policy->resetMs) {
                policy->count = 0;
            }
            policy->last = m_now;
            policy->most = std::max(policy->most, ++policy->count);
            if (policy->count >= policy->threshold) {
                Break(policy == &m_cis ? "the account is locked under CIS's policy"
                                       : "the account is locked under Windows' default policy");
            }
        }
        m_figures.mostCis = m_cis.most;
        m_figures.mostWindows = m_windows.most;
        if (!ours) {
            return;
        }
        ++m_figures.failedLogons;
        m_refusals.push_back(m_now);
        const auto since = [this](ULONGLONG ms) {
            return static_cast<unsigned>(std::count_if(m_refusals.begin(), m_refusals.end(),
                                                       [&](ULONGLONG at) { return m_now - at < ms; }));
        };
        m_figures.worstQuarterLogons = std::max(m_figures.worstQuarterLogons, since(15 * kMinuteMs));
        if (m_now - m_wrongSince < kHourMs) {
            ++m_firstHour;
            m_figures.firstHourLogons = std::max(m_figures.firstHourLogons, m_firstHour);
        }
        // Due by the next poll, unless the poll before it wrote a failure
        // (then the cadence skips this one).
        if (m_refusedSinceRun == 0 && m_now - m_stoppedAt < kPeriodMs &&
            (m_lastErrorAt == kNever || m_now - m_lastErrorAt > kPeriodMs)) {
            m_firstRefusalTold = m_now + kPeriodMs;
        }
        ++m_refusedSinceRun;
        m_lastRefusal = m_now;
        m_runRefusals.push_back(m_now);
        while (m_now - m_runRefusals.front() >= kPaceMs) {
            m_runRefusals.pop_front();
        }
        if (m_runRefusals.size() > 2) {
            Break("three wrong logons within 30 minutes");
        }
    }

    // Quorbel's own change: its stop begins, or it is STOPPED.
    void Change()
    {
        if (m_state == State::Running && m_run.pendingMs != 0) {
            Tell("quorbel is STOP_PENDING");
            m_state = State::Pending;
            sim::SetServiceState(kQuorbel, SERVICE_STOP_PENDING);
            m_changeAt = m_now + m_run.pendingMs;
            return;
        }
        // The fault first: a start the stop's notice brings is refused.
        if (m_run.wrongLogonMs != 0) {
            BeginWrongLogon();
        }
        sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
        Stopped();
        if (m_run.wrongLogonMs != 0) {
        } else if (m_run.othersMs == 0) {
            // Before the watcher's start, which is refused with 1056.
            OthersStart();
        } else if (m_run.othersMs != kNever) {
            m_othersAt = m_now + m_run.othersMs;
        }
    }

    void BeginWrongLogon()
    {
        sim::FailCall("StartServiceW", 1, ERROR_SERVICE_LOGON_FAILED, -1);
        m_wrong = true;
        m_fixAt = m_now + m_run.wrongLogonMs;
        if (m_wrongSince == kNever || m_now - m_wrongSince >= kHourMs) {
            m_wrongSince = m_now;
            m_firstHour = 0;
        }
        // A passing failure, the first in 30 minutes, must cost two minutes at most.
        m_transientUntil = m_run.wrongLogonMs <= kMinuteMs && (m_refusals.empty() ||
                                                              m_now - m_refusals.back() >= kPaceMs)
                               ? m_now + 2 * kMinuteMs
                               : kNever;
    }

    // Quorbel is STOPPED now (already so in the simulation).
    void Stopped()
    {
        const ULONGLONG ran = m_now - m_startedAt - (m_state == State::Pending ? m_run.pendingMs : 0);
        // Also excused: a stop in a pause that an excused stop began.
        m_stopExcused = InFastLoop(ran) || m_now < kPeriodMs || m_awaitsRunningSeen || m_shape.unreadable ||
                        (!m_watcherRequesting.load() && m_pauseExcused) || m_run.wrongLogonMs != 0;
        m_pauseExcused = m_stopExcused;
        if (m_watcherRequesting.load()) {
            const std::lock_guard<std::mutex> lock(m_hookLock);
            m_seenDownAt = m_now;  // the watcher is told
        }
        Tell(m_stopExcused ? "quorbel is STOPPED (may wait for the poll)" : "quorbel is STOPPED");
        m_state = State::Stopped;
        m_changeAt = kNever;
        m_stoppedAt = m_now;
        m_stops.push_back(m_now);
        ++m_stopsSinceClose;
        m_awaitsRunningSeen = false;
        Arm(m_upcoming);
    }

    // The oracle of the fast crash loop, on the runs' true lengths: a second
    // run under 3 s less than a minute after the first one's start begins
    // it, a run of a minute or more ends it.
    bool InFastLoop(ULONGLONG ran)
    {
        if (m_loop && ran < kSteadyMs) {
            return true;
        }
        if (m_loop || (m_quickSeen && m_now - m_firstQuickStart >= kSteadyMs)) {
            m_loop = false;
            m_quickSeen = false;
        }
        if (ran < kQuickMs && m_quickSeen) {
            m_loop = true;
            m_loopBeganAt = m_now;
        } else if (ran < kQuickMs) {
            m_quickSeen = true;
            m_firstQuickStart = m_startedAt;
        }
        return m_loop;
    }

    void OthersStart()
    {
        if (m_state != State::Stopped) {
            return;
        }
        Tell("someone else starts quorbel");
        sim::SetServiceState(kQuorbel, SERVICE_RUNNING);
        Started(false);
        m_awaitsRunningSeen = true;
    }

    void Started(bool ours)
    {
        if (ours) {
            Tell("Tavrilex's start is accepted");
            ++m_figures.starts;
            ++m_oursSinceClose;
            if (m_stoppedAt >= kPeriodMs && !m_loop && !m_wrong && m_refusedSinceRun == 0) {
                m_figures.longestDownMs = std::max(m_figures.longestDownMs, m_now - m_stoppedAt);
            }
        }
        if (m_refusedSinceRun != 0 || m_shape.bootWrongMs != 0) {
            m_figures.logonDownMs = std::max(m_figures.logonDownMs, m_now - m_stoppedAt);
        }
        m_transientUntil = kNever;
        m_firstRefusalTold = kNever;
        m_refusedSinceRun = 0;
        m_runRefusals.clear();
        m_state = State::Running;
        m_startedAt = m_now;
        m_run = m_upcoming;
        m_upcoming = m_next(++m_runs);
        m_changeAt = m_run.runMs == kNever ? kNever : m_now + std::max<ULONGLONG>(m_run.runMs, 1);
        m_othersAt = kNever;
        if (m_tell) {
            Tell(("  next: " + RunText(m_run)).c_str());
        }
    }

    // What the hooks may do to the next run, known before its start, which
    // a thread makes and follows with its record; they read it under the lock.
    void Arm(const Run& run)
    {
        const std::lock_guard<std::mutex> lock(m_hookLock);
        m_armedInWrite = run.inWrite;
        m_armedAtLook = run.atLook;
    }

    // The hooks act inside the threads' calls: a stop during a record's
    // write, or right after the poll's look saw quorbel running.
    void Hook()
    {
        sim::SetCallHook("StartServiceW", [this] { const std::lock_guard<std::mutex> world(m_worldLock); });
        sim::SetCallHook("ReportEventW", [this] {
            const std::lock_guard<std::mutex> world(m_worldLock);
            const std::lock_guard<std::mutex> lock(m_hookLock);
            const DWORD state = sim::GetServiceState(kQuorbel);
            m_writes.push_back(state);
            // The record of a start of ours this moment.
            if (m_armedInWrite && state == SERVICE_RUNNING && sim::StartCount(kQuorbel) != m_startsSettled &&
                !m_ending) {
                m_armedInWrite = m_armedAtLook = false;
                const size_t journalAt = sim::JournalFunctions().size();
                sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
                sim::SetServiceState(kQuorbel, SERVICE_RUNNING);
                m_injected.push_back({journalAt, true});
            }
        });
        // Only the poll reads quorbel's status; the watcher's next call after
        // a stop it was told of is one of its waits.
        sim::SetCallHook("QueryServiceStatusEx", [this] {
            const std::lock_guard<std::mutex> lock(m_hookLock);
            if (sim::GetServiceState(kQuorbel) == SERVICE_STOPPED && !m_shape.unreadable) {
                m_seenDownAt = sim::Now();
            }
            s_looked = m_armedAtLook && m_watcherRequesting.load() &&
                       sim::GetServiceState(kQuorbel) == SERVICE_RUNNING && !m_ending;
        });
        sim::SetCallHook("CloseServiceHandle", [this] {
            if (!s_looked) {
                return;
            }
            s_looked = false;
            const auto waits = [] {
                const std::vector<std::string> calls = sim::JournalFunctions();
                return std::count(calls.begin(), calls.end(), "WaitForSingleObjectEx");
            };
            const auto before = waits();
            {
                const std::lock_guard<std::mutex> world(m_worldLock);
                const std::lock_guard<std::mutex> lock(m_hookLock);
                m_armedInWrite = m_armedAtLook = false;
                const size_t journalAt = sim::JournalFunctions().size();
                sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
                m_injected.push_back({journalAt, false});
            }
            // The watcher is told, and acts, before the poll goes on.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (waits() == before && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
    }

    ULONGLONG SeenDown()
    {
        const std::lock_guard<std::mutex> lock(m_hookLock);
        return m_seenDownAt;
    }

    // Stops in [from, now].
    unsigned long StopsSince(ULONGLONG from) const
    {
        return static_cast<unsigned long>(
            std::count_if(m_stops.begin(), m_stops.end(), [from](ULONGLONG at) { return at >= from; }));
    }

    // Takes the records written since the last step and checks the promises.
    void Check()
    {
        std::vector<DWORD> writes;
        {
            const std::lock_guard<std::mutex> lock(m_hookLock);
            writes.swap(m_writes);
        }
        size_t write = 0;
        for (const sim::EventRecord& record : sim::EventRecordsFrom(m_recordsSeen)) {
            ++m_recordsSeen;
            const DWORD stateAtWrite = write < writes.size() ? writes[write++] : SERVICE_RUNNING;
            const unsigned id = record.eventId & 0xFFFF;
            m_figures.information += record.type == EVENTLOG_INFORMATION_TYPE ? 1 : 0;
            m_figures.warnings += record.type == EVENTLOG_WARNING_TYPE ? 1 : 0;
            m_figures.errors += record.type == EVENTLOG_ERROR_TYPE ? 1 : 0;
            std::vector<unsigned long long> numbers;
            std::string strings;
            for (const std::wstring& text : record.strings) {
                strings += (strings.empty() ? "" : ",") + std::string(text.begin(), text.end());
                numbers.push_back(std::wcstoull(text.c_str(), nullptr, 10));
            }
            Tell(("  record " + std::to_string(id) + ": " + strings).c_str());
            if (id == 0) {
                m_lastErrorAt = m_now;
                if (strings.find("error 1069") != std::string::npos) {
                    m_firstRefusalTold = kNever;
                }
                continue;
            }
            ++m_figures.records;
            if (stateAtWrite == SERVICE_STOPPED && !m_stopExcused) {
                Break("a record was written before the start of its stop");
            }
            m_hour.push_back(m_now);
            while (m_now - m_hour.front() >= kHourMs) {
                m_hour.pop_front();
            }
            m_figures.worstHour = std::max<unsigned>(m_figures.worstHour, static_cast<unsigned>(m_hour.size()));
            if (m_hour.size() > kMostAnHour) {
                Break("more than seven of the policy's records within an hour");
            }
            CheckFigures(id, numbers);
            if (id == 3 || id == 4) {
                if (m_warned && m_now - m_lastWarning < kHourMs) {
                    Break("two warnings within an hour");
                }
                if (!m_warned && id == 3 && !m_stops.empty()) {
                    m_firstWarningLate = m_now - m_stops.back();
                }
                m_warned = true;
                m_lastWarning = m_now;
                m_episode = true;
            } else if (id == 5) {
                if (!m_episode) {
                    Break("a closing record with no episode open");
                } else if (SeenDown() != kNever && m_now - SeenDown() < kHourMs) {
                    Break("a closing record within an hour of a stop a look saw");
                }
                m_episode = false;
                m_stopsSinceClose = 0;
                m_oursSinceClose = 0;
            } else if (m_episode) {
                Break("a start record during an episode");
            }
        }
        if (m_firstRefusalTold != kNever && m_now > m_firstRefusalTold) {
            Break("the first wrong logon after a run was not told within a poll");
        }
        if (m_transientUntil != kNever && m_now > m_transientUntil) {
            Break("a logon failing for a minute kept quorbel down more than two minutes");
        }
    }

    // Every figure one that could be true.
    void CheckFigures(unsigned id, const std::vector<unsigned long long>& n)
    {
        const auto seconds = [this](unsigned long long s) { return s * 1000 <= m_now + 500; };
        if (id == 1 && n.size() == 2 && n[1] > m_now - m_stoppedAt) {
            Break("ID 1 names more milliseconds than have passed since the stop");
        } else if (id == 3 && n.size() == 3 && (n[1] > m_stopsSinceClose || !seconds(n[2]))) {
            Break("ID 3 names more stops, or seconds, than there were");
        } else if (id == 4 && n.size() == 3 &&
                   (n[1] > m_stopsSinceClose || !seconds(n[2]) ||
                    n[1] > StopsSince(m_now - std::min<ULONGLONG>(m_now, n[2] * 1000 + 10500)))) {
            Break("ID 4 names more stops, or seconds, than there were");
        } else if (id == 5 && n.size() == 4 &&
                   (n[1] > m_stopsSinceClose || n[2] > m_oursSinceClose ||
                    n[3] * 1000 > m_now - std::min(m_now, kHourMs) + 500)) {
            Break("ID 5 names more stops, starts of ours or seconds than there were");
        }
    }

    void Break(const char* promise)
    {
        if (m_broken.promise.empty()) {
            m_broken = {promise, m_now, m_runs == 0 ? 0 : m_runs - 1};
            Tell(("BROKEN: " + std::string(promise)).c_str());
        }
    }

    void Tell(const char* what) const
    {
        if (m_tell) {
            std::printf("%10.1f s  %s\n", static_cast<double>(m_now) / 1000, what);
        }
    }

public:
    // The crash loop's first warning: how long after the stop before it.
    ULONGLONG FirstWarningLate() const { return m_firstWarningLate; }

private:
    static thread_local bool s_looked;

    std::function<Run(size_t)> m_next;
    Shape m_shape;
    bool m_tell;
    bool m_whole;
    ULONGLONG m_now = 0;
    State m_state = State::Stopped;
    Run m_run, m_upcoming;  // the run under way, and the next one
    size_t m_runs = 0;
    ULONGLONG m_startedAt = 0, m_stoppedAt = 0, m_changeAt = kNever, m_othersAt = kNever, m_fixAt = kNever;
    bool m_wrong = false;
    // A stop answered by someone else's start is over once the poll has
    // found quorbel running; a stop before that may be left to the poll.
    bool m_awaitsRunningSeen = false;
    bool m_stopExcused = true, m_pauseExcused = true;
    bool m_loop = false, m_quickSeen = false;
    ULONGLONG m_firstQuickStart = 0, m_loopBeganAt = kNever, m_firstWarningLate = 0;
    std::deque<ULONGLONG> m_stops;
    unsigned long m_stopsSinceClose = 0, m_oursSinceClose = 0;
    // Wrong logons.
    Lockout m_cis{5, 15 * kMinuteMs};
    Lockout m_windows{10, 10 * kMinuteMs};
    std::vector<ULONGLONG> m_refusals;
    std::deque<ULONGLONG> m_runRefusals;  // since quorbel last ran, the last 30 minutes
    unsigned m_refusedSinceRun = 0, m_firstHour = 0;
    ULONGLONG m_lastRefusal = 0, m_lastErrorAt = kNever, m_wrongSince = kNever, m_transientUntil = kNever, m_firstRefusalTold = kNever;
    // Records.
    size_t m_recordsSeen = 0;
    std::deque<ULONGLONG> m_hour;
    bool m_warned = false, m_episode = false;
    ULONGLONG m_lastWarning = 0;
    Broken m_broken;
    Figures m_figures;
    // Shared with the hooks, which run on the service's threads.
    std::mutex m_hookLock;
    std::vector<DWORD> m_writes;  // quorbel's state at each record's write
    std::vector<Injected> m_injected;
    std::atomic<bool> m_watcherRequesting{false};
    bool m_armedInWrite = false, m_armedAtLook = false;  // what a hook may do to the run under way
    int m_startsSettled = 0;  // ours accepted up to the last settled moment
    ULONGLONG m_seenDownAt = kNever;  // the last look (the poll's, the watcher's notice) that found it stopped
    std::atomic<bool> m_ending{false};
    // Held by the bench while it changes quorbel; the threads' starts wait for it.
    std::mutex m_worldLock;
};

thread_local bool CDay::s_looked = false;

// A day's kind of quorbel, drawn from its seed: a mix of run lengths (quick
// crashes, seconds, about a minute, minutes, hours), bursts of quick
// crashes, an administrator's stops at random, stops answered by someone
// else's start (at once, before the watcher's, or later), stops that hang in
// STOP_PENDING for a while, stops inside a record's write or right after the
// poll's look, and now and then a wrong logon, passing or lasting; one day in
// twenty quorbel's status cannot be read, one in twenty its logon fails from
// boot.
class CRandomQuorbel {
public:
    explicit CRandomQuorbel(unsigned long long seed) : m_random(seed)
    {
        for (double& weight : m_weights) {
            weight = Uniform(0, 1) * Uniform(0, 1);
        }
        m_burst = Uniform(0, 0.05);
        m_admin = Uniform(0, 0.3);
        m_others = Uniform(0, 0.3);
        m_othersFirst = Uniform(0, 1);
        m_pending = Uniform(0, 0.2);
        m_wrongLogon = Uniform(0, 0.01);
        m_inWrite = Uniform(0, 0.1);
        m_atLook = Uniform(0, 0.1);
        m_shape.unreadable = Uniform(0, 1) < 0.05;
        m_shape.bootWrongMs = Uniform(0, 1) < 0.05 ? WrongLogon() : 0;
    }

    Shape DayShape() const { return m_shape; }

    Run operator()(size_t /*index*/)
    {
        Run run;
        if (m_burstLeft > 0) {
            --m_burstLeft;
            run.runMs = Between(100, 2999);
        } else if (Uniform(0, 1) < m_burst) {
            m_burstLeft = static_cast<unsigned>(Between(2, 30));
            run.runMs = Between(100, 2999);
        } else {
            run.runMs = Length(std::discrete_distribution<int>(std::begin(m_weights), std::end(m_weights))(m_random));
        }
        if (Uniform(0, 1) < m_admin) {
            run.runMs = std::min(run.runMs, Between(kMinuteMs, 2 * kHourMs));
        }
        if (Uniform(0, 1) < m_pending) {
            run.pendingMs = Between(kSecondMs, 2 * kMinuteMs);
        }
        if (Uniform(0, 1) < m_others) {
            run.othersMs = Uniform(0, 1) < m_othersFirst ? 0 : Between(1, 8000);
        }
        if (Uniform(0, 1) < m_wrongLogon) {
            run.wrongLogonMs = WrongLogon();
        }
        run.inWrite = Uniform(0, 1) < m_inWrite;
        run.atLook = Uniform(0, 1) < m_atLook;
        return run;
    }

private:
    ULONGLONG Length(int kind)
    {
        switch (kind) {
        case 0:
            return Between(100, 2999);
        case 1:
            return Between(3 * kSecondMs, kMinuteMs - 1);
        case 2:
            return Between(kMinuteMs, 2 * kMinuteMs);
        case 3:
            return Between(2 * kMinuteMs, 30 * kMinuteMs);
        default:
            return Between(30 * kMinuteMs, 4 * kHourMs);
        }
    }
    // Half of them pass within a minute.
    ULONGLONG WrongLogon() { return Uniform(0, 1) < 0.5 ? Between(5 * kSecondMs, kMinuteMs) : Between(kMinuteMs, 3 * kHourMs); }
    double Uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(m_random); }
    ULONGLONG Between(ULONGLONG low, ULONGLONG high)
    {
        return std::uniform_int_distribution<ULONGLONG>(low, high)(m_random);
    }

    std::mt19937_64 m_random;
    double m_weights[5];
    double m_burst, m_admin, m_others, m_othersFirst, m_pending, m_wrongLogon, m_inWrite, m_atLook;
    unsigned m_burstLeft = 0;
    Shape m_shape;
};

// The runs of one day, kept so that a stretch of them can be run again.
struct Script {
    std::function<Run(size_t)> source;
    std::vector<Run> runs;
    Run operator()(size_t index)
    {
        while (runs.size() <= index) {
            runs.push_back(source(runs.size()));
        }
        return runs[index];
    }
};

// A short stretch of the day's runs, ending with the one under way at the
// break, that breaks the same promise on a fresh Tavrilex: 1, 2, 4 ... runs
// back. The day's shape holds for it too; SIZE_MAX when none does.
size_t ShortStretch(const std::vector<Run>& runs, const Shape& shape, const Broken& broken)
{
    for (size_t length = 1;; length *= 2) {
        const size_t first = length > broken.run ? 0 : broken.run + 1 - length;
        const std::vector<Run> stretch(runs.begin() + static_cast<std::ptrdiff_t>(first),
                                       runs.begin() + static_cast<std::ptrdiff_t>(broken.run) + 1);
        CDay day([&stretch](size_t i) { return i < stretch.size() ? stretch[i] : Run(); }, shape, false);
        day.Simulate(kDayMs, stretch.size());
        if (day.Result().promise == broken.promise) {
            return first;
        }
        if (first == 0) {
            return ~size_t(0);
        }
    }
}

void PrintStretch(const std::vector<Run>& runs, const Shape& shape, size_t first, size_t last)
{
    if (first == ~size_t(0)) {
        std::printf("\nNo stretch of its runs breaks it again on a fresh Tavrilex: replay the day.\n");
        return;
    }
    std::printf("\nA short stretch that breaks it again: runs %zu to %zu of the day%s\n", first, last,
                shape.unreadable ? " (status unreadable)" : shape.bootWrongMs != 0 ? " (wrong logon at boot)" : "");
    const std::vector<Run> stretch(runs.begin() + static_cast<std::ptrdiff_t>(first),
                                   runs.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    for (const Run& run : stretch) {
        std::printf("  %s\n", RunText(run).c_str());
    }
    std::printf("\nIts steps on a fresh Tavrilex:\n");
    CDay day([&stretch](size_t i) { return i < stretch.size() ? stretch[i] : Run(); }, shape, true);
    day.Simulate(kDayMs, stretch.size());
}

struct Row {
    const char* name;
    std::function<Run(size_t)> runs;
    ULONGLONG shortestRunMs;
    Shape shape = {};
    bool logon = false;  // its figures are the logon's
};

Run Runs(ULONGLONG ms)
{
    Run run;
    run.runMs = ms;
    return run;
}

Run With(Run run, const std::function<void(Run&)>& change)
{
    change(run);
    return run;
}

// The fixed rows; with `tell`, only the one numbered so (from 1), step by step.
int FixedRows(size_t tell = 0)
{
    std::mt19937 random(20261209);
    const auto between = [&random](ULONGLONG low, ULONGLONG high) {
        return Runs(std::uniform_int_distribution<ULONGLONG>(low, high)(random));
    };
    const Row rows[] = {
        {"stops 1 s after each start", [](size_t) { return Runs(1000); }, 1000},
        {"stops 2 s after each start", [](size_t) { return Runs(2000); }, 2000},
        {"stops 4 s after each start", [](size_t) { return Runs(4000); }, 4000},
        {"stops 10 s after each start", [](size_t) { return Runs(10000); }, 10000},
        {"stops 30 s after each start", [](size_t) { return Runs(30000); }, 30000},
        {"stops 60 s after each start", [](size_t) { return Runs(60000); }, 60000},
        {"stops 300 s after each start", [](size_t) { return Runs(300000); }, 300000},
        {"stops 3600 s after each start", [](size_t) { return Runs(3600000); }, 3600000},
        {"stopped by an administrator every 5 to 10 min", [&](size_t) { return between(300000, 600000); }, 300000},
        {"runs 65 s, 1 s, 1 s, again and again", [](size_t i) { return Runs(i % 3 == 0 ? 65000 : 1000); }, 1000},
        {"runs 0.1 to 2.9 s or 61 to 120 s, half each",
         [&](size_t) { return random() % 2 ? between(100, 2900) : between(61000, 120000); }, 100},
        {"status unreadable, stops 0.1 s after each start", [](size_t) { return Runs(100); }, 100, {true, 0}},
        {"runs 1 to 5 min in bursts, then hours; someone else starts it first",
         [&](size_t i) {
             return With(i % 12 < 8 ? between(60000, 300000) : between(3600000, 4 * 3600000),
                         [](Run& run) { run.othersMs = 0; });
         },
         60000},
        {"stops 12 min after a start, at once while the record of ours is written",
         [](size_t) { return With(Runs(720000), [](Run& run) { run.inWrite = true; }); }, 0},
        {"runs 1 s, 1 s, then stops after the poll's look, again and again",
         [](size_t i) { return With(Runs(i % 3 == 2 ? 50000 : 1000), [](Run& run) { run.atLook = true; }); }, 1000},
        {"a wrong logon from boot, all day (the SCM's try counted)", [](size_t) { return Runs(kNever); }, kNever,
         {false, kDayMs}, true},
        {"a logon that fails for the first 50 s after boot", [](size_t) { return Runs(kNever); }, kNever,
         {false, 50000}, true},
        {"a logon that fails for 2 h after a stop, every 6 h",
         [](size_t) { return With(Runs(4 * kHourMs), [](Run& run) { run.wrongLogonMs = 2 * kHourMs; }); }, 4 * kHourMs,
         {}, true},
        {"a logon that fails for 50 s after a stop, every 2 h",
         [](size_t) { return With(Runs(2 * kHourMs), [](Run& run) { run.wrongLogonMs = 50000; }); }, 2 * kHourMs,
         {}, true},
    };
    int broken = 0;
    std::printf("| quorbel | starts a day | information | warning | worst hour | longest down outside a crash loop (s) | "
                "promises |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::vector<std::string> logonLines;
    if (tell != 0) {
        CDay day(rows[tell - 1].runs, rows[tell - 1].shape, true, true);
        day.Simulate(kDayMs);
        return day.Result().promise.empty() ? 0 : 1;
    }
    for (const Row& row : rows) {
        CDay day(row.runs, row.shape, false, true);
        day.Simulate(kDayMs);
        const Figures& figures = day.Totals();
        // Runs under the quick mark are the crash loop, paced by the poll
        // and told at once; runs under 10 minutes give six stops an hour: an
        // episode.
        const bool fast = row.shortestRunMs < kQuickMs;
        std::string promise = day.Result().promise;
        if (promise.empty() && !row.logon && figures.errors != 0) {
            promise = "error records";
        } else if (promise.empty() && row.shortestRunMs < 10 * kMinuteMs && figures.warnings == 0) {
            promise = "no warning";
        } else if (promise.empty() && !fast && !row.shape.unreadable && figures.longestDownMs != 0) {
            promise = "a stop waited";
        } else if (promise.empty() && fast && !row.shape.unreadable && day.FirstWarningLate() > kSecondMs / 2) {
            promise = "the crash loop told late";
        }
        broken += promise.empty() ? 0 : 1;
        const std::string verdict = promise.empty() ? "met" : "BROKEN: " + promise;
        std::printf("| %s | %lu | %lu | %lu | %u | %.1f | %s |\n", row.name, figures.starts, figures.information,
                    figures.warnings, figures.worstHour, static_cast<double>(figures.longestDownMs) / 1000,
                    verdict.c_str());
        if (row.logon) {
            char line[400], down[40] = "never runs";
            if (figures.starts != 0) {
                std::snprintf(down, sizeof(down), "%.0f", static_cast<double>(figures.logonDownMs) / 1000);
            }
            std::snprintf(line, sizeof(line), "| %s | %lu | %u | %u | %u of 5 | %u of 10 | %s | %s |\n", row.name,
                          figures.failedLogons, figures.firstHourLogons, figures.worstQuarterLogons, figures.mostCis,
                          figures.mostWindows, down, verdict.c_str());
            logonLines.push_back(line);
        }
    }
    std::printf("\n| wrong logon | failed logons of Tavrilex a day | in the first hour | in any 15 min | "
                "most counted, CIS | most counted, Windows' default | longest down after its stop (s) | promises |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    for (const std::string& line : logonLines) {
        std::printf("%s", line.c_str());
    }
    return broken;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long days = 30;
    unsigned long long seed = 20261209;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--days") == 0) {
            days = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--day") == 0) {
            CRandomQuorbel quorbel(std::strtoull(argv[i + 1], nullptr, 10));
            CDay day(quorbel, quorbel.DayShape(), true);
            day.Simulate(kDayMs);
            return day.Result().promise.empty() ? 0 : 1;
        } else if (std::strcmp(argv[i], "--row") == 0) {
            return FixedRows(std::strtoul(argv[i + 1], nullptr, 10));
        }
    }
    const int brokenRows = FixedRows();

    const auto began = std::chrono::steady_clock::now();
    unsigned worstHour = 0;
    unsigned long worstDay = 0, total = 0, failedLogons = 0;
    unsigned long long worstHourSeed = seed, worstDaySeed = seed;
    for (unsigned long d = 0; d < days; ++d) {
        CRandomQuorbel quorbel(seed + d);
        const Shape shape = quorbel.DayShape();
        Script script{quorbel, {}};
        CDay day(std::ref(script), shape, false);
        day.Simulate(kDayMs);
        const Figures& figures = day.Totals();
        total += figures.records;
        failedLogons += figures.failedLogons;
        if (figures.worstHour > worstHour) {
            worstHour = figures.worstHour;
            worstHourSeed = seed + d;
        }
        if (figures.records > worstDay) {
            worstDay = figures.records;
            worstDaySeed = seed + d;
        }
        if (!day.Result().promise.empty()) {
            const Broken& broken = day.Result();
            std::printf("\nRandom day seeded %llu (day %lu of the run): BROKEN at %.1f s: %s\n", seed + d, d + 1,
                        static_cast<double>(broken.at) / 1000, broken.promise.c_str());
            PrintStretch(script.runs, shape, ShortStretch(script.runs, shape, broken), broken.run);
            std::printf("\nAgain: policydays --day %llu\n", seed + d);
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("\n| random days | seeds | records of the policy's own | worst hour | worst day | failed logons of "
                "Tavrilex | promises | time |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    std::printf("| %lu | %llu to %llu | %lu | %u (seed %llu) | %lu (seed %llu) | %lu | met | %.0f s |\n", days, seed,
                seed + days - 1, total, worstHour, worstHourSeed, worstDay, worstDaySeed, failedLogons, seconds);
    return brokenRows == 0 ? 0 : 1;
}
