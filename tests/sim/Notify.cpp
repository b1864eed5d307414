// Simulated status-change notifications. A registration waits on its service
// handle until the service enters a state of its mask, or is marked for
// deletion when the mask asks for that; then the manager fills the caller's
// record and queues the record's callback to the registering thread, which
// runs it at its next alertable wait (Alertable.cpp). A registration answers
// once. A service already in a state of the mask is answered at once, and a
// close of the handle cancels what has not been answered yet; a callback
// already queued stays queued, as on Windows.
#include "SimState.h"

using namespace sim::detail;

namespace {

// The mask bit of a service state: STOPPED (1) is bit 0, up to PAUSED (7).
DWORD StateBit(DWORD state)
{
    return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED ? 1u << (state - 1) : 0;
}

// The one bit that answers a registration with `mask`; 0 while none does.
DWORD Trigger(const ServiceEntry& service, DWORD mask)
{
    if (service.markedForDelete && (mask & SERVICE_NOTIFY_DELETE_PENDING) != 0) {
        return SERVICE_NOTIFY_DELETE_PENDING;
    }
    return StateBit(service.state) & mask;
}

void Answer(State& state, const Notification& notification, const ServiceEntry& service, DWORD trigger)
{
    // Written now, on the thread that changed the service, as the manager
    // does: the caller's record must still be alive at this moment.
    SERVICE_NOTIFYW& record = *notification.record;
    record.dwNotificationStatus = ERROR_SUCCESS;
    record.ServiceStatus = SERVICE_STATUS_PROCESS{};
    record.ServiceStatus.dwServiceType = service.config.serviceType;
    record.ServiceStatus.dwCurrentState = service.state;
    record.ServiceStatus.dwControlsAccepted =
        service.state == SERVICE_STOPPED ? 0 : service.behaviour.controlsAccepted;
    record.ServiceStatus.dwWin32ExitCode = service.reported.dwWin32ExitCode;
    record.ServiceStatus.dwProcessId = service.state == SERVICE_STOPPED ? 0 : 4200;
    record.dwNotificationTriggered = trigger;
    record.pszServiceNames = nullptr;
    state.apcs[notification.thread].push_back(Apc{record.pfnNotifyCallback, notification.record});
}

}  // namespace

namespace sim {
namespace detail {

void ServiceChanged(State& state, const std::wstring& name)
{
    ServiceEntry* service = FindService(state, name);
    if (!service) {
        return;
    }
    const std::wstring key = Fold(name);
    bool answered = false;
    for (auto it = state.notifications.begin(); it != state.notifications.end();) {
        const DWORD trigger = it->service == key ? Trigger(*service, it->mask) : 0;
        if (trigger == 0) {
            ++it;
            continue;
        }
        Answer(state, *it, *service, trigger);
        it = state.notifications.erase(it);
        answered = true;
    }
    if (answered) {
        state.changed.notify_all();
    }
}

void CancelNotifications(State& state, std::uintptr_t handle)
{
    for (auto it = state.notifications.begin(); it != state.notifications.end();) {
        it = it->handle == handle ? state.notifications.erase(it) : it + 1;
    }
}

}  // namespace detail
}  // namespace sim

DWORD WINAPI NotifyServiceStatusChangeW(SC_HANDLE hService, DWORD dwNotifyMask, PSERVICE_NOTIFYW pNotifyBuffer)
{
    ApiCall api("NotifyServiceStatusChangeW");
    api.SetArg(dwNotifyMask);
    // The result is the error code itself; the thread's last error carries
    // the same value.
    HandleEntry* entry = api.UseHandle(hService, Kind::Service, SERVICE_QUERY_STATUS);
    if (!entry) {
        return LastError();
    }
    if (!pNotifyBuffer || pNotifyBuffer->dwVersion != SERVICE_NOTIFY_STATUS_CHANGE || dwNotifyMask == 0) {
        return api.Fail(ERROR_INVALID_PARAMETER, DWORD(ERROR_INVALID_PARAMETER));
    }
    ServiceEntry* service = FindService(api.S(), entry->name);
    if (!service) {
        return api.Fail(ERROR_SERVICE_DOES_NOT_EXIST, DWORD(ERROR_SERVICE_DOES_NOT_EXIST));
    }
    if (service->markedForDelete) {
        return api.Fail(ERROR_SERVICE_MARKED_FOR_DELETE, DWORD(ERROR_SERVICE_MARKED_FOR_DELETE));
    }
    Notification notification;
    notification.handle = reinterpret_cast<std::uintptr_t>(hService);
    notification.service = Fold(entry->name);
    notification.mask = dwNotifyMask;
    notification.record = pNotifyBuffer;
    notification.thread = std::this_thread::get_id();
    api.S().notifications.push_back(notification);
    NoteApcThread();
    ServiceChanged(api.S(), entry->name);
    return ERROR_SUCCESS;
}
