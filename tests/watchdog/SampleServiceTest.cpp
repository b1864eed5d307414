// The monitor service against the simulated platform: its watch loop on the
// pool, what it writes to the event log, how it stops, and how it comes
// apart. Sleeps run on the simulation's virtual clock.
#include "SampleService.h"
#include "SimTest.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <random>
#include <thread>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

const std::wstring kQuorbel = L"quorbel";
const std::string kStartDisabled = "Kelvarund - Failed to start service with error 1058";

// Re-exports the hooks that the host would otherwise call. It runs the loop
// alone unless asked for the stop watcher: most tests here are the loop's
// (the watcher's own are in StopWatcherTest.cpp).
class CTestService : public CSampleService {
public:
    explicit CTestService(bool withWatcher = false)
    {
        if (!withWatcher) {
            RunLoopAlone();
        }
    }

    using CSampleService::DoStart;
    using CSampleService::DoStop;
};

// Ends a loop that is held in a sleep by calling `ending` (a DoStop, or the
// destruction of the object), which asks the loop to end and waits for it.
// The sleep is let go as that wait begins, so the loop finds the request at
// its next test of the flag.
void EndFromTheHeldSleep(const std::function<void()>& ending)
{
    // The loop waits on the same call; only the ending's own wait lets go.
    sim::SetCallHook("WaitForSingleObject", [ender = std::this_thread::get_id()] {
        if (std::this_thread::get_id() == ender) {
            sim::HoldSleeps(false);
        }
    });
    ending();
    sim::SetCallHook("WaitForSingleObject", nullptr);
}

// Starts the loop and lets it make `polls` polls, each held in the sleep that
// follows it while the event log is read; `betweenPolls(n)` then sets up the
// world of poll n. Returns the number of records after each poll, and stops
// the loop in the sleep of the last one.
std::vector<size_t> RunPolls(CTestService& service, int polls, const std::function<void(int)>& betweenPolls = {})
{
    std::vector<size_t> recordsAfter;
    sim::HoldSleeps(true);
    service.DoStart(0, nullptr);
    for (int poll = 1; sim::WaitForSleepers(1); ++poll) {
        recordsAfter.push_back(sim::EventRecords().size());
        if (poll == polls) {
            break;
        }
        if (betweenPolls) {
            betweenPolls(poll + 1);
        }
        sim::ReleaseSleepers();
    }
    EndFromTheHeldSleep([&service] { service.DoStop(); });
    return recordsAfter;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int CountCalls(const char* function) { return static_cast<int>(CallsOf(function).size()); }

size_t RecordsOfType(WORD type)
{
    const std::vector<sim::EventRecord> records = sim::EventRecords();
    return std::count_if(records.begin(), records.end(), [type](const sim::EventRecord& r) { return r.type == type; });
}

void StartRefusedForGood()
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    sim::FailCall("StartServiceW", 1, ERROR_SERVICE_DISABLED, -1);
}

// ---- Reporting cadence -------------------------------------------------------

struct CadenceRow {
    const char* name;
    std::function<void()> arrange;
    std::function<void(int)> betweenPolls;
    std::vector<size_t> recordsAfter;
    std::vector<std::string> messages;
};

void PrintTo(const CadenceRow& row, std::ostream* os) { *os << row.name; }

class WatchLoopCadence : public SimTest, public ::testing::WithParamInterface<CadenceRow> {};

