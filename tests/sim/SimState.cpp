#include "SimState.h"

#include <algorithm>

namespace sim {
namespace detail {

namespace {

// Kept outside State so that Reset() cannot hand out a value twice.
std::uintptr_t s_nextHandle = 0x1000;

thread_local DWORD t_lastError = 0;

}  // namespace

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::Scm:
        return "scm";
    case Kind::Service:
        return "service";
    case Kind::Event:
        return "event";
    case Kind::EventSource:
        return "eventsource";
    case Kind::Status:
        return "status";
    case Kind::RegKey:
        return "regkey";
    }
    return "";
}

State& GlobalState()
{
    // Never destroyed: work-item threads of a test that ended badly may still
    // touch it while the process exits.
    static State* s_state = [] {
        auto* state = new State();
        ResetStateLocked(*state);
        return state;
    }();
    return *s_state;
}

void ResetStateLocked(State& state)
{
    state.services.clear();
    state.handles.clear();
    state.openCounts.clear();
    state.peakCounts.clear();
    state.faults.clear();
    state.callCounts.clear();
    state.journal.clear();
    state.callHooks.clear();
    state.events.clear();
    state.registry.clear();
    state.blockedWorkItems.clear();
    state.processExited = false;
    state.exitCode = 0;
    state.connectAsService = false;
    state.startArgs.clear();
    state.controls.clear();
    state.deliverAtOnce = false;
    state.reports.clear();
    state.run = Run();
    state.outstandingWorkItems = 0;
    state.clockMode = ClockMode::Virtual;
    state.virtualNow = 0;
    state.realBase = std::chrono::steady_clock::now();
    state.sleepHook = nullptr;
    state.sleepCount = 0;
    state.holdSleeps = false;
    state.heldSleepers = 0;
    state.modulePath = L"C:\\Program Files\\Tavrilex\\tavrilex.exe";
    state.notifications.clear();
    state.apcs.clear();
}

DWORD& LastError()
{
    return t_lastError;
}

std::wstring Fold(const std::wstring& text)
{
    std::wstring folded(text);
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return folded;
}

std::wstring Text(LPCWSTR text)
{
    return text ? std::wstring(text) : std::wstring();
}

std::uintptr_t NewHandle(State& state, HandleEntry entry)
{
    std::uintptr_t value = s_nextHandle;
    s_nextHandle += 4;
    Kind kind = entry.kind;
    entry.live = true;
    state.handles[value] = std::move(entry);
    int& open = ++state.openCounts[kind];
    int& peak = state.peakCounts[kind];
    if (open > peak) {
        peak = open;
    }
    return value;
}

HandleEntry* FindHandle(State& state, const void* handle)
{
    auto it = state.handles.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == state.handles.end() || !it->second.live) {
        return nullptr;
    }
    return &it->second;
}

bool Grants(const HandleEntry& entry, DWORD wanted)
{
    return (entry.access & wanted) == wanted;
}

void CloseHandleEntry(State& state, HandleEntry& entry)
{
    // A closed handle leaves the table: values are never reused, so a stale
    // one still fails as invalid, and long soaks do not grow the table.
    const Kind kind = entry.kind;
    const std::wstring name = entry.name;
    --state.openCounts[kind];
    for (auto it = state.handles.begin(); it != state.handles.end(); ++it) {
        if (&it->second == &entry) {
            CancelNotifications(state, it->first);
            state.handles.erase(it);
            break;
        }
    }
    if (kind == Kind::Service) {
        RemoveIfDeleted(state, name);
    }
}

ServiceEntry* FindService(State& state, const std::wstring& name)
{
    auto it = state.services.find(Fold(name));
    return it == state.services.end() ? nullptr : &it->second;
}

void RemoveIfDeleted(State& state, const std::wstring& name)
{
    ServiceEntry* service = FindService(state, name);
    if (!service || !service->markedForDelete || service->state != SERVICE_STOPPED) {
        return;
    }
    std::wstring key = Fold(name);
    for (const auto& [value, entry] : state.handles) {
        if (entry.live && entry.kind == Kind::Service && Fold(entry.name) == key) {
            return;
        }
    }
    state.services.erase(key);
}

