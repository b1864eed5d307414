// Test controls of the simulated Win32 layer. Only tests include this header;
// the product never calls anything declared here.
//
// The simulation is one process-wide state guarded by one lock: a table of
// services, a table of handles, the event-log records, the status reports of
// a simulated service run, a call journal and a clock. Reset() returns all of
// it to the state of a fresh machine with nothing registered.
#pragma once

#include "Platform.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// ---- Whole-state control ---------------------------------------------------

// Joins every thread the simulation started (work items, main routines),
// then clears services, handles, records, reports, faults, the journal and
// the clock. Sleeps are released first so that nothing can block the join.
// Call it at the start and end of each test (SimTest fixture does), from the
// test's own thread. It cannot end a loop: a test must first end any loop it
// started (a work item that polls and sleeps, a service run), or Reset()
// waits for it for ever. A running dispatcher is made to return FALSE.
void Reset();

// ---- Service table ---------------------------------------------------------

struct ServiceConfig {
    std::wstring name;
    std::wstring displayName;
    std::wstring description;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::wstring imagePath;
    std::wstring loadOrderGroup;
    std::vector<std::wstring> dependencies;
    std::wstring account;  // empty: LocalSystem
    bool hasPassword = false;
    // Recovery actions (SERVICE_CONFIG_FAILURE_ACTIONS): the reset period in
    // seconds and the actions; none until set.
    DWORD failureResetPeriod = 0;
    std::vector<SC_ACTION> failureActions;
    bool failureActionsOnNonCrash = false;  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
    std::vector<std::wstring> requiredPrivileges;  // SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO
    DWORD sidType = SERVICE_SID_TYPE_NONE;          // SERVICE_CONFIG_SERVICE_SID_INFO
};

// How a registered service behaves when the simulated SCM acts on it.
struct ServiceBehaviour {
    // State the service enters when StartServiceW accepts a start request.
    DWORD stateAfterStart = SERVICE_RUNNING;
    // Controls the service announces while it is not stopped.
    DWORD controlsAccepted = SERVICE_ACCEPT_STOP;
    // States reported by successive QueryServiceStatus/Ex calls after an
    // accepted stop request; when used up the service is SERVICE_STOPPED.
    // ControlService itself returns STOP_PENDING when this is not empty.
    std::vector<DWORD> statesAfterStop;
    // Time on the simulation's clock, for services that take it as real ones
    // do. An accepted start leaves the service START_PENDING this long before
    // it enters stateAfterStart; a service that reached RUNNING by a start
    // stops by itself after runsForMs (0: it runs until stopped); an accepted
    // stop leaves it STOP_PENDING stopPendingMs, then STOPPED (used instead of
    // statesAfterStop when not 0). Each change is made once the clock has
    // passed it, and answers the notifications that wait for it.
    DWORD startPendingMs = 0;
    DWORD runsForMs = 0;
    DWORD stopPendingMs = 0;
};

// Registers a service directly (as if installed earlier) in the given state.
void AddService(const ServiceConfig& config, DWORD currentState = SERVICE_STOPPED,
                const ServiceBehaviour& behaviour = ServiceBehaviour());
// Shorthand: an own-process demand-start service with the given state.
void AddService(const std::wstring& name, DWORD currentState = SERVICE_STOPPED,
                const ServiceBehaviour& behaviour = ServiceBehaviour());
bool HasService(const std::wstring& name);
// Registration as the SCM stored it. Precondition: HasService(name).
ServiceConfig GetServiceConfig(const std::wstring& name);
DWORD GetServiceState(const std::wstring& name);
void SetServiceState(const std::wstring& name, DWORD state);
// The checkpoint and wait hint its status gives. Precondition: HasService(name).
void SetServiceProgress(const std::wstring& name, DWORD checkPoint, DWORD waitHint);
bool IsMarkedForDelete(const std::wstring& name);
// The rights the service's permissions grant (all, until set): an open that
// asks for more fails with 5. Wine grants every right asked for.
void SetGrantedAccess(const std::wstring& name, DWORD rights);
// Number of start requests StartServiceW accepted for the service.
int StartCount(const std::wstring& name);

