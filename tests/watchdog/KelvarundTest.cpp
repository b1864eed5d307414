// The check-and-start routine against the simulated service control manager:
// the result line, the calls it makes and the handles it leaves behind.
#include "Kelvarund.h"
#include "SimTest.h"

#include <functional>
#include <string>
#include <vector>

namespace {

const std::wstring kQuorbel = L"quorbel";
CProgressWatch g_progress;  // what the row's checks saw before its call

constexpr char kStartRefused[] = "Kelvarund - Failed to start service with error ";
constexpr char kOpenRefused[] = "Kelvarund - Failed to open service with error:  ";

struct KelvarundRow {
    const char* name;
    std::function<void()> arrange;  // services and faults before the call
    std::string expected;
    int expectedStarts;  // start requests the SCM accepted
    int expectedManagerOpens;
    int leftOpen = 0;  // handles whose close the row makes fail stay open
};

void PrintTo(const KelvarundRow& row, std::ostream* os) { *os << row.name; }

class KelvarundResult : public SimTest, public ::testing::WithParamInterface<KelvarundRow> {};

TEST_P(KelvarundResult, ReturnsTheLineOfTheDecidingStep)
{
    const KelvarundRow& row = GetParam();
    g_progress = CProgressWatch();
    row.arrange();
    sim::ClearJournal();

    CheckOutcome outcome;
    EXPECT_EQ(Kelvarund(kQuorbel, g_progress, outcome), row.expected);

    EXPECT_EQ(outcome.startRequested, !CallsOf("StartServiceW").empty());
    EXPECT_EQ(outcome.startAccepted, !CallsOf("StartServiceW").empty() && CallsOf("StartServiceW")[0].ok);
    if (sim::HasService(kQuorbel)) {
        EXPECT_EQ(sim::StartCount(kQuorbel), row.expectedStarts);
    }
    EXPECT_EQ(CallsOf("OpenSCManagerW").size(), static_cast<size_t>(row.expectedManagerOpens));
    // Every connection and service handle closed, and never more than one of
    // each open at the same moment.
    EXPECT_EQ(sim::OpenHandleCount(), row.leftOpen);
    EXPECT_LE(sim::PeakOpenHandleCount(sim::HandleKind::Scm), 1);
    EXPECT_LE(sim::PeakOpenHandleCount(sim::HandleKind::Service), 1);
}

void Add(DWORD state) { sim::AddService(kQuorbel, state); }

// quorbel stopping with checkpoint 1, seen `ms` before the call at `checkPoint`.
void PendingSeen(DWORD waitHint, DWORD ms, DWORD checkPoint = 1)
{
    Add(SERVICE_STOP_PENDING);
    sim::SetServiceProgress(kQuorbel, 1, waitHint);
    CheckOutcome outcome;
    Kelvarund(kQuorbel, g_progress, outcome);
    sim::AdvanceClock(ms);
    sim::SetServiceProgress(kQuorbel, checkPoint, waitHint);
}

INSTANTIATE_TEST_SUITE_P(
    Watchdog, KelvarundResult,
    ::testing::Values(
        KelvarundRow{"Running", [] { Add(SERVICE_RUNNING); }, "", 0, 1},
        KelvarundRow{"StoppedIsStarted", [] { Add(SERVICE_STOPPED); }, "", 1, 2},
        KelvarundRow{"ScmRefusedHasNoCode",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED, -1);
                     },
                     "Kelvarund - Failed to open SCM", 0, 2},
        KelvarundRow{"UnknownService", [] {}, std::string(kOpenRefused) + "1060", 0, 2},
        KelvarundRow{"OpenServiceDenied",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("OpenServiceW", 1, ERROR_ACCESS_DENIED, -1);
                     },
                     std::string(kOpenRefused) + "5", 0, 2},
        KelvarundRow{"StartDisabled",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, ERROR_SERVICE_DISABLED);
                     },
                     std::string(kStartRefused) + "1058", 0, 2},
        // The service came up between the check and the start request (the
        // stop watcher started it): running, as asked.
        KelvarundRow{"StartRefusedAlreadyRunning",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, ERROR_SERVICE_ALREADY_RUNNING);
                     },
                     "", 0, 2},
        // Paused or hung, no start can mend it; on its way, it needs none.
        KelvarundRow{"PausedIsNotMended", [] { Add(SERVICE_PAUSED); }, std::string(kStartRefused) + "1056", 0, 2},
        KelvarundRow{"PendingWithinItsWaitHint", [] { PendingSeen(30000, 6000); }, "", 0, 2},
        KelvarundRow{"PendingCheckpointAdvances", [] { PendingSeen(3000, 6000, 2); }, "", 0, 2},
        KelvarundRow{"PendingStalled", [] { PendingSeen(3000, 6000); }, std::string(kStartRefused) + "1056", 0, 2},
        KelvarundRow{"PendingStalledLessThanAPeriod", [] { PendingSeen(1000, 4000); }, "", 0, 2},
        KelvarundRow{"PendingFirstSeenLateIsTimedFromThen",
                     [] {
                         sim::AdvanceClock(10000);
                         PendingSeen(3000, 4000);
                     },
                     "", 0, 2},
        // A paused check between two of the same pending state: no hang.
        KelvarundRow{"PausedBetweenIsForgotten",
                     [] {
                         PendingSeen(3000, 0);
                         sim::SetServiceState(kQuorbel, SERVICE_PAUSED);
                         CheckOutcome seen;
                         Kelvarund(kQuorbel, g_progress, seen);
                         sim::AdvanceClock(6000);
                         sim::SetServiceState(kQuorbel, SERVICE_STOP_PENDING);
                         sim::SetServiceProgress(kQuorbel, 1, 3000);
                     },
                     "", 0, 2},
        // Windows stops every service as it shuts down: no false alarm.
        KelvarundRow{"StartRefusedDuringShutdown",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, ERROR_SHUTDOWN_IN_PROGRESS);
                     },
                     "", 0, 2},
        KelvarundRow{"StartRefusedAccessDenied",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, ERROR_ACCESS_DENIED);
                     },
                     std::string(kStartRefused) + "5", 0, 2},
        KelvarundRow{"StartFailsWithoutCodeCountsAsAccepted",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, 0);
                     },
                     "", 0, 2},
        KelvarundRow{"LargestCodeIsUnsigned",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, 0xFFFFFFFF);
                     },
                     std::string(kStartRefused) + "4294967295", 0, 2},
        KelvarundRow{"HighBitCodeIsNotNegative",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("OpenServiceW", 2, 0x80000000);
                     },
                     std::string(kOpenRefused) + "2147483648", 0, 2},
        // The check's failure is silent; the start path then asks anyway, and
        // the SCM's answer that the service runs is no failure.
        KelvarundRow{"StatusQueryFailsReadsAsNotRunning",
                     [] {
                         Add(SERVICE_RUNNING);
                         sim::FailCall("QueryServiceStatusEx", 1, ERROR_ACCESS_DENIED);
                     },
                     "", 0, 2},
        KelvarundRow{"CheckCannotConnectButStartPathCan",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED);
                     },
                     "", 1, 2},
        // A close that sets its own last error must not replace the code of
        // the call that failed before it.
        KelvarundRow{"OpenCodeReadBeforeManagerClose",
                     [] {
                         sim::FailCall("CloseServiceHandle", 2, ERROR_INVALID_HANDLE);
                     },
                     std::string(kOpenRefused) + "1060", 0, 2, 1},
        KelvarundRow{"StartCodeReadBeforeCloses",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("StartServiceW", 1, ERROR_SERVICE_DISABLED);
                         sim::FailCall("CloseServiceHandle", 3, ERROR_INVALID_HANDLE, 2);
                     },
                     std::string(kStartRefused) + "1058", 0, 2, 2},
        KelvarundRow{"AcceptedStartIgnoresCloseFailures",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::FailCall("CloseServiceHandle", 3, ERROR_INVALID_HANDLE, 2);
                     },
                     "", 1, 2, 2},
        // Hardened: its permissions grant query and start only (the open
        // without start refused is the record table's HardenedWithoutStart).
        KelvarundRow{"HardenedIsStarted",
                     [] {
                         Add(SERVICE_STOPPED);
                         sim::SetGrantedAccess(kQuorbel, SERVICE_QUERY_STATUS | SERVICE_START);
                     },
                     "", 1, 2}),
    [](const ::testing::TestParamInfo<KelvarundRow>& info) { return std::string(info.param.name); });

