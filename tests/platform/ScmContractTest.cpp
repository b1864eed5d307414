// What the product relies on from the service control manager: the error
// codes it reads, the records it gets back, and the rights each call needs.
#include "ContractFixture.h"

#include <cstring>

namespace {

const wchar_t* const kService = L"TavrilexContractSvc";

SC_HANDLE OpenManager(DWORD access = SC_MANAGER_ALL_ACCESS)
{
    return OpenSCManagerW(nullptr, nullptr, access);
}

SC_HANDLE CreateOwnProcessService(SC_HANDLE manager, const wchar_t* name, DWORD access)
{
    return CreateServiceW(manager, name, name, access, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, L"C:\\Contract\\svc.exe", nullptr, nullptr, L"\0", nullptr, nullptr);
}

}  // namespace

TEST_F(ContractTest, OpenServiceOfUnknownNameFailsWithServiceDoesNotExist)
{
    CScHandle manager(OpenManager());
    ASSERT_NE(manager.Get(), nullptr);

    PoisonLastError();
    SC_HANDLE service = OpenServiceW(manager.Get(), L"TavrilexNoSuchService", SERVICE_ALL_ACCESS);
    DWORD error = GetLastError();

    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ContractTest, ServiceNamesMatchWithoutRegardToCase)
{
    ASSERT_TRUE(contract::AddStoppedService(kService));
    CScHandle manager(OpenManager());
    CScHandle service(OpenServiceW(manager.Get(), L"TAVRILEXcontractSVC", SERVICE_QUERY_STATUS));
    EXPECT_NE(service.Get(), nullptr);
}

TEST_F(ContractTest, CreateServiceOfTakenNameFailsWithServiceExists)
{
    ASSERT_TRUE(contract::AddStoppedService(kService));
    CScHandle manager(OpenManager());

    PoisonLastError();
    SC_HANDLE created = CreateOwnProcessService(manager.Get(), kService, SERVICE_QUERY_STATUS);
    DWORD error = GetLastError();

    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_EXISTS));
}

TEST_F(ContractTest, CreatedServiceIsStoppedAndOpenWithTheRightsAskedFor)
{
    CScHandle manager(OpenManager());
    CScHandle created(CreateOwnProcessService(manager.Get(), kService, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS));
    ASSERT_NE(created.Get(), nullptr);

    SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(L"Contract description")};
    EXPECT_NE(ChangeServiceConfig2W(created.Get(), SERVICE_CONFIG_DESCRIPTION, &description), FALSE);
    SERVICE_STATUS status{};
    ASSERT_NE(QueryServiceStatus(created.Get(), &status), FALSE);
    EXPECT_EQ(status.dwCurrentState, DWORD(SERVICE_STOPPED));
    EXPECT_EQ(status.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));

    // The handle carries only what was asked for.
    PoisonLastError();
    EXPECT_EQ(DeleteService(created.Get()), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));

    CScHandle remover(OpenServiceW(manager.Get(), kService, DELETE));
    EXPECT_NE(DeleteService(remover.Get()), FALSE);
}

TEST_F(ContractTest, StartOfRunningServiceFailsWithAlreadyRunning)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle manager(OpenManager());
    CScHandle service(OpenServiceW(manager.Get(), kService, SERVICE_ALL_ACCESS));
    ASSERT_NE(service.Get(), nullptr);

    PoisonLastError();
    BOOL started = StartServiceW(service.Get(), 0, nullptr);
    DWORD error = GetLastError();

    EXPECT_EQ(started, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_ALREADY_RUNNING));
}

TEST_F(ContractTest, QueryServiceStatusExReportsTheStateAndChecksItsBuffer)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle manager(OpenManager());
    CScHandle service(OpenServiceW(manager.Get(), kService, SERVICE_ALL_ACCESS));

    SERVICE_STATUS_PROCESS process{};
    DWORD needed = 0;
    ASSERT_NE(QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                   sizeof(process), &needed),
              FALSE);
    EXPECT_EQ(process.dwCurrentState, DWORD(SERVICE_RUNNING));
    EXPECT_EQ(process.dwControlsAccepted, DWORD(SERVICE_ACCEPT_STOP));

    PoisonLastError();
    needed = 0;
    BOOL small = QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                      sizeof(process) - 1, &needed);
    DWORD error = GetLastError();
    EXPECT_EQ(small, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, DWORD(36));

    PoisonLastError();
    BOOL level = QueryServiceStatusEx(service.Get(), static_cast<SC_STATUS_TYPE>(1),
                                      reinterpret_cast<LPBYTE>(&process), sizeof(process), &needed);
    error = GetLastError();
    EXPECT_EQ(level, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_INVALID_LEVEL));
}