// ---- Fault injection -------------------------------------------------------

// The nth call (1-based, counted from now) of the named function fails: it
// returns its failure value and sets the thread's last error to `error`.
// times > 1 fails that many consecutive calls from the nth on; times = -1
// fails every call from the nth on. Function names are the Win32 names
// ("StartServiceW", "RegisterEventSourceW", ...).
void FailCall(const char* function, int nth, DWORD error, int times = 1);
void ClearFaults();

// Keeps one test's fault setup visible in the test itself and removes it at
// scope end (it clears all faults, so nest them only deliberately).
class ScopedFault {
public:
    ScopedFault(const char* function, DWORD error, int nth = 1, int times = 1) { FailCall(function, nth, error, times); }
    ~ScopedFault() { ClearFaults(); }
    ScopedFault(const ScopedFault&) = delete;
    ScopedFault& operator=(const ScopedFault&) = delete;
};

// The nth allocation (operator new, 1-based, counted from now) made on a
// work-item thread throws std::bad_alloc. Allocations on other threads are
// never failed, so test and gtest code are unaffected. 0 disarms.
void FailWorkItemAllocation(int nth);

// Allocation counters for work-item threads (operator new / delete calls).
struct AllocationCounts {
    long long allocations = 0;
    long long frees = 0;
};
AllocationCounts WorkItemAllocations();

// ---- Call journal ----------------------------------------------------------

struct Call {
    std::string function;  // "OpenServiceW"
    std::wstring text;     // service/source name, module path, or empty
    DWORD arg = 0;         // access mask, control code, flags, info level, ms
    std::string kind;      // for closes: kind of handle closed ("scm", "service", "event", "eventsource")
    bool ok = true;        // the call succeeded
};
std::vector<Call> Journal();
// Only the function names, in order; handy for asserting call sequences.
std::vector<std::string> JournalFunctions();
void ClearJournal();

// Runs `hook` on the calling thread whenever `function` is called, before the
// call does anything else, outside the simulation's lock: a test can hold a
// thread at that point or act there. One hook per function; a null one removes it.
void SetCallHook(const char* function, std::function<void()> hook);

// ---- Handles ---------------------------------------------------------------

enum class HandleKind { Scm, Service, Event, EventSource, RegistryKey };
// Handles that were opened and not yet closed.
int OpenHandleCount();
int OpenHandleCount(HandleKind kind);
// The most handles of the kind ever open at the same moment since Reset().
int PeakOpenHandleCount(HandleKind kind);

// ---- Event log -------------------------------------------------------------

struct EventRecord {
    std::wstring source;  // the name the source handle was registered with
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    bool hasSid = false;
    std::vector<std::wstring> strings;
    DWORD dataSize = 0;
    bool hasData = false;
};
std::vector<EventRecord> EventRecords();
// The records from the `first`-th on (0-based); none when there are fewer.
std::vector<EventRecord> EventRecordsFrom(size_t first);

// ---- Registry --------------------------------------------------------------

// Keys are paths below HKEY_LOCAL_MACHINE ("SYSTEM\\...\\Tavrilex"), compared
// without regard to ASCII case. A fresh machine has none.
struct RegistryValue {
    DWORD type = 0;
    std::wstring text;  // REG_SZ and REG_EXPAND_SZ: the data up to its terminator
    DWORD number = 0;   // REG_DWORD
    DWORD size = 0;     // bytes of data as written
};
bool HasRegistryKey(const std::wstring& path);
// False when the key or the value does not exist.
bool GetRegistryValue(const std::wstring& path, const std::wstring& name, RegistryValue& value);
// Creates the key (and those above it) as if written earlier.
void AddRegistryKey(const std::wstring& path);

// ---- Service run (dispatcher) ----------------------------------------------

// Makes the next StartServiceCtrlDispatcherW connect, as for a process that
// the SCM started. Without it the call fails at once with 1063.
// `args` are the start arguments after the service name (argv[0] is the name
// from the table). Outside a run RegisterServiceCtrlHandlerW fails with
// ERROR_SERVICE_NOT_IN_EXE (1083). The dispatcher returns TRUE once the
// service has reported SERVICE_STOPPED, without waiting for the main routine.
// As on Windows it waits for that report for ever, also after a main routine
// that returned without one; only ExitProcess (which raises ProcessExit on
// the dispatcher's thread) or Reset() (which makes it return FALSE) ends it
// then.
void StartAsService(const std::vector<std::wstring>& args = {});

