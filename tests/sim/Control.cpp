// Test controls of the simulation, and the program-wide operator new/delete
// that lets a test fail an allocation on a work-item thread. Both live in this
// one file on purpose: every test calls Reset(), so the linker always pulls
// this object, and with it the replacement allocator.
#include "SimState.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

using namespace sim::detail;

// ---- Allocation accounting -------------------------------------------------

namespace {

thread_local bool t_workItemThread = false;
thread_local int t_simDepth = 0;

std::atomic<long long> s_allocations{0};
std::atomic<long long> s_frees{0};
// Index (in s_allocations) of the allocation that must fail; 0: none.
std::atomic<long long> s_failAt{0};

// Only product code on a work-item thread counts: the sim's own bookkeeping
// and everything on test threads stay out of the numbers.
bool Counted()
{
    return t_workItemThread && t_simDepth == 0;
}

// False when this allocation is the one chosen to fail.
bool CountAllocation()
{
    if (!Counted()) {
        return true;
    }
    long long index = ++s_allocations;
    long long failAt = s_failAt.load();
    if (failAt != 0 && index == failAt) {
        s_failAt.store(0);
        return false;
    }
    return true;
}

void CountFree(void* pointer)
{
    if (pointer && Counted()) {
        ++s_frees;
    }
}

void* Allocate(std::size_t size)
{
    if (!CountAllocation()) {
        throw std::bad_alloc();
    }
    void* pointer = std::malloc(size ? size : 1);
    if (!pointer) {
        throw std::bad_alloc();
    }
    return pointer;
}

void* AllocateNoThrow(std::size_t size) noexcept
{
    if (!CountAllocation()) {
        return nullptr;
    }
    return std::malloc(size ? size : 1);
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment)
{
    if (!CountAllocation()) {
        throw std::bad_alloc();
    }
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void*)) {
        align = sizeof(void*);
    }
    void* pointer = nullptr;
    if (posix_memalign(&pointer, align, size ? size : 1) != 0) {
        throw std::bad_alloc();
    }
    return pointer;
}