// Every state but SERVICE_RUNNING gets a start request; the SCM refuses one
// for a service that is not stopped as already running, which is no failure
// for a service first seen starting or stopping: it is on its way.
class KelvarundNotRunningState : public SimTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(KelvarundNotRunningState, RequestsAStart)
{
    sim::AddService(kQuorbel, GetParam());
    sim::ClearJournal();

    EXPECT_EQ(Kelvarund(kQuorbel), "");
    EXPECT_EQ(CallsOf("StartServiceW").at(0).ok, false);
    EXPECT_EQ(CallsOf("StartServiceW").size(), 1u);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Watchdog, KelvarundNotRunningState,
                         ::testing::Values(SERVICE_START_PENDING, SERVICE_STOP_PENDING, SERVICE_CONTINUE_PENDING,
                                           SERVICE_PAUSE_PENDING),
                         [](const ::testing::TestParamInfo<DWORD>& info) {
                             return "State" + std::to_string(info.param);
                         });

class KelvarundTest : public SimTest {};

TEST_F(KelvarundTest, EmptyNameMakesNoPlatformCall)
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    sim::ClearJournal();

    EXPECT_EQ(Kelvarund(L""), "Kelvarund - Wrong data");
    EXPECT_FALSE(IsServiceRunning(L""));
    EXPECT_TRUE(sim::Journal().empty());
}

