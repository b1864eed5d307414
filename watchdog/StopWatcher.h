// The stop watcher: brings the watched service back the moment it stops,
// between the watch loop's polls, by asking the service control manager to
// say so (NotifyServiceStatusChangeW) instead of waiting for the next poll.
#pragma once

#include "Platform.h"

#include <string>

// Runs until `stopEvent` is signalled, on a thread of its own (the answers
// arrive as callbacks queued to that thread). After a pause of one poll
// period it opens the named service for its status only, asks to be told
// when it stops or is marked for deletion, and waits alertably; told of a
// stop, it closes the handle and calls Kelvarund for the service, then
// pauses again. Any other outcome (the service cannot be opened, the request
// is refused, an answer carries an error, the service is being deleted) only
// closes the handle before the pause. So it starts the service at most once
// per period, keeps no handle open while the service is marked for deletion,
// and writes nothing to the event log: what it cannot mend is left to the
// loop. Returns holding nothing, with no request pending and no callback
// still to come; the wait for the event is prompt except while Kelvarund
// runs.
void WatchForStops(const std::wstring& serviceName, HANDLE stopEvent);
