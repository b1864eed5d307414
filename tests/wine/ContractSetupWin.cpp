// The contract fixture's hooks on real Windows, and the entry of the contract
// test program. One executable plays three parts, chosen by its first
// argument:
//   (anything else)                  the test run itself;
//   --contract-stub <controls>       a service that a test registers and
//                                    starts: it reports running with
//                                    <controls> accepted, and reports stopped
//                                    when an accepted stop arrives or when the
//                                    test run sets its end event;
//   --contract-service <log> <args>  the test run inside a process started by
//                                    the service control manager, for the
//                                    dispatcher tests that need one; <args>
//                                    name the one test, output goes to <log>.
// Every service the tests make has a name starting with "TavrilexContract",
// and everything by that name is removed before and after each test.
#include "ContractFixture.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t kStubSwitch[] = L"--contract-stub";
const wchar_t kServiceRunSwitch[] = L"--contract-service";
const wchar_t kNamePrefix[] = L"TavrilexContract";
// A service's main routine gets the name the service is registered under, and
// the dispatcher tests expect the name of their table, so the service process
// that runs them is registered under that name.
const wchar_t kDispatchName[] = L"TavrilexContractSvc";

// Bounds for waiting on the service control manager. Generous: they only end
// a wait that has already gone wrong.
constexpr DWORD kWaitLimitMs = 10000;
constexpr DWORD kPollMs = 10;

bool s_inServiceProcess = false;
bool s_serviceRunFailed = false;
std::thread s_controlSender;

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t unit : text) {
        narrow += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return narrow;
}

std::wstring ModulePath()
{
    std::vector<WCHAR> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::wstring(path.data(), length);
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// The named event that ends a stub service from outside. Services run in
// another session on Windows, hence the global namespace.
std::wstring EndEventName(const std::wstring& service)
{
    return L"Global\\TavrilexContractEnd_" + service;
}

// Polls until the service reports `state`; false on a failed query or when
// the limit passes first.
bool WaitForState(SC_HANDLE service, DWORD state)
{
    for (DWORD waited = 0; waited < kWaitLimitMs; waited += kPollMs) {
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status)) {
            return false;
        }
        if (status.dwCurrentState == state) {
            return true;
        }
        Sleep(kPollMs);
    }
    return false;
}

// Stops the named service if it runs (through its end event: it may refuse
// the stop control), deletes it and waits until the name is free again.
void RemoveService(SC_HANDLE manager, const std::wstring& name)
{
    {
        CScHandle service(OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS));
        if (service.Get() == nullptr) {
            return;
        }
        SERVICE_STATUS status{};
        if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
            HANDLE end = OpenEventW(EVENT_MODIFY_STATE, FALSE, EndEventName(name).c_str());
            if (end != nullptr) {
                SetEvent(end);
                CloseHandle(end);
            }
            EXPECT_TRUE(WaitForState(service.Get(), SERVICE_STOPPED)) << Narrow(name) << " did not stop";
        }
        DeleteService(service.Get());
    }
    for (DWORD waited = 0; waited < kWaitLimitMs; waited += kPollMs) {
        SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
        const DWORD error = GetLastError();
        if (service == nullptr && error == ERROR_SERVICE_DOES_NOT_EXIST) {
            return;
        }
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
        Sleep(kPollMs);
    }
    ADD_FAILURE() << Narrow(name) << " is still registered after its removal";
}

// Every registered service whose name starts with the tests' prefix.
std::vector<std::wstring> TestServices(SC_HANDLE manager)
{
    std::vector<std::wstring> names;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, nullptr, 0, &needed,
                          &count, &resume, nullptr);
    std::vector<BYTE> buffer(needed + 1024);
    resume = 0;
    if (!EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL, buffer.data(),
                               static_cast<DWORD>(buffer.size()), &needed, &count, &resume, nullptr)) {
        const DWORD error = GetLastError();
        ADD_FAILURE() << "EnumServicesStatusExW failed with " << error;
        return names;
    }
    const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
    const size_t prefixLength = std::wcslen(kNamePrefix);
    for (DWORD i = 0; i < count; ++i) {
        if (_wcsnicmp(entries[i].lpServiceName, kNamePrefix, prefixLength) == 0) {
            names.emplace_back(entries[i].lpServiceName);
        }
    }
    return names;
}

