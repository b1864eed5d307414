// Inside of the simulated Win32 layer: the one process-wide state, its lock,
// and the bookkeeping every simulated call shares (journal, faults, handles,
// last error). Only the sim's own .cpp files include this header.
#pragma once

#include "SimControl.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {
namespace detail {

// Status handles come from RegisterServiceCtrlHandlerW; nothing closes them.
enum class Kind { Scm, Service, Event, EventSource, Status, RegKey };

const char* KindName(Kind kind);

struct EventObject {
    bool manualReset = false;
    bool signalled = false;
};

struct HandleEntry {
    Kind kind = Kind::Scm;
    bool live = true;
    DWORD access = 0;
    std::wstring name;                   // service or event-source name, key path
    std::shared_ptr<EventObject> event;  // kind Event only
};

struct ServiceEntry {
    ServiceConfig config;
    ServiceBehaviour behaviour;
    DWORD state = SERVICE_STOPPED;
    // Exit codes, checkpoint and wait hint as the service last reported them
    // in a simulated run; zero for services the SCM drives by itself.
    SERVICE_STATUS reported{};
    bool markedForDelete = false;
    DWORD grantedAccess = SERVICE_ALL_ACCESS;
    bool stopRequested = false;  // an accepted stop is being played out
    std::deque<DWORD> pendingStopStates;
    int startCount = 0;
    // The next change the service makes by itself (ServiceBehaviour's
    // times): into `changeTo` once the clock reaches `changeAt`.
    bool changePending = false;
    unsigned long long changeAt = 0;
    DWORD changeTo = 0;
};

struct RegKey {
    std::wstring path;  // as first created
    // key: folded value name
    std::map<std::wstring, std::pair<std::wstring, sim::RegistryValue>> values;
};

struct Fault {
    std::string function;
    long long first = 0;  // call index, 1-based since Reset
    long long last = 0;   // -1: no end
    DWORD error = 0;
};

// A NotifyServiceStatusChangeW still waiting for its service to change. It
// answers once, to the thread that registered it, and a close of its handle
// cancels it (Notify.cpp).
struct Notification {
    std::uintptr_t handle = 0;
    std::wstring service;  // folded name
    DWORD mask = 0;
    PSERVICE_NOTIFYW record = nullptr;
    std::thread::id thread;
};

// A callback queued to a thread, run at its next alertable wait.
struct Apc {
    PFN_SC_NOTIFY_CALLBACK callback = nullptr;
    PVOID parameter = nullptr;
};

// The simulated service run: what StartServiceCtrlDispatcherW is doing.
struct Run {
    bool active = false;
    std::wstring serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
    std::uintptr_t statusHandle = 0;
    DWORD lastState = 0;  // 0: nothing reported yet
    bool stopped = false;
    // Which run a main routine belongs to: one that outlives its run must
    // not end the next one.
    unsigned long long generation = 0;
    bool serviceThreadDone = false;
};

struct State {
    std::mutex mutex;
    // One condition for everything that waits on the state (events, work
    // items, sleepers, the dispatcher, status reports); waiters re-check
    // their own predicate, so spurious wake-ups cost nothing but time.
    std::condition_variable changed;

    bool resetting = false;

    std::map<std::wstring, ServiceEntry> services;  // key: folded name
    std::map<std::uintptr_t, HandleEntry> handles;
    std::map<Kind, int> openCounts;
    std::map<Kind, int> peakCounts;

    std::vector<Fault> faults;
    std::map<std::string, long long> callCounts;
    std::vector<Call> journal;
    std::map<std::string, std::function<void()>> callHooks;  // by function

    std::vector<EventRecord> events;

    std::map<std::wstring, RegKey> registry;  // key: folded path below HKLM

    // Service run.
    bool connectAsService = false;
    std::vector<std::wstring> startArgs;
    std::deque<DWORD> controls;
    bool deliverAtOnce = false;
    std::vector<SERVICE_STATUS> reports;
    Run run;
    unsigned long long runGenerations = 0;
    std::vector<std::thread> serviceThreads;
    int activeDispatchers = 0;

    // Work items, and the waits in which they are blocked (WaitForIdle).
    std::vector<std::thread> workItems;
    int outstandingWorkItems = 0;
    // What can end each wait, and the clock's time that ends it.
    std::map<unsigned long long, std::pair<std::function<bool()>, unsigned long long>> blockedWorkItems;
    unsigned long long nextBlockedId = 0;

    // Set by ExitProcess: every dispatcher raises ProcessExit with the code.
    bool processExited = false;
    DWORD exitCode = 0;

    // Clock.
    ClockMode clockMode = ClockMode::Virtual;
    unsigned long long virtualNow = 0;
    std::chrono::steady_clock::time_point realBase{};
    std::function<void(DWORD)> sleepHook;
    int sleepCount = 0;
    bool holdSleeps = false;
    int heldSleepers = 0;
    unsigned long long releaseGeneration = 0;

    std::wstring modulePath;