TEST_F(ContractTest, FailedQueryServiceStatusLeavesTheRecordAsItWas)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle manager(OpenManager());
    CScHandle service(OpenServiceW(manager.Get(), kService, SERVICE_START));
    ASSERT_NE(service.Get(), nullptr);

    SERVICE_STATUS status;
    std::memset(&status, 0xAB, sizeof(status));
    SERVICE_STATUS before = status;
    PoisonLastError();
    BOOL queried = QueryServiceStatus(service.Get(), &status);
    DWORD error = GetLastError();

    EXPECT_EQ(queried, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(std::memcmp(&status, &before, sizeof(status)), 0);
}

TEST_F(ContractTest, AcceptedStopFillsTheRecordWithTheServiceStatus)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle manager(OpenManager());
    CScHandle service(OpenServiceW(manager.Get(), kService, SERVICE_STOP | SERVICE_QUERY_STATUS));

    SERVICE_STATUS status;
    std::memset(&status, 0xAB, sizeof(status));
    ASSERT_NE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status), FALSE);

    EXPECT_EQ(status.dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_TRUE(status.dwCurrentState == SERVICE_STOPPED || status.dwCurrentState == SERVICE_STOP_PENDING)
        << "state " << status.dwCurrentState;
}

TEST_F(ContractTest, RefusedStopReportsWhy)
{
    struct Row {
        const char* name;
        bool running;
        DWORD controlsAccepted;
        DWORD expectedError;
    };
    const Row rows[] = {
        {"running, announces shutdown only", true, SERVICE_ACCEPT_SHUTDOWN, ERROR_INVALID_SERVICE_CONTROL},
        {"running, announces nothing", true, 0, ERROR_INVALID_SERVICE_CONTROL},
        {"stopped", false, 0, ERROR_SERVICE_NOT_ACTIVE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        contract::TearDownPlatform();
        contract::SetUpPlatform();
        ASSERT_TRUE(row.running ? contract::AddRunningService(kService, row.controlsAccepted)
                                : contract::AddStoppedService(kService));
        CScHandle manager(OpenManager());
        CScHandle service(OpenServiceW(manager.Get(), kService, SERVICE_STOP | SERVICE_QUERY_STATUS));

        SERVICE_STATUS status{};
        PoisonLastError();
        BOOL accepted = ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        DWORD error = GetLastError();

        EXPECT_EQ(accepted, FALSE);
        EXPECT_EQ(error, row.expectedError);
    }
}

TEST_F(ContractTest, DeletedStoppedServiceIsGoneOnceItsLastHandleCloses)
{
    ASSERT_TRUE(contract::AddStoppedService(kService));
    CScHandle manager(OpenManager());
    CScHandle service(OpenServiceW(manager.Get(), kService, DELETE));
    ASSERT_NE(DeleteService(service.Get()), FALSE);

    PoisonLastError();
    BOOL again = DeleteService(service.Get());
    DWORD error = GetLastError();
    EXPECT_EQ(again, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));

    CloseServiceHandle(service.Release());
    PoisonLastError();
    SC_HANDLE reopened = OpenServiceW(manager.Get(), kService, SERVICE_QUERY_STATUS);
    error = GetLastError();
    EXPECT_EQ(reopened, nullptr);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ContractTest, DeletedRunningServiceStaysUntilItStops)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    CScHandle manager(OpenManager());
    {
        CScHandle service(OpenServiceW(manager.Get(), kService, DELETE));
        ASSERT_NE(DeleteService(service.Get()), FALSE);
    }

    // Still registered: it can be opened, and its name cannot be taken.
    CScHandle stopper(OpenServiceW(manager.Get(), kService, SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_NE(stopper.Get(), nullptr);
    PoisonLastError();
    SC_HANDLE created = CreateOwnProcessService(manager.Get(), kService, SERVICE_QUERY_STATUS);
    DWORD error = GetLastError();
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));

    SERVICE_STATUS status{};
    ASSERT_NE(ControlService(stopper.Get(), SERVICE_CONTROL_STOP, &status), FALSE);
    while (status.dwCurrentState != SERVICE_STOPPED) {
        ASSERT_NE(QueryServiceStatus(stopper.Get(), &status), FALSE);
    }
    CloseServiceHandle(stopper.Release());

    // Windows removes the entry as the last handle closes. Wine removes it
    // once the service's process, which holds a handle of its own, has ended,
    // a moment after the stopped report; under Wine the test waits for that.
    const int attempts = contract::RunningUnderWine() ? 1000 : 1;
    bool gone = false;
    for (int attempt = 0; attempt < attempts && !gone; ++attempt) {
        PoisonLastError();
        SC_HANDLE reopened = OpenServiceW(manager.Get(), kService, SERVICE_QUERY_STATUS);
        error = GetLastError();
        gone = reopened == nullptr;
        if (!gone) {
            CloseServiceHandle(reopened);
            Sleep(10);
        }
    }
    EXPECT_TRUE(gone);
    EXPECT_EQ(error, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST_F(ContractTest, EachCallNeedsItsAccessRight)
{
    ASSERT_TRUE(contract::AddRunningService(kService, SERVICE_ACCEPT_STOP));
    const DWORD everythingBut = SERVICE_ALL_ACCESS;
    struct Row {
        const char* name;
        DWORD missing;  // the one right taken away from the service handle
        BOOL (*call)(SC_HANDLE service);
    };
    const Row rows[] = {
        {"QueryServiceStatus", SERVICE_QUERY_STATUS,
         [](SC_HANDLE service) {
             SERVICE_STATUS status{};
             return QueryServiceStatus(service, &status);
         }},
        {"QueryServiceStatusEx", SERVICE_QUERY_STATUS,
         [](SC_HANDLE service) {
             SERVICE_STATUS_PROCESS process{};
             DWORD needed = 0;
             return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process),
                                         sizeof(process), &needed);
         }},
        {"StartServiceW", SERVICE_START, [](SC_HANDLE service) { return StartServiceW(service, 0, nullptr); }},
        {"ControlService stop", SERVICE_STOP,
         [](SC_HANDLE service) {
             SERVICE_STATUS status{};
             return ControlService(service, SERVICE_CONTROL_STOP, &status);
         }},
        {"ChangeServiceConfig2W", SERVICE_CHANGE_CONFIG,
         [](SC_HANDLE service) {
             SERVICE_DESCRIPTIONW description{const_cast<LPWSTR>(L"x")};
             return ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
         }},
        {"DeleteService", DELETE, [](SC_HANDLE service) { return DeleteService(service); }},
    };
    CScHandle manager(OpenManager());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        CScHandle service(OpenServiceW(manager.Get(), kService, everythingBut & ~row.missing));
        ASSERT_NE(service.Get(), nullptr);
        PoisonLastError();
        BOOL result = row.call(service.Get());
        DWORD error = GetLastError();
        EXPECT_EQ(result, FALSE);
        EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));
    }
}

