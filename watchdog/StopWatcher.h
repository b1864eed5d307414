// The stop watcher: brings the watched service back the moment it stops,
// between the watch loop's polls, by asking the service control manager to
// say so (NotifyServiceStatusChangeW) instead of waiting for the next poll.
#pragma once

#include "Platform.h"
#include "RestartPolicy.h"

#include <string>

// Runs until `stopEvent` is signalled, on a thread of its own (the answers
// arrive as callbacks queued to that thread). After a pause of one poll
// period it opens the named service for its status only, asks to be told
// when it stops or is marked for deletion, and waits alertably. Told of a
// stop, it closes the handle and asks `restarts` what to do: a stop to mend
// gets its start request at once, and then the next request; a stop already
// answered gets the next request at once. Any other outcome (a crash loop,
// whose starts are the loop's; a start held back; the service cannot be
// opened; the request is refused; an answer carries an error; the service is
// being deleted; the start failed) only closes the handle and pauses one
// period. So no handle is kept while the service is marked for deletion. The
// policy's records of a stop and its start are written after the next
// request is made (or before the pause), never before the start request.
// No failure is written here: what it cannot mend is left to the loop, and
// a wrong logon refused to it is handed to the loop's cadence. Returns
// holding nothing, with no request pending and no callback still to come;
// the wait for the event is prompt except while a start request or its own
// record is under way.
void WatchForStops(const std::wstring& serviceName, HANDLE stopEvent, CRestartPolicy& restarts);
