#include "Commands.h"

#include "FormatBounded.h"
#include "ServiceNames.h"
#include "UniqueHandle.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

namespace {

// Room for the longest console message with a full path in it, and more.
constexpr size_t kConsoleBufferSize = 1024;

// Where Event Viewer finds the message table that renders the records.
constexpr WCHAR kEventSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tavrilex";
// Error, warning and information: every type a record of the source may have.
constexpr DWORD kTypesSupported = 7;

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

// Restart after 1 s, then 5 s, then 30 s, the count of failures forgotten
// after a day without one. Windows acts on them when the process ends
// without having reported STOPPED, and, with the flag set, also when it
// reports STOPPED with an exit code: a start that failed.
DWORD SetRecoveryActions(SC_HANDLE service)
{
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSW failureActions = {};
    failureActions.dwResetPeriod = 24 * 60 * 60;  // seconds
    failureActions.lpRebootMsg = nullptr;         // none, and none was set
    failureActions.lpCommand = nullptr;
    failureActions.cActions = 3;
    failureActions.lpsaActions = actions;
    DWORD error = NO_ERROR;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions)) {
        error = GetLastError();
    } else {
        // A system that does not know the flag (Wine answers 124) still
        // restarts a process that ends without reporting STOPPED.
        SERVICE_FAILURE_ACTIONS_FLAG onFailedStart = {TRUE};
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onFailedStart)) {
            error = GetLastError();
            error = error == ERROR_INVALID_LEVEL ? NO_ERROR : error;
        }
    }
    if (error != NO_ERROR) {
        ConsolePrint(L"ChangeServiceConfig2 failed w/err 0x%08lx\n", error);
    }
    return error;
}

// Leaves the service's process one privilege, bypass traverse checking,
// which every process is expected to hold: the SCM and the event log decide
// by permissions, not privileges. Gives it a service SID (NT SERVICE\Tavrilex)
// that a hardened quorbel can grant its rights to. A system that knows
// neither level (Wine answers 124) runs the service as it would without
// them. Returns 0, or the code of the refusal after printing its message.
DWORD SetHardening(SC_HANDLE service)
{
    // The record's field is not const, but the call only reads it.
    SERVICE_REQUIRED_PRIVILEGES_INFOW privileges = {const_cast<LPWSTR>(L"SeChangeNotifyPrivilege\0")};
    SERVICE_SID_INFO sid = {SERVICE_SID_TYPE_UNRESTRICTED};
    DWORD error = NO_ERROR;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &privileges)) {
        error = GetLastError();
    }
    if ((error == NO_ERROR || error == ERROR_INVALID_LEVEL) &&
        !ChangeServiceConfig2W(service, SERVICE_CONFIG_SERVICE_SID_INFO, &sid)) {
        error = GetLastError();
    }
    if (error == ERROR_INVALID_LEVEL) {
        return NO_ERROR;
    }
    if (error != NO_ERROR) {
        ConsolePrint(L"ChangeServiceConfig2 failed w/err 0x%08lx\n", error);
    }
    return error;
}

// Registers the event source with this executable as its message file.
// Returns 0, or the code of the failed call after printing its message.
DWORD RegisterEventSourceKey(const WCHAR* modulePath)
{
    LSTATUS status;
    {
        HKEY created = nullptr;
        status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_SET_VALUE, nullptr, &created, nullptr);
        if (status != ERROR_SUCCESS) {
            ConsolePrint(L"RegCreateKeyEx failed w/err 0x%08lx\n", static_cast<DWORD>(status));
            return static_cast<DWORD>(status);
        }
        const CRegistryKey key(created);
        const DWORD pathBytes = static_cast<DWORD>((wcslen(modulePath) + 1) * sizeof(WCHAR));
        status = RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE*>(modulePath), pathBytes);
        if (status == ERROR_SUCCESS) {
            const DWORD types = kTypesSupported;
            status = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                    sizeof(types));
        }
    }  // the key is closed before the outcome is reported
    if (status != ERROR_SUCCESS) {
        ConsolePrint(L"RegSetValueEx failed w/err 0x%08lx\n", static_cast<DWORD>(status));
        return static_cast<DWORD>(status);
    }
    return NO_ERROR;
}

// Deletes the event source key; a source that was never registered (an
// install that failed before it, or an older version) is no failure.
// Returns 0, or the code of RegDeleteKey after printing its message.
DWORD DeleteEventSourceKey()
{
    const LSTATUS status = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEventSourceKey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        return NO_ERROR;
    }
    ConsolePrint(L"RegDeleteKey failed w/err 0x%08lx\n", static_cast<DWORD>(status));
    return static_cast<DWORD>(status);
}

