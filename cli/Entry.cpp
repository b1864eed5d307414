#include "Entry.h"

#include "Commands.h"
#include "SampleService.h"

#include <optional>

namespace {

// Runs the process as the service: builds the one service object on this
// stack and stays in the dispatcher until the service has stopped.
void RunAsService()
{
    // The object is built apart from the dispatcher call so that only a
    // failure of its construction is reported as one.
    std::optional<CSampleService> service;
    try {
        service.emplace();
    } catch (ErrorCodeException error) {
        // The loop's event is the one thing the constructor creates. Without
        // it the service could not be stopped, so it is never started.
        ConsolePrint(L"CreateEvent failed w/err 0x%08lx\n", error);
        return;
    }

    if (!CServiceBase::RunDispatcher(*service)) {
        const DWORD error = GetLastError();
        ConsolePrint(L"Service failed to run w/err 0x%08lx\n", error);
    }
}

bool IsSwitch(const WCHAR* argument)
{
    return argument[0] == L'-' || argument[0] == L'/';
}

}  // namespace

int TavrilexMain(int argc, WCHAR* argv[])
{
    if (argc > 1 && IsSwitch(argv[1])) {
        // The whole rest of the argument is the word: "-installx" is no
        // install. Unknown switches are ignored without a usage text.
        const WCHAR* word = argv[1] + 1;
        if (_wcsicmp(word, L"install") == 0) {
            InstallSelf();
        } else if (_wcsicmp(word, L"remove") == 0) {
            RemoveSelf();
        }
        return 0;
    }

    RunAsService();
    return 0;
}
