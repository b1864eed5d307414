// Simulated alertable waits: the callbacks queued to a thread run on that
// thread, in SleepEx or WaitForSingleObjectEx with bAlertable TRUE, and end
// the wait with WAIT_IO_COMPLETION. A signalled object wins over queued
// callbacks, which then wait for the next alertable wait. Callbacks queued to
// a thread that has ended are dropped, as Windows drops them.
//
// The timeouts of these two waits run on the simulation's clock: in virtual
// time a wait of 5000 ms ends once Sleep elsewhere, or sim::AdvanceClock, has
// moved the clock that far, so that two threads that time themselves agree.
#include "SimState.h"

using namespace sim::detail;

namespace {

// Drops the thread's queued callbacks when it ends, before a later thread
// can be given the same id.
struct ApcQueueOwner {
    ~ApcQueueOwner()
    {
        State& state = GlobalState();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.apcs.erase(std::this_thread::get_id());
    }
};

// Takes the waiting thread's id, not the caller's: WaitForIdle evaluates a
// wait's condition on the test's thread.
bool ApcQueued(State& state, std::thread::id thread)
{
    return state.apcs.count(thread) != 0;
}

// Runs the callbacks queued to this thread in the order they were queued,
// outside the lock and outside the simulation's allocation scope (they are
// the caller's code); false when there were none.
bool DeliverApcs(ApiCall& api)
{
    auto it = api.S().apcs.find(std::this_thread::get_id());
    if (it == api.S().apcs.end()) {
        return false;
    }
    std::deque<Apc> queued = std::move(it->second);
    api.S().apcs.erase(it);
    api.Lock().unlock();
    LeaveSimCall();
    for (const Apc& apc : queued) {
        apc.callback(apc.parameter);
    }
    EnterSimCall();
    api.Lock().lock();
    return true;
}

unsigned long long Deadline(const State& state, DWORD ms)
{
    return ms == INFINITE ? kNever : NowLocked(state) + ms;
}

}  // namespace

namespace sim {
namespace detail {

void NoteApcThread()
{
    static thread_local ApcQueueOwner owner;
    static_cast<void>(owner);
}

}  // namespace detail

void AdvanceClock(DWORD ms)
{
    State& state = GlobalState();
    EnterSimCall();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        AdvanceClockLocked(state, ms);
    }
    LeaveSimCall();
}

}  // namespace sim

DWORD WINAPI WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable)
{
    ApiCall api("WaitForSingleObjectEx");
    api.SetArg(dwMilliseconds);
    HandleEntry* entry = api.UseHandle(hHandle, Kind::Event);
    if (!entry) {
        return WAIT_FAILED;
    }
    // Journalled as it begins, so that a test can see a thread waiting.
    api.Record();
    State& state = api.S();
    // Kept alive by the wait, as the kernel keeps a waited-on object.
    std::shared_ptr<EventObject> event = entry->event;
    const bool alertable = bAlertable != FALSE;
    const std::thread::id self = std::this_thread::get_id();
    const bool woken = WaitOnClock(state, api.Lock(), Deadline(state, dwMilliseconds),
                                   [&] { return event->signalled || (alertable && ApcQueued(state, self)); });
    if (!woken) {
        return WAIT_TIMEOUT;
    }
    if (event->signalled) {
        if (!event->manualReset) {
            event->signalled = false;
        }
        return WAIT_OBJECT_0;
    }
    DeliverApcs(api);
    return WAIT_IO_COMPLETION;
}

DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable)
{
    ApiCall api("SleepEx");
    api.SetArg(dwMilliseconds);
    api.Record();
    State& state = api.S();
    const bool alertable = bAlertable != FALSE;
    if (alertable && DeliverApcs(api)) {
        return WAIT_IO_COMPLETION;
    }
    if (state.clockMode == sim::ClockMode::Virtual) {
        AdvanceClockLocked(state, dwMilliseconds);
        return 0;
    }
    const std::thread::id self = std::this_thread::get_id();
    if (WaitOnClock(state, api.Lock(), Deadline(state, dwMilliseconds),
                    [&] { return alertable && ApcQueued(state, self); })) {
        DeliverApcs(api);
        return WAIT_IO_COMPLETION;
    }
    return 0;
}
