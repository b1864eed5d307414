// The simulated SCM beyond what the real API shows: what it stores, how a
// stop plays out, the journal, the handle counts and the fault table.
#include "SimTest.h"

#include <cstring>
#include <functional>

namespace {

SERVICE_STATUS QueryState(SC_HANDLE service)
{
    SERVICE_STATUS status{};
    EXPECT_NE(QueryServiceStatus(service, &status), FALSE);
    return status;
}

DWORD QueryStateEx(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    EXPECT_NE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                   sizeof(process), &needed),
              FALSE);
    return process.dwCurrentState;
}

}  // namespace

class SimScmTest : public SimTest {};

TEST_F(SimScmTest, CreateServiceStoresEveryArgument)
{
    struct Row {
        const char* name;
        LPCWSTR group;
        LPCWSTR dependencies;
        LPCWSTR account;
        LPCWSTR password;
        sim::ServiceConfig expected;
    };
    sim::ServiceConfig full;
    full.loadOrderGroup = L"Group";
    full.dependencies = {L"alpha", L"beta"};
    full.account = L".\\runner";
    full.hasPassword = true;
    sim::ServiceConfig bare;
    const Row rows[] = {
        {"every optional argument given", L"Group", L"alpha\0beta\0", L".\\runner", L"secret", full},
        {"empty dependency list and empty password", nullptr, L"\0", nullptr, L"", [] {
             sim::ServiceConfig config;
             config.hasPassword = true;
             return config;
         }()},
        {"every optional argument null", nullptr, nullptr, nullptr, nullptr, bare},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Reset();
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = CreateServiceW(manager, L"Stored", L"Stored Display", SERVICE_QUERY_STATUS,
                                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                                           L"C:\\dir with space\\stored.exe", row.group, nullptr, row.dependencies,
                                           row.account, row.password);
        ASSERT_NE(service, nullptr);

        ASSERT_TRUE(sim::HasService(L"Stored"));
        sim::ServiceConfig config = sim::GetServiceConfig(L"Stored");
        EXPECT_EQ(config.name, L"Stored");
        EXPECT_EQ(config.displayName, L"Stored Display");
        EXPECT_EQ(config.description, L"");
        EXPECT_EQ(config.serviceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config.startType, DWORD(SERVICE_AUTO_START));
        EXPECT_EQ(config.errorControl, DWORD(SERVICE_ERROR_IGNORE));
        EXPECT_EQ(config.imagePath, L"C:\\dir with space\\stored.exe");
        EXPECT_EQ(config.loadOrderGroup, row.expected.loadOrderGroup);
        EXPECT_EQ(config.dependencies, row.expected.dependencies);
        EXPECT_EQ(config.account, row.expected.account);
        EXPECT_EQ(config.hasPassword, row.expected.hasPassword);
        EXPECT_EQ(sim::GetServiceState(L"Stored"), DWORD(SERVICE_STOPPED));

        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
}

TEST_F(SimScmTest, DescriptionAndRecoveryActionsAreStoredAtTheirLevels)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceW(manager, L"Described", nullptr, SERVICE_CHANGE_CONFIG,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       L"C:\\d.exe", nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(sim::GetServiceConfig(L"Described").displayName, L"Described");

    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(L"What it does")};
    EXPECT_NE(ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description), FALSE);
    EXPECT_EQ(sim::GetServiceConfig(L"Described").description, L"What it does");

    SetLastError(0);
    EXPECT_EQ(ChangeServiceConfig2W(service, 99, &description), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_LEVEL));

    SERVICE_DESCRIPTIONW unchanged{nullptr};
    EXPECT_NE(ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &unchanged), FALSE);
    EXPECT_EQ(sim::GetServiceConfig(L"Described").description, L"What it does");

    // A restart action needs the start right on the handle, as on Windows.
    SC_ACTION restart[1] = {{SC_ACTION_RESTART, 1000}};
    SERVICE_FAILURE_ACTIONSW actions{60, nullptr, nullptr, 1, restart};
    SetLastError(0);
    EXPECT_EQ(ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(sim::GetServiceConfig(L"Described").failureActions.empty());
    SC_HANDLE starter = OpenServiceW(manager, L"Described", SERVICE_CHANGE_CONFIG | SERVICE_START);
    EXPECT_NE(ChangeServiceConfig2W(starter, SERVICE_CONFIG_FAILURE_ACTIONS, &actions), FALSE);
    const sim::ServiceConfig config = sim::GetServiceConfig(L"Described");
    EXPECT_EQ(config.failureResetPeriod, 60u);
    ASSERT_EQ(config.failureActions.size(), 1u);
    EXPECT_EQ(config.failureActions[0].Type, SC_ACTION_RESTART);
    EXPECT_EQ(config.failureActions[0].Delay, 1000u);

    CloseServiceHandle(starter);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SimScmTest, AcceptedStartIsCountedAndEntersTheConfiguredState)
{
    struct Row {
        const char* name;
        DWORD stateAfterStart;
    };
    const Row rows[] = {{"starts running", SERVICE_RUNNING}, {"hangs in start", SERVICE_START_PENDING}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Reset();
        sim::ServiceBehaviour behaviour;
        behaviour.stateAfterStart = row.stateAfterStart;
        sim::AddService(L"target", SERVICE_STOPPED, behaviour);
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceW(manager, L"target", SERVICE_START | SERVICE_QUERY_STATUS);

        EXPECT_NE(StartServiceW(service, 0, nullptr), FALSE);
        EXPECT_EQ(sim::StartCount(L"target"), 1);
        EXPECT_EQ(QueryStateEx(service), row.stateAfterStart);

        SetLastError(0);
        EXPECT_EQ(StartServiceW(service, 0, nullptr), FALSE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_ALREADY_RUNNING));
        EXPECT_EQ(sim::StartCount(L"target"), 1);

        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
}