TEST_P(WatchLoopCadence, WritesFirstFailureAndEverySecondOne)
{
    const CadenceRow& row = GetParam();
    row.arrange();
    std::vector<size_t> recordsAfter;
    {
        CTestService service;
        recordsAfter = RunPolls(service, static_cast<int>(row.recordsAfter.size()), row.betweenPolls);
    }

    EXPECT_EQ(recordsAfter, row.recordsAfter);
    std::vector<std::string> messages;
    for (const sim::EventRecord& record : sim::EventRecords()) {
        ASSERT_EQ(record.strings.size(), 2u);
        messages.emplace_back(record.strings[1].begin(), record.strings[1].end());
    }
    EXPECT_EQ(messages, row.messages);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, WatchLoopCadence,
    ::testing::Values(
        CadenceRow{"FailurePersistsOverSixPolls", StartRefusedForGood, {}, {1, 1, 2, 2, 3, 3},
                   {kStartDisabled, kStartDisabled, kStartDisabled}},
        CadenceRow{"AlwaysRunningWritesNothing", [] { sim::AddService(kQuorbel, SERVICE_RUNNING); }, {},
                   {0, 0, 0, 0}, {}},
        CadenceRow{"FailureSuccessFailureWritesBoth", StartRefusedForGood,
                   [](int poll) {
                       if (poll == 2) {
                           sim::SetServiceState(kQuorbel, SERVICE_RUNNING);
                       } else {
                           sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
                       }
                   },
                   {1, 1, 2}, {kStartDisabled, kStartDisabled}},
        // Messages are not compared: a new text on an even failure is skipped.
        CadenceRow{"ChangedMessageOnSecondFailureIsSkipped", StartRefusedForGood,
                   [](int) { sim::FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED, -1); }, {1, 1},
                   {kStartDisabled}},
        CadenceRow{"RecordLostToRegistrationCountsAsWritten",
                   [] {
                       StartRefusedForGood();
                       sim::FailCall("RegisterEventSourceW", 1, ERROR_ACCESS_DENIED);
                   },
                   {}, {0, 0, 1}, {kStartDisabled}},
        // Each try is a failed logon of quorbel's account: again after a
        // minute, then in 30 (polls 1, 13, 373), counted for the cadence;
        // held-back polls count for nothing. Found running at poll 375, it is
        // tried at once at 376; refused again so soon, it waits 30 minutes.
        CadenceRow{"WrongLogonIsRetriedAfterAMinuteThenEveryHalfHour",
                   [] {
                       sim::AddService(kQuorbel, SERVICE_STOPPED);
                       sim::FailCall("StartServiceW", 1, ERROR_SERVICE_LOGON_FAILED, -1);
                   },
                   [](int poll) {
                       if (poll >= 375) {
                           sim::SetServiceState(kQuorbel, poll == 375 ? SERVICE_RUNNING : SERVICE_STOPPED);
                       }
                   },
                   [] { std::vector<size_t> r(372, 1); r.insert(r.end(), 3, 2); r.insert(r.end(), 5, 3); return r; }(),
                   std::vector<std::string>(3, "Kelvarund - Failed to start service with error 1069")}),
    [](const ::testing::TestParamInfo<CadenceRow>& info) { return std::string(info.param.name); });

// ---- The record ----------------------------------------------------------------

struct RecordRow {
    const char* name;
    std::function<void()> arrange;
    std::string message;
};

void PrintTo(const RecordRow& row, std::ostream* os) { *os << row.name; }

class WatchLoopRecord : public SimTest, public ::testing::WithParamInterface<RecordRow> {};

TEST_P(WatchLoopRecord, IsOneErrorRecordWithNameAndMessage)
{
    GetParam().arrange();
    {
        CTestService service;
        RunPolls(service, 1);
    }

    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), 1u);
    const sim::EventRecord& record = records[0];
    EXPECT_EQ(record.source, L"Tavrilex");
    EXPECT_EQ(record.type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(record.category, 0);
    EXPECT_EQ(record.eventId, 0u);
    EXPECT_FALSE(record.hasSid);
    EXPECT_EQ(record.strings, (std::vector<std::wstring>{L"Tavrilex", Wide(GetParam().message)}));
    EXPECT_EQ(record.dataSize, 0u);
    EXPECT_FALSE(record.hasData);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::EventSource), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, WatchLoopRecord,
    ::testing::Values(
        RecordRow{"ScmRefused",
                  [] {
                      sim::AddService(kQuorbel, SERVICE_STOPPED);
                      sim::FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED, -1);
                  },
                  "Kelvarund - Failed to open SCM"},
        RecordRow{"WatchedServiceUnknown", [] {}, "Kelvarund - Failed to open service with error:  1060"},
        RecordRow{"StartRefused", StartRefusedForGood, kStartDisabled},
        RecordRow{"HardenedWithoutStart",
                  [] { sim::AddService(kQuorbel); sim::SetGrantedAccess(kQuorbel, SERVICE_QUERY_STATUS); },
                  "Kelvarund - Failed to open service with error:  5"}),
    [](const ::testing::TestParamInfo<RecordRow>& info) { return std::string(info.param.name); });