void RemoveTestServices()
{
    CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    const DWORD error = GetLastError();
    ASSERT_NE(manager.Get(), nullptr) << "OpenSCManagerW failed with " << error;
    for (const std::wstring& name : TestServices(manager.Get())) {
        RemoveService(manager.Get(), name);
    }
}

// Registers `name` to run this program with `arguments`; null on failure,
// which is then reported.
SC_HANDLE CreateTestService(SC_HANDLE manager, const std::wstring& name, const std::wstring& arguments,
                            DWORD access)
{
    const std::wstring command = Quoted(ModulePath()) + L" " + arguments;
    SC_HANDLE service = CreateServiceW(manager, name.c_str(), name.c_str(), access, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr,
                                       nullptr, nullptr, nullptr, nullptr);
    const DWORD error = GetLastError();
    if (service == nullptr) {
        ADD_FAILURE() << "CreateServiceW of " << Narrow(name) << " failed with " << error;
    }
    return service;
}

// StartServiceW, waiting while Wine's manager still holds its database lock
// for the services it starts at boot.
bool StartTestService(SC_HANDLE service, const std::vector<std::wstring>& args)
{
    std::vector<LPCWSTR> vector;
    for (const std::wstring& arg : args) {
        vector.push_back(arg.c_str());
    }
    for (DWORD waited = 0;; waited += kPollMs) {
        if (StartServiceW(service, static_cast<DWORD>(vector.size()), vector.empty() ? nullptr : vector.data())) {
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DATABASE_LOCKED || waited >= kWaitLimitMs) {
            ADD_FAILURE() << "StartServiceW failed with " << error;
            return false;
        }
        Sleep(kPollMs);
    }
}

std::wstring StubArguments(DWORD controlsAccepted)
{
    return std::wstring(kStubSwitch) + L" " + std::to_wstring(controlsAccepted);
}

std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::wstring TempPath(const wchar_t* name)
{
    WCHAR directory[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    return std::wstring(directory, length) + name;
}

// ---------------------------------------------------------------------------
// The stub service.

struct CStub {
    std::mutex mutex;
    SERVICE_STATUS_HANDLE handle = nullptr;
    SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, NO_ERROR, 0, 0, 0};
    DWORD controlsAccepted = 0;
    HANDLE end = nullptr;
};
CStub s_stub;

void StubReport(DWORD state, DWORD controlsAccepted)
{
    s_stub.status.dwCurrentState = state;
    s_stub.status.dwControlsAccepted = controlsAccepted;
    s_stub.status.dwCheckPoint = state == SERVICE_START_PENDING ? 1 : 0;
    SetServiceStatus(s_stub.handle, &s_stub.status);
}

void WINAPI StubHandler(DWORD control)
{
    std::lock_guard<std::mutex> lock(s_stub.mutex);
    if (control == SERVICE_CONTROL_STOP) {
        // Stopped before the handler returns, so the stop request's own
        // answer already says stopped.
        StubReport(SERVICE_STOPPED, 0);
        SetEvent(s_stub.end);
    } else if (control == SERVICE_CONTROL_INTERROGATE) {
        SetServiceStatus(s_stub.handle, &s_stub.status);
    }
}

void WINAPI StubMain(DWORD, LPWSTR* argv)
{
    const std::wstring name = argv[0];
    s_stub.end = CreateEventW(nullptr, TRUE, FALSE, EndEventName(name).c_str());
    {
        std::lock_guard<std::mutex> lock(s_stub.mutex);
        s_stub.handle = RegisterServiceCtrlHandlerW(name.c_str(), StubHandler);
        if (s_stub.handle == nullptr) {
            return;
        }
        StubReport(SERVICE_START_PENDING, 0);
        StubReport(SERVICE_RUNNING, s_stub.controlsAccepted);
    }
    WaitForSingleObject(s_stub.end, INFINITE);
    std::lock_guard<std::mutex> lock(s_stub.mutex);
    if (s_stub.status.dwCurrentState != SERVICE_STOPPED) {
        StubReport(SERVICE_STOPPED, 0);
    }
}

