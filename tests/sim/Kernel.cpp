// The simulated kernel: last error, events, work items, the clock behind
// Sleep, the module path, and the run-time's case-insensitive compare.
#include "SimState.h"

#include <algorithm>

using namespace sim::detail;

DWORD WINAPI GetLastError()
{
    return LastError();
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    LastError() = dwErrCode;
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    (void)lpEventAttributes;
    ApiCall api("CreateEventW");
    api.SetText(Text(lpName));
    if (api.Faulted()) {
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = Kind::Event;
    entry.event = std::make_shared<EventObject>();
    entry.event->manualReset = bManualReset != FALSE;
    entry.event->signalled = bInitialState != FALSE;
    return reinterpret_cast<HANDLE>(NewHandle(api.S(), entry));
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    ApiCall api("SetEvent");
    HandleEntry* entry = api.UseHandle(hEvent, Kind::Event);
    if (!entry) {
        return FALSE;
    }
    entry->event->signalled = true;
    api.S().changed.notify_all();
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    ApiCall api("CloseHandle");
    // The kernel's close journals the kind of handle only. A thread already
    // waiting keeps the event object alive, as the kernel keeps a waited-on
    // object alive until the wait ends.
    return api.CloseOf(hObject, {Kind::Event}, /*journalName=*/false) ? TRUE : FALSE;
}

namespace {

// A sleep on the simulation's clock that `event` (when there is one) may end
// early. Returns true when the event ended it. The caller has counted and
// journalled the call.
bool SleepOnClock(ApiCall& api, DWORD ms, const std::shared_ptr<EventObject>& event)
{
    State& state = api.S();
    ++state.sleepCount;
    const auto signalled = [&event] { return event && event->signalled; };
    if (state.clockMode == sim::ClockMode::Manual) {
        return WaitOnClock(state, api.Lock(), NowLocked(state) + ms, signalled);
    }
    if (state.holdSleeps && !state.resetting && !signalled()) {
        const unsigned long long generation = state.releaseGeneration;
        ++state.heldSleepers;
        state.changed.notify_all();
        const auto released = [&state, generation] {
            return state.releaseGeneration != generation || !state.holdSleeps || state.resetting;
        };
        const BlockedWait blocked(state, [&] { return released() || signalled(); });
        state.changed.wait(api.Lock(), [&] { return released() || signalled(); });
        // Whoever releases the sleepers also takes them off the count, so
        // that a test waiting for the next sleeper never sees this one; an
        // event that ends the sleep takes it off here.
        if (!released()) {
            --state.heldSleepers;
        }
    }
    if (signalled()) {
        return true;
    }
    if (state.clockMode == sim::ClockMode::Real) {
        // Reset() must not wait out a long real sleep.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        state.changed.wait_until(api.Lock(), until, [&] { return state.resetting || signalled(); });
        return signalled();
    }
    AdvanceClockLocked(state, ms);
    return false;
}

// Runs the sleep hook, if any, outside the lock: it may drive the simulation
// (queue a control, set an event). It still runs inside the sim's
// allocation scope.
void RunSleepHook(const std::function<void(DWORD)>& hook, DWORD ms)
{
    if (hook) {
        struct SimCallScope {
            SimCallScope() { EnterSimCall(); }
            ~SimCallScope() { LeaveSimCall(); }
        } scope;
        hook(ms);
    }
}

}  // namespace

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    std::function<void(DWORD)> hook;
    DWORD result = WAIT_OBJECT_0;
    {
        ApiCall api("WaitForSingleObject");
        api.SetArg(dwMilliseconds);
        HandleEntry* entry = api.UseHandle(hHandle, Kind::Event);
        if (!entry) {
            return WAIT_FAILED;
        }
        // Kept alive by the wait, as the kernel keeps a waited-on object.
        std::shared_ptr<EventObject> event = entry->event;
        bool got = event->signalled;
        if (!got && dwMilliseconds == INFINITE) {
            const BlockedWait blocked(api.S(), [&event] { return event->signalled; });
            api.S().changed.wait(api.Lock(), [&event] { return event->signalled; });
            got = true;
        } else if (!got && dwMilliseconds != 0) {
            // Journalled as it begins, so that a test can see it waiting.
            api.Record();
            got = SleepOnClock(api, dwMilliseconds, event);
            if (!got) {
                hook = api.S().sleepHook;
            }
        }
        if (got && !event->manualReset) {
            event->signalled = false;
        }
        result = got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    RunSleepHook(hook, dwMilliseconds);
    return result;
}

BOOL WINAPI QueueUserWorkItem(LPTHREAD_START_ROUTINE Function, PVOID Context, ULONG Flags)
{
    ApiCall api("QueueUserWorkItem");
    api.SetArg(Flags);
    if (api.Faulted()) {
        return FALSE;
    }
    if (!Function) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    State& state = api.S();
    ++state.outstandingWorkItems;
    state.workItems.emplace_back([Function, Context] {
        SetWorkItemThread(true);
        try {
            Function(Context);
        } catch (const sim::ProcessExit&) {
            // The process ended on this thread: the routine goes no further.
        }
        SetWorkItemThread(false);
        State& state = GlobalState();
        std::lock_guard<std::mutex> lock(state.mutex);
        --state.outstandingWorkItems;
        state.changed.notify_all();
    });
    return TRUE;
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    std::function<void(DWORD)> hook;
    {
        ApiCall api("Sleep");
        api.SetArg(dwMilliseconds);
        api.Record();
        SleepOnClock(api, dwMilliseconds, nullptr);
        hook = api.S().sleepHook;
    }
    RunSleepHook(hook, dwMilliseconds);
}

ULONGLONG WINAPI GetTickCount64()
{
    // Not journalled: a clock read is no exchange with the system that a
    // test would assert, and it would crowd the journal.
    State& state = GlobalState();
    EnterSimCall();
    ULONGLONG now = 0;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        now = NowLocked(state);
    }
    LeaveSimCall();
    return now;
}