TEST_F(KelvarundTest, RunningServiceIsOneStatusQueryClosedServiceFirst)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::ClearJournal();

    EXPECT_EQ(Kelvarund(kQuorbel), "");

    const std::vector<std::string> expected = {"OpenSCManagerW", "OpenServiceW", "QueryServiceStatusEx",
                                               "CloseServiceHandle", "CloseServiceHandle"};
    EXPECT_EQ(sim::JournalFunctions(), expected);
    const std::vector<sim::Call> journal = sim::Journal();
    ASSERT_EQ(journal.size(), expected.size());
    EXPECT_EQ(journal[0].arg, static_cast<DWORD>(SC_MANAGER_CONNECT));
    EXPECT_EQ(journal[1].text, kQuorbel);
    EXPECT_EQ(journal[1].arg, static_cast<DWORD>(SERVICE_QUERY_STATUS));
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"service", "scm"}));
    EXPECT_EQ(sim::StartCount(kQuorbel), 0);
}

TEST_F(KelvarundTest, StoppedServiceIsCheckedThenStartedOnASecondConnection)
{
    sim::AddService(kQuorbel, SERVICE_STOPPED);
    sim::ClearJournal();

    EXPECT_EQ(Kelvarund(kQuorbel), "");

    const std::vector<std::string> expected = {
        "OpenSCManagerW",     "OpenServiceW",   "QueryServiceStatusEx", "CloseServiceHandle", "CloseServiceHandle",
        "OpenSCManagerW",     "OpenServiceW",   "StartServiceW",        "CloseServiceHandle", "CloseServiceHandle"};
    EXPECT_EQ(sim::JournalFunctions(), expected);
    for (const sim::Call& open : CallsOf("OpenSCManagerW")) {
        EXPECT_EQ(open.arg, static_cast<DWORD>(SC_MANAGER_CONNECT));
    }
    EXPECT_EQ(CountCallsWithArg("OpenServiceW", SERVICE_QUERY_STATUS), 1);
    EXPECT_EQ(CountCallsWithArg("OpenServiceW", SERVICE_START), 1);
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"service", "scm", "service", "scm"}));
    EXPECT_EQ(sim::GetServiceState(kQuorbel), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Scm), 1);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Service), 1);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
}

}  // namespace
