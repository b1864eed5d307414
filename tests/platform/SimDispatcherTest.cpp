// The simulated dispatcher beyond what the real API shows: when queued
// controls are delivered, what is recorded, how the SCM's view follows the
// service's own reports, and when the dispatcher gives up.
#include "SimTest.h"

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace {

// A configurable stand-in service. The callbacks are plain routines, so they
// reach the script through one pointer.
struct Script {
    DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
    bool registerHandler = true;
    bool reportRunning = true;
    // Without a handler: end the process with this code, or (0) just return.
    DWORD exitCode = 0;
    bool mainEnded = false;

    std::mutex mutex;
    SERVICE_STATUS_HANDLE status = nullptr;
    std::vector<DWORD> controls;
    std::vector<size_t> reportsSeenByHandler;  // reports made before each control arrived
    DWORD lastStateSeenByHandler = 0;
};
Script* s_script = nullptr;

void Report(DWORD state, DWORD controlsAccepted)
{
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, state, controlsAccepted, NO_ERROR, 0, 0, 0};
    // The handler may be called before the main routine has stored the
    // handle that registration returned; it is only moments away.
    SERVICE_STATUS_HANDLE handle = nullptr;
    while (!handle) {
        std::lock_guard<std::mutex> lock(s_script->mutex);
        handle = s_script->status;
    }
    SetServiceStatus(handle, &status);
}

void WINAPI ScriptHandler(DWORD control)
{
    std::vector<SERVICE_STATUS> reports = sim::StatusReports();
    {
        std::lock_guard<std::mutex> lock(s_script->mutex);
        s_script->controls.push_back(control);
        s_script->reportsSeenByHandler.push_back(reports.size());
        s_script->lastStateSeenByHandler = reports.empty() ? 0 : reports.back().dwCurrentState;
    }
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOPPED, 0);
    }
}

void WINAPI ScriptMain(DWORD, LPWSTR* argv)
{
    if (!s_script->registerHandler) {
        if (s_script->exitCode != 0) {
            ExitProcess(s_script->exitCode);
        }
        std::lock_guard<std::mutex> lock(s_script->mutex);
        s_script->mainEnded = true;
        return;
    }
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerW(argv[0], ScriptHandler);
    {
        std::lock_guard<std::mutex> lock(s_script->mutex);
        s_script->status = handle;
    }
    Report(SERVICE_START_PENDING, 0);
    if (s_script->reportRunning) {
        Report(SERVICE_RUNNING, s_script->controlsAccepted);
    }
}

WCHAR g_name[] = L"Scripted";

BOOL RunDispatcher()
{
    SERVICE_TABLE_ENTRYW table[] = {{g_name, ScriptMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table);
}

}  // namespace

class SimDispatcherTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        s_script = &m_script;
    }
    void TearDown() override
    {
        SimTest::TearDown();
        s_script = nullptr;
    }
    Script m_script;
};

TEST_F(SimDispatcherTest, ConnectingIsGoodForOneDispatcherCall)
{
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_STOP);
    EXPECT_NE(RunDispatcher(), FALSE);

    SetLastError(0);
    EXPECT_EQ(RunDispatcher(), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
}

TEST_F(SimDispatcherTest, HandlerRegistrationOutsideARunFailsWithServiceNotInExe)
{
    SetLastError(0);
    EXPECT_EQ(RegisterServiceCtrlHandlerW(L"Scripted", ScriptHandler), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SERVICE_NOT_IN_EXE));
}

TEST_F(SimDispatcherTest, ControlsWaitUntilTheServiceLeavesStartPending)
{
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_INTERROGATE);
    sim::QueueControl(SERVICE_CONTROL_STOP);
    EXPECT_NE(RunDispatcher(), FALSE);

    std::lock_guard<std::mutex> lock(m_script.mutex);
    EXPECT_EQ(m_script.controls, (std::vector<DWORD>{SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP}));
    EXPECT_EQ(m_script.reportsSeenByHandler[0], 2u);
    EXPECT_EQ(m_script.lastStateSeenByHandler, DWORD(SERVICE_RUNNING));
}

TEST_F(SimDispatcherTest, ControlsCanBeDeliveredDuringStartPending)
{
    m_script.reportRunning = false;
    sim::DeliverControlsAtOnce(true);
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_STOP);
    EXPECT_NE(RunDispatcher(), FALSE);

    std::lock_guard<std::mutex> lock(m_script.mutex);
    EXPECT_EQ(m_script.controls, std::vector<DWORD>{SERVICE_CONTROL_STOP});
}

