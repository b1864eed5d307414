// The service host as the service control manager sees it: the dispatcher
// connection, the status reports of each transition, and the one event
// record that each failing hook leaves before its fall-back report.
#include "SimTest.h"
#include "TestService.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// The part of a status report that changes between reports.
struct Report {
    DWORD state;
    DWORD checkPoint;
    DWORD exitCode;

    bool operator==(const Report& other) const
    {
        return state == other.state && checkPoint == other.checkPoint && exitCode == other.exitCode;
    }
};

std::ostream& operator<<(std::ostream& out, const Report& report)
{
    return out << "{state " << report.state << ", checkpoint " << report.checkPoint << ", exit "
               << report.exitCode << "}";
}

// The checkpoint counter belongs to the process and is never reset: its first
// pending report gets 1, each later one the next value. The tests of this
// program may share one process, so each counts its checkpoints on from those
// that the tests before it drew.
DWORD s_checkPointsDrawnBefore = 0;

bool DrawsACheckPoint(DWORD state)
{
    return state != SERVICE_RUNNING && state != SERVICE_STOPPED;
}

// The reports made so far, checkpoints counted from this test's first. Checks
// on the way that every report carries the fields that never change, whole.
std::vector<Report> Reports()
{
    std::vector<Report> reports;
    for (const SERVICE_STATUS& status : sim::StatusReports()) {
        EXPECT_EQ(status.dwServiceType, DWORD{SERVICE_WIN32_OWN_PROCESS});
        EXPECT_EQ(status.dwControlsAccepted, DWORD{SERVICE_ACCEPT_SHUTDOWN});
        EXPECT_EQ(status.dwServiceSpecificExitCode, DWORD{0});
        EXPECT_EQ(status.dwWaitHint, DWORD{0});
        const DWORD checkPoint = DrawsACheckPoint(status.dwCurrentState)
                                     ? status.dwCheckPoint - s_checkPointsDrawnBefore
                                     : status.dwCheckPoint;
        reports.push_back({status.dwCurrentState, checkPoint, status.dwWin32ExitCode});
    }
    return reports;
}

// The message of each event record, after checking the record's shape.
std::vector<std::wstring> EventMessages()
{
    std::vector<std::wstring> messages;
    for (const sim::EventRecord& record : sim::EventRecords()) {
        EXPECT_EQ(record.source, kServiceName);
        EXPECT_EQ(record.type, WORD{EVENTLOG_ERROR_TYPE});
        EXPECT_EQ(record.category, WORD{0});
        EXPECT_EQ(record.eventId, DWORD{0});
        EXPECT_FALSE(record.hasSid);
        EXPECT_FALSE(record.hasData);
        EXPECT_EQ(record.dataSize, DWORD{0});
        EXPECT_EQ(record.strings.size(), size_t{2});
        if (record.strings.size() == 2) {
            EXPECT_EQ(record.strings[0], kServiceName);
            messages.push_back(record.strings[1]);
        }
    }
    return messages;
}

// How many status reports were sent before the first event record, or -1
// when no record was written.
int ReportsBeforeFirstEvent()
{
    int reports = 0;
    for (const sim::Call& call : sim::Journal()) {
        if (call.function == "ReportEventW") {
            return reports;
        }
        if (call.function == "SetServiceStatus") {
            ++reports;
        }
    }
    return -1;
}

class ServiceHostTest : public SimTest {
protected:
    void TearDown() override
    {
        for (const SERVICE_STATUS& status : sim::StatusReports()) {
            if (DrawsACheckPoint(status.dwCurrentState)) {
                ++s_checkPointsDrawnBefore;
            }
        }
        SimTest::TearDown();
    }

    // Runs the service as the SCM would start it, with `controls` queued for
    // delivery once it has left start-pending. Returns RunDispatcher's result.
    bool RunService(const std::vector<DWORD>& controls, const std::vector<std::wstring>& args = {})
    {
        for (DWORD control : controls) {
            sim::QueueControl(control);
        }
        sim::StartAsService(args);
        return CServiceBase::RunDispatcher(m_service);
    }

    CTestService m_service;
};

TEST_F(ServiceHostTest, WholeLifeReportsEachStateWithTheCheckpointRule)
{
    // The base class's hooks, none overridden: each does nothing.
    CPlainService service;
    for (DWORD control : {SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE, SERVICE_CONTROL_STOP}) {
        sim::QueueControl(control);
    }
    sim::StartAsService();
    ASSERT_TRUE(CServiceBase::RunDispatcher(service));

    const std::vector<Report> expected = {
        {SERVICE_START_PENDING, 1, 0},    {SERVICE_RUNNING, 0, 0},
        {SERVICE_PAUSE_PENDING, 2, 0},    {SERVICE_PAUSED, 3, 0},
        {SERVICE_CONTINUE_PENDING, 4, 0}, {SERVICE_RUNNING, 0, 0},
        {SERVICE_STOP_PENDING, 5, 0},     {SERVICE_STOPPED, 0, 0},
    };
    EXPECT_EQ(Reports(), expected);
    EXPECT_TRUE(EventMessages().empty());
}

