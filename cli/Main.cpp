// The process entry proper: the run-time hands the wide arguments to wmain
// (the build links with -municode), and TavrilexMain chooses the role.
#include "Entry.h"
#include "EventLog.h"
#include "TavrilexMessages.h"  // made from the message table by the message compiler

static_assert(MSG_RECORD_TEXT == kEventFailure && MSG_STARTED_BY_WATCHER == kEventStartedByWatcher &&
                  MSG_STARTED_BY_POLL == kEventStartedByPoll && MSG_CRASH_LOOP == kEventCrashLoop &&
                  MSG_FLAPPING == kEventFlapping && MSG_EPISODE_OVER == kEventEpisodeOver,
              "the records' identifiers are those of the message table");

extern "C" int wmain(int argc, wchar_t* argv[])
{
    return TavrilexMain(argc, argv);
}