void* AllocateAlignedNoThrow(std::size_t size, std::align_val_t alignment) noexcept
{
    try {
        return AllocateAligned(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Free(void* pointer) noexcept
{
    CountFree(pointer);
    std::free(pointer);
}

}  // namespace

void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return AllocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return AllocateNoThrow(size);
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return AllocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return AllocateAligned(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateAlignedNoThrow(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    return AllocateAlignedNoThrow(size, alignment);
}

void operator delete(void* pointer) noexcept
{
    Free(pointer);
}
void operator delete[](void* pointer) noexcept
{
    Free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
    Free(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept
{
    Free(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept
{
    Free(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept
{
    Free(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept
{
    Free(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept
{
    Free(pointer);
}
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept
{
    Free(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept
{
    Free(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept
{
    Free(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept
{
    Free(pointer);
}

namespace sim {
namespace detail {

void SetWorkItemThread(bool on)
{
    t_workItemThread = on;
}

bool IsWorkItemThread()
{
    return t_workItemThread;
}

void EnterSimCall()
{
    ++t_simDepth;
}

void LeaveSimCall()
{
    --t_simDepth;
}

void ResetAllocationCounts()
{
    s_allocations = 0;
    s_frees = 0;
    s_failAt = 0;
}

}  // namespace detail

// ---- Whole state -----------------------------------------------------------

namespace {

// Test controls run on the test's thread, but a sleep hook runs them on a
// work-item thread: keep their bookkeeping out of the allocation counts too.
class ControlScope {
public:
    ControlScope() : m_state((EnterSimCall(), GlobalState())), m_lock(m_state.mutex) {}
    ~ControlScope()
    {
        m_lock.unlock();
        LeaveSimCall();
    }
    ControlScope(const ControlScope&) = delete;
    ControlScope& operator=(const ControlScope&) = delete;

    State& S() { return m_state; }
    std::unique_lock<std::mutex>& Lock() { return m_lock; }

private:
    State& m_state;
    std::unique_lock<std::mutex> m_lock;
};

}  // namespace

void Reset()
{
    State& state = GlobalState();
    EnterSimCall();
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        // Release everything that waits on the simulation first: held and
        // real sleepers return, a running dispatcher gives up.
        state.resetting = true;
        state.holdSleeps = false;
        state.heldSleepers = 0;
        ++state.releaseGeneration;
        state.changed.notify_all();
        while (true) {
            state.changed.wait(lock, [&state] { return state.activeDispatchers == 0; });
            std::vector<std::thread> threads = std::move(state.workItems);
            state.workItems.clear();
            for (std::thread& thread : state.serviceThreads) {
                threads.push_back(std::move(thread));
            }
            state.serviceThreads.clear();
            if (threads.empty()) {
                break;
            }
            lock.unlock();
            for (std::thread& thread : threads) {
                thread.join();
            }
            lock.lock();
        }
        ResetStateLocked(state);
        state.resetting = false;
    }
    ResetAllocationCounts();
    LastError() = 0;
    LeaveSimCall();
}

// ---- Service table ---------------------------------------------------------

void AddService(const ServiceConfig& config, DWORD currentState, const ServiceBehaviour& behaviour)
{
    ControlScope scope;
    ServiceEntry service;
    service.config = config;
    if (service.config.displayName.empty()) {
        service.config.displayName = config.name;
    }
    service.behaviour = behaviour;
    service.state = currentState;
    scope.S().services[Fold(config.name)] = std::move(service);
}

void AddService(const std::wstring& name, DWORD currentState, const ServiceBehaviour& behaviour)
{
    ServiceConfig config;
    config.name = name;
    config.displayName = name;
    config.imagePath = L"C:\\Services\\" + name + L".exe";
    AddService(config, currentState, behaviour);
}

bool HasService(const std::wstring& name)
{
    ControlScope scope;
    return FindService(scope.S(), name) != nullptr;
}

ServiceConfig GetServiceConfig(const std::wstring& name)
{
    ControlScope scope;
    ServiceEntry* service = FindService(scope.S(), name);
    return service ? service->config : ServiceConfig();
}

DWORD GetServiceState(const std::wstring& name)
{
    ControlScope scope;
    ServiceEntry* service = FindService(scope.S(), name);
    // 0 is no state at all, so an assertion on a missing service fails.
    return service ? service->state : 0;
}

void SetServiceState(const std::wstring& name, DWORD state)
{
    ControlScope scope;
    ServiceEntry* service = FindService(scope.S(), name);
    if (!service) {
        return;
    }
    service->state = state;
    service->stopRequested = false;
    service->pendingStopStates.clear();
    service->changePending = false;
    ServiceChanged(scope.S(), name);
    RemoveIfDeleted(scope.S(), name);
}

void SetServiceProgress(const std::wstring& name, DWORD checkPoint, DWORD waitHint)
{
    ControlScope scope;
    ServiceEntry* service = FindService(scope.S(), name);
    service->reported.dwCheckPoint = checkPoint;
    service->reported.dwWaitHint = waitHint;
}

void SetGrantedAccess(const std::wstring& name, DWORD rights)
{
    ControlScope scope;
    FindService(scope.S(), name)->grantedAccess = rights;
}

bool IsMarkedForDelete(const std::wstring& name)
{
    ControlScope scope;
    ServiceEntry* service = FindService(scope.S(), name);
    return service && service->markedForDelete;
}

int StartCount(const std::wstring& name)
{
    ControlScope scope;
    ServiceEntry* service = FindService(scope.S(), name);
    return service ? service->startCount : 0;
}

// ---- Fault injection -------------------------------------------------------

void FailCall(const char* function, int nth, DWORD error, int times)
{
    ControlScope scope;
    State& state = scope.S();
    long long base = state.callCounts[function];
    Fault fault;
    fault.function = function;
    fault.first = base + (nth < 1 ? 1 : nth);
    fault.last = times < 0 ? -1 : fault.first + (times < 1 ? 1 : times) - 1;
    fault.error = error;
    state.faults.push_back(fault);
}

void ClearFaults()
{
    ControlScope scope;
    scope.S().faults.clear();
}

void FailWorkItemAllocation(int nth)
{
    s_failAt = nth > 0 ? s_allocations.load() + nth : 0;
}

AllocationCounts WorkItemAllocations()
{
    AllocationCounts counts;
    counts.allocations = s_allocations.load();
    counts.frees = s_frees.load();
    return counts;
}

// ---- Call journal ----------------------------------------------------------

std::vector<Call> Journal()
{
    ControlScope scope;
    return scope.S().journal;
}

std::vector<std::string> JournalFunctions()
{
    ControlScope scope;
    std::vector<std::string> names;
    for (const Call& call : scope.S().journal) {
        names.push_back(call.function);
    }
    return names;
}

void ClearJournal()
{
    ControlScope scope;
    scope.S().journal.clear();
}

void SetCallHook(const char* function, std::function<void()> hook)
{
    ControlScope scope;
    scope.S().callHooks[function] = std::move(hook);
}

// ---- Handles ---------------------------------------------------------------

namespace {

Kind ToKind(HandleKind kind)
{
    switch (kind) {
    case HandleKind::Scm:
        return Kind::Scm;
    case HandleKind::Service:
        return Kind::Service;
    case HandleKind::Event:
        return Kind::Event;
    case HandleKind::EventSource:
        return Kind::EventSource;
    case HandleKind::RegistryKey:
        return Kind::RegKey;
    }
    return Kind::Scm;
}

}  // namespace

int OpenHandleCount()
{
    ControlScope scope;
    int total = 0;
    for (const auto& [kind, count] : scope.S().openCounts) {
        if (kind != Kind::Status) {
            total += count;
        }
    }
    return total;
}

int OpenHandleCount(HandleKind kind)
{
    ControlScope scope;
    auto it = scope.S().openCounts.find(ToKind(kind));
    return it == scope.S().openCounts.end() ? 0 : it->second;
}

int PeakOpenHandleCount(HandleKind kind)
{
    ControlScope scope;
    auto it = scope.S().peakCounts.find(ToKind(kind));
    return it == scope.S().peakCounts.end() ? 0 : it->second;
}

// ---- Event log -------------------------------------------------------------

std::vector<EventRecord> EventRecords()
{
    ControlScope scope;
    return scope.S().events;
}

std::vector<EventRecord> EventRecordsFrom(size_t first)
{
    ControlScope scope;
    const std::vector<EventRecord>& events = scope.S().events;
    return first < events.size() ? std::vector<EventRecord>(events.begin() + first, events.end())
                                 : std::vector<EventRecord>();
}

// ---- Registry --------------------------------------------------------------

bool HasRegistryKey(const std::wstring& path)
{
    ControlScope scope;
    return scope.S().registry.count(Fold(path)) != 0;
}

bool GetRegistryValue(const std::wstring& path, const std::wstring& name, RegistryValue& value)
{
    ControlScope scope;
    auto key = scope.S().registry.find(Fold(path));
    if (key == scope.S().registry.end()) {
        return false;
    }
    auto it = key->second.values.find(Fold(name));
    if (it == key->second.values.end()) {
        return false;
    }
    value = it->second.second;
    return true;
}

void AddRegistryKey(const std::wstring& path)
{
    ControlScope scope;
    MakeKeyPath(scope.S(), path);
}

// ---- Service run -----------------------------------------------------------

void StartAsService(const std::vector<std::wstring>& args)
{
    ControlScope scope;
    scope.S().connectAsService = true;
    scope.S().startArgs = args;
}

void QueueControl(DWORD control)
{
    ControlScope scope;
    scope.S().controls.push_back(control);
    scope.S().changed.notify_all();
}

void DeliverControlsAtOnce(bool atOnce)
{
    ControlScope scope;
    scope.S().deliverAtOnce = atOnce;
    scope.S().changed.notify_all();
}

std::vector<SERVICE_STATUS> StatusReports()
{
    ControlScope scope;
    return scope.S().reports;
}

bool WaitForStatus(DWORD state, DWORD timeoutMs)
{
    ControlScope scope;
    State& s = scope.S();
    return s.changed.wait_for(scope.Lock(), std::chrono::milliseconds(timeoutMs), [&s, state] {
        for (const SERVICE_STATUS& report : s.reports) {
            if (report.dwCurrentState == state) {
                return true;
            }
        }
        return false;
    });
}

// ---- Clock -----------------------------------------------------------------

void SetClockMode(ClockMode mode)
{
    ControlScope scope;
    State& state = scope.S();
    // The clock keeps counting from where it stands in either mode.
    state.virtualNow = NowLocked(state);
    state.realBase = std::chrono::steady_clock::now();
    state.clockMode = mode;
}

unsigned long long Now()
{
    ControlScope scope;
    return NowLocked(scope.S());
}

void SetSleepHook(std::function<void(DWORD ms)> hook)
{
    ControlScope scope;
    scope.S().sleepHook = std::move(hook);
}

int SleepCount()
{
    ControlScope scope;
    return scope.S().sleepCount;
}

void HoldSleeps(bool hold)
{
    ControlScope scope;
    scope.S().holdSleeps = hold;
    if (!hold) {
        scope.S().heldSleepers = 0;
    }
    scope.S().changed.notify_all();
}

bool WaitForSleepers(int count, DWORD timeoutMs)
{
    ControlScope scope;
    State& state = scope.S();
    return state.changed.wait_for(scope.Lock(), std::chrono::milliseconds(timeoutMs),
                                  [&state, count] { return state.heldSleepers >= count; });
}

void ReleaseSleepers()
{
    ControlScope scope;
    ++scope.S().releaseGeneration;
    scope.S().heldSleepers = 0;
    scope.S().changed.notify_all();
}

// ---- Process ---------------------------------------------------------------

void SetModulePath(const std::wstring& path)
{
    ControlScope scope;
    scope.S().modulePath = path;
}

bool WaitForIdle(DWORD timeoutMs)
{
    ControlScope scope;
    State& state = scope.S();
    return state.changed.wait_for(scope.Lock(), std::chrono::milliseconds(timeoutMs), [&state] {
        if (static_cast<int>(state.blockedWorkItems.size()) != state.outstandingWorkItems) {
            return false;
        }
        for (const auto& [id, wait] : state.blockedWorkItems) {
            if (wait.first()) {
                return false;
            }
        }
        return true;
    });
}

unsigned long long NextDeadline()
{
    ControlScope scope;
    unsigned long long next = kNever;
    for (const auto& [id, wait] : scope.S().blockedWorkItems) {
        next = std::min(next, wait.second);
    }
    return next;
}

bool WaitForWorkItems(DWORD timeoutMs)
{
    std::vector<std::thread> finished;
    {
        ControlScope scope;
        State& state = scope.S();
        if (!state.changed.wait_for(scope.Lock(), std::chrono::milliseconds(timeoutMs),
                                    [&state] { return state.outstandingWorkItems == 0; })) {
            return false;
        }
        finished = std::move(state.workItems);
        state.workItems.clear();
    }
    // Every routine has returned; what is left of each thread is its exit.
    EnterSimCall();
    for (std::thread& thread : finished) {
        thread.join();
    }
    LeaveSimCall();
    return true;
}

}  // namespace sim