    // Status-change notifications and the callbacks they queued.
    std::vector<Notification> notifications;
    std::map<std::thread::id, std::deque<Apc>> apcs;
};

// Handle values are unique for the life of the process, across Reset(), so a
// handle left over from an earlier test can never name a new object.
State& GlobalState();
void ResetStateLocked(State& state);

// The calling thread's last error.
DWORD& LastError();

// ASCII-only folding, as the SCM and the "C" locale compare names.
std::wstring Fold(const std::wstring& text);
std::wstring Text(LPCWSTR text);  // null reads as empty

// Handles.
std::uintptr_t NewHandle(State& state, HandleEntry entry);
HandleEntry* FindHandle(State& state, const void* handle);
// True when the handle was opened with every right in `wanted`.
bool Grants(const HandleEntry& entry, DWORD wanted);
// Closes the handle: its entry leaves the table, so `entry` dangles afterwards.
void CloseHandleEntry(State& state, HandleEntry& entry);
ServiceEntry* FindService(State& state, const std::wstring& name);
// Drops a service marked for delete once it is stopped and no handle to it
// remains open.
void RemoveIfDeleted(State& state, const std::wstring& name);

unsigned long long NowLocked(const State& state);
// The key at `path` below HKEY_LOCAL_MACHINE, made with every key above it
// that is missing.
RegKey& MakeKeyPath(State& state, const std::wstring& path);

// Moves the clock forward and lets the services make the changes that fall
// in that time.
void AdvanceClockLocked(State& state, unsigned long long ms);
// Makes the changes of services whose time has come (ServiceBehaviour).
void RunServiceTimers(State& state);
// Plays what an accepted start does to the service: its state, and the
// change its behaviour plans after it.
void PlayStart(State& state, ServiceEntry& service);

constexpr unsigned long long kNever = ~0ull;
// Waits until `done` holds or the clock reaches `deadline` (kNever: no end);
// false on the deadline. A Reset() counts as the end of every finite wait.
// A work item's wait counts as blocked for WaitForIdle while `done` is false
// and the deadline lies ahead.
bool WaitOnClock(State& state, std::unique_lock<std::mutex>& lock, unsigned long long deadline,
                 const std::function<bool()>& done);

// Registers the calling thread, when it is a work item, as blocked in a wait
// that `wakes` or `deadline` can end, for as long as the object lives.
class BlockedWait {
public:
    BlockedWait(State& state, std::function<bool()> wakes, unsigned long long deadline = kNever);
    ~BlockedWait();
    BlockedWait(const BlockedWait&) = delete;
    BlockedWait& operator=(const BlockedWait&) = delete;

private:
    State& m_state;
    bool m_registered = false;
    unsigned long long m_id = 0;
};

// Notifications (Notify.cpp). After any change of a service's state or of its
// deletion mark: answers the notifications that the change concerns.
void ServiceChanged(State& state, const std::wstring& name);
// Drops the notifications still waiting on a handle that is being closed.
void CancelNotifications(State& state, std::uintptr_t handle);
// Arranges for the calling thread's queued callbacks to be dropped when it
// ends (Alertable.cpp). Called by each thread that registers.
void NoteApcThread();

// Allocation accounting (Control.cpp): work-item threads count their
// allocations unless they are inside a simulated call.
void SetWorkItemThread(bool on);
bool IsWorkItemThread();
void EnterSimCall();
void LeaveSimCall();
void ResetAllocationCounts();

// One simulated API call: enters the sim (so its own allocations are never
// counted or failed), runs the call hook if it is for this function, takes
// the lock, counts the call for the fault table, and journals it exactly once
// on the way out.
class ApiCall {
public:
    explicit ApiCall(const char* function);
    ~ApiCall();
    ApiCall(const ApiCall&) = delete;
    ApiCall& operator=(const ApiCall&) = delete;

    State& S() { return m_state; }
    std::unique_lock<std::mutex>& Lock() { return m_lock; }

    void SetText(const std::wstring& text) { m_call.text = text; }
    void SetArg(DWORD arg) { m_call.arg = arg; }
    void SetKind(const char* kind) { m_call.kind = kind; }

    // Counts the call; true when the fault table says it fails, in which case
    // the call has already failed with the injected error. Call once, after
    // the journal text is known.
    bool Faulted();

    // The opening every call on a handle shares, in this order: journals the
    // name behind a live handle of `kind` when it has one (manager and event
    // handles have none and leave the caller's text alone), consults the
    // fault table, so that an injected fault wins over every other check,
    // then fails a handle that is not a live one of `kind` with
    // ERROR_INVALID_HANDLE and one that lacks `access` with
    // ERROR_ACCESS_DENIED. Returns null once the call has failed.
    HandleEntry* UseHandle(const void* handle, Kind kind, DWORD access = 0);

    // A whole close of a handle of one of `kinds`: journals the kind (and,
    // with `journalName`, the name) of whatever live handle it is given,
    // consults the fault table, fails anything but a live handle of those
    // kinds with ERROR_INVALID_HANDLE, and otherwise closes it. Returns
    // whether it closed the handle.
    bool CloseOf(const void* handle, std::initializer_list<Kind> kinds, bool journalName);

    template <typename T>
    T Fail(DWORD error, T value)
    {
        m_call.ok = false;
        LastError() = error;
        return value;
    }

    // Journals now (for calls that leave the lock before they return).
    void Record();

private:
    State& m_state;
    std::unique_lock<std::mutex> m_lock;
    Call m_call;
    bool m_recorded = false;
};

}  // namespace detail
}  // namespace sim
