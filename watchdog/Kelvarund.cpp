#include "Kelvarund.h"

#include "UniqueHandle.h"

namespace {

// The result texts. The two literals that take a code differ on purpose: the
// open-service one ends in a colon and two blanks, the start one in one blank.
constexpr const char kWrongData[] = "Kelvarund - Wrong data";
constexpr const char kOpenScmFailed[] = "Kelvarund - Failed to open SCM";
constexpr const char kOpenServiceFailed[] = "Kelvarund - Failed to open service with error:  ";
constexpr const char kStartFailed[] = "Kelvarund - Failed to start service with error ";

static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "the status query hands the SCM a 36-byte buffer");

}  // namespace

bool IsServiceRunning(const std::wstring& serviceName)
{
    if (serviceName.empty()) {
        return false;
    }

    // Declared in this order so that the service handle is closed first.
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        return false;
    }
    const CServiceHandle service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
    if (!service) {
        return false;
    }

    SERVICE_STATUS_PROCESS status = {};
    DWORD bytesNeeded = 0;  // required by the call; its value is never used
    const BOOL queried = QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                              sizeof(status), &bytesNeeded);
    // A failed query reads as "not running": the start path that follows
    // meets the same failure, if it lasts, and reports it with its code.
    return queried != FALSE && status.dwCurrentState == SERVICE_RUNNING;
}

std::string Kelvarund(const std::wstring& serviceName)
{
    bool startRequested = false;
    return Kelvarund(serviceName, startRequested);
}

std::string Kelvarund(const std::wstring& serviceName, bool& startRequested)
{
    startRequested = false;
    if (serviceName.empty()) {
        return kWrongData;
    }
    if (IsServiceRunning(serviceName)) {
        return std::string();
    }

    DWORD startError = 0;
    {
        const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) {
            return kOpenScmFailed;
        }
        const CServiceHandle service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_ALL_ACCESS));
        if (!service) {
            // Read before the close, which may set a last error of its own.
            const DWORD openError = GetLastError();
            return kOpenServiceFailed + FormatUnsigned(openError);
        }
        startRequested = true;
        if (!StartServiceW(service.get(), 0, nullptr)) {
            startError = GetLastError();
        }
    }

    // "Already running" is the answer for a service that is starting or
    // stopping (the check counts only RUNNING), e.g. one the stop watcher has
    // just started: not a failure. During a system shutdown Windows refuses
    // starts while it stops every service: not one either.
    if (startError == 0 || startError == ERROR_SERVICE_ALREADY_RUNNING || startError == ERROR_SHUTDOWN_IN_PROGRESS) {
        return std::string();
    }
    return kStartFailed + FormatUnsigned(startError);
}

std::string FormatUnsigned(DWORD value)
{
    // Built by hand so that no locale can add grouping or other characters.
    char digits[10];  // 4294967295 has ten
    size_t first = sizeof(digits);
    do {
        digits[--first] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return std::string(digits + first, digits + sizeof(digits));
}