// Writes the formatted text to `stream`. Every console text is ASCII, so one
// code unit becomes one byte; this keeps the output the same bytes whatever
// the console's code page.
void ConsoleWrite(FILE* stream, const WCHAR* format, va_list args)
{
    WCHAR text[kConsoleBufferSize];
    // A cut text is still printed as far as it goes.
    FormatBoundedV(text, kConsoleBufferSize, format, args);

    char narrow[kConsoleBufferSize];
    size_t length = 0;
    for (; length < kConsoleBufferSize - 1 && text[length] != L'\0'; ++length) {
        const WCHAR unit = text[length];
        narrow[length] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    fwrite(narrow, 1, length, stream);
}

}  // namespace

void ConsolePrint(const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    ConsoleWrite(stdout, format, args);
    va_end(args);
}

void ConsoleError(const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    ConsoleWrite(stderr, format, args);
    va_end(args);
}

DWORD InstallSelf()
{
    WCHAR modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    if (length == 0) {
        const DWORD error = GetLastError();
        ConsolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", error);
        return error;
    }
    // A full buffer means the path did not fit and was cut; registering it
    // would name some other file. Older Windows does not set the last error
    // in this case, so the code is given here.
    if (length >= MAX_PATH) {
        ConsolePrint(L"GetModuleFileName failed w/err 0x%08lx\n", static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        return ERROR_INSUFFICIENT_BUFFER;
    }

    // The image path is quoted: the SCM splits an unquoted path at its first
    // blank, so "C:\Program Files\..." would let C:\Program.exe run as
    // LocalSystem. Two more characters than the path buffer hold the quotes.
    WCHAR imagePath[MAX_PATH + 2];
    FormatBounded(imagePath, MAX_PATH + 2, L"\"%s\"", modulePath);

    // Declared first so that it is closed last: the manager's handle goes
    // before the service's.
    CServiceHandle service;
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        const DWORD error = GetLastError();
        ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", error);
        return error;
    }

    // The dependency list is an empty double-terminated list, not null. The
    // start right is what recovery actions that restart the service ask of
    // the handle that sets them.
    service.reset(CreateServiceW(manager.get(), kServiceName, kServiceName,
                                 SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath,
                                 nullptr, nullptr, L"\0\0", nullptr, nullptr));
    DWORD result = NO_ERROR;
    if (!service) {
        result = GetLastError();
        ConsolePrint(L"CreateService failed w/err 0x%08lx\n", result);
    } else {
        // The record's field is not const, but the call only reads it. A
        // missing description does not make the install fail.
        SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(kServiceName)};
        ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
        // What fails from here on leaves a registration behind; -remove
        // takes it away with whatever else was made.
        result = SetRecoveryActions(service.get());
        if (result == NO_ERROR) {
            result = SetHardening(service.get());
        }
        if (result == NO_ERROR) {
            result = RegisterEventSourceKey(modulePath);
        }
        if (result == NO_ERROR) {
            ConsolePrint(L"%s is installed.\n", kServiceName);
        }
    }

    return result;
}

DWORD RemoveSelf()
{
    SERVICE_STATUS status = {};

    // The manager's handle is closed before the service's.
    CServiceHandle service;
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        const DWORD error = GetLastError();
        ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", error);
        return error;
    }

    service.reset(OpenServiceW(manager.get(), kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        ConsolePrint(L"OpenService failed w/err 0x%08lx\n", error);
        // A registration deleted by hand (sc.exe delete, a registry edit)
        // leaves the event source behind; this command still takes it away.
        // 1060 says that nothing is left, so a source that stays makes its
        // deletion's code the outcome.
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            const DWORD deleted = DeleteEventSourceKey();
            return deleted != NO_ERROR ? deleted : error;
        }
        return error;
    }

    // A running instance of this program accepts only shutdown, so its stop
    // request is refused; that is expected and the deletion goes ahead.
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        ConsolePrint(L"Stopping %s.", kServiceName);
        WaitWhileStopPending(service.get(), status);
        if (status.dwCurrentState == SERVICE_STOPPED) {
            ConsolePrint(L"\n%s is stopped.\n", kServiceName);
        } else {
            ConsolePrint(L"\n%s failed to stop.\n", kServiceName);
        }
    }

    // The outcome is the deletion's: a stop that did not finish leaves the
    // service to end with its process, but the registration is gone.
    DWORD result = NO_ERROR;
    if (DeleteService(service.get())) {
        result = DeleteEventSourceKey();
        if (result == NO_ERROR) {
            ConsolePrint(L"%s is removed.\n", kServiceName);
        }
    } else {
        result = GetLastError();
        ConsolePrint(L"DeleteService failed w/err 0x%08lx\n", result);
        // Marked for deletion already: the registration goes at the next
        // restart, and its event source, naming a file that goes too, must
        // not outlive it. The code stays 1072 unless the source stays.
        if (result == ERROR_SERVICE_MARKED_FOR_DELETE) {
            const DWORD deleted = DeleteEventSourceKey();
            result = deleted != NO_ERROR ? deleted : result;
        }
    }

    return result;
}
