#include "CliTest.h"
#include "Commands.h"

namespace {

using RemoveTest = CliTest;

const std::wstring kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tavrilex";

TEST_F(RemoveTest, RefusedManagerIsReportedAndNothingIsDeleted)
{
    sim::AddService(L"Tavrilex");
    sim::ScopedFault fault("OpenSCManagerW", ERROR_ACCESS_DENIED);

    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_ACCESS_DENIED), "OpenSCManager failed w/err 0x00000005\n");

    EXPECT_TRUE(sim::HasService(L"Tavrilex"));
    EXPECT_TRUE(CallsOf("OpenServiceW").empty());
}

// A leftover event source goes too; a refused deletion of it outranks 1060
// ("nothing left").
TEST_F(RemoveTest, UnregisteredServiceIsReportedAndOnlyTheManagerIsClosed)
{
    sim::AddRegistryKey(kEventSourceKey);
    sim::FailCall("RegDeleteKeyW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_ACCESS_DENIED),
              "OpenService failed w/err 0x00000424\nRegDeleteKey failed w/err 0x00000005\n");
    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_SERVICE_DOES_NOT_EXIST), "OpenService failed w/err 0x00000424\n");

    EXPECT_FALSE(sim::HasRegistryKey(kEventSourceKey));
    EXPECT_TRUE(CallsOf("DeleteService").empty());
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm", "scm"}));
}

// An event source that was never registered (an older install) is no
// reason to fail.
TEST_F(RemoveTest, StoppedServiceIsRemovedWithoutWaiting)
{
    sim::AddService(L"Tavrilex", SERVICE_STOPPED);

    EXPECT_EQ(RunCommand(RemoveSelf, 0), "Tavrilex is removed.\n");

    EXPECT_FALSE(sim::HasService(L"Tavrilex"));
    EXPECT_EQ(CallsOf("RegDeleteKeyW").size(), 1u);
    EXPECT_EQ(sim::SleepCount(), 0);
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm", "service"}));
}

TEST_F(RemoveTest, AsksForNoMoreAccessThanItNeeds)
{
    sim::AddService(L"Tavrilex", SERVICE_STOPPED);

    CaptureOutput(RemoveSelf);

    const std::vector<sim::Call> managers = CallsOf("OpenSCManagerW");
    ASSERT_EQ(managers.size(), 1u);
    EXPECT_EQ(managers[0].arg, 0x00000001u);
    const std::vector<sim::Call> services = CallsOf("OpenServiceW");
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].text, L"Tavrilex");
    EXPECT_EQ(services[0].arg, 0x00010024u);
    const std::vector<sim::Call> controls = CallsOf("ControlService");
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].arg, static_cast<DWORD>(SERVICE_CONTROL_STOP));
}

// This program's own running instance accepts only shutdown: the stop is
// refused, the registration goes, and the instance keeps running.
TEST_F(RemoveTest, RunningInstanceThatRefusesStopIsRemovedAndKeepsRunning)
{
    sim::ServiceBehaviour behaviour;
    behaviour.controlsAccepted = SERVICE_ACCEPT_SHUTDOWN;
    sim::AddService(L"Tavrilex", SERVICE_RUNNING, behaviour);
    sim::AddRegistryKey(kEventSourceKey);

    EXPECT_EQ(RunCommand(RemoveSelf, 0), "Tavrilex is removed.\n");

    EXPECT_FALSE(sim::HasRegistryKey(kEventSourceKey));
    EXPECT_TRUE(sim::IsMarkedForDelete(L"Tavrilex"));
    EXPECT_EQ(sim::GetServiceState(L"Tavrilex"), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(sim::SleepCount(), 0);

    // Marked for deletion, its source left (sc.exe delete): 1072, and the
    // source goes too; a refused deletion of it is the outcome.
    sim::AddRegistryKey(kEventSourceKey);
    sim::FailCall("RegDeleteKeyW", 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_ACCESS_DENIED),
              "DeleteService failed w/err 0x00000430\nRegDeleteKey failed w/err 0x00000005\n");
    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_SERVICE_MARKED_FOR_DELETE), "DeleteService failed w/err 0x00000430\n");
    EXPECT_FALSE(sim::HasRegistryKey(kEventSourceKey));
}

