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

CHeldWrite::CHeldWrite()
{
    sim::SetCallHook("ReportEventW", [this] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_taken) {
            return;
        }
        m_taken = m_held = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
        m_held = false;
        m_changed.notify_all();
    });
}

CHeldWrite::~CHeldWrite()
{
    Release();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_held; });
    lock.unlock();
    sim::SetCallHook("ReportEventW", nullptr);
}

bool CHeldWrite::WaitHeld(DWORD timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_held; });
}

void CHeldWrite::Release()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_released = true;
    m_changed.notify_all();
}
