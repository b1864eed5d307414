// Runs the watch loop for a given number of polls against the simulated
// platform, for counting the instructions one poll costs (bench/bench.sh runs
// it under callgrind with two poll counts and takes the difference, so that
// start-up and teardown cancel out).
//
//   pollcost running <polls>   quorbel runs: each poll only checks it
//   pollcost failing <polls>   quorbel is disabled: each poll checks, asks
//                              for a start that is refused, and every second
//                              poll writes an error record
//
// The counts include the simulated Win32 calls, which stand in for the
// system's own cost on Windows.
#include "SampleService.h"
#include "SimControl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

class CBenchService : public CSampleService {
public:
    using CSampleService::DoStart;
    using CSampleService::DoStop;
};

int Usage()
{
    std::fprintf(stderr, "usage: pollcost running|failing <polls>\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        return Usage();
    }
    const bool failing = std::strcmp(argv[1], "failing") == 0;
    if (!failing && std::strcmp(argv[1], "running") != 0) {
        return Usage();
    }
    const long polls = std::strtol(argv[2], nullptr, 10);
    if (polls < 1) {
        return Usage();
    }

    sim::Reset();
    if (failing) {
        sim::ServiceConfig config;
        config.name = L"quorbel";
        config.startType = SERVICE_DISABLED;
        sim::AddService(config, SERVICE_STOPPED);
    } else {
        sim::AddService(L"quorbel", SERVICE_RUNNING);
    }

    long made = 0;
    {
        CBenchService service;
        // The loop alone: the pool refuses the stop watcher, the second work
        // item DoStart queues. The watcher's work comes with quorbel's stops
        // and with periods, not with polls, and on the shared virtual clock
        // it would fall into the difference at random.
        sim::FailCall("QueueUserWorkItem", 2, ERROR_NOT_ENOUGH_MEMORY);
        // The journal is cleared after every poll so that its growth does not
        // make later polls dearer than earlier ones. The last poll is held in
        // its sleep; DoStop raises the flag and, as it begins to wait, lets
        // the sleep end, so the loop ends without another poll.
        sim::SetSleepHook([&](DWORD) {
            sim::ClearJournal();
            if (++made == polls - 1) {
                sim::HoldSleeps(true);
            }
        });
        sim::HoldSleeps(polls == 1);
        service.DoStart(0, nullptr);
        if (!sim::WaitForSleepers(1, 600000)) {
            return 1;
        }
        // The loop waits on the same call; only the stop's own wait lets go.
        sim::SetCallHook("WaitForSingleObject", [stopper = std::this_thread::get_id()] {
            if (std::this_thread::get_id() == stopper) {
                sim::HoldSleeps(false);
            }
        });
        service.DoStop();
    }
    sim::SetSleepHook(nullptr);
    const size_t records = sim::EventRecords().size();
    sim::Reset();

    std::printf("%s: %ld polls, %zu records\n", argv[1], made, records);
    const size_t expectedRecords = failing ? static_cast<size_t>((polls + 1) / 2) : 0;
    return made == polls && records == expectedRecords ? 0 : 1;
}