unsigned long long NowLocked(const State& state)
{
    if (state.clockMode != ClockMode::Real) {
        return state.virtualNow;
    }
    auto elapsed = std::chrono::steady_clock::now() - state.realBase;
    return state.virtualNow +
           static_cast<unsigned long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void AdvanceClockLocked(State& state, unsigned long long ms)
{
    state.virtualNow += ms;
    RunServiceTimers(state);
    state.changed.notify_all();  // timed waits on the clock may be over
}

void RunServiceTimers(State& state)
{
    const unsigned long long now = NowLocked(state);
    std::vector<std::wstring> changed;
    for (auto& [key, service] : state.services) {
        // A change may plan the next one (a start, then the stop after
        // runsForMs), which may be due as well.
        while (service.changePending && service.changeAt <= now) {
            const unsigned long long at = service.changeAt;
            service.changePending = false;
            service.state = service.changeTo;
            if (service.state == SERVICE_RUNNING && service.behaviour.runsForMs != 0) {
                service.changePending = true;
                service.changeAt = at + service.behaviour.runsForMs;
                service.changeTo = SERVICE_STOPPED;
            }
            changed.push_back(service.config.name);
        }
    }
    for (const std::wstring& name : changed) {
        ServiceChanged(state, name);
        RemoveIfDeleted(state, name);
    }
}

void PlayStart(State& state, ServiceEntry& service)
{
    const ServiceBehaviour& behaviour = service.behaviour;
    const unsigned long long now = NowLocked(state);
    service.changePending = false;
    if (behaviour.startPendingMs != 0) {
        service.state = SERVICE_START_PENDING;
        service.changePending = true;
        service.changeAt = now + behaviour.startPendingMs;
        service.changeTo = behaviour.stateAfterStart;
    } else {
        service.state = behaviour.stateAfterStart;
        if (service.state == SERVICE_RUNNING && behaviour.runsForMs != 0) {
            service.changePending = true;
            service.changeAt = now + behaviour.runsForMs;
            service.changeTo = SERVICE_STOPPED;
        }
    }
}

bool WaitOnClock(State& state, std::unique_lock<std::mutex>& lock, unsigned long long deadline,
                 const std::function<bool()>& done)
{
    const auto over = [&] { return deadline != kNever && (state.resetting || NowLocked(state) >= deadline); };
    const BlockedWait blocked(state, [&] { return done() || over(); }, deadline);
    while (!done()) {
        if (over()) {
            return false;
        }
        if (deadline == kNever || state.clockMode != ClockMode::Real) {
            state.changed.wait(lock);
        } else {
            state.changed.wait_for(lock, std::chrono::milliseconds(deadline - NowLocked(state)));
        }
    }
    return true;
}

BlockedWait::BlockedWait(State& state, std::function<bool()> wakes, unsigned long long deadline) : m_state(state)
{
    if (!IsWorkItemThread()) {
        return;
    }
    m_id = ++m_state.nextBlockedId;
    m_state.blockedWorkItems.emplace(m_id, std::make_pair(std::move(wakes), deadline));
    m_registered = true;
    m_state.changed.notify_all();
}

BlockedWait::~BlockedWait()
{
    if (m_registered) {
        m_state.blockedWorkItems.erase(m_id);
        m_state.changed.notify_all();
    }
}

ApiCall::ApiCall(const char* function)
    : m_state((EnterSimCall(), GlobalState())), m_lock(m_state.mutex)
{
    m_call.function = function;
    // With a real clock nothing else moves the services' own changes along.
    if (m_state.clockMode == ClockMode::Real) {
        RunServiceTimers(m_state);
    }
    const auto hooked = m_state.callHooks.find(function);
    if (hooked != m_state.callHooks.end() && hooked->second) {
        // The hook may block or drive the simulation: it runs outside the lock.
        const std::function<void()> hook = hooked->second;
        m_lock.unlock();
        hook();
        m_lock.lock();
    }
}

ApiCall::~ApiCall()
{
    if (!m_lock.owns_lock()) {
        m_lock.lock();
    }
    if (!m_recorded) {
        m_state.journal.push_back(m_call);
    }
    m_lock.unlock();
    LeaveSimCall();
}

void ApiCall::Record()
{
    m_state.journal.push_back(m_call);
    m_recorded = true;
}

bool ApiCall::Faulted()
{
    long long index = ++m_state.callCounts[m_call.function];
    for (const Fault& fault : m_state.faults) {
        if (fault.function == m_call.function && index >= fault.first && (fault.last < 0 || index <= fault.last)) {
            Fail(fault.error, 0);
            return true;
        }
    }
    return false;
}

HandleEntry* ApiCall::UseHandle(const void* handle, Kind kind, DWORD access)
{
    HandleEntry* entry = FindHandle(m_state, handle);
    if (entry && entry->kind != kind) {
        entry = nullptr;
    }
    if (entry && !entry->name.empty()) {
        SetText(entry->name);
    }
    if (Faulted()) {
        return nullptr;
    }
    if (!entry) {
        return Fail<HandleEntry*>(ERROR_INVALID_HANDLE, nullptr);
    }
    if (!Grants(*entry, access)) {
        return Fail<HandleEntry*>(ERROR_ACCESS_DENIED, nullptr);
    }
    return entry;
}

bool ApiCall::CloseOf(const void* handle, std::initializer_list<Kind> kinds, bool journalName)
{
    HandleEntry* entry = FindHandle(m_state, handle);
    if (entry) {
        SetKind(KindName(entry->kind));
        if (journalName) {
            SetText(entry->name);
        }
    }
    if (Faulted()) {
        return false;
    }
    if (!entry || std::find(kinds.begin(), kinds.end(), entry->kind) == kinds.end()) {
        return Fail(ERROR_INVALID_HANDLE, false);
    }
    CloseHandleEntry(m_state, *entry);
    return true;
}

}  // namespace detail
}  // namespace sim
