#include "Entry.h"

#include "Commands.h"
#include "SampleService.h"

#include <optional>

namespace {

// Runs the process as the service: builds the one service object on this
// stack and stays in the dispatcher until the service has stopped. Returns 0
// then, or the code of what kept the service from running.
DWORD RunAsService()
{
    // The object is built apart from the dispatcher call so that only a
    // failure of its construction is reported as one.
    std::optional<CSampleService> service;
    try {
        service.emplace();
    } catch (ErrorCodeException error) {
        // The loop's events are what the constructor must create. Without
        // them the loop could not be ended, so the service is never started.
        ConsolePrint(L"CreateEvent failed w/err 0x%08lx\n", error);
        return error;
    }

    if (!CServiceBase::RunDispatcher(*service)) {
        const DWORD error = GetLastError();
        ConsolePrint(L"Service failed to run w/err 0x%08lx\n", error);
        return error;
    }
    return NO_ERROR;
}

bool IsSwitch(const WCHAR* argument)
{
    return argument[0] == L'-' || argument[0] == L'/';
}

}  // namespace

int TavrilexMain(int argc, WCHAR* argv[])
{
    // Exit codes are Win32 codes, as sc.exe gives them: scripts and
    // deployment tools read them before any text.
    if (argc > 1 && IsSwitch(argv[1])) {
        // The whole rest of the argument is the word: "-installx" is no
        // install.
        const WCHAR* word = argv[1] + 1;
        if (_wcsicmp(word, L"install") == 0) {
            return static_cast<int>(InstallSelf());
        }
        if (_wcsicmp(word, L"remove") == 0) {
            return static_cast<int>(RemoveSelf());
        }
        ConsoleError(L"usage: tavrilex.exe -install | -remove\n");
        return ERROR_INVALID_PARAMETER;
    }

    return static_cast<int>(RunAsService());
}
