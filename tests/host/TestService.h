// A service for the host's tests: each hook counts its calls and can be told
// to act (raise, wait) once.
#pragma once

#include "ServiceBase.h"
#include "ServiceNames.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

enum class EHook { Start, Stop, Pause, Continue, Shutdown, Count };

class CTestService : public CServiceBase {
public:
    CTestService() : CServiceBase(kServiceName) {}

    // Runs `action` the next time the hook is called (and only then), after
    // the call has been counted. Set before the service runs.
    void OnNextCall(EHook hook, std::function<void()> action) { m_actions[Index(hook)] = std::move(action); }

    int Calls(EHook hook) const { return m_calls[Index(hook)].load(); }
    const std::vector<std::wstring>& StartArguments() const { return m_startArguments; }

protected:
    void DoStart(DWORD argc, PWSTR* argv) override
    {
        for (DWORD i = 0; i < argc; ++i) {
            m_startArguments.emplace_back(argv[i]);
        }
        Run(EHook::Start);
    }
    void DoStop() override { Run(EHook::Stop); }
    void DoPause() override { Run(EHook::Pause); }
    void DoContinue() override { Run(EHook::Continue); }
    void DoShutdown() override { Run(EHook::Shutdown); }

private:
    static size_t Index(EHook hook) { return static_cast<size_t>(hook); }

    void Run(EHook hook)
    {
        ++m_calls[Index(hook)];
        std::function<void()> action;
        action.swap(m_actions[Index(hook)]);
        if (action) {
            action();
        }
    }

    std::function<void()> m_actions[static_cast<size_t>(EHook::Count)];
    std::atomic<int> m_calls[static_cast<size_t>(EHook::Count)] = {};
    std::vector<std::wstring> m_startArguments;
};

// A service that keeps every hook of the base class.
class CPlainService : public CServiceBase {
public:
    CPlainService() : CServiceBase(kServiceName) {}
};
