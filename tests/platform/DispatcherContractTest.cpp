// What the product relies on from the service control dispatcher: where the
// main routine and the handler run, what the main routine is given, and when
// the dispatcher returns.
#include "ContractFixture.h"

#include <mutex>
#include <thread>
#include <vector>

namespace {

// What one service run saw. The callbacks are plain routines, as the
// dispatcher wants them, so they reach the probe through a pointer.
struct RunProbe {
    std::mutex mutex;
    std::thread::id mainThread;
    std::thread::id handlerThread;
    std::vector<std::wstring> args;
    std::vector<DWORD> controls;
    SERVICE_STATUS_HANDLE status = nullptr;
    // When set, the main routine waits for it (ten seconds at most) after its
    // reports, and signals `mainEnded` as its last action.
    HANDLE mainMayEnd = nullptr;
    HANDLE mainEnded = nullptr;
};
RunProbe* s_probe = nullptr;

void Report(DWORD state, DWORD controlsAccepted)
{
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, controlsAccepted, NO_ERROR, 0, 0, 0};
    SERVICE_STATUS_HANDLE handle;
    {
        std::lock_guard<std::mutex> lock(s_probe->mutex);
        handle = s_probe->status;
    }
    SetServiceStatus(handle, &status);
}

void WINAPI ProbeHandler(DWORD control)
{
    {
        std::lock_guard<std::mutex> lock(s_probe->mutex);
        s_probe->handlerThread = std::this_thread::get_id();
        s_probe->controls.push_back(control);
    }
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOPPED, 0);
    }
}

void WINAPI ProbeMain(DWORD argc, LPWSTR* argv)
{
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(argv[0], ProbeHandler);
    HANDLE mainMayEnd = nullptr;
    HANDLE mainEnded = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_probe->mutex);
        s_probe->mainThread = std::this_thread::get_id();
        for (DWORD i = 0; i < argc; ++i) {
            s_probe->args.emplace_back(argv[i]);
        }
        s_probe->status = handle;
        mainMayEnd = s_probe->mainMayEnd;
        mainEnded = s_probe->mainEnded;
    }
    Report(SERVICE_START_PENDING, 0);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    // Once the handler has reported stopped the dispatcher may return and the
    // test end: nothing of the probe is touched after the last report.
    if (mainMayEnd != nullptr) {
        WaitForSingleObject(mainMayEnd, 10000);
        SetEvent(mainEnded);
    }
}

WCHAR g_serviceName[] = L"TavrilexContractSvc";

}  // namespace

TEST_F(ContractTest, DispatcherFailsAtOnceWhenNotStartedAsService)
{
    SERVICE_TABLE_ENTRYW table[] = {{g_serviceName, ProbeMain}, {nullptr, nullptr}};
    PoisonLastError();
    BOOL ran = StartServiceCtrlDispatcherW(table);
    DWORD error = GetLastError();

    EXPECT_EQ(ran, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST_F(ContractTest, DispatcherRunsMainElsewhereAndHandlerOnEnteringThread)
{
    if (!contract::ConnectAsService({L"-first", L"second"})) {
        GTEST_SKIP() << "this process was not started as a service";
    }
    RunProbe probe;
    s_probe = &probe;
    contract::SendControl(SERVICE_CONTROL_STOP);

    SERVICE_TABLE_ENTRYW table[] = {{g_serviceName, ProbeMain}, {nullptr, nullptr}};
    BOOL ran = StartServiceCtrlDispatcherW(table);

    EXPECT_NE(ran, FALSE);
    std::lock_guard<std::mutex> lock(probe.mutex);
    EXPECT_NE(probe.mainThread, std::thread::id());
    EXPECT_NE(probe.mainThread, std::this_thread::get_id());
    if (contract::RunningUnderWine()) {
        // Wine calls the handler on a thread of its dispatcher's, not on the
        // thread that entered the dispatcher as Windows does.
        EXPECT_NE(probe.handlerThread, std::thread::id());
    } else {
        EXPECT_EQ(probe.handlerThread, std::this_thread::get_id());
    }
    EXPECT_EQ(probe.args, (std::vector<std::wstring>{L"TavrilexContractSvc", L"-first", L"second"}));
    EXPECT_EQ(probe.controls, std::vector<DWORD>{SERVICE_CONTROL_STOP});
    s_probe = nullptr;
}

TEST_F(ContractTest, DispatcherReturnsOnceStoppedWithoutWaitingForTheMainRoutine)
{
    if (!contract::ConnectAsService({})) {
        GTEST_SKIP() << "this process was not started as a service";
    }
    RunProbe probe;
    probe.mainMayEnd = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    probe.mainEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    s_probe = &probe;
    contract::SendControl(SERVICE_CONTROL_STOP);

    SERVICE_TABLE_ENTRYW table[] = {{g_serviceName, ProbeMain}, {nullptr, nullptr}};
    EXPECT_NE(StartServiceCtrlDispatcherW(table), FALSE);
    EXPECT_EQ(WaitForSingleObject(probe.mainEnded, 0), DWORD(WAIT_TIMEOUT));

    SetEvent(probe.mainMayEnd);
    EXPECT_EQ(WaitForSingleObject(probe.mainEnded, 10000), DWORD(WAIT_OBJECT_0));
    CloseHandle(probe.mainMayEnd);
    CloseHandle(probe.mainEnded);
    s_probe = nullptr;
}

TEST_F(ContractTest, HandlerRegistrationOutsideAServiceRunFails)
{
    PoisonLastError();
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(g_serviceName, ProbeHandler);
    DWORD error = GetLastError();

    EXPECT_EQ(handle, nullptr);
    EXPECT_NE(error, DWORD(ERROR_SUCCESS));
    EXPECT_NE(error, kPoison);
}

TEST_F(ContractTest, StatusReportWithoutHandleFailsWithInvalidHandle)
{
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, NO_ERROR, 0, 0, 0};
    PoisonLastError();
    BOOL reported = SetServiceStatus(nullptr, &status);
    DWORD error = GetLastError();

    EXPECT_EQ(reported, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_INVALID_HANDLE));
}