TEST_F(SimScmTest, AcceptedStopPlaysTheStatesAfterStopOnePerQuery)
{
    sim::ServiceBehaviour behaviour;
    behaviour.statesAfterStop = {SERVICE_STOP_PENDING, SERVICE_STOP_PENDING};
    sim::AddService(L"slow", SERVICE_RUNNING, behaviour);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"slow", SERVICE_STOP | SERVICE_QUERY_STATUS);

    SERVICE_STATUS status{};
    ASSERT_NE(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE);
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    EXPECT_EQ(status.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP));

    // Both query forms draw from the same sequence.
    EXPECT_EQ(QueryState(service).dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    EXPECT_EQ(QueryStateEx(service), DWORD(SERVICE_STOP_PENDING));
    SERVICE_STATUS last = QueryState(service);
    EXPECT_EQ(last.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(last.dwControlsAccepted, DWORD(0));
    EXPECT_EQ(QueryState(service).dwCurrentState, DWORD(SERVICE_STOPPED));

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SimScmTest, FaultedQueryDoesNotAdvanceTheStop)
{
    sim::ServiceBehaviour behaviour;
    behaviour.statesAfterStop = {SERVICE_STOP_PENDING};
    sim::AddService(L"slow", SERVICE_RUNNING, behaviour);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"slow", SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    ASSERT_NE(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE);
    {
        sim::ScopedFault fault("QueryServiceStatus", ERROR_ACCESS_DENIED);
        std::memset(&status, 0x5A, sizeof(status));
        SERVICE_STATUS before = status;
        EXPECT_EQ(QueryServiceStatus(service, &status), FALSE);
        EXPECT_EQ(std::memcmp(&status, &before, sizeof(status)), 0);
    }
    EXPECT_EQ(QueryState(service).dwCurrentState, DWORD(SERVICE_STOP_PENDING));
    EXPECT_EQ(QueryState(service).dwCurrentState, DWORD(SERVICE_STOPPED));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SimScmTest, MarkedServiceGoesWhenItStopsWithNoHandleOpen)
{
    sim::AddService(L"doomed", SERVICE_RUNNING);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"doomed", DELETE);
    ASSERT_NE(DeleteService(service), FALSE);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    EXPECT_TRUE(sim::HasService(L"doomed"));
    EXPECT_TRUE(sim::IsMarkedForDelete(L"doomed"));
    sim::SetServiceState(L"doomed", SERVICE_STOPPED);
    EXPECT_FALSE(sim::HasService(L"doomed"));
    EXPECT_FALSE(sim::IsMarkedForDelete(L"doomed"));
}

TEST_F(SimScmTest, SuccessfulCallsLeaveTheLastErrorAlone)
{
    sim::AddService(L"target", SERVICE_STOPPED);
    SetLastError(0xDEADBEEF);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"target", SERVICE_ALL_ACCESS);
    EXPECT_EQ(QueryStateEx(service), DWORD(SERVICE_STOPPED));
    EXPECT_NE(StartServiceW(service, 0, nullptr), FALSE);
    SERVICE_STATUS status{};
    EXPECT_NE(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE);
    EXPECT_NE(DeleteService(service), FALSE);
    EXPECT_NE(CloseServiceHandle(service), FALSE);
    EXPECT_NE(CloseServiceHandle(manager), FALSE);
    HANDLE source = RegisterEventSourceW(nullptr, L"Src");
    EXPECT_NE(DeregisterEventSource(source), FALSE);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), DWORD(WAIT_OBJECT_0));
    EXPECT_NE(CloseHandle(event), FALSE);
    Sleep(10);

    EXPECT_EQ(GetLastError(), DWORD(0xDEADBEEF));
}

