#include "SimTest.h"

std::vector<sim::Call> CallsOf(const std::string& function)
{
    std::vector<sim::Call> calls;
    for (const sim::Call& call : sim::Journal()) {
        if (call.function == function) {
            calls.push_back(call);
        }
    }
    return calls;
}

void RunLoopAlone()
{
    sim::FailCall("QueueUserWorkItem", 2, ERROR_NOT_ENOUGH_MEMORY);
}

std::vector<std::string> ClosedKinds()
{
    std::vector<std::string> kinds;
    for (const sim::Call& call : CallsOf("CloseServiceHandle")) {
        kinds.push_back(call.kind);
    }
    return kinds;
}