TEST_F(ContractTest, ManagerCallsNeedTheirAccessRight)
{
    ASSERT_TRUE(contract::AddStoppedService(kService));

    CScHandle connectOnly(OpenManager(SC_MANAGER_CONNECT));
    ASSERT_NE(connectOnly.Get(), nullptr);
    PoisonLastError();
    SC_HANDLE created = CreateOwnProcessService(connectOnly.Get(), L"TavrilexContractNew", SERVICE_QUERY_STATUS);
    DWORD error = GetLastError();
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));

    // Every manager handle carries the connect right, asked for or not, and
    // connect is what opening a service needs.
    CScHandle enumerateOnly(OpenManager(SC_MANAGER_ENUMERATE_SERVICE));
    ASSERT_NE(enumerateOnly.Get(), nullptr);
    CScHandle opened(OpenServiceW(enumerateOnly.Get(), kService, SERVICE_QUERY_STATUS));
    EXPECT_NE(opened.Get(), nullptr);
}

TEST_F(ContractTest, ClosingTwiceOrTheWrongKindFailsWithInvalidHandle)
{
    ASSERT_TRUE(contract::AddStoppedService(kService));
    SC_HANDLE manager = OpenManager();
    SC_HANDLE service = OpenServiceW(manager, kService, SERVICE_QUERY_STATUS);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(service, nullptr);
    ASSERT_NE(event, nullptr);

    // Wine takes a service handle for a pointer to its own record, so a
    // handle of another kind or one already closed makes it fault where
    // Windows answers ERROR_INVALID_HANDLE; those rows are left out under
    // Wine. The product closes each handle once, with the routine for its
    // kind.
    const bool wine = contract::RunningUnderWine();
    struct Row {
        const char* name;
        BOOL (*close)(void* handle);
        void* handle;
        bool faultsUnderWine;
    };
    auto closeService = [](void* handle) { return CloseServiceHandle(static_cast<SC_HANDLE>(handle)); };
    auto closeHandle = [](void* handle) { return CloseHandle(static_cast<HANDLE>(handle)); };
    const Row rows[] = {
        {"CloseServiceHandle of an event", closeService, event, true},
        {"CloseHandle of a service handle", closeHandle, service, false},
        {"CloseHandle of a manager handle", closeHandle, manager, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (wine && row.faultsUnderWine) {
            continue;
        }
        PoisonLastError();
        BOOL closed = row.close(row.handle);
        DWORD error = GetLastError();
        EXPECT_EQ(closed, FALSE);
        EXPECT_EQ(error, DWORD(ERROR_INVALID_HANDLE));
    }

    EXPECT_NE(CloseServiceHandle(service), FALSE);
    if (!wine) {
        PoisonLastError();
        EXPECT_EQ(CloseServiceHandle(service), FALSE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }

    EXPECT_NE(CloseServiceHandle(manager), FALSE);
    EXPECT_NE(CloseHandle(event), FALSE);
}