TEST_F(SimScmTest, JournalKeepsEachCallWithItsKeyTextArgumentAndOutcome)
{
    sim::AddService(L"target", SERVICE_RUNNING);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"target", SERVICE_QUERY_STATUS | SERVICE_START);
    StartServiceW(service, 0, nullptr);
    OpenServiceW(manager, L"missing", SERVICE_ALL_ACCESS);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    std::vector<sim::Call> journal = sim::Journal();
    ASSERT_EQ(journal.size(), 6u);
    struct Expected {
        const char* function;
        const wchar_t* text;
        DWORD arg;
        const char* kind;
        bool ok;
    };
    const Expected expected[] = {
        {"OpenSCManagerW", L"", SC_MANAGER_ALL_ACCESS, "", true},
        {"OpenServiceW", L"target", SERVICE_QUERY_STATUS | SERVICE_START, "", true},
        {"StartServiceW", L"target", 0, "", false},
        {"OpenServiceW", L"missing", SERVICE_ALL_ACCESS, "", false},
        {"CloseServiceHandle", L"target", 0, "service", true},
        {"CloseServiceHandle", L"", 0, "scm", true},
    };
    for (size_t i = 0; i < journal.size(); ++i) {
        SCOPED_TRACE(expected[i].function);
        EXPECT_EQ(journal[i].function, expected[i].function);
        EXPECT_EQ(journal[i].text, expected[i].text);
        EXPECT_EQ(journal[i].arg, expected[i].arg);
        EXPECT_EQ(journal[i].kind, expected[i].kind);
        EXPECT_EQ(journal[i].ok, expected[i].ok);
    }

    sim::ClearJournal();
    EXPECT_TRUE(sim::JournalFunctions().empty());
}

TEST_F(SimScmTest, HandleCountsFollowOpensAndClosesAndKeepThePeak)
{
    sim::AddService(L"target");
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE first = OpenServiceW(manager, L"target", SERVICE_QUERY_STATUS);
    SC_HANDLE second = OpenServiceW(manager, L"target", SERVICE_QUERY_STATUS);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE source = RegisterEventSourceW(nullptr, L"Src");

    EXPECT_EQ(sim::OpenHandleCount(), 5);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Scm), 1);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Service), 2);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Event), 1);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::EventSource), 1);

    CloseServiceHandle(first);
    CloseServiceHandle(second);
    // A handle value is never given out again, so a stale one stays invalid.
    SC_HANDLE third = OpenServiceW(manager, L"target", SERVICE_QUERY_STATUS);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    SetLastError(0);
    EXPECT_EQ(CloseServiceHandle(first), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    CloseServiceHandle(third);
    CloseServiceHandle(manager);
    CloseHandle(event);
    DeregisterEventSource(source);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Service), 2);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Scm), 1);

    sim::Reset();
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Service), 0);
}

TEST_F(SimScmTest, FaultHitsTheNthCallFromNowWithItsError)
{
    sim::AddService(L"target", SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"target", SERVICE_ALL_ACCESS);
    // Calls made before the fault was set do not count towards n.
    SERVICE_STATUS status{};
    ControlService(service, SERVICE_CONTROL_STOP, &status);

    sim::FailCall("StartServiceW", 2, ERROR_SERVICE_DISABLED);
    sim::FailCall("ControlService", 1, ERROR_SERVICE_REQUEST_TIMEOUT, 2);

    EXPECT_NE(StartServiceW(service, 0, nullptr), FALSE);
    sim::SetServiceState(L"target", SERVICE_STOPPED);
    SetLastError(0);
    EXPECT_EQ(StartServiceW(service, 0, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_DISABLED));
    EXPECT_EQ(sim::StartCount(L"target"), 1);
    EXPECT_NE(StartServiceW(service, 0, nullptr), FALSE);

    for (int i = 0; i < 2; ++i) {
        SetLastError(0);
        EXPECT_EQ(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_REQUEST_TIMEOUT));
    }
    EXPECT_NE(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SimScmTest, FaultWithErrorZeroFailsAndLeavesZero)
{
    sim::AddService(L"target", SERVICE_STOPPED);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"target", SERVICE_ALL_ACCESS);

    sim::ScopedFault fault("StartServiceW", 0);
    SetLastError(0xDEADBEEF);
    EXPECT_EQ(StartServiceW(service, 0, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(0));
    EXPECT_EQ(sim::StartCount(L"target"), 0);
    EXPECT_FALSE(sim::Journal().back().ok);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(SimScmTest, FaultForEverFailsEveryCallUntilCleared)
{
    sim::FailCall("OpenSCManagerW", 2, ERROR_ACCESS_DENIED, -1);
    SC_HANDLE first = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_NE(first, nullptr);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
    }
    sim::ClearFaults();
    SC_HANDLE last = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_NE(last, nullptr);
    CloseServiceHandle(first);
    CloseServiceHandle(last);
}