// ---- Polling -------------------------------------------------------------------

class SampleServiceTest : public SimTest {};

TEST_F(SampleServiceTest, StoppedWatchedServiceIsKeptStartedOverManyPolls)
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    sim::SetGrantedAccess(kQuorbel, SERVICE_QUERY_STATUS | SERVICE_START);  // hardened: all it needs
    {
        CTestService service;
        // Something stops quorbel again during the first 49 sleeps; then it
        // runs, and the 770th poll is the first an hour after its last start.
        RunPolls(service, 770, [](int poll) {
            if (poll <= 50) {
                sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
            }
        });
    }

    EXPECT_EQ(sim::StartCount(kQuorbel), 50);
    EXPECT_EQ(sim::GetServiceState(kQuorbel), static_cast<DWORD>(SERVICE_RUNNING));
    // One per start until the sixth stop within an hour; then one warning,
    // and the episode's end.
    EXPECT_EQ(RecordsOfType(EVENTLOG_INFORMATION_TYPE), 7u);
    ASSERT_EQ(sim::EventRecords().size(), 8u);
    EXPECT_EQ(sim::EventRecords().back().strings, (std::vector<std::wstring>{L"quorbel", L"49", L"49", L"240"}));
    EXPECT_EQ(sim::SleepCount(), 770);
    EXPECT_EQ(sim::Now(), 770ull * 5000);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Scm), 1);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Service), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST_F(SampleServiceTest, StartQueuesALongWorkItemAndReturnsBeforeThePoll)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::HoldSleeps(true);
    {
        CTestService service;
        sim::ClearJournal();
        service.DoStart(0, nullptr);
        // DoStart has returned; the loop polls and then sleeps on its own.
        ASSERT_TRUE(sim::WaitForSleepers(1));
        const std::vector<sim::Call> journal = sim::Journal();
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal[0].function, "QueueUserWorkItem");
        EXPECT_EQ(journal[0].arg, static_cast<DWORD>(WT_EXECUTELONGFUNCTION));
        // Still inside its first wait, which only a shutdown cuts short.
        EXPECT_EQ(CountCallsWithArg("WaitForSingleObject", 5000), 1);
        EXPECT_EQ(sim::SleepCount(), 1);

        EndFromTheHeldSleep([&service] { service.DoStop(); });
    }
    EXPECT_EQ(sim::SleepCount(), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// ---- Stopping ------------------------------------------------------------------

TEST_F(SampleServiceTest, LaterStopsReturnAtOnce)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    {
        CTestService service;
        RunPolls(service, 2);

        // Each would hang if the event were not left signalled.
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto stop = std::async(std::launch::async, [&] { service.DoStop(); });
            ASSERT_EQ(stop.wait_for(std::chrono::seconds(10)), std::future_status::ready);
            stop.get();
        }
        sim::ClearJournal();
    }
    EXPECT_EQ(sim::SleepCount(), 2);
    // The destructor closes the loop's and the watcher's events, each once.
    EXPECT_EQ(CountCalls("CloseHandle"), 4);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST_F(SampleServiceTest, StartAfterStopQueuesALoopThatMakesNoPoll)
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    {
        CTestService service;
        RunPolls(service, 1);
        sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
        sim::ClearJournal();

        service.DoStart(0, nullptr);
        ASSERT_TRUE(sim::WaitForWorkItems());
        service.DoStop();
        EXPECT_EQ(CountCalls("QueueUserWorkItem"), 1);
        EXPECT_EQ(CountCalls("OpenSCManagerW"), 0);
    }
    EXPECT_EQ(sim::SleepCount(), 1);
    EXPECT_EQ(sim::StartCount(kQuorbel), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

TEST_F(SampleServiceTest, FailedWaitRaisesItsCodeAndLeavesTheStopRequested)
{
    StartRefusedForGood();
    sim::HoldSleeps(true);
    {
        CTestService service;
        service.DoStart(0, nullptr);
        ASSERT_TRUE(sim::WaitForSleepers(1));
        {
            sim::ScopedFault fault("WaitForSingleObject", ERROR_INVALID_HANDLE);
            try {
                service.DoStop();
                ADD_FAILURE() << "DoStop returned although its wait failed";
            } catch (ErrorCodeException error) {
                EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
            }
        }
        sim::HoldSleeps(false);
        // The loop still ends at its next test of the flag.
        ASSERT_TRUE(sim::WaitForWorkItems());
    }
    EXPECT_EQ(sim::SleepCount(), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// ---- Queueing ----------------------------------------------------------------------

TEST_F(SampleServiceTest, RefusedWorkItemRaisesItsCodeAndNoPollRuns)
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    {
        CTestService service;
        sim::ScopedFault fault("QueueUserWorkItem", ERROR_NOT_ENOUGH_MEMORY);
        try {
            service.DoStart(0, nullptr);
            ADD_FAILURE() << "DoStart returned although the pool refused the item";
        } catch (ErrorCodeException error) {
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        }
        // The loop is not marked queued, so the destruction does not wait
        // for a loop that will never signal.
    }
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(CountCalls("OpenSCManagerW"), 0);
    EXPECT_EQ(sim::SleepCount(), 0);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// ---- Failures raised inside a poll -----------------------------------------------

TEST_F(SampleServiceTest, AllocationFailureSpoilsOnlyItsPoll)
{
    StartRefusedForGood();
    std::vector<size_t> recordsAfter;
    {
        CTestService service;
        sim::FailWorkItemAllocation(1);  // the first poll cannot even build the name
        recordsAfter = RunPolls(service, 3);
    }
    // Poll 1 is lost without counting as a failure; polls 2 and 3 are the
    // first and second failures of the run.
    EXPECT_EQ(recordsAfter, (std::vector<size_t>{0, 1, 1}));
    EXPECT_EQ(CountCalls("StartServiceW"), 2);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// Whichever allocation of a poll fails, the loop goes on, ends when asked
// and signals its event, and the poll leaves nothing open.
TEST_F(SampleServiceTest, LoopSurvivesAnAllocationFailureAnywhereInAPoll)
{
    StartRefusedForGood();
    long long perPoll = 0;
    {
        CTestService service;
        const sim::AllocationCounts before = sim::WorkItemAllocations();
        RunPolls(service, 1);
        perPoll = sim::WorkItemAllocations().allocations - before.allocations;
    }
    ASSERT_GT(perPoll, 2);

    for (long long nth = 1; nth <= perPoll; ++nth) {
        SCOPED_TRACE("failing allocation " + std::to_string(nth));
        sim::Reset();
        StartRefusedForGood();
        std::vector<size_t> recordsAfter;
        {
            CTestService service;
            sim::FailWorkItemAllocation(static_cast<int>(nth));
            recordsAfter = RunPolls(service, 3);
        }
        ASSERT_EQ(recordsAfter.size(), 3u);
        // Polls 2 and 3 always run normally: one of them writes.
        EXPECT_GE(recordsAfter[2] - recordsAfter[0], 1u);
        EXPECT_EQ(sim::SleepCount(), 3);
        EXPECT_EQ(sim::OpenHandleCount(), 0);
    }
}

// ---- The stop watcher beside the loop ------------------------------------------------

TEST_F(SampleServiceTest, RefusedRequestsAreRetriedOncePerPeriodAndLeaveTheLoopInCharge)
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    sim::FailCall("NotifyServiceStatusChangeW", 1, ERROR_ACCESS_DENIED, -1);
    sim::HoldSleeps(true);
    // No ASSERT while sleeps are held: the destructor would wait for ever.
    {
        CTestService service(/*withWatcher=*/true);
        service.DoStart(0, nullptr);
        EXPECT_TRUE(sim::WaitForSleepers(1));  // the first poll has started quorbel

        // The clock moves only by hand: one request per period, each
        // refused, and nothing held between them.
        const auto pauses = [] { return CountCallsWithArg("WaitForSingleObjectEx", 5000); };
        for (int period = 1; period <= 3; ++period) {
            EXPECT_TRUE(WaitUntil([&] { return pauses() == period; }));
            EXPECT_EQ(CallsOf("NotifyServiceStatusChangeW").size(), size_t(period - 1));
            EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Service), 0);
            sim::AdvanceClock(5000);
        }
        EXPECT_TRUE(WaitUntil([&] { return pauses() == 4; }));

        // Quorbel is still the loop's to keep: stopped, it is started again
        // by the next poll.
        sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
        sim::ReleaseSleepers();
        EXPECT_TRUE(sim::WaitForSleepers(1));
        EXPECT_EQ(sim::StartCount(kQuorbel), 2);
        EndFromTheHeldSleep([&service] { service.DoStop(); });
    }
    EXPECT_EQ(RecordsOfType(EVENTLOG_INFORMATION_TYPE), sim::EventRecords().size());
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// After the shutdown control the entry destroys the object while the watcher
// waits for an answer: the destructor must end it, with its request, before
// the object goes away, and without waiting for the loop's sleep to do so.
TEST_F(SampleServiceTest, DestructorAfterShutdownEndsAWaitingWatcherAtOnce)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::HoldSleeps(true);
    sim::StartAsService();
    std::thread entry([] {
        CSampleService service;
        EXPECT_TRUE(CServiceBase::RunDispatcher(service));
    });
    // The loop parks in its first sleep; the watcher's first pause is ended
    // by hand, and it asks to be told of a stop.
    EXPECT_TRUE(sim::WaitForSleepers(1));
    EXPECT_TRUE(WaitUntil([] { return CountCallsWithArg("WaitForSingleObjectEx", 5000) == 1; }));
    sim::AdvanceClock(5000);
    EXPECT_TRUE(WaitUntil([] { return CountCallsWithArg("WaitForSingleObjectEx", INFINITE) == 1; }));

    sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_TRUE(WaitUntil([] { return sim::OpenHandleCount(sim::HandleKind::Service) == 0; }));
    sim::HoldSleeps(false);
    entry.join();
    ASSERT_TRUE(sim::WaitForWorkItems());

    // Its request went with it: a later stop reaches no one.
    sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
    EXPECT_EQ(sim::StartCount(kQuorbel), 0);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// ---- The loop and the watcher together, in stepped time ---------------------------

// Steps the clock `ms` forward in steps of 100 ms, letting the loop and the
// watcher do all they have to at each step before the next.
void StepClock(unsigned ms);

// Steps 100 ms at a time until `done`, for at most 15 s.
void StepUntil(const std::function<bool()>& done)
{
    for (int step = 0; step < 150 && !done(); ++step) {
        StepClock(100);
    }
}

void StepClock(unsigned ms)
{
    for (unsigned done = 0; done < ms; done += 100) {
        ASSERT_TRUE(sim::WaitForIdle());
        sim::AdvanceClock(100);
    }
    ASSERT_TRUE(sim::WaitForIdle());
}

struct TogetherRow {
    const char* name;
    sim::ServiceBehaviour quorbel;
    std::vector<unsigned> runs = {};  // ms from each start to its stop; none: 12 at random
};

void PrintTo(const TogetherRow& row, std::ostream* os) { *os << row.name; }

sim::ServiceBehaviour Takes(DWORD startPendingMs, DWORD stopPendingMs)
{
    sim::ServiceBehaviour behaviour;
    behaviour.startPendingMs = startPendingMs;
    behaviour.stopPendingMs = stopPendingMs;
    return behaviour;
}

class LoopAndWatcher : public SimTest, public ::testing::WithParamInterface<TogetherRow> {};

// quorbel, stopped at random moments 5.5 to 9 s after it came up, gets one
// start per stop, within a second of STOPPED; one record each until the
// sixth stop after a start of ours, then the warning of a quorbel that keeps
// stopping.
TEST_P(LoopAndWatcher, EachStopGetsOneStartAtOnceAndOneRecord)
{
    sim::SetClockMode(sim::ClockMode::Manual);
    sim::AddService(kQuorbel, SERVICE_RUNNING, GetParam().quorbel);
    std::mt19937 random(20261208);
    {
        CTestService service(/*withWatcher=*/true);
        service.DoStart(0, nullptr);
        const std::vector<unsigned>& runs = GetParam().runs;
        for (size_t stop = 1; stop <= (runs.empty() ? 12 : runs.size()); ++stop) {
            StepClock(runs.empty() ? 5500 + 100 * (random() % 36) : runs[stop - 1]);
            ASSERT_EQ(sim::GetServiceState(kQuorbel), DWORD{SERVICE_RUNNING});
            const int starts = sim::StartCount(kQuorbel);
            StopAsScDoes(kQuorbel);
            // The watcher may start it within the step that stopped it.
            StepUntil([starts] {
                return sim::GetServiceState(kQuorbel) == SERVICE_STOPPED || sim::StartCount(kQuorbel) != starts;
            });
            const unsigned long long stopped = sim::Now();
            StepUntil([starts] { return sim::StartCount(kQuorbel) != starts; });
            EXPECT_LE(sim::Now() - stopped, 1000u) << "stop " << stop;
            StepUntil([] { return sim::GetServiceState(kQuorbel) == SERVICE_RUNNING; });
            ASSERT_EQ(sim::GetServiceState(kQuorbel), DWORD{SERVICE_RUNNING}) << "stop " << stop;
            EXPECT_EQ(sim::StartCount(kQuorbel), starts + 1) << "stop " << stop;
        }
    }
    const size_t stops = GetParam().runs.empty() ? 12 : GetParam().runs.size();
    EXPECT_EQ(RecordsOfType(EVENTLOG_INFORMATION_TYPE), std::min<size_t>(stops, 6));
    EXPECT_EQ(RecordsOfType(EVENTLOG_WARNING_TYPE), stops > 6 ? 1u : 0u);
    EXPECT_EQ(sim::EventRecords().size(), std::min<size_t>(stops, 7));
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Watchdog, LoopAndWatcher,
                         ::testing::Values(TogetherRow{"StartsAtOnce", Takes(0, 0)},
                                           TogetherRow{"StartTakesOneSecond", Takes(1000, 0)},
                                           TogetherRow{"StartTakesThreeSeconds", Takes(3000, 0)},
                                           TogetherRow{"StopTakesThreeSeconds", Takes(0, 3000)},
                                           // Polls 5 s apart see the two stops' STOP_PENDING
                                           // alike: no hang, since a start of ours came between.
                                           TogetherRow{"TwoStopsSeenPendingByTwoPolls", Takes(0, 3000), {4500, 2000}}),
                         [](const ::testing::TestParamInfo<TogetherRow>& info) { return std::string(info.param.name); });

// Failing 0.5 s after each start: two quick restarts, then the poll's pace and one warning.
TEST_F(SampleServiceTest, CrashLoopIsAskedForAtThePollsPaceWithOneWarning)
{
    sim::SetClockMode(sim::ClockMode::Manual);
    sim::ServiceBehaviour fails;
    fails.runsForMs = 500;
    sim::AddService(kQuorbel, SERVICE_STOPPED, fails);
    int startsIn60s = 0;
    {
        CTestService service(/*withWatcher=*/true);
        service.DoStart(0, nullptr);
        StepClock(60000);
        startsIn60s = sim::StartCount(kQuorbel);
        StepClock(90000);
    }
    EXPECT_LE(startsIn60s, 14);
    EXPECT_GE(startsIn60s, 60000 / 6000);
    EXPECT_LE(sim::StartCount(kQuorbel), 33);
    EXPECT_EQ(RecordsOfType(EVENTLOG_WARNING_TYPE), 1u);
    EXPECT_LE(RecordsOfType(EVENTLOG_INFORMATION_TYPE), 3u);
    EXPECT_EQ(RecordsOfType(EVENTLOG_ERROR_TYPE), 0u);
}

// The event log hangs in the poll's record of its first start: the watcher
// still mends the next stop at once and writes its own record, and the
// shutdown control returns; the hung record lands, nothing after it.
TEST_F(SampleServiceTest, HungRecordDelaysNoRestartAndNoShutdown)
{
    sim::SetClockMode(sim::ClockMode::Manual);
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    CHeldWrite held;
    sim::StartAsService();
    auto service = std::make_unique<CSampleService>();
    std::thread dispatcher([&service] { EXPECT_TRUE(CServiceBase::RunDispatcher(*service)); });
    EXPECT_TRUE(held.WaitHeld());
    EXPECT_TRUE(WaitUntil([] { return CountCallsWithArg("WaitForSingleObjectEx", 5000) == 1; }));
    sim::AdvanceClock(5000);
    EXPECT_TRUE(WaitUntil([] { return CountCallsWithArg("WaitForSingleObjectEx", INFINITE) == 1; }));

    StopAsScDoes(kQuorbel);
    EXPECT_TRUE(WaitUntil([] { return sim::StartCount(kQuorbel) == 2; }));
    EXPECT_EQ(sim::Now(), 5000u);
    EXPECT_TRUE(WaitUntil([] { return sim::EventRecords().size() == 1; }));
    sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_TRUE(sim::WaitForStatus(SERVICE_STOPPED, 5000));
    dispatcher.join();
    held.Release();
    service.reset();
    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].eventId, kEventStartedByWatcher);
    EXPECT_EQ(records[1].eventId, kEventStartedByPoll);
}