TEST_F(ServiceHostTest, CheckpointsGoOnAcrossServiceObjects)
{
    ASSERT_TRUE(RunService({SERVICE_CONTROL_STOP}));
    CTestService second;
    sim::QueueControl(SERVICE_CONTROL_PAUSE);
    sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
    sim::StartAsService();
    ASSERT_TRUE(CServiceBase::RunDispatcher(second));

    // The first object used 1 and 2; the counter is never reset.
    const std::vector<Report> expected = {
        {SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0},       {SERVICE_STOP_PENDING, 2, 0},
        {SERVICE_STOPPED, 0, 0},       {SERVICE_START_PENDING, 3, 0}, {SERVICE_RUNNING, 0, 0},
        {SERVICE_PAUSE_PENDING, 4, 0}, {SERVICE_PAUSED, 5, 0},        {SERVICE_STOPPED, 0, 0},
    };
    EXPECT_EQ(Reports(), expected);
}

TEST_F(ServiceHostTest, StartHookReceivesTheDispatcherArguments)
{
    ASSERT_TRUE(RunService({SERVICE_CONTROL_SHUTDOWN}, {L"-first", L"second"}));

    const std::vector<std::wstring> expected = {kServiceName, L"-first", L"second"};
    EXPECT_EQ(m_service.StartArguments(), expected);
}

TEST_F(ServiceHostTest, PauseWhilePausedRunsThePauseAgain)
{
    ASSERT_TRUE(RunService({SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_SHUTDOWN}));

    const std::vector<Report> expected = {
        {SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0},       {SERVICE_PAUSE_PENDING, 2, 0},
        {SERVICE_PAUSED, 3, 0},        {SERVICE_PAUSE_PENDING, 4, 0}, {SERVICE_PAUSED, 5, 0},
        {SERVICE_STOPPED, 0, 0},
    };
    EXPECT_EQ(Reports(), expected);
    EXPECT_EQ(m_service.Calls(EHook::Pause), 2);
}

TEST_F(ServiceHostTest, InterrogateAndUnknownControlsDoNothing)
{
    // Ended by a stop, whose pending report shows that nothing before it
    // stopped the service (the dispatcher drops controls after a stop).
    ASSERT_TRUE(RunService({0, SERVICE_CONTROL_INTERROGATE, 6, 0x7F, 0xFFFFFFFF, SERVICE_CONTROL_STOP}));

    const std::vector<Report> expected = {
        {SERVICE_START_PENDING, 1, 0}, {SERVICE_RUNNING, 0, 0}, {SERVICE_STOP_PENDING, 2, 0}, {SERVICE_STOPPED, 0, 0}};
    EXPECT_EQ(Reports(), expected);
    EXPECT_TRUE(EventMessages().empty());
    for (EHook hook : {EHook::Pause, EHook::Continue, EHook::Shutdown}) {
        EXPECT_EQ(m_service.Calls(hook), 0) << "hook " << static_cast<int>(hook);
    }
    EXPECT_EQ(m_service.Calls(EHook::Stop), 1);
}

TEST_F(ServiceHostTest, OutsideAServiceRunTheDispatcherFailsWithItsOwnError)
{
    SetLastError(0xDEADBEEF);
    const bool ran = CServiceBase::RunDispatcher(m_service);
    const DWORD error = GetLastError();

    EXPECT_FALSE(ran);
    EXPECT_EQ(error, DWORD{ERROR_FAILED_SERVICE_CONTROLLER_CONNECT});
    EXPECT_TRUE(sim::StatusReports().empty());
    EXPECT_TRUE(sim::EventRecords().empty());
    EXPECT_EQ(m_service.Calls(EHook::Start), 0);
}

// Without a status handle STOPPED can never be reported, and the dispatcher
// waits for it for ever: only the end of the process, with the code, lets
// the SCM see the failure.
TEST_F(ServiceHostTest, FailedHandlerRegistrationLogsAndEndsTheProcessWithItsCode)
{
    sim::ScopedFault fault("RegisterServiceCtrlHandlerW", ERROR_INVALID_NAME);
    auto run = std::async(std::launch::async, [this] {
        try {
            RunService({});
        } catch (const sim::ProcessExit& exit) {
            return exit.code;
        }
        return DWORD{0};
    });
    if (run.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the process hangs in the dispatcher";
        sim::Reset();
    }
    EXPECT_EQ(run.get(), DWORD{ERROR_INVALID_NAME});

    EXPECT_TRUE(sim::StatusReports().empty());
    EXPECT_EQ(EventMessages(), std::vector<std::wstring>{L"Service Register failed w/err 0x0000007b"});
    EXPECT_EQ(m_service.Calls(EHook::Start), 0);
}

