// The simulated service control manager: a table of services, opened through
// handles that carry the access they were granted, checked as Windows does.
#include "SimState.h"

#include <cstring>

using namespace sim::detail;

namespace {

SC_HANDLE AsScHandle(std::uintptr_t value)
{
    return reinterpret_cast<SC_HANDLE>(value);
}

// The service a service handle was opened to. Fails the call with
// ERROR_SERVICE_DOES_NOT_EXIST when it has left the table.
ServiceEntry* ServiceBehind(ApiCall& api, const HandleEntry& entry)
{
    ServiceEntry* service = FindService(api.S(), entry.name);
    if (!service) {
        api.Fail(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    }
    return service;
}

// The status the SCM gives out for a service: what it announces while it is
// not stopped, and what it last reported in a simulated run.
SERVICE_STATUS StatusOf(const ServiceEntry& service)
{
    SERVICE_STATUS status = service.reported;
    status.dwServiceType = service.config.serviceType;
    status.dwCurrentState = service.state;
    status.dwControlsAccepted = service.state == SERVICE_STOPPED ? 0 : service.behaviour.controlsAccepted;
    return status;
}

// A query is the moment a stopping service moves on: each one plays the next
// state after an accepted stop, and the last leaves it stopped.
void AdvanceStop(ServiceEntry& service)
{
    if (!service.stopRequested) {
        return;
    }
    if (service.pendingStopStates.empty()) {
        service.state = SERVICE_STOPPED;
        service.stopRequested = false;
    } else {
        service.state = service.pendingStopStates.front();
        service.pendingStopStates.pop_front();
    }
}

bool InRun(const State& state, const std::wstring& name)
{
    return state.run.active && Fold(state.run.serviceName) == Fold(name);
}

// Parses a double-terminated list: "a\0b\0\0". An empty list is "\0".
std::vector<std::wstring> ParseMultiString(LPCWSTR list)
{
    std::vector<std::wstring> items;
    if (!list) {
        return items;
    }
    while (*list) {
        std::wstring item(list);
        list += item.size() + 1;
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    (void)lpMachineName;
    (void)lpDatabaseName;
    ApiCall api("OpenSCManagerW");
    api.SetArg(dwDesiredAccess);
    if (api.Faulted()) {
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = Kind::Scm;
    // The real manager adds the connect right to every handle it opens.
    entry.access = dwDesiredAccess | SC_MANAGER_CONNECT;
    return AsScHandle(NewHandle(api.S(), entry));
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    ApiCall api("OpenServiceW");
    api.SetText(Text(lpServiceName));
    api.SetArg(dwDesiredAccess);
    if (!api.UseHandle(hSCManager, Kind::Scm, SC_MANAGER_CONNECT)) {
        return nullptr;
    }
    if (!lpServiceName || !*lpServiceName) {
        return api.Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    }
    ServiceEntry* service = FindService(api.S(), lpServiceName);
    if (!service) {
        return api.Fail(ERROR_SERVICE_DOES_NOT_EXIST, SC_HANDLE(nullptr));
    }
    if ((dwDesiredAccess & ~service->grantedAccess) != 0) {  // its DACL refuses a right asked for
        return api.Fail(ERROR_ACCESS_DENIED, SC_HANDLE(nullptr));
    }
    HandleEntry entry;
    entry.kind = Kind::Service;
    entry.access = dwDesiredAccess;
    entry.name = service->config.name;
    return AsScHandle(NewHandle(api.S(), entry));
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId,
                                LPCWSTR lpDependencies, LPCWSTR lpServiceStartName, LPCWSTR lpPassword)
{
    (void)lpdwTagId;
    ApiCall api("CreateServiceW");
    api.SetText(Text(lpServiceName));
    api.SetArg(dwDesiredAccess);
    if (!api.UseHandle(hSCManager, Kind::Scm, SC_MANAGER_CREATE_SERVICE)) {
        return nullptr;
    }
    State& state = api.S();
    if (!lpServiceName || !*lpServiceName) {
        return api.Fail(ERROR_INVALID_NAME, SC_HANDLE(nullptr));
    }
    if (!lpBinaryPathName || !*lpBinaryPathName) {
        return api.Fail(ERROR_INVALID_PARAMETER, SC_HANDLE(nullptr));
    }
    if (ServiceEntry* existing = FindService(state, lpServiceName)) {
        return api.Fail(existing->markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS,
                        SC_HANDLE(nullptr));
    }
    std::wstring displayName = lpDisplayName ? lpDisplayName : lpServiceName;
    for (const auto& [key, other] : state.services) {
        if (Fold(other.config.displayName) == Fold(displayName) || key == Fold(displayName)) {
            return api.Fail(ERROR_DUPLICATE_SERVICE_NAME, SC_HANDLE(nullptr));
        }
    }

    ServiceEntry service;
    service.config.name = lpServiceName;
    service.config.displayName = displayName;
    service.config.serviceType = dwServiceType;
    service.config.startType = dwStartType;
    service.config.errorControl = dwErrorControl;
    service.config.imagePath = lpBinaryPathName;
    service.config.loadOrderGroup = Text(lpLoadOrderGroup);
    service.config.dependencies = ParseMultiString(lpDependencies);
    service.config.account = Text(lpServiceStartName);
    service.config.hasPassword = lpPassword != nullptr;
    state.services[Fold(lpServiceName)] = std::move(service);

    HandleEntry entry;
    entry.kind = Kind::Service;
    entry.access = dwDesiredAccess;
    entry.name = lpServiceName;
    return AsScHandle(NewHandle(state, entry));
}

BOOL WINAPI ChangeServiceConfig2W(SC_HANDLE hService, DWORD dwInfoLevel, LPVOID lpInfo)
{
    ApiCall api("ChangeServiceConfig2W");
    api.SetArg(dwInfoLevel);
    HandleEntry* entry = api.UseHandle(hService, Kind::Service, SERVICE_CHANGE_CONFIG);
    if (!entry) {
        return FALSE;
    }
    // Windows stores the SID type and the privileges too; both Wines answer
    // 124 for them (and for the flag), which -install takes as done.
    if (dwInfoLevel != SERVICE_CONFIG_DESCRIPTION && dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS &&
        dwInfoLevel != SERVICE_CONFIG_FAILURE_ACTIONS_FLAG && dwInfoLevel != SERVICE_CONFIG_SERVICE_SID_INFO &&
        dwInfoLevel != SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) {
        return api.Fail(ERROR_INVALID_LEVEL, FALSE);
    }
    ServiceEntry* service = ServiceBehind(api, *entry);
    if (!service) {
        return FALSE;
    }
    if (service->markedForDelete) {
        return api.Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    }
    if (!lpInfo) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (dwInfoLevel == SERVICE_CONFIG_SERVICE_SID_INFO) {
        service->config.sidType = static_cast<const SERVICE_SID_INFO*>(lpInfo)->dwServiceSidType;
        return TRUE;
    }
    if (dwInfoLevel == SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO) {
        const auto* privileges = static_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW*>(lpInfo);
        service->config.requiredPrivileges = ParseMultiString(privileges->pmszRequiredPrivileges);
        return TRUE;
    }
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        service->config.failureActionsOnNonCrash =
            static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(lpInfo)->fFailureActionsOnNonCrashFailures != FALSE;
        return TRUE;
    }
    if (dwInfoLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const auto* failure = static_cast<const SERVICE_FAILURE_ACTIONSW*>(lpInfo);
        // Without actions the count and the reset period are ignored and the
        // stored actions stay, as on Windows.
        if (!failure->lpsaActions) {
            return TRUE;
        }
        // The SCM will start the service itself, so the caller must be
        // allowed to.
        for (DWORD i = 0; i < failure->cActions; ++i) {
            if (failure->lpsaActions[i].Type == SC_ACTION_RESTART && !Grants(*entry, SERVICE_START)) {
                return api.Fail(ERROR_ACCESS_DENIED, FALSE);
            }
        }
        service->config.failureResetPeriod = failure->dwResetPeriod;
        service->config.failureActions.assign(failure->lpsaActions, failure->lpsaActions + failure->cActions);
        return TRUE;
    }
    // A null description leaves the stored one alone, as on Windows.
    const auto* description = static_cast<const SERVICE_DESCRIPTIONW*>(lpInfo);
    if (description->lpDescription) {
        service->config.description = description->lpDescription;
    }
    return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    ApiCall api("QueryServiceStatus");
    HandleEntry* entry = api.UseHandle(hService, Kind::Service, SERVICE_QUERY_STATUS);
    if (!entry) {
        return FALSE;
    }
    if (!lpServiceStatus) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    ServiceEntry* service = ServiceBehind(api, *entry);
    if (!service) {
        return FALSE;
    }
    AdvanceStop(*service);
    ServiceChanged(api.S(), entry->name);
    *lpServiceStatus = StatusOf(*service);
    api.SetArg(lpServiceStatus->dwCurrentState);
    return TRUE;
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer, DWORD cbBufSize,
                                 LPDWORD pcbBytesNeeded)
{
    ApiCall api("QueryServiceStatusEx");
    HandleEntry* entry = api.UseHandle(hService, Kind::Service, SERVICE_QUERY_STATUS);
    if (!entry) {
        return FALSE;
    }
    if (InfoLevel != SC_STATUS_PROCESS_INFO) {
        return api.Fail(ERROR_INVALID_LEVEL, FALSE);
    }
    if (!pcbBytesNeeded) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
        *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
        return api.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (!lpBuffer) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    ServiceEntry* service = ServiceBehind(api, *entry);
    if (!service) {
        return FALSE;
    }
    AdvanceStop(*service);
    ServiceChanged(api.S(), entry->name);
    SERVICE_STATUS status = StatusOf(*service);
    SERVICE_STATUS_PROCESS process{};
    process.dwServiceType = status.dwServiceType;
    process.dwCurrentState = status.dwCurrentState;
    process.dwControlsAccepted = status.dwControlsAccepted;
    process.dwWin32ExitCode = status.dwWin32ExitCode;
    process.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
    process.dwCheckPoint = status.dwCheckPoint;
    process.dwWaitHint = status.dwWaitHint;
    // Any stable non-zero id will do for a process that is not stopped.
    process.dwProcessId = status.dwCurrentState == SERVICE_STOPPED ? 0 : 4200;
    process.dwServiceFlags = 0;
    // The caller's buffer need not be aligned for the structure.
    std::memcpy(lpBuffer, &process, sizeof(process));
    *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
    api.SetArg(status.dwCurrentState);
    return TRUE;
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors)
{
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors;
    ApiCall api("StartServiceW");
    HandleEntry* entry = api.UseHandle(hService, Kind::Service, SERVICE_START);
    if (!entry) {
        return FALSE;
    }
    ServiceEntry* service = ServiceBehind(api, *entry);
    if (!service) {
        return FALSE;
    }
    if (service->markedForDelete) {
        return api.Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    }
    if (service->config.startType == SERVICE_DISABLED) {
        return api.Fail(ERROR_SERVICE_DISABLED, FALSE);
    }
    if (service->state != SERVICE_STOPPED) {
        return api.Fail(ERROR_SERVICE_ALREADY_RUNNING, FALSE);
    }
    ++service->startCount;
    PlayStart(api.S(), *service);
    service->reported = SERVICE_STATUS{};
    ServiceChanged(api.S(), entry->name);
    return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    ApiCall api("ControlService");
    api.SetArg(dwControl);
    // The right needed depends on the control, which is checked first.
    HandleEntry* entry = api.UseHandle(hService, Kind::Service);
    if (!entry) {
        return FALSE;
    }
    DWORD needed = 0;
    DWORD acceptBit = 0;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        needed = SERVICE_STOP;
        acceptBit = SERVICE_ACCEPT_STOP;
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        needed = SERVICE_PAUSE_CONTINUE;
        acceptBit = SERVICE_ACCEPT_PAUSE_CONTINUE;
        break;
    case SERVICE_CONTROL_INTERROGATE:
        needed = SERVICE_INTERROGATE;
        break;
    default:
        // Shutdown is the system's to send, not a caller's; other codes are
        // undefined here.
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (!Grants(*entry, needed)) {
        return api.Fail(ERROR_ACCESS_DENIED, FALSE);
    }
    if (!lpServiceStatus) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    ServiceEntry* service = ServiceBehind(api, *entry);
    if (!service) {
        return FALSE;
    }
    State& state = api.S();
    if (service->state == SERVICE_STOPPED) {
        return api.Fail(ERROR_SERVICE_NOT_ACTIVE, FALSE);
    }
    if (acceptBit != 0 && (service->behaviour.controlsAccepted & acceptBit) == 0) {
        return api.Fail(ERROR_INVALID_SERVICE_CONTROL, FALSE);
    }
    if (service->state == SERVICE_STOP_PENDING || service->state == SERVICE_START_PENDING) {
        return api.Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, FALSE);
    }

    if (InRun(state, entry->name)) {
        // The service is ours to run: the control goes to its handler, and
        // its own reports move its state. Nothing waits for the handler: the
        // record holds the status as it was when the control was sent.
        state.controls.push_back(dwControl);
        state.changed.notify_all();
        *lpServiceStatus = StatusOf(*service);
        return TRUE;
    }

    service->changePending = false;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        if (service->behaviour.stopPendingMs != 0) {
            service->state = SERVICE_STOP_PENDING;
            service->changePending = true;
            service->changeAt = NowLocked(state) + service->behaviour.stopPendingMs;
            service->changeTo = SERVICE_STOPPED;
            break;
        }
        service->stopRequested = !service->behaviour.statesAfterStop.empty();
        service->pendingStopStates.assign(service->behaviour.statesAfterStop.begin(),
                                          service->behaviour.statesAfterStop.end());
        service->state = service->stopRequested ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
        break;
    case SERVICE_CONTROL_PAUSE:
        service->state = SERVICE_PAUSED;
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->state = SERVICE_RUNNING;
        break;
    default:
        break;
    }
    *lpServiceStatus = StatusOf(*service);
    ServiceChanged(state, entry->name);
    RemoveIfDeleted(state, entry->name);
    return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    ApiCall api("DeleteService");
    HandleEntry* entry = api.UseHandle(hService, Kind::Service, DELETE);
    if (!entry) {
        return FALSE;
    }
    ServiceEntry* service = ServiceBehind(api, *entry);
    if (!service) {
        return FALSE;
    }
    if (service->markedForDelete) {
        return api.Fail(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
    }
    service->markedForDelete = true;
    ServiceChanged(api.S(), entry->name);
    return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    ApiCall api("CloseServiceHandle");
    return api.CloseOf(hSCObject, {Kind::Scm, Kind::Service}, /*journalName=*/true) ? TRUE : FALSE;
}