// ---- With the host ---------------------------------------------------------------------

std::vector<DWORD> ReportedStates()
{
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& status : sim::StatusReports()) {
        states.push_back(status.dwCurrentState);
    }
    return states;
}

TEST_F(SampleServiceTest, StopControlEndsTheLoopBeforeStoppedIsReported)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_STOP);
    {
        CSampleService service;
        ASSERT_TRUE(CServiceBase::RunDispatcher(service));
        // The loop has signalled its event: nothing of it runs any more.
        EXPECT_TRUE(sim::WaitForWorkItems());
    }
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                                    SERVICE_STOPPED}));
    EXPECT_TRUE(sim::EventRecords().empty());
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// After the shutdown control Windows stops quorbel with every other service:
// Tavrilex asks for no more starts and writes no more records, and its loop
// and watcher end without waiting out their periods, so the object can go.
TEST_F(SampleServiceTest, AfterShutdownNoStartNoRecordAndNoWait)
{
    sim::SetClockMode(sim::ClockMode::Manual);
    StartRefusedForGood();
    sim::StartAsService();
    auto service = std::make_unique<CSampleService>();
    std::thread dispatcher([&service] { EXPECT_TRUE(CServiceBase::RunDispatcher(*service)); });
    ASSERT_TRUE(sim::WaitForStatus(SERVICE_RUNNING));
    StepClock(17000);
    EXPECT_GE(CallsOf("StartServiceW").size(), 4u);  // the poll's and the watcher's, all refused
    const size_t records = sim::EventRecords().size();
    EXPECT_EQ(records, 2u);

    // The control comes during the next poll's refused start, the fifth
    // failure in a row, whose record is then not written.
    std::atomic<bool> shutdown{false};
    sim::SetCallHook("StartServiceW", [&shutdown] {
        if (!shutdown.exchange(true)) {
            sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
            sim::WaitForStatus(SERVICE_STOPPED);
        }
    });
    StepUntil([&shutdown] { return shutdown.load(); });
    dispatcher.join();
    sim::SetCallHook("StartServiceW", nullptr);
    const size_t starts = CallsOf("StartServiceW").size();
    // With the clock standing still.
    EXPECT_TRUE(sim::WaitForWorkItems());
    sim::AdvanceClock(30000);
    EXPECT_EQ(CallsOf("StartServiceW").size(), starts);
    EXPECT_EQ(sim::EventRecords().size(), records);
    service.reset();
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

// A stop delivered while the start is queueing the loop, and the pool then
// refuses the loop: the stop must not wait for a loop that will never run.
TEST_F(SampleServiceTest, StopDuringAStartWhoseLoopIsRefusedEnds)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::DeliverControlsAtOnce(true);
    sim::SetCallHook("QueueUserWorkItem", [] {
        sim::SetCallHook("QueueUserWorkItem", nullptr);
        sim::QueueControl(SERVICE_CONTROL_STOP);
        EXPECT_TRUE(sim::WaitForStatus(SERVICE_STOP_PENDING));
        sim::FailCall("QueueUserWorkItem", 1, ERROR_NOT_ENOUGH_MEMORY);
    });
    sim::StartAsService();
    CSampleService service;
    auto run = std::async(std::launch::async, [&service] { return CServiceBase::RunDispatcher(service); });
    if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the stop waits for a loop that was never queued";
        sim::Reset();
    }
    EXPECT_TRUE(run.get());
    EXPECT_EQ(ReportedStates().back(), DWORD{SERVICE_STOPPED});
    ASSERT_EQ(sim::EventRecords().size(), 1u);
    EXPECT_EQ(sim::EventRecords()[0].strings.at(1), L"Service Start failed w/err 0x00000008");
}