// ---- A hook that raises ------------------------------------------------------

struct HookFailureCase {
    const char* name;
    std::vector<DWORD> controls;
    EHook hook;
    std::function<void()> raise;
    std::wstring message;
    std::vector<Report> reports;
    int reportsBeforeEvent;
};

void RaiseCode(DWORD code)
{
    throw ErrorCodeException{code};
}

void PrintTo(const HookFailureCase& row, std::ostream* os) { *os << row.name; }

class HookFailureTest : public ServiceHostTest, public ::testing::WithParamInterface<HookFailureCase> {};

TEST_P(HookFailureTest, WritesOneEventThenTheFallBackReport)
{
    const HookFailureCase& row = GetParam();
    m_service.OnNextCall(row.hook, row.raise);

    EXPECT_TRUE(RunService(row.controls));

    EXPECT_EQ(Reports(), row.reports);
    EXPECT_EQ(EventMessages(), std::vector<std::wstring>{row.message});
    EXPECT_EQ(ReportsBeforeFirstEvent(), row.reportsBeforeEvent);
}

const DWORD kStop = SERVICE_CONTROL_STOP;
const DWORD kPause = SERVICE_CONTROL_PAUSE;
const DWORD kContinue = SERVICE_CONTROL_CONTINUE;
const DWORD kShutdown = SERVICE_CONTROL_SHUTDOWN;

// The reports that lead up to each failing hook, and how the runs end.
const Report kStartPending{SERVICE_START_PENDING, 1, 0};
const Report kRunning{SERVICE_RUNNING, 0, 0};
const Report kStopped{SERVICE_STOPPED, 0, 0};
const Report kPausePending{SERVICE_PAUSE_PENDING, 2, 0};
const Report kPaused{SERVICE_PAUSED, 3, 0};

INSTANTIATE_TEST_SUITE_P(
    Hooks, HookFailureTest,
    ::testing::Values(
        HookFailureCase{"StartErrorCode", {}, EHook::Start, [] { RaiseCode(ERROR_ACCESS_DENIED); },
                        L"Service Start failed w/err 0x00000005",
                        {kStartPending, {SERVICE_STOPPED, 0, 5}}, 1},
        HookFailureCase{"StartBadAlloc", {}, EHook::Start, [] { throw std::bad_alloc(); },
                        L"Service failed to start.", {kStartPending, kStopped}, 1},
        // A signed code is not an ErrorCodeException.
        HookFailureCase{"StartSignedCode", {}, EHook::Start, [] { throw 5; },
                        L"Service failed to start.", {kStartPending, kStopped}, 1},
        HookFailureCase{"StopErrorCodeWhileRunning", {kStop, kShutdown}, EHook::Stop, [] { RaiseCode(0xC0000005); },
                        L"Service Stop failed w/err 0xc0000005",
                        {kStartPending, kRunning, {SERVICE_STOP_PENDING, 2, 0}, kRunning, kStopped}, 3},
        HookFailureCase{"StopOtherWhileRunning", {kStop, kShutdown}, EHook::Stop,
                        [] { throw std::runtime_error("stop"); }, L"Service failed to stop.",
                        {kStartPending, kRunning, {SERVICE_STOP_PENDING, 2, 0}, kRunning, kStopped}, 3},
        HookFailureCase{"StopErrorCodeWhilePaused", {kPause, kStop, kShutdown}, EHook::Stop,
                        [] { RaiseCode(ERROR_SERVICE_CANNOT_ACCEPT_CTRL); }, L"Service Stop failed w/err 0x00000425",
                        {kStartPending, kRunning, kPausePending, kPaused, {SERVICE_STOP_PENDING, 4, 0},
                         {SERVICE_PAUSED, 5, 0}, kStopped},
                        5},
        HookFailureCase{"PauseErrorCode", {kPause, kShutdown}, EHook::Pause, [] { RaiseCode(0xFFFFFFFF); },
                        L"Service Pause failed w/err 0xffffffff",
                        {kStartPending, kRunning, kPausePending, kRunning, kStopped}, 3},
        HookFailureCase{"PauseOther", {kPause, kShutdown}, EHook::Pause, [] { throw std::logic_error("pause"); },
                        L"Service failed to pause.", {kStartPending, kRunning, kPausePending, kRunning, kStopped}, 3},
        HookFailureCase{"ContinueErrorCode", {kPause, kContinue, kShutdown}, EHook::Continue, [] { RaiseCode(0); },
                        L"Service Continue failed w/err 0x00000000",
                        {kStartPending, kRunning, kPausePending, kPaused, {SERVICE_CONTINUE_PENDING, 4, 0},
                         {SERVICE_PAUSED, 5, 0}, kStopped},
                        5},
        HookFailureCase{"ContinueOther", {kPause, kContinue, kShutdown}, EHook::Continue, [] { throw -1L; },
                        L"Service failed to resume.",
                        {kStartPending, kRunning, kPausePending, kPaused, {SERVICE_CONTINUE_PENDING, 4, 0},
                         {SERVICE_PAUSED, 5, 0}, kStopped},
                        5},
        // A failed shutdown reports nothing; the stop after it ends the run.
        HookFailureCase{"ShutdownErrorCode", {kShutdown, kStop}, EHook::Shutdown,
                        [] { RaiseCode(ERROR_NOT_ENOUGH_MEMORY); }, L"Service Shutdown failed w/err 0x00000008",
                        {kStartPending, kRunning, {SERVICE_STOP_PENDING, 2, 0}, kStopped}, 2},
        HookFailureCase{"ShutdownOther", {kShutdown, kStop}, EHook::Shutdown, [] { throw std::bad_alloc(); },
                        L"Service failed to shut down.",
                        {kStartPending, kRunning, {SERVICE_STOP_PENDING, 2, 0}, kStopped}, 2}),
    [](const ::testing::TestParamInfo<HookFailureCase>& info) { return std::string(info.param.name); });