int RunStub(DWORD controlsAccepted)
{
    s_stub.controlsAccepted = controlsAccepted;
    WCHAR name[] = L"";  // an own-process service: the manager's name counts
    SERVICE_TABLE_ENTRYW table[] = {{name, StubMain}, {nullptr, nullptr}};
    const BOOL dispatched = StartServiceCtrlDispatcherW(table);
    // Wine's dispatcher returns at the STOPPED report, which the stub makes
    // inside its handler, before the control thread has answered the stop
    // request: a process that ended at once would break that answer's pipe,
    // and the request would fail with 109.
    Sleep(250);
    return dispatched ? 0 : 1;
}

// ---------------------------------------------------------------------------
// The test run inside a service process.

// A service process starts without standard handles, and the run-time then
// refuses to reopen stdout, so the run's progress goes to the log through a
// printer of our own, in the line format of gtest's.
class CLogPrinter : public ::testing::EmptyTestEventListener {
public:
    explicit CLogPrinter(FILE* file) : m_file(file) {}

    void OnTestStart(const ::testing::TestInfo& test) override
    {
        Line("[ RUN      ] %s.%s", test.test_suite_name(), test.name());
    }

    void OnTestPartResult(const ::testing::TestPartResult& part) override
    {
        if (part.type() == ::testing::TestPartResult::kSuccess) {
            return;
        }
        const char* kind = part.type() == ::testing::TestPartResult::kSkip ? "Skipped" : "Failure";
        Line("%s:%d: %s\n%s", part.file_name() ? part.file_name() : "unknown file", part.line_number(), kind,
             part.message());
    }

    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        const ::testing::TestResult& result = *test.result();
        const char* tag = result.Failed() ? "[  FAILED  ]" : (result.Skipped() ? "[  SKIPPED ]" : "[       OK ]");
        Line("%s %s.%s (%lld ms)", tag, test.test_suite_name(), test.name(),
             static_cast<long long>(result.elapsed_time()));
    }

    void OnTestProgramEnd(const ::testing::UnitTest& run) override
    {
        Line("[==========] %d %s ran.", run.test_to_run_count(), Tests(run.test_to_run_count()));
        Line("[  PASSED  ] %d %s.", run.successful_test_count(), Tests(run.successful_test_count()));
        if (run.skipped_test_count() > 0) {
            Line("[  SKIPPED ] %d %s.", run.skipped_test_count(), Tests(run.skipped_test_count()));
        }
        if (run.failed_test_count() > 0) {
            Line("[  FAILED  ] %d %s, listed below:", run.failed_test_count(), Tests(run.failed_test_count()));
            for (int i = 0; i < run.total_test_suite_count(); ++i) {
                const ::testing::TestSuite& suite = *run.GetTestSuite(i);
                for (int j = 0; j < suite.total_test_count(); ++j) {
                    const ::testing::TestInfo& test = *suite.GetTestInfo(j);
                    if (test.result()->Failed()) {
                        Line("[  FAILED  ] %s.%s", suite.name(), test.name());
                    }
                }
            }
        }
    }

private:
    static const char* Tests(int count) { return count == 1 ? "test" : "tests"; }

    template <typename... Args>
    void Line(const char* format, Args... args)
    {
        std::fprintf(m_file, format, args...);
        std::fputc('\n', m_file);
        std::fflush(m_file);
    }

    FILE* m_file;
};

