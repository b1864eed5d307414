// Simulated days of the restart policy on the simulation's virtual clock: the
// calls the loop and the stop watcher make for a quorbel, the starts they ask
// for and the records the policy writes, with its promises checked after
// every step.
//
//   policydays [--days N] [--seed S]
//       the fixed rows (one kind of quorbel a day each), then N random days
//       (100 by default) seeded S, S+1, ...; prints Markdown; exits 1 when a
//       promise breaks, after the seed of the day and the shortest stretch of
//       its runs that breaks it again on a fresh Tavrilex
//   policydays --day S
//       the random day seeded S alone, every step told
//
// The promises, after every step: at most seven records of the policy's own
// (IDs 1 to 5) in any hour; warnings (ID 3 or 4) at least an hour apart, one
// to open an episode, no start record while it lasts, at most one closing
// record (ID 5) and none within an hour of a stop that a look saw; every stop
// mended at once outside a fast crash loop; a wrong logon tried at most once
// in 10 minutes.
//
// The model: a start, ours or someone else's, runs quorbel for the next run
// of the day's script, whose end may pass through STOP_PENDING, and may be
// answered by someone else's start. The watcher is told of a STOPPED at once
// unless it pauses (its first 5 s, and 5 s after each stop left to the poll),
// and asks for the start itself when the policy says Restart; a start
// request finding quorbel not stopped is refused with 1056. The poll comes
// every 5 s. The SCM's own time for a start is left out.
#include "RestartPolicy.h"
#include "SimControl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr ULONGLONG kSecondMs = 1000;
constexpr ULONGLONG kMinuteMs = 60 * kSecondMs;
constexpr ULONGLONG kHourMs = 60 * kMinuteMs;
constexpr ULONGLONG kDayMs = 24 * kHourMs;
constexpr ULONGLONG kPeriodMs = 5000;
constexpr ULONGLONG kNever = ~0ULL;
constexpr unsigned kMostAnHour = 7;

// One run of quorbel, from a start (anyone's) to its STOPPED.
struct Run {
    ULONGLONG runMs = kNever;   // until its stop begins
    ULONGLONG pendingMs = 0;    // STOP_PENDING before STOPPED
    ULONGLONG othersMs = kNever;  // someone else starts it this long after STOPPED
    // From STOPPED on, our starts are refused with 1069 this long; then the
    // account is fixed, and someone starts quorbel at once if `othersMs` is 0.
    ULONGLONG wrongLogonMs = 0;
};