TEST_F(ServiceHostTest, FailureWhenTheEventLogIsUnavailableStillFallsBack)
{
    sim::ScopedFault fault("RegisterEventSourceW", ERROR_ACCESS_DENIED, 1, -1);
    m_service.OnNextCall(EHook::Pause, [] { RaiseCode(ERROR_ACCESS_DENIED); });

    ASSERT_TRUE(RunService({kPause, kShutdown}));

    const std::vector<Report> expected = {kStartPending, kRunning, kPausePending, kRunning, kStopped};
    EXPECT_EQ(Reports(), expected);
    EXPECT_TRUE(sim::EventRecords().empty());
}

// ---- Two threads reporting at once -------------------------------------------

// A one-shot signal between hooks on different threads.
class CSignal {
public:
    void Set()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_set = true;
        m_changed.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [this] { return m_set; });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_set = false;
};

TEST_F(ServiceHostTest, StartAndControlTransitionsReportAtTheSameTime)
{
    // The pause runs on the dispatcher's thread while the start hook, on the
    // service thread, waits for it: both transitions report concurrently.
    CSignal pauseEntered;
    m_service.OnNextCall(EHook::Start, [&pauseEntered] { pauseEntered.Wait(); });
    m_service.OnNextCall(EHook::Pause, [&pauseEntered] { pauseEntered.Set(); });
    sim::DeliverControlsAtOnce(true);
    sim::QueueControl(kPause);
    sim::StartAsService();

    bool ran = false;
    std::thread dispatcher([this, &ran] { ran = CServiceBase::RunDispatcher(m_service); });
    const bool running = sim::WaitForStatus(SERVICE_RUNNING);
    const bool paused = sim::WaitForStatus(SERVICE_PAUSED);
    sim::QueueControl(kShutdown);
    dispatcher.join();

    ASSERT_TRUE(running);
    ASSERT_TRUE(paused);
    EXPECT_TRUE(ran);
    const std::vector<Report> reports = Reports();
    ASSERT_EQ(reports.size(), size_t{5});
    EXPECT_EQ(reports.back(), (Report{SERVICE_STOPPED, 0, 0}));

    // Each pending or paused report drew its own checkpoint, and the
    // checkpoints were drawn in the order in which the reports were sent.
    std::vector<DWORD> checkPoints;
    std::vector<DWORD> states;
    for (const Report& report : reports) {
        states.push_back(report.state);
        if (report.state == SERVICE_RUNNING || report.state == SERVICE_STOPPED) {
            EXPECT_EQ(report.checkPoint, DWORD{0});
        } else {
            checkPoints.push_back(report.checkPoint);
        }
    }
    EXPECT_EQ(checkPoints, (std::vector<DWORD>{1, 2, 3}));
    std::sort(states.begin(), states.end());
    EXPECT_EQ(states, (std::vector<DWORD>{SERVICE_STOPPED, SERVICE_START_PENDING, SERVICE_RUNNING,
                                          SERVICE_PAUSE_PENDING, SERVICE_PAUSED}));
    EXPECT_TRUE(EventMessages().empty());
}

}  // namespace