void WINAPI ExitProcess(UINT uExitCode)
{
    {
        ApiCall api("ExitProcess");
        api.SetArg(uExitCode);
        api.S().processExited = true;
        api.S().exitCode = uExitCode;
        api.S().changed.notify_all();
    }
    throw sim::ProcessExit{uExitCode};
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize)
{
    ApiCall api("GetModuleFileNameW");
    api.SetArg(nSize);
    api.SetText(api.S().modulePath);
    if (api.Faulted()) {
        return 0;
    }
    if (hModule) {
        return api.Fail(ERROR_INVALID_HANDLE, DWORD(0));
    }
    const std::wstring& path = api.S().modulePath;
    if (nSize == 0) {
        return api.Fail(ERROR_INSUFFICIENT_BUFFER, DWORD(0));
    }
    if (path.size() < nSize) {
        std::copy(path.begin(), path.end(), lpFilename);
        lpFilename[path.size()] = L'\0';
        return static_cast<DWORD>(path.size());
    }
    // Windows Vista and later: cut to nSize - 1 characters, terminate, and
    // return nSize with ERROR_INSUFFICIENT_BUFFER.
    std::copy(path.begin(), path.begin() + (nSize - 1), lpFilename);
    lpFilename[nSize - 1] = L'\0';
    return api.Fail(ERROR_INSUFFICIENT_BUFFER, nSize);
}

int _wcsicmp(const wchar_t* string1, const wchar_t* string2)
{
    auto fold = [](wchar_t c) -> unsigned long {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
        return static_cast<unsigned long>(c);
    };
    while (true) {
        unsigned long a = fold(*string1);
        unsigned long b = fold(*string2);
        if (a != b || a == 0) {
            return a < b ? -1 : (a > b ? 1 : 0);
        }
        ++string1;
        ++string2;
    }
}