TEST_F(SimDispatcherTest, StatusReportsAreRecordedWholeInOrder)
{
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_STOP);
    EXPECT_NE(RunDispatcher(), FALSE);

    std::vector<SERVICE_STATUS> reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 3u);
    const DWORD states[] = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED};
    const DWORD accepted[] = {0, SERVICE_ACCEPT_STOP, 0};
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].dwServiceType, DWORD(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(reports[i].dwCurrentState, states[i]);
        EXPECT_EQ(reports[i].dwControlsAccepted, accepted[i]);
    }
    EXPECT_TRUE(sim::WaitForStatus(SERVICE_STOPPED, 0));
    EXPECT_FALSE(sim::WaitForStatus(SERVICE_PAUSED, 1));
    EXPECT_EQ(sim::Journal().front().function, "StartServiceCtrlDispatcherW");
    EXPECT_EQ(sim::Journal().front().text, L"Scripted");
}

TEST_F(SimDispatcherTest, ControlsLeftWhenTheServiceStopsAreDropped)
{
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_STOP);
    sim::QueueControl(SERVICE_CONTROL_INTERROGATE);
    EXPECT_NE(RunDispatcher(), FALSE);

    // A second run starts with nothing queued from the first.
    sim::StartAsService();
    sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
    EXPECT_NE(RunDispatcher(), FALSE);

    std::lock_guard<std::mutex> lock(m_script.mutex);
    EXPECT_EQ(m_script.controls, (std::vector<DWORD>{SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}));
}

// Nothing can report STOPPED for a main routine that never registered, so
// the dispatcher waits for ever, as Windows' does; only the end of the
// process (or a Reset) gets the entry's thread out.
TEST_F(SimDispatcherTest, MainThatNeverRegistersHoldsTheDispatcherUntilTheProcessEnds)
{
    m_script.registerHandler = false;
    sim::StartAsService();
    auto run = std::async(std::launch::async, [] { return RunDispatcher(); });
    ASSERT_TRUE(WaitUntil([this] {
        std::lock_guard<std::mutex> lock(m_script.mutex);
        return m_script.mainEnded;
    }));
    EXPECT_EQ(run.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    sim::Reset();
    EXPECT_EQ(run.get(), FALSE);

    m_script.exitCode = ERROR_SERVICE_NOT_IN_EXE;
    sim::StartAsService();
    try {
        RunDispatcher();
        ADD_FAILURE() << "the dispatcher returned after the process ended";
    } catch (const sim::ProcessExit& exit) {
        EXPECT_EQ(exit.code, DWORD(ERROR_SERVICE_NOT_IN_EXE));
    }
    EXPECT_TRUE(sim::StatusReports().empty());
}

TEST_F(SimDispatcherTest, ScmSeesWhatTheServiceReported)
{
    struct Row {
        const char* name;
        DWORD controlsAccepted;
        BOOL stopAccepted;
        DWORD error;
    };
    const Row rows[] = {
        {"announces shutdown only", SERVICE_ACCEPT_SHUTDOWN, FALSE, ERROR_INVALID_SERVICE_CONTROL},
        {"announces stop", SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, TRUE, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Reset();
        sim::AddService(L"Scripted", SERVICE_STOPPED);
        m_script.controlsAccepted = row.controlsAccepted;
        {
            std::lock_guard<std::mutex> lock(m_script.mutex);
            m_script.controls.clear();
        }
        sim::StartAsService();

        // The stop request comes from the SCM side, on another thread, once
        // the service is running; a refused one is followed by a shutdown.
        std::thread requester([&row] {
            ASSERT_TRUE(sim::WaitForStatus(SERVICE_RUNNING));
            EXPECT_EQ(sim::GetServiceState(L"Scripted"), DWORD(SERVICE_RUNNING));
            SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
            SC_HANDLE service = OpenServiceW(manager, L"Scripted", SERVICE_STOP);
            SERVICE_STATUS status{};
            SetLastError(0);
            BOOL accepted = ControlService(service, SERVICE_CONTROL_STOP, &status);
            DWORD error = GetLastError();
            EXPECT_EQ(accepted, row.stopAccepted);
            EXPECT_EQ(error, row.error);
            if (accepted) {
                EXPECT_EQ(status.dwControlsAccepted, row.controlsAccepted);
            } else {
                sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
            }
            CloseServiceHandle(service);
            CloseServiceHandle(manager);
        });
        EXPECT_NE(RunDispatcher(), FALSE);
        requester.join();

        EXPECT_EQ(sim::GetServiceState(L"Scripted"), DWORD(SERVICE_STOPPED));
        std::lock_guard<std::mutex> lock(m_script.mutex);
        EXPECT_EQ(m_script.controls,
                  std::vector<DWORD>{row.stopAccepted ? DWORD(SERVICE_CONTROL_STOP) : DWORD(SERVICE_CONTROL_SHUTDOWN)});
    }
}

TEST_F(SimDispatcherTest, StatusReportWithAnotherKindOfHandleFails)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, 0, 0, 0, 0, 0};
    SetLastError(0);
    EXPECT_EQ(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(manager), &status), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(sim::StatusReports().empty());
    CloseServiceHandle(manager);
}