int RunTestsAsService(int argc, wchar_t** argv)
{
    s_inServiceProcess = true;
    const std::wstring log = argv[2];
    FILE* file = _wfopen(log.c_str(), L"w");
    if (file == nullptr) {
        return 2;
    }
    // The program name, then the arguments after the log path.
    std::vector<wchar_t*> args{argv[0]};
    args.insert(args.end(), argv + 3, argv + argc);
    int count = static_cast<int>(args.size());
    ::testing::InitGoogleTest(&count, args.data());
    ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new CLogPrinter(file));
    const int result = RUN_ALL_TESTS();
    std::fclose(file);

    // The result appears in one step, once the log is complete.
    const std::wstring partial = log + L".rc.partial";
    FILE* rc = _wfopen(partial.c_str(), L"w");
    if (rc != nullptr) {
        std::fprintf(rc, "%d\n", result);
        std::fclose(rc);
        MoveFileExW(partial.c_str(), (log + L".rc").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    return result;
}

// Runs the current test again in a process started by the service control
// manager, with `args` as its start arguments, and shows that run's output.
void RunCurrentTestAsService(const std::vector<std::wstring>& args)
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string fullName = std::string(test->test_suite_name()) + "." + test->name();
    const std::wstring log = TempPath(L"TavrilexContractService.log");
    const std::wstring resultFile = log + L".rc";
    DeleteFileW(log.c_str());
    DeleteFileW(resultFile.c_str());

    CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_NE(manager.Get(), nullptr);
    const std::wstring arguments = std::wstring(kServiceRunSwitch) + L" " + Quoted(log) + L" --gtest_filter=" +
                                   std::wstring(fullName.begin(), fullName.end());
    CScHandle service(CreateTestService(manager.Get(), kDispatchName, arguments, SERVICE_START));
    ASSERT_NE(service.Get(), nullptr);

    if (!StartTestService(service.Get(), args)) {
        return;
    }

    DWORD waited = 0;
    while (GetFileAttributesW(resultFile.c_str()) == INVALID_FILE_ATTRIBUTES && waited < kWaitLimitMs) {
        Sleep(kPollMs);
        waited += kPollMs;
    }
    std::cout << "[ SERVICE  ] " << fullName << " in a process started by the service control manager:\n"
              << ReadFile(log) << "[ SERVICE  ] end of that process's output" << std::endl;
    const std::string result = ReadFile(resultFile);
    if (result.empty()) {
        ADD_FAILURE() << "the service process did not finish within " << kWaitLimitMs << " ms";
    } else if (std::atoi(result.c_str()) != 0) {
        s_serviceRunFailed = true;
    }
}

}  // namespace

namespace contract {

void SetUpPlatform()
{
    if (!s_inServiceProcess) {
        RemoveTestServices();
    }
}

void TearDownPlatform()
{
    if (s_controlSender.joinable()) {
        s_controlSender.join();
    }
    if (!s_inServiceProcess) {
        RemoveTestServices();
    }
}

bool AddStoppedService(const std::wstring& name)
{
    CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CScHandle service(CreateTestService(manager.Get(), name, StubArguments(0), SERVICE_QUERY_STATUS));
    return service.Get() != nullptr;
}

bool AddRunningService(const std::wstring& name, DWORD controlsAccepted)
{
    CScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CScHandle service(CreateTestService(manager.Get(), name, StubArguments(controlsAccepted),
                                        SERVICE_START | SERVICE_QUERY_STATUS));
    if (service.Get() == nullptr) {
        return false;
    }
    return StartTestService(service.Get(), {}) && WaitForState(service.Get(), SERVICE_RUNNING);
}

bool ConnectAsService(const std::vector<std::wstring>& args)
{
    if (s_inServiceProcess) {
        return true;
    }
    RunCurrentTestAsService(args);
    return false;
}

void SendControl(DWORD control)
{
    // The dispatcher is entered after this call, so the control goes out from
    // a thread of its own once the service reports running. The handles are
    // opened here, before the dispatcher's thread talks to the manager: Wine
    // mixes up the connections of two threads that first open the manager at
    // the same time.
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, kDispatchName, SERVICE_STOP | SERVICE_QUERY_STATUS |
                                                                 SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                                                                 SERVICE_USER_DEFINED_CONTROL);
    s_controlSender = std::thread([manager, service, control] {
        if (service != nullptr && WaitForState(service, SERVICE_RUNNING)) {
            SERVICE_STATUS status{};
            ControlService(service, control, &status);
        }
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    });
}

bool RunningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace contract

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && std::wcscmp(argv[1], kStubSwitch) == 0) {
        return RunStub(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    }
    if (argc >= 3 && std::wcscmp(argv[1], kServiceRunSwitch) == 0) {
        return RunTestsAsService(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    return result != 0 || s_serviceRunFailed ? 1 : 0;
}
