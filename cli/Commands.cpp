#include "Commands.h"

#include "FormatBounded.h"
#include "ServiceNames.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Room for the longest console message with a full path in it, and more.
constexpr size_t kConsoleBufferSize = 1024;

// Waits after an accepted stop request: one query a second for as long as
// the service reports stop pending. A failed query ends the wait and leaves
// `status` as the last successful call filled it.
void WaitWhileStopPending(SC_HANDLE service, SERVICE_STATUS& status)
{
    for (;;) {
        Sleep(1000);
        if (!QueryServiceStatus(service, &status)) {
            return;
        }
        if (status.dwCurrentState != SERVICE_STOP_PENDING) {
            return;
        }
        ConsolePrint(L".");
    }
}

}  // namespace

void ConsolePrint(const WCHAR* format, ...)
{
    WCHAR text[kConsoleBufferSize];
    va_list args;
    va_start(args, format);
    // A cut text is still printed as far as it goes.
    FormatBoundedV(text, kConsoleBufferSize, format, args);
    va_end(args);

    // Every console text is ASCII, so one code unit becomes one byte; this
    // keeps the output the same bytes whatever the console's code page.
    char narrow[kConsoleBufferSize];
    size_t length = 0;
    for (; length < kConsoleBufferSize - 1 && text[length] != L'\0'; ++length) {
        const WCHAR unit = text[length];
        narrow[length] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    fwrite(narrow, 1, length, stdout);
}

void InstallSelf()
{
    WCHAR modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    if (length == 0) {
        const DWORD error = GetLastError();
        ConsolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", error);
        return;
    }
    // A full buffer means the path did not fit and was cut; registering it
    // would name some other file. Older Windows does not set the last error
    // in this case, so the code is given here.
    if (length >= MAX_PATH) {
        ConsolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        return;
    }

    // The image path is quoted: the SCM splits an unquoted path at its first
    // blank, so "C:\Program Files\..." would let C:\Program.exe run as
    // LocalSystem. Two more characters than the path buffer hold the quotes.
    WCHAR imagePath[MAX_PATH + 2];
    FormatBounded(imagePath, MAX_PATH + 2, L"\"%s\"", modulePath);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr) {
        const DWORD error = GetLastError();
        ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", error);
        return;
    }

    // The dependency list is an empty double-terminated list, not null.
    SC_HANDLE service = CreateServiceW(manager, kServiceName, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath,
                                       nullptr, nullptr, L"\0\0", nullptr, nullptr);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        ConsolePrint(L"CreateService failed w/err 0x%08lx\n", error);
    } else {
        // The record's field is not const, but the call only reads it. A
        // missing description does not make the install fail.
        SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(kServiceName)};
        ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description);
        ConsolePrint(L"%s is installed.\n", kServiceName);
    }

    CloseServiceHandle(manager);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
}

void RemoveSelf()
{
    SERVICE_STATUS status = {};

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        const DWORD error = GetLastError();
        ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", error);
        return;
    }

    SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        ConsolePrint(L"OpenService failed w/err 0x%08lx\n", error);
        CloseServiceHandle(manager);
        return;
    }

    // A running instance of this program accepts only shutdown, so its stop
    // request is refused; that is expected and the deletion goes ahead.
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        ConsolePrint(L"Stopping %s.", kServiceName);
        WaitWhileStopPending(service, status);
        if (status.dwCurrentState == SERVICE_STOPPED) {
            ConsolePrint(L"\n%s is stopped.\n", kServiceName);
        } else {
            ConsolePrint(L"\n%s failed to stop.\n", kServiceName);
        }
    }

    if (DeleteService(service)) {
        ConsolePrint(L"%s is removed.\n", kServiceName);
    } else {
        const DWORD error = GetLastError();
        ConsolePrint(L"DeleteService failed w/err 0x%08lx\n", error);
    }

    CloseServiceHandle(manager);
    CloseServiceHandle(service);
}
