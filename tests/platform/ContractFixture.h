// Fixture of the platform contract tests: the behaviour of the Win32 calls
// that the product relies on. The *ContractTest.cpp files use nothing but
// those calls and the hooks below, so that they can be built against the
// real API as well as the simulated one. The hooks make what a test needs to
// exist beforehand; ContractSetupSim.cpp makes it on the simulated layer, a
// Windows build supplies its own file (and leaves out the *Sim*.cpp files).
#pragma once

#include "Platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace contract {

// A clean machine before and after each test (on Windows: remove any test
// service left behind).
void SetUpPlatform();
void TearDownPlatform();

// Registers an own-process, demand-start service in the stopped state.
// Returns false when the platform cannot provide one; the test then skips.
bool AddStoppedService(const std::wstring& name);

// Registers a service that is running and announces `controlsAccepted`; an
// accepted stop request leaves it stopped at once.
bool AddRunningService(const std::wstring& name, DWORD controlsAccepted);

// Makes the next StartServiceCtrlDispatcherW connect, with `args` as the start
// arguments after the service name. False when the platform cannot.
bool ConnectAsService(const std::vector<std::wstring>& args);

// Sends a control code to the service run by this process's dispatcher.
void SendControl(DWORD control);

// True when Wine serves the calls. Only for the few checks where Wine is known
// to differ from Windows as Microsoft documents it; each such check says how.
bool RunningUnderWine();

}  // namespace contract

class ContractTest : public ::testing::Test {
protected:
    void SetUp() override { contract::SetUpPlatform(); }
    void TearDown() override { contract::TearDownPlatform(); }
};

// Closes a manager or service handle at scope end unless the test took it
// back with Release() to close it itself.
class CScHandle {
public:
    explicit CScHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~CScHandle()
    {
        if (m_handle) {
            CloseServiceHandle(m_handle);
        }
    }
    CScHandle(const CScHandle&) = delete;
    CScHandle& operator=(const CScHandle&) = delete;

    SC_HANDLE Get() const { return m_handle; }
    SC_HANDLE Release()
    {
        SC_HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

private:
    SC_HANDLE m_handle;
};

// Sets the calling thread's last error to a value no call sets, so that an
// assertion on GetLastError() sees what the call itself left there.
constexpr DWORD kPoison = 0xDEADBEEF;
inline void PoisonLastError()
{
    SetLastError(kPoison);
}