TEST_F(SimScmTest, EveryFunctionFailsWithItsFailureValueUnderAFault)
{
    sim::AddService(L"target", SERVICE_RUNNING);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, L"target", SERVICE_ALL_ACCESS);
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE source = RegisterEventSourceW(nullptr, L"Src");
    struct Row {
        const char* function;
        std::function<bool()> failed;  // the call returned its failure value
    };
    const Row rows[] = {
        {"OpenSCManagerW", [] { return OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS) == nullptr; }},
        {"OpenServiceW", [&] { return OpenServiceW(manager, L"target", SERVICE_ALL_ACCESS) == nullptr; }},
        {"QueryServiceStatusEx",
         [&] {
             SERVICE_STATUS_PROCESS process{};
             DWORD needed = 0;
             return !QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                          sizeof(process), &needed);
         }},
        {"QueryServiceStatus",
         [&] {
             SERVICE_STATUS status{};
             return !QueryServiceStatus(service, &status);
         }},
        {"ControlService",
         [&] {
             SERVICE_STATUS status{};
             return !ControlService(service, SERVICE_CONTROL_INTERROGATE, &status);
         }},
        {"CreateServiceW",
         [&] {
             return CreateServiceW(manager, L"new", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\n.exe", nullptr, nullptr,
                                   nullptr, nullptr, nullptr) == nullptr;
         }},
        {"ChangeServiceConfig2W",
         [&] {
             SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(L"d")};
             return !ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
         }},
        {"StartServiceW", [&] { return !StartServiceW(service, 0, nullptr); }},
        {"DeleteService", [&] { return !DeleteService(service); }},
        {"CloseServiceHandle", [&] { return !CloseServiceHandle(service); }},
        {"RegisterEventSourceW", [] { return RegisterEventSourceW(nullptr, L"Src") == nullptr; }},
        {"ReportEventW",
         [&] { return !ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 0, 0, nullptr, nullptr); }},
        {"DeregisterEventSource", [&] { return !DeregisterEventSource(source); }},
        {"CreateEventW", [] { return CreateEventW(nullptr, TRUE, FALSE, nullptr) == nullptr; }},
        {"SetEvent", [&] { return !SetEvent(event); }},
        {"WaitForSingleObject", [&] { return WaitForSingleObject(event, 0) == WAIT_FAILED; }},
        {"CloseHandle", [&] { return !CloseHandle(event); }},
        {"QueueUserWorkItem",
         [] { return !QueueUserWorkItem([](LPVOID) -> DWORD { return 0; }, nullptr, WT_EXECUTEDEFAULT); }},
        {"GetModuleFileNameW",
         [] {
             WCHAR path[MAX_PATH];
             return GetModuleFileNameW(nullptr, path, MAX_PATH) == 0;
         }},
        {"StartServiceCtrlDispatcherW",
         [] {
             sim::StartAsService();
             WCHAR name[] = L"x";
             SERVICE_TABLE_ENTRYW table[] = {{name, [](DWORD, LPWSTR*) {}}, {nullptr, nullptr}};
             return !StartServiceCtrlDispatcherW(table);
         }},
        {"RegisterServiceCtrlHandlerW",
         [] { return RegisterServiceCtrlHandlerW(L"x", [](DWORD) {}) == nullptr; }},
        {"SetServiceStatus",
         [] {
             SERVICE_STATUS status{};
             return !SetServiceStatus(nullptr, &status);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.function);
        sim::ScopedFault fault(row.function, 4321);
        SetLastError(0);
        EXPECT_TRUE(row.failed());
        EXPECT_EQ(GetLastError(), DWORD(4321));
        ASSERT_FALSE(sim::Journal().empty());
        EXPECT_EQ(sim::Journal().back().function, row.function);
        EXPECT_FALSE(sim::Journal().back().ok);
    }
    // Nothing was consumed by the faulted calls.
    EXPECT_EQ(sim::OpenHandleCount(), 4);
    EXPECT_TRUE(sim::HasService(L"target"));
    EXPECT_FALSE(sim::IsMarkedForDelete(L"target"));
    EXPECT_EQ(sim::EventRecords().size(), 0u);

    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    CloseHandle(event);
    DeregisterEventSource(source);
}