TEST_F(RemoveTest, RefusedDeletionIsReportedAndTheRegistrationStays)
{
    sim::AddService(L"Tavrilex", SERVICE_STOPPED);
    sim::AddRegistryKey(kEventSourceKey);
    sim::ScopedFault fault("DeleteService", ERROR_ACCESS_DENIED);

    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_ACCESS_DENIED), "DeleteService failed w/err 0x00000005\n");

    EXPECT_TRUE(sim::HasRegistryKey(kEventSourceKey));
    EXPECT_TRUE(sim::HasService(L"Tavrilex"));
    EXPECT_FALSE(sim::IsMarkedForDelete(L"Tavrilex"));
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm", "service"}));
}

TEST_F(RemoveTest, RefusedEventSourceDeletionIsTheOutcome)
{
    sim::AddService(L"Tavrilex", SERVICE_STOPPED);
    sim::AddRegistryKey(kEventSourceKey);
    sim::ScopedFault fault("RegDeleteKeyW", ERROR_ACCESS_DENIED);

    EXPECT_EQ(RunCommand(RemoveSelf, ERROR_ACCESS_DENIED), "RegDeleteKey failed w/err 0x00000005\n");

    EXPECT_FALSE(sim::HasService(L"Tavrilex"));
    EXPECT_TRUE(sim::HasRegistryKey(kEventSourceKey));
}

struct StopRow {
    const char* name;
    std::vector<DWORD> statesAfterStop;
    int failingQuery;  // 1-based QueryServiceStatus call that fails; 0: none
    const char* output;
    int sleeps;
};

// A failing row is named by its name, not by its bytes.
void PrintTo(const StopRow& row, std::ostream* os)
{
    *os << row.name;
}

class RemoveStopTest : public CliTest, public testing::WithParamInterface<StopRow> {};

// A service that accepts the stop: one query a second while it reports stop
// pending, one "." per such query, a verdict, then the deletion.
TEST_P(RemoveStopTest, WaitsWhileStopPendingThenDeletes)
{
    const StopRow& row = GetParam();
    sim::ServiceBehaviour behaviour;
    behaviour.controlsAccepted = SERVICE_ACCEPT_STOP;
    behaviour.statesAfterStop = row.statesAfterStop;
    sim::AddService(L"Tavrilex", SERVICE_RUNNING, behaviour);
    if (row.failingQuery > 0) {
        sim::FailCall("QueryServiceStatus", row.failingQuery, ERROR_ACCESS_DENIED);
    }

    // Deleted is done, whether or not the service stopped.
    EXPECT_EQ(RunCommand(RemoveSelf, 0), row.output);

    EXPECT_EQ(sim::SleepCount(), row.sleeps);
    EXPECT_EQ(sim::Now(), 1000ull * static_cast<unsigned long long>(row.sleeps));
    EXPECT_EQ(CallsOf("QueryServiceStatus").size(), static_cast<size_t>(row.sleeps));
    EXPECT_EQ(CallsOf("DeleteService").size(), 1u);
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm", "service"}));
}

constexpr DWORD kPending = SERVICE_STOP_PENDING;

INSTANTIATE_TEST_SUITE_P(
    Waits, RemoveStopTest,
    testing::Values(
        StopRow{"StoppedAtFirstQuery", {}, 0, "Stopping Tavrilex.\nTavrilex is stopped.\nTavrilex is removed.\n", 1},
        StopRow{"PendingForThreeQueries",
                {kPending, kPending, kPending},
                0,
                "Stopping Tavrilex....\nTavrilex is stopped.\nTavrilex is removed.\n",
                4},
        StopRow{"FirstQueryFailsAfterPendingReply",
                {kPending},
                1,
                "Stopping Tavrilex.\nTavrilex failed to stop.\nTavrilex is removed.\n",
                1},
        StopRow{"ThirdQueryFailsWhilePending",
                {kPending, kPending, kPending},
                3,
                "Stopping Tavrilex...\nTavrilex failed to stop.\nTavrilex is removed.\n",
                3},
        StopRow{"EndsRunningAfterPending",
                {kPending, SERVICE_RUNNING},
                0,
                "Stopping Tavrilex..\nTavrilex failed to stop.\nTavrilex is removed.\n",
                2}),
    [](const testing::TestParamInfo<StopRow>& info) { return info.param.name; });

}  // namespace
