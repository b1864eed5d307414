// Simulated days of the restart policy on the simulation's virtual clock:
// for each kind of quorbel, the calls the loop and the stop watcher make in
// 24 hours, the starts they ask for and the records the policy writes.
//
//   policydays        prints the table in Markdown; exits 1 when a row
//                     breaks the bound (bench/days.sh)
//
// The bound: at most 200 of Tavrilex's own records (information and warning)
// a day in every row, at least one warning in every row whose runs last less
// than 10 minutes, and every stop mended at once outside the fast crash loop.
//
// The watcher is modelled as it behaves: it is told of a stop at once unless
// it pauses (its first 5 s, and 5 s after each stop left to the poll), and
// asks for the start itself when the policy says Restart. The poll comes
// every 5 s: it starts a stopped quorbel and tells the policy of a running
// one. The SCM's own time for a start is left out.
#include "RestartPolicy.h"
#include "SimControl.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

constexpr ULONGLONG kDayMs = 24ULL * 60 * 60 * 1000;
constexpr ULONGLONG kPeriodMs = 5000;
constexpr ULONGLONG kNever = ~0ULL;

struct Row {
    const char* name;
    ULONGLONG minRunMs;
    ULONGLONG maxRunMs;  // runs are drawn between the two
};

struct Day {
    unsigned long starts = 0;
    unsigned long information = 0;
    unsigned long warnings = 0;
    unsigned long errors = 0;
    ULONGLONG longestDownMs = 0;
};

Day Simulate(const Row& row, std::mt19937& random)
{
    sim::Reset();
    CRestartPolicy policy(L"Tavrilex", L"quorbel");
    Day day;
    ULONGLONG now = 0;
    bool running = false;
    ULONGLONG stopAt = kNever, stoppedAt = 0, nextPoll = 0, pauseEnds = kPeriodMs;
    const auto start = [&](Asker asker) {
        policy.NoteStart(asker, SERVICE_STOPPED);
        ++day.starts;
        // The watcher's first pause leaves the first stops to the poll.
        if (stoppedAt >= kPeriodMs) {
            day.longestDownMs = std::max(day.longestDownMs, now - stoppedAt);
        }
        running = true;
        const ULONGLONG span = row.maxRunMs - row.minRunMs;
        stopAt = now + row.minRunMs + (span != 0 ? random() % (span + 1) : 0);
    };
    // The watcher told of the stop, by the answer to its request.
    const auto watcherSees = [&] {
        const StopVerdict verdict = policy.NoteStop(policy.StartsSoFar());
        if (verdict == StopVerdict::Restart) {
            start(Asker::Watcher);
        } else if (verdict == StopVerdict::LeaveToPoll) {
            pauseEnds = now + kPeriodMs;
        }
    };
    while (now < kDayMs) {
        const ULONGLONG next = std::min({running ? stopAt : kNever, nextPoll, pauseEnds});
        sim::AdvanceClock(static_cast<DWORD>(next - now));
        now = next;
        if (running && now == stopAt) {
            running = false;
            stoppedAt = now;
            if (pauseEnds == kNever) {
                watcherSees();
            }
        } else if (now == pauseEnds) {
            pauseEnds = kNever;
            if (!running) {
                watcherSees();
            }
        } else {
            nextPoll += kPeriodMs;
            if (running) {
                policy.NoteRunning();
            } else {
                policy.NoteStop(policy.StartsSoFar());
                start(Asker::Poll);
            }
        }
    }
    for (const sim::EventRecord& record : sim::EventRecords()) {
        day.information += record.type == EVENTLOG_INFORMATION_TYPE ? 1 : 0;
        day.warnings += record.type == EVENTLOG_WARNING_TYPE ? 1 : 0;
        day.errors += record.type == EVENTLOG_ERROR_TYPE ? 1 : 0;
    }
    sim::Reset();
    return day;
}

}  // namespace

int main()
{
    const Row rows[] = {
        {"stops 1 s after each start", 1000, 1000},
        {"stops 2 s after each start", 2000, 2000},
        {"stops 4 s after each start", 4000, 4000},
        {"stops 10 s after each start", 10000, 10000},
        {"stops 30 s after each start", 30000, 30000},
        {"stops 60 s after each start", 60000, 60000},
        {"stops 300 s after each start", 300000, 300000},
        {"stops 3600 s after each start", 3600000, 3600000},
        {"stopped by an administrator every 5 to 10 min", 300000, 600000},
    };
    std::mt19937 random(20261209);
    int broken = 0;
    std::printf("| quorbel | starts a day | information | warning | error | longest down after 5 s (s) | bound |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        const Day day = Simulate(row, random);
        // Runs under the quick mark are the crash loop, paced by the poll.
        const bool fast = row.maxRunMs < CRestartPolicy::kQuickRunMs;
        const bool met = day.information + day.warnings <= 200 &&
                         (row.minRunMs >= 10 * 60 * 1000 || day.warnings >= 1) &&
                         (fast || day.longestDownMs == 0) && day.errors == 0;
        broken += met ? 0 : 1;
        std::printf("| %s | %lu | %lu | %lu | %lu | %.1f | %s |\n", row.name, day.starts, day.information,
                    day.warnings, day.errors, static_cast<double>(day.longestDownMs) / 1000, met ? "met" : "BROKEN");
    }
    return broken == 0 ? 0 : 1;
}
