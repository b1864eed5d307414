// The stop watcher: brings the watched service back the moment it stops,
// between the watch loop's polls, by asking the service control manager to
// say so (NotifyServiceStatusChangeW) instead of waiting for the next poll.
#pragma once

#include "Platform.h"

#include <atomic>
#include <string>

// When the watched service was last asked to start, by the loop or by the
// watcher, on GetTickCount64's clock. Written and read by both threads.
class CStartClock {
public:
    // A start request has just been made.
    void Note();
    // Milliseconds until `pace` ms have passed since the last start request;
    // 0 when they have, or when none was made.
    DWORD Remaining(DWORD pace) const;

private:
    // The tick of the last request plus one; 0 while there was none.
    std::atomic<ULONGLONG> m_lastPlusOne{0};
};

// Runs until `stopEvent` is signalled, on a thread of its own (the answers
// arrive as callbacks queued to that thread). After a pause of one poll
// period it opens the named service for its status only, asks to be told
// when it stops or is marked for deletion, and waits alertably. Told of a
// stop, it closes the handle, waits until `starts` says the last start
// request (the loop's or its own) is one period and a second old, and then
// calls Kelvarund for the service, noting its start request in `starts`.
// Any other outcome (the service cannot be opened, the request is refused,
// an answer carries an error, the service is being deleted, no start could
// be asked for) only closes the handle and pauses one period. So the loop and
// the watcher together ask for a service that keeps failing about once per
// period, no handle is kept while the service is marked for deletion, and
// nothing is written to the event log: what it cannot mend is left to the
// loop. Returns holding nothing, with no request pending and no callback
// still to come; the wait for the event is prompt except while Kelvarund
// runs.
void WatchForStops(const std::wstring& serviceName, HANDLE stopEvent, CStartClock& starts);
