#include "SimTest.h"

#include <chrono>
#include <thread>

std::vector<sim::Call> CallsOf(const std::string& function)
{
    std::vector<sim::Call> calls;
    for (const sim::Call& call : sim::Journal()) {
        if (call.function == function) {
            calls.push_back(call);
        }
    }
    return calls;
}

int CountCallsWithArg(const std::string& function, DWORD arg)
{
    int count = 0;
    for (const sim::Call& call : CallsOf(function)) {
        count += call.arg == arg ? 1 : 0;
    }
    return count;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void RunLoopAlone()
{
    sim::FailCall("QueueUserWorkItem", 2, ERROR_NOT_ENOUGH_MEMORY);
}

std::vector<std::string> ClosedKinds()
{
    std::vector<std::string> kinds;
    for (const sim::Call& call : CallsOf("CloseServiceHandle")) {
        kinds.push_back(call.kind);
    }
    return kinds;
}

void StopAsScDoes(const std::wstring& name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_STOP);
    SERVICE_STATUS status{};
    EXPECT_NE(ControlService(service, SERVICE_CONTROL_STOP, &status), FALSE);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}