std::string RunText(const Run& run)
{
    char text[160];
    std::snprintf(text, sizeof(text), "runs %.1f s", static_cast<double>(run.runMs) / 1000);
    std::string line = text;
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

// The first broken promise of a day.
struct Broken {
    std::string promise;  // empty: none
    ULONGLONG at = 0;
    size_t run = 0;  // the index of the run under way
};

struct Figures {
    unsigned long starts = 0;
    unsigned long information = 0;
    unsigned long warnings = 0;
    unsigned long errors = 0;
    unsigned long records = 0;  // the policy's own
    unsigned worstHour = 0;
    ULONGLONG longestDownMs = 0;  // after the watcher's first pause, outside crash loops
};

// One day of Tavrilex beside a quorbel whose runs come from `next`.
class CDay {
public:
    // `whole`: the day goes on after a broken promise, for its figures.
    CDay(std::function<Run(size_t)> next, bool tell, bool whole = false)
        : m_next(std::move(next)), m_tell(tell), m_whole(whole)
    {
    }

    // Runs until `endMs` or until `runs` runs have been used up and two hours
    // have passed; stops at the first broken promise unless whole.
    void Simulate(ULONGLONG endMs, size_t runs = ~size_t(0))
    {
        sim::Reset();
        {
            CRestartPolicy policy(L"Tavrilex", L"quorbel");
            m_policy = &policy;
            ULONGLONG end = endMs;
            while (m_now < end && (m_whole || m_broken.promise.empty())) {
                if (m_runs >= runs && end == endMs) {
                    end = std::min(endMs, m_now + 2 * kHourMs);
                }
                Step(end);
            }
            m_policy = nullptr;
        }
        sim::Reset();
    }

    const Broken& Result() const { return m_broken; }
    const Figures& Totals() const { return m_figures; }

private:
    enum class State { Running, Pending, Stopped };

    void Step(ULONGLONG end)
    {
        const ULONGLONG next = std::min({m_changeAt, m_othersAt, m_pauseEnds, m_nextPoll, end});
        sim::AdvanceClock(static_cast<DWORD>(next - m_now));
        m_now = next;
        if (next == end) {
            return;
        }
        if (m_now == m_changeAt) {
            Change();
        } else if (m_now == m_othersAt) {
            m_othersAt = kNever;
            if (m_state == State::Stopped) {
                Tell("someone else starts quorbel");
                Started();
                m_awaitsRunningSeen = true;
            }
        } else if (m_now == m_pauseEnds) {
            m_pauseEnds = kNever;
            m_watching = true;
            // A request made while quorbel is stopped is answered at once.
            if (m_state == State::Stopped) {
                WatcherTold();
            }
        } else {
            m_nextPoll += kPeriodMs;
            Poll();
        }
        Check();
    }

    // Quorbel's own change: its stop begins, or it is STOPPED.
    void Change()
    {
        if (m_state == State::Running && m_run.pendingMs != 0) {
            Tell("quorbel is STOP_PENDING");
            m_state = State::Pending;
            m_changeAt = m_now + m_run.pendingMs;
            return;
        }
        m_state = State::Stopped;
        m_changeAt = kNever;
        const ULONGLONG ran = m_now - m_startedAt - m_run.pendingMs;
        // Also excused: a stop in a pause that an excused stop began.
        const bool excused = InFastLoop(ran) || m_now < kPeriodMs || m_awaitsRunningSeen ||
                             (!m_watching && m_pauseExcused) || m_run.wrongLogonMs != 0;
        m_stopExcused = excused;
        Tell(excused ? "quorbel is STOPPED (may wait for the poll)" : "quorbel is STOPPED");
        m_stoppedAt = m_now;
        m_awaitsRunningSeen = false;
        if (m_run.wrongLogonMs != 0) {
            m_wrongUntil = m_now + m_run.wrongLogonMs;
            if (m_run.othersMs != kNever) {
                m_othersAt = m_wrongUntil;  // the administrator's start once it is fixed
            }
        } else if (m_run.othersMs == 0) {
            // Before the watcher's start: that one is refused.
            Tell("someone else starts quorbel");
            Started();
            m_awaitsRunningSeen = true;
        } else if (m_run.othersMs != kNever) {
            m_othersAt = m_now + m_run.othersMs;
        }
        if (m_watching) {
            WatcherTold();
        }
        if (m_state == State::Stopped && !excused) {
            Break("a stop outside a fast crash loop was not mended at once");
        }
    }

    // The oracle of the fast crash loop, on the runs' true lengths: a second
    // run under 3 s less than a minute after the first one's start begins
    // it, a run of a minute or more ends it.
    bool InFastLoop(ULONGLONG ran)
    {
        if (m_loop && ran < CRestartPolicy::kSteadyRunMs) {
            return true;
        }
        if (m_loop || (m_quickSeen && m_now - m_firstQuickStart >= CRestartPolicy::kSteadyRunMs)) {
            m_loop = false;
            m_quickSeen = false;
        }
        if (ran < CRestartPolicy::kQuickRunMs && m_quickSeen) {
            m_loop = true;
        } else if (ran < CRestartPolicy::kQuickRunMs) {
            m_quickSeen = true;
            m_firstQuickStart = m_startedAt;
        }
        return m_loop;
    }

    void Started()
    {
        m_lastLogonTry = kNever;
        m_state = State::Running;
        m_startedAt = m_now;
        m_run = m_next(m_runs++);
        m_changeAt = m_run.runMs == kNever ? kNever : m_now + std::max<ULONGLONG>(m_run.runMs, 1);
        m_othersAt = kNever;
        if (m_tell) {
            Tell(("  next: " + RunText(m_run)).c_str());
        }
    }


    // Our start request: refused with 1056 unless quorbel is stopped, and
    // with 1069 during a wrong logon.
    DWORD RequestStart()
    {
        if (m_state != State::Stopped) {
            return ERROR_SERVICE_ALREADY_RUNNING;
        }
        if (m_now < m_wrongUntil) {
            Tell("a start is refused with 1069");
            if (m_lastLogonTry != kNever && m_now - m_lastLogonTry < CRestartPolicy::kWrongLogonPaceMs) {
                Break("a wrong logon tried twice within 10 minutes");
            }
            m_lastLogonTry = m_now;
            return ERROR_SERVICE_LOGON_FAILED;
        }
        ++m_figures.starts;
        if (m_stoppedAt >= kPeriodMs && !m_loop) {
            m_figures.longestDownMs = std::max(m_figures.longestDownMs, m_now - m_stoppedAt);
        }
        Started();
        return 0;
    }

    void WatcherTold()
    {
        m_stopSeenAt = m_stoppedAt;
        CPolicyRecords records;
        const StopVerdict verdict = m_policy->NoteStop(m_policy->StartsSoFar(), records);
        Tell(verdict == StopVerdict::Restart    ? "the watcher is told: Restart"
             : verdict == StopVerdict::Answered ? "the watcher is told: Answered"
                                                : "the watcher is told: LeaveToPoll");
        if (verdict == StopVerdict::Restart) {
            const DWORD error = RequestStart();
            if (error == 0) {
                m_policy->NoteStart(Asker::Watcher, SERVICE_STOPPED, records);
            } else {
                m_policy->NoteRefused(Asker::Watcher, error, "refused");
                // A refusal other than 1056 pauses the watcher.
                if (error != ERROR_SERVICE_ALREADY_RUNNING) {
                    m_watching = false;
                    m_pauseExcused = true;
                    m_pauseEnds = m_now + kPeriodMs;
                }
            }
        } else if (verdict == StopVerdict::LeaveToPoll) {
            m_watching = false;
            m_pauseExcused = m_stopExcused;
            m_pauseEnds = m_now + kPeriodMs;
        }
        // After the start, as the watcher writes them.
        m_policy->Write(records);
    }

    void Poll()
    {
        CPolicyRecords records;
        m_policy->TakeWatcherFailures();
        const unsigned long stopsBefore = m_policy->StopsSoFar();
        if (m_state == State::Running) {
            m_awaitsRunningSeen = false;
            m_policy->NoteRunning(stopsBefore, records);
        } else if (m_state == State::Stopped && !m_policy->StartHeldBack()) {
            Tell("the poll finds quorbel stopped and starts it");
            m_stopSeenAt = m_stoppedAt;
            m_policy->NoteStop(m_policy->StartsSoFar(), records);
            const DWORD error = RequestStart();
            if (error == 0) {
                m_policy->NoteStart(Asker::Poll, SERVICE_STOPPED, records);
            } else {
                m_policy->NoteRefused(Asker::Poll, error, "refused");
            }
        }
        m_policy->Write(records);
    }

    // Takes the records written since the last step and checks the promises.
    void Check()
    {
        for (const sim::EventRecord& record : sim::EventRecordsFrom(m_recordsSeen)) {
            ++m_recordsSeen;
            const unsigned id = record.eventId & 0xFFFF;
            m_figures.information += record.type == EVENTLOG_INFORMATION_TYPE ? 1 : 0;
            m_figures.warnings += record.type == EVENTLOG_WARNING_TYPE ? 1 : 0;
            m_figures.errors += record.type == EVENTLOG_ERROR_TYPE ? 1 : 0;
            if (m_tell) {
                std::string strings;
                for (const std::wstring& text : record.strings) {
                    strings += (strings.empty() ? "" : ",") + std::string(text.begin(), text.end());
                }
                Tell(("  record " + std::to_string(id) + ": " + strings).c_str());
            }
            if (id < 1 || id > 5) {
                continue;
            }
            ++m_figures.records;
            m_hour.push_back(m_now);
            while (m_now - m_hour.front() >= kHourMs) {
                m_hour.pop_front();
            }
            m_figures.worstHour = std::max<unsigned>(m_figures.worstHour, static_cast<unsigned>(m_hour.size()));
            if (m_hour.size() > kMostAnHour) {
                Break("more than seven of the policy's records within an hour");
            } else if (id == 3 || id == 4) {
                if (m_warned && m_now - m_lastWarning < kHourMs) {
                    Break("two warnings within an hour");
                }
                m_warned = true;
                m_lastWarning = m_now;
                m_episode = true;
            } else if (id == 5) {
                if (!m_episode) {
                    Break("a closing record with no episode open");
                } else if (m_stopSeenAt != kNever && m_now - m_stopSeenAt < kHourMs) {
                    Break("a closing record within an hour of a stop");
                }
                m_episode = false;
            } else if (m_episode) {
                Break("a start record during an episode");
            }
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

    std::function<Run(size_t)> m_next;
    bool m_tell;
    bool m_whole;
    CRestartPolicy* m_policy = nullptr;
    ULONGLONG m_now = 0;
    State m_state = State::Stopped;
    Run m_run;
    size_t m_runs = 0;
    ULONGLONG m_startedAt = 0, m_stoppedAt = 0, m_changeAt = kNever, m_othersAt = kNever;
    ULONGLONG m_pauseEnds = kPeriodMs, m_nextPoll = 0, m_stopSeenAt = kNever;
    ULONGLONG m_wrongUntil = 0, m_lastLogonTry = kNever;
    bool m_watching = false;
    // A stop answered by someone else's start is over once the poll has
    // found quorbel running; a stop before that may be left to the poll.
    bool m_awaitsRunningSeen = false;
    bool m_stopExcused = false, m_pauseExcused = true;
    bool m_loop = false, m_quickSeen = false;
    ULONGLONG m_firstQuickStart = 0;
    size_t m_recordsSeen = 0;
    std::deque<ULONGLONG> m_hour;
    bool m_warned = false, m_episode = false;
    ULONGLONG m_lastWarning = 0;
    Broken m_broken;
    Figures m_figures;
};

// A day's kind of quorbel, drawn from its seed: a mix of run lengths (quick
// crashes, seconds, about a minute, minutes, hours), bursts of quick
// crashes, an administrator's stops at random, stops answered by someone
// else's start, stops that hang in STOP_PENDING for a while, and now and
// then a wrong logon for a while.
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
        m_pending = Uniform(0, 0.2);
        m_wrongLogon = Uniform(0, 0.01);
    }

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
            run.othersMs = Uniform(0, 1) < 0.5 ? 0 : Between(1, 8000);
        }
        if (Uniform(0, 1) < m_wrongLogon) {
            run.wrongLogonMs = Between(kMinuteMs, 3 * kHourMs);
        }
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
    double Uniform(double low, double high) { return std::uniform_real_distribution<double>(low, high)(m_random); }
    ULONGLONG Between(ULONGLONG low, ULONGLONG high)
    {
        return std::uniform_int_distribution<ULONGLONG>(low, high)(m_random);
    }

    std::mt19937_64 m_random;
    double m_weights[5];
    double m_burst, m_admin, m_others, m_pending, m_wrongLogon;
    unsigned m_burstLeft = 0;
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

// The shortest stretch of the day's runs, ending with the one under way at
// the break, that breaks the same promise on a fresh Tavrilex.
size_t ShortestStretch(const std::vector<Run>& runs, const Broken& broken)
{
    for (size_t first = broken.run + 1; first-- > 0;) {
        const std::vector<Run> stretch(runs.begin() + static_cast<std::ptrdiff_t>(first),
                                       runs.begin() + static_cast<std::ptrdiff_t>(broken.run) + 1);
        CDay day([&stretch](size_t i) { return i < stretch.size() ? stretch[i] : Run(); }, false);
        day.Simulate(kDayMs, stretch.size());
        if (day.Result().promise == broken.promise) {
            return first;
        }
    }
    return 0;
}

void PrintStretch(const std::vector<Run>& runs, size_t first, size_t last)
{
    std::printf("\nThe shortest stretch that breaks it again: runs %zu to %zu of the day\n", first, last);
    const std::vector<Run> stretch(runs.begin() + static_cast<std::ptrdiff_t>(first),
                                   runs.begin() + static_cast<std::ptrdiff_t>(last) + 1);
    for (const Run& run : stretch) {
        std::printf("  %s\n", RunText(run).c_str());
    }
    std::printf("\nIts steps on a fresh Tavrilex:\n");
    CDay day([&stretch](size_t i) { return i < stretch.size() ? stretch[i] : Run(); }, true);
    day.Simulate(kDayMs, stretch.size());
}

struct Row {
    const char* name;
    std::function<Run(size_t)> runs;
    ULONGLONG shortestRunMs;
};

Run Runs(ULONGLONG ms)
{
    Run run;
    run.runMs = ms;
    return run;
}

int FixedRows()
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
        {"runs 65 s, 1 s, 1 s, again and again",
         [](size_t i) { return Runs(i % 3 == 0 ? 65000 : 1000); }, 1000},
        {"runs 0.1 to 2.9 s or 61 to 120 s, half each",
         [&](size_t) { return random() % 2 ? between(100, 2900) : between(61000, 120000); }, 100},
    };
    int broken = 0;
    std::printf("| quorbel | starts a day | information | warning | worst hour | longest down outside a crash loop (s) | "
                "promises |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        CDay day(row.runs, false, true);
        day.Simulate(kDayMs);
        const Figures& figures = day.Totals();
        // Runs under the quick mark are the crash loop, paced by the poll;
        // runs under 10 minutes give six stops an hour: an episode.
        const bool fast = row.shortestRunMs < CRestartPolicy::kQuickRunMs;
        const bool met = day.Result().promise.empty() && figures.errors == 0 &&
                         (row.shortestRunMs >= 10 * kMinuteMs || figures.warnings >= 1) &&
                         (fast || figures.longestDownMs == 0);
        broken += met ? 0 : 1;
        std::printf("| %s | %lu | %lu | %lu | %u | %.1f | %s |\n", row.name, figures.starts, figures.information,
                    figures.warnings, figures.worstHour, static_cast<double>(figures.longestDownMs) / 1000,
                    met ? "met" : ("BROKEN: " + (day.Result().promise.empty() ? std::string("bound")
                                                                               : day.Result().promise))
                                      .c_str());
    }
    return broken;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long days = 100;
    unsigned long long seed = 20261209;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--days") == 0) {
            days = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (std::strcmp(argv[i], "--day") == 0) {
            CDay day(CRandomQuorbel(std::strtoull(argv[i + 1], nullptr, 10)), true);
            day.Simulate(kDayMs);
            return day.Result().promise.empty() ? 0 : 1;
        }
    }
    const int brokenRows = FixedRows();

    const auto began = std::chrono::steady_clock::now();
    unsigned worstHour = 0;
    unsigned long worstDay = 0, total = 0;
    unsigned long long worstHourSeed = seed, worstDaySeed = seed;
    for (unsigned long d = 0; d < days; ++d) {
        Script script{CRandomQuorbel(seed + d), {}};
        CDay day(std::ref(script), false);
        day.Simulate(kDayMs);
        const Figures& figures = day.Totals();
        total += figures.records;
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
            PrintStretch(script.runs, ShortestStretch(script.runs, broken), broken.run);
            std::printf("\nAgain: policydays --day %llu\n", seed + d);
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("\n| random days | seeds | records of the policy's own | worst hour | worst day | promises | time |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::printf("| %lu | %llu to %llu | %lu | %u (seed %llu) | %lu (seed %llu) | met | %.1f s |\n", days, seed,
                seed + days - 1, total, worstHour, worstHourSeed, worstDay, worstDaySeed, seconds);
    return brokenRows == 0 ? 0 : 1;
}
