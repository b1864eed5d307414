// The simulated service control dispatcher. A process that StartAsService()
// marked connects; the table's main routine runs on a thread of its own, and
// the thread that entered the dispatcher delivers the queued control codes to
// the registered handler until the service reports SERVICE_STOPPED. Then it
// returns, whether the main routine has ended or not.
#include "SimState.h"

using namespace sim::detail;

namespace {

bool Deliverable(const State& state)
{
    if (state.controls.empty() || !state.run.handler) {
        return false;
    }
    return state.deliverAtOnce || (state.run.lastState != 0 && state.run.lastState != SERVICE_START_PENDING);
}

// The dispatcher's whole run; sets `processExited` when the process ended
// during it, which the caller raises once the call's journal entry is made.
BOOL Dispatch(const SERVICE_TABLE_ENTRYW* lpServiceStartTable, bool* processExited, DWORD* exitCode)
{
    ApiCall api("StartServiceCtrlDispatcherW");
    if (lpServiceStartTable && lpServiceStartTable[0].lpServiceName) {
        api.SetText(lpServiceStartTable[0].lpServiceName);
    }
    if (api.Faulted()) {
        return FALSE;
    }
    State& state = api.S();
    if (!state.connectAsService) {
        return api.Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE);
    }
    if (state.run.active) {
        return api.Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    }
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceName || !lpServiceStartTable[0].lpServiceProc) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    state.connectAsService = false;
    // The call lasts the whole run; journal it as it begins.
    api.Record();

    state.run = Run();
    state.run.active = true;
    state.run.serviceName = lpServiceStartTable[0].lpServiceName;
    state.run.generation = ++state.runGenerations;
    ++state.activeDispatchers;

    // As on Windows, the dispatcher returns once the service has reported
    // SERVICE_STOPPED, without waiting for the main routine, which may still
    // be running then. The routine's thread therefore owns its arguments;
    // Reset() joins it.
    std::vector<std::wstring> arguments;
    arguments.emplace_back(lpServiceStartTable[0].lpServiceName);
    arguments.insert(arguments.end(), state.startArgs.begin(), state.startArgs.end());
    LPSERVICE_MAIN_FUNCTIONW main = lpServiceStartTable[0].lpServiceProc;
    const unsigned long long generation = state.run.generation;
    state.serviceThreads.emplace_back([main, arguments = std::move(arguments), generation]() mutable {
        std::vector<LPWSTR> argv;
        for (std::wstring& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        try {
            main(static_cast<DWORD>(arguments.size()), argv.data());
        } catch (const sim::ProcessExit&) {
            // The process ended on this thread; the dispatcher raises it too.
        }
        State& state = GlobalState();
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.run.generation == generation) {
            state.run.serviceThreadDone = true;
            state.changed.notify_all();
        }
    });

    std::unique_lock<std::mutex>& lock = api.Lock();
    while (true) {
        // Only a STOPPED report ends the run, as on Windows: a main routine
        // that returns without one leaves the dispatcher waiting for ever,
        // unless the process ends.
        state.changed.wait(lock, [&state] {
            return state.run.stopped || state.resetting || state.processExited || Deliverable(state);
        });
        if (state.run.stopped || state.resetting || state.processExited) {
            break;
        }
        DWORD control = state.controls.front();
        state.controls.pop_front();
        LPHANDLER_FUNCTION handler = state.run.handler;
        lock.unlock();
        handler(control);
        lock.lock();
    }

    bool aborted = !state.run.stopped && state.resetting;
    const bool exited = !state.run.stopped && !aborted && state.processExited;
    state.controls.clear();
    state.run.active = false;
    state.run.handler = nullptr;
    --state.activeDispatchers;
    state.changed.notify_all();
    if (exited) {
        *exitCode = state.exitCode;
        *processExited = true;
        return FALSE;
    }
    if (aborted) {
        return api.Fail(ERROR_SERVICE_REQUEST_TIMEOUT, FALSE);
    }
    return TRUE;
}

}  // namespace

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* lpServiceStartTable)
{
    bool processExited = false;
    DWORD exitCode = 0;
    const BOOL result = Dispatch(lpServiceStartTable, &processExited, &exitCode);
    if (processExited) {
        throw sim::ProcessExit{exitCode};
    }
    return result;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName, LPHANDLER_FUNCTION lpHandlerProc)
{
    ApiCall api("RegisterServiceCtrlHandlerW");
    api.SetText(Text(lpServiceName));
    if (api.Faulted()) {
        return nullptr;
    }
    State& state = api.S();
    // An own-process service is the only one in its process; Windows does not
    // check the name then, and neither does this.
    if (!state.run.active) {
        return api.Fail(ERROR_SERVICE_NOT_IN_EXE, SERVICE_STATUS_HANDLE(nullptr));
    }
    if (!lpHandlerProc) {
        return api.Fail(ERROR_INVALID_PARAMETER, SERVICE_STATUS_HANDLE(nullptr));
    }
    state.run.handler = lpHandlerProc;
    if (state.run.statusHandle == 0) {
        HandleEntry entry;
        entry.kind = Kind::Status;
        entry.name = state.run.serviceName;
        state.run.statusHandle = NewHandle(state, entry);
    }
    state.changed.notify_all();
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(state.run.statusHandle);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    ApiCall api("SetServiceStatus");
    if (lpServiceStatus) {
        api.SetArg(lpServiceStatus->dwCurrentState);
    }
    HandleEntry* entry = api.UseHandle(hServiceStatus, Kind::Status);
    if (!entry) {
        return FALSE;
    }
    State& state = api.S();
    if (!lpServiceStatus) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    state.reports.push_back(*lpServiceStatus);
    if (state.run.active && reinterpret_cast<std::uintptr_t>(hServiceStatus) == state.run.statusHandle) {
        state.run.lastState = lpServiceStatus->dwCurrentState;
        if (lpServiceStatus->dwCurrentState == SERVICE_STOPPED) {
            state.run.stopped = true;
        }
    }
    // The SCM's view of the service is what the service itself reported.
    if (ServiceEntry* service = FindService(state, entry->name)) {
        service->state = lpServiceStatus->dwCurrentState;
        service->behaviour.controlsAccepted = lpServiceStatus->dwControlsAccepted;
        service->reported = *lpServiceStatus;
        service->stopRequested = false;
        service->pendingStopStates.clear();
        service->changePending = false;
        ServiceChanged(state, entry->name);
        RemoveIfDeleted(state, entry->name);
    }
    state.changed.notify_all();
    return TRUE;
}