// What a simulated ExitProcess raises on the thread that called it, and what
// the dispatcher then raises on the thread that entered it: the process has
// ended there, and nothing after the call runs. The simulation's own threads
// end quietly with it.
struct ProcessExit {
    DWORD code;
};

// Queues a control code for the running service. The dispatcher delivers
// queued codes in order on the thread that entered it, each once the
// handler is registered and the service has reported a state other than
// SERVICE_START_PENDING (unless DeliverControlsAtOnce(true)), waiting for
// each handler call to return before the next. ControlService on the
// service of the run queues its control here too, once the service's own
// reports say it accepts it.
void QueueControl(DWORD control);
void DeliverControlsAtOnce(bool atOnce);

// Every SetServiceStatus record, whole, in order.
std::vector<SERVICE_STATUS> StatusReports();
// Blocks (real time) until a report with the state has been made or the
// timeout passes; returns whether it was made.
bool WaitForStatus(DWORD state, DWORD timeoutMs = 10000);

// ---- Clock -----------------------------------------------------------------

enum class ClockMode {
    // Sleep, and WaitForSingleObject with a timeout, advance the clock by
    // their time and return at once, unless held (HoldSleeps) or the waited
    // event is set (default).
    Virtual,
    // Every wait really waits; the clock follows the steady clock.
    Real,
    // Only AdvanceClock moves the clock; every timed wait (Sleep,
    // WaitForSingleObject, SleepEx, WaitForSingleObjectEx) lasts until the
    // clock has passed its end. With WaitForIdle a test steps time and lets
    // the threads react, as a scheduler of its own.
    Manual,
};
void SetClockMode(ClockMode mode);
// Milliseconds on the clock since Reset().
unsigned long long Now();
// Called in the sleeping thread on each Sleep, or WaitForSingleObject with a
// timeout that the event did not end, after the clock advanced (in virtual
// mode) and before the call returns. Runs outside the simulation's lock.
void SetSleepHook(std::function<void(DWORD ms)> hook);
// Sleep calls, and WaitForSingleObject calls with a timeout other than 0 and
// INFINITE (which are the loop's sleeps), since Reset().
int SleepCount();

// Moves the clock forward by `ms` without a Sleep; held sleepers stay held.
// The timeouts of SleepEx and WaitForSingleObjectEx run on this clock (those
// of WaitForSingleObject, which tests use as bounds, in real time), so a
// test that holds the loop's sleeps can still let a timed wait end.
void AdvanceClock(DWORD ms);

// Holding: while on, every Sleep blocks (after announcing itself) until
// ReleaseSleepers() or HoldSleeps(false). Lets a test act "during" a sleep.
void HoldSleeps(bool hold);
// Blocks (real time) until `count` threads are held in Sleep; false on timeout.
bool WaitForSleepers(int count, DWORD timeoutMs = 10000);
// Lets the currently held sleepers return (each advances the clock by its ms).
void ReleaseSleepers();

// ---- Process ---------------------------------------------------------------

// The path GetModuleFileNameW reports for the running executable.
void SetModulePath(const std::wstring& path);

// Blocks until every work item queued so far has returned (real time), or
// the timeout passes; returns whether all returned.
bool WaitForWorkItems(DWORD timeoutMs = 10000);

// Blocks (real time) until every work item still running is blocked in a
// wait of the simulation that nothing but a change from outside can end (no
// signalled event, no queued callback, no end the clock has passed); false
// on timeout. Other threads (the test's, a dispatcher's) are not counted.
bool WaitForIdle(DWORD timeoutMs = 10000);
// The earliest end on the clock of the timed waits that work items are
// blocked in; ~0 when there is none. A test that steps time to it moves every
// thread on at its own moment.
unsigned long long NextDeadline();

}  // namespace sim
