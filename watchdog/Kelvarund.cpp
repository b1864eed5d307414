#include "Kelvarund.h"

#include "UniqueHandle.h"

namespace {

// The result texts. The two literals that take a code differ on purpose: the
// open-service one ends in a colon and two blanks, the start one in one blank.
constexpr const char kWrongData[] = "Kelvarund - Wrong data";
constexpr const char kOpenScmFailed[] = "Kelvarund - Failed to open SCM";
constexpr const char kOpenServiceFailed[] = "Kelvarund - Failed to open service with error:  ";
constexpr const char kStartFailed[] = "Kelvarund - Failed to start service with error ";

// A pending state unchanged for this long, at the least, is a hang.
constexpr ULONGLONG kPollPeriodMs = 5000;

static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36, "the status query hands the SCM a 36-byte buffer");

// Reads the named service's status into `status`; false after any failed
// step, which is never reported: the start path that follows meets the same
// failure, if it lasts, and reports it with its code.
bool QueryStatus(const std::wstring& serviceName, SERVICE_STATUS_PROCESS& status)
{
    // Declared in this order so that the service handle is closed first.
    // Each open asks only for the right its one call needs: a service whose
    // permissions were hardened may grant LocalSystem no more than that.
    const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return false;
    }
    const CServiceHandle service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_QUERY_STATUS));
    if (!service) {
        return false;
    }
    DWORD bytesNeeded = 0;  // required by the call; its value is never used
    return QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                sizeof(status), &bytesNeeded) != FALSE;
}

bool IsPending(DWORD state)
{
    return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
           state == SERVICE_PAUSE_PENDING;
}

}  // namespace

bool CProgressWatch::Stalled(const SERVICE_STATUS_PROCESS& status, ULONGLONG now)
{
    if (!IsPending(status.dwCurrentState)) {
        m_state = 0;
        return status.dwCurrentState == SERVICE_PAUSED;
    }
    if (status.dwCurrentState != m_state || status.dwCheckPoint != m_checkPoint) {
        m_state = status.dwCurrentState;
        m_checkPoint = status.dwCheckPoint;
        m_since = now;
        return false;
    }
    // At least a period, so that a state seen by one poll only is never a
    // hang, whatever wait hint the service gives.
    const ULONGLONG unchanged = now - m_since;
    return unchanged > status.dwWaitHint && unchanged >= kPollPeriodMs;
}

bool IsServiceRunning(const std::wstring& serviceName)
{
    SERVICE_STATUS_PROCESS status = {};
    return !serviceName.empty() && QueryStatus(serviceName, status) && status.dwCurrentState == SERVICE_RUNNING;
}

std::string Kelvarund(const std::wstring& serviceName)
{
    CProgressWatch progress;
    CheckOutcome outcome;
    return Kelvarund(serviceName, progress, outcome);
}

std::string Kelvarund(const std::wstring& serviceName, CProgressWatch& progress, CheckOutcome& outcome)
{
    outcome = CheckOutcome();
    if (serviceName.empty()) {
        return kWrongData;
    }
    SERVICE_STATUS_PROCESS status = {};
    bool stalled = false;
    if (QueryStatus(serviceName, status)) {
        outcome.foundState = status.dwCurrentState;
        if (status.dwCurrentState == SERVICE_RUNNING) {
            progress.Forget();
            return std::string();
        }
        stalled = progress.Stalled(status, GetTickCount64());
    } else {
        progress.Forget();
    }
    return RequestStart(serviceName, stalled, outcome);
}

std::string RequestStart(const std::wstring& serviceName, bool stalled, CheckOutcome& outcome)
{
    DWORD startError = 0;
    {
        const CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        if (!manager) {
            return kOpenScmFailed;
        }
        const CServiceHandle service(OpenServiceW(manager.get(), serviceName.c_str(), SERVICE_START));
        if (!service) {
            // Read before the close, which may set a last error of its own.
            const DWORD openError = GetLastError();
            return kOpenServiceFailed + FormatUnsigned(openError);
        }
        outcome.startRequested = true;
        outcome.startAccepted = StartServiceW(service.get(), 0, nullptr) != FALSE;
        if (!outcome.startAccepted) {
            startError = GetLastError();
            outcome.startError = startError;
        }
    }

    // "Already running" is the answer for any state but stopped: no failure
    // for a service on its way (one the stop watcher has just started, or
    // one stopping within its wait hint), but a paused or hung one is not
    // running and nothing here can mend it. During a system shutdown Windows
    // refuses starts while it stops every service: no failure either.
    if (startError == 0 || startError == ERROR_SHUTDOWN_IN_PROGRESS ||
        (startError == ERROR_SERVICE_ALREADY_RUNNING && !stalled)) {
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
