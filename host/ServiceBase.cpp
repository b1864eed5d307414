// The service object: its starting status record, the empty hooks, and the
// event-log reporting that every failure of the service goes through.
#include "ServiceBase.h"

#include "EventLog.h"
#include "FormatBounded.h"
#include "UniqueHandle.h"

namespace {

// Wide characters, terminator included. The longest message the program
// writes ("Service Continue failed w/err 0x........") is 40.
constexpr size_t kLogErrorChars = 260;

// Registered around each record so that no handle stays open between
// records. Reached through CRecordGate only.
void WriteEventRecord(PCWSTR source, WORD type, DWORD eventId, WORD count, LPCWSTR* strings)
{
    const CEventSource eventSource(RegisterEventSourceW(nullptr, source));
    if (!eventSource) {
        return;
    }
    ReportEventW(eventSource.get(), type, 0, eventId, nullptr, count, 0, strings, nullptr);
}

}  // namespace

CServiceBase::CServiceBase(PCWSTR serviceName) : m_serviceName(serviceName), m_serviceStatus(), m_reportHandle(nullptr)
{
    m_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    // Held, not sent: the start transition makes the first report.
    m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    // Shutdown is the only control announced; the SCM refuses the rest.
    m_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_SHUTDOWN;
    m_serviceStatus.dwWin32ExitCode = NO_ERROR;
    m_serviceStatus.dwServiceSpecificExitCode = 0;
    m_serviceStatus.dwCheckPoint = 0;
    m_serviceStatus.dwWaitHint = 0;
}

// Releases nothing: the status handle is never closed and the name is not ours.
CServiceBase::~CServiceBase() = default;

void CServiceBase::DoStart(DWORD /*argc*/, PWSTR* /*argv*/) {}

void CServiceBase::DoStop() {}

void CServiceBase::DoPause() {}

void CServiceBase::DoContinue() {}

void CServiceBase::DoShutdown() {}

void CRecordGate::Write(PCWSTR source, WORD type, DWORD eventId, WORD count, LPCWSTR* strings) const
{
    if (!m_closed.load()) {
        WriteEventRecord(source, type, eventId, count, strings);
    }
}

void CServiceBase::LogEvent(PCWSTR message) const
{
    LPCWSTR strings[2] = {m_serviceName, message};
    m_records.Write(m_serviceName, EVENTLOG_ERROR_TYPE, kEventFailure, 2, strings);
}

void CServiceBase::LogError(PCWSTR operation, DWORD code) const
{
    // A message too long for the buffer is written cut, so the result of the
    // formatting does not matter here.
    WCHAR message[kLogErrorChars];
    FormatBounded(message, kLogErrorChars, L"%s failed w/err 0x%08lx", operation, code);
    LogEvent(message);
}