// Stops that race the start transition, again and again: nothing hangs, and
// the watcher's events, made with the object, are never written while the
// stop reads them (ThreadSanitizer checks this build).
TEST_F(SampleServiceTest, StopsRacingTheStartAreSound)
{
    for (int run = 0; run < 20; ++run) {
        sim::Reset();
        sim::AddService(kQuorbel, SERVICE_RUNNING);
        sim::DeliverControlsAtOnce(true);
        sim::QueueControl(SERVICE_CONTROL_STOP);
        sim::StartAsService();
        {
            CSampleService service;
            ASSERT_TRUE(CServiceBase::RunDispatcher(service));
        }
        ASSERT_TRUE(sim::WaitForWorkItems());
        EXPECT_EQ(ReportedStates().back(), DWORD{SERVICE_STOPPED});
        EXPECT_EQ(sim::OpenHandleCount(), 0);
    }
}

// A shutdown that lands after START_PENDING, while DoStart has not yet queued
// the loop: the dispatcher returns at once and the entry goes on to destroy
// the object. DoStart is held there until the object is gone, or for a
// second if the object is kept for it; then it queues the loop, and the start
// transition ends.
TEST_F(SampleServiceTest, ShutdownDuringStartKeepsTheObjectUntilTheStartHasEnded)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::DeliverControlsAtOnce(true);
    std::mutex mutex;
    std::condition_variable changed;
    bool destroyed = false;
    bool destroyedBeforeTheQueueing = false;
    bool held = true;
    sim::SetCallHook("QueueUserWorkItem", [&] {
        sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
        EXPECT_TRUE(sim::WaitForStatus(SERVICE_STOPPED));
        std::unique_lock<std::mutex> lock(mutex);
        destroyedBeforeTheQueueing = changed.wait_for(lock, std::chrono::seconds(1), [&] { return destroyed; });
        held = false;
        changed.notify_all();
    });
    sim::StartAsService();

    auto service = std::make_unique<CSampleService>();
    ASSERT_TRUE(CServiceBase::RunDispatcher(*service));
    service.reset();
    {
        std::unique_lock<std::mutex> lock(mutex);
        destroyed = true;
        changed.notify_all();
        changed.wait(lock, [&] { return !held; });
    }

    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_FALSE(destroyedBeforeTheQueueing) << "the object went away under the start transition";
    // Nothing after STOPPED: the start transition does not report RUNNING.
    EXPECT_EQ(ReportedStates(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

}  // namespace
