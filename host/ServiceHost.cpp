// The glue between the service object and the service control manager: the
// dispatcher entry, the service's main routine, the control handler, the
// five transitions and the status reports they send.
#include "ServiceBase.h"

CServiceBase* CServiceBase::s_instance = nullptr;
// Checkpoint 0 means "not pending", so the first pending report gets 1.
DWORD CServiceBase::s_nextCheckPoint = 1;
std::mutex CServiceBase::s_reportLock;
std::mutex CServiceBase::s_entryLock;

bool CServiceBase::RunDispatcher(CServiceBase& service)
{
    s_instance = &service;

    // The table lives in this frame, which outlasts the dispatcher call.
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(service.m_serviceName), ServiceEntry},
        {nullptr, nullptr},
    };
    // Nothing may run after a failed call: the caller reads the last error
    // that the dispatcher left.
    if (!StartServiceCtrlDispatcherW(table)) {
        return false;
    }
    // The service has reported SERVICE_STOPPED, so ServiceEntry has begun;
    // it may not have ended.
    const std::lock_guard<std::mutex> entryEnded(s_entryLock);
    return true;
}

void WINAPI CServiceBase::ServiceEntry(DWORD argc, PWSTR* argv)
{
    // Taken before the handler exists, so before anything can report
    // SERVICE_STOPPED and let the dispatcher return.
    const std::lock_guard<std::mutex> running(s_entryLock);
    CServiceBase* service = s_instance;
    // The handler may run on the dispatcher's thread as soon as it is
    // registered, before the handle is stored; holding the report lock until
    // then makes an early transition's reports wait for the handle instead of
    // going out with none.
    std::unique_lock<std::mutex> lock(s_reportLock);
    service->m_reportHandle = RegisterServiceCtrlHandlerW(service->m_serviceName, ControlHandler);
    if (service->m_reportHandle == nullptr) {
        const DWORD error = GetLastError();
        lock.unlock();
        // Without a status handle nothing can be reported, so the start
        // transition must not run; the event log needs only the name. The
        // dispatcher waits for a STOPPED report that can never come, so the
        // process is ended here, with the code: the SCM sees a failure and
        // runs the service's recovery actions.
        service->LogError(L"Service Register", error);
        ExitProcess(error);
    }
    lock.unlock();
    service->HandleStart(argc, argv);
}

void WINAPI CServiceBase::ControlHandler(DWORD control)
{
    // No transition checks the current state first: a request is carried out
    // in whatever state the service is in.
    switch (control) {
    case SERVICE_CONTROL_STOP:
        s_instance->HandleStop();
        break;
    case SERVICE_CONTROL_PAUSE:
        s_instance->HandlePause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        s_instance->HandleContinue();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        s_instance->HandleShutdown();
        break;
    default:
        // Interrogate and unknown codes: nothing to do, nothing to report.
        break;
    }
}

void CServiceBase::HandleStart(DWORD argc, PWSTR* argv)
{
    try {
        ReportStatus(SERVICE_START_PENDING, NO_ERROR);
        DoStart(argc, argv);
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    } catch (ErrorCodeException error) {
        LogError(L"Service Start", error);
        // Only a failed start carries the code to the SCM as exit code.
        ReportStatus(SERVICE_STOPPED, error);
    } catch (...) {
        LogEvent(L"Service failed to start.");
        ReportStatus(SERVICE_STOPPED, NO_ERROR);
    }
}

void CServiceBase::HandleStop()
{
    // The start transition may be reporting on the service thread right now;
    // the record is read under the same lock that guards its writes.
    DWORD previousState;
    {
        std::lock_guard<std::mutex> lock(s_reportLock);
        previousState = m_serviceStatus.dwCurrentState;
    }
    try {
        ReportStatus(SERVICE_STOP_PENDING, NO_ERROR);
        DoStop();
        ReportStatus(SERVICE_STOPPED, NO_ERROR);
    } catch (ErrorCodeException error) {
        LogError(L"Service Stop", error);
        ReportStatus(previousState, NO_ERROR);
    } catch (...) {
        LogEvent(L"Service failed to stop.");
        ReportStatus(previousState, NO_ERROR);
    }
}

void CServiceBase::HandlePause()
{
    try {
        ReportStatus(SERVICE_PAUSE_PENDING, NO_ERROR);
        DoPause();
        ReportStatus(SERVICE_PAUSED, NO_ERROR);
    } catch (ErrorCodeException error) {
        LogError(L"Service Pause", error);
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    } catch (...) {
        LogEvent(L"Service failed to pause.");
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    }
}

void CServiceBase::HandleContinue()
{
    try {
        ReportStatus(SERVICE_CONTINUE_PENDING, NO_ERROR);
        DoContinue();
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    } catch (ErrorCodeException error) {
        LogError(L"Service Continue", error);
        ReportStatus(SERVICE_PAUSED, NO_ERROR);
    } catch (...) {
        LogEvent(L"Service failed to resume.");
        ReportStatus(SERVICE_PAUSED, NO_ERROR);
    }
}

void CServiceBase::HandleShutdown()
{
    // The system is going down: there is no time for a pending report, and
    // after a failure the last reported state stands.
    try {
        DoShutdown();
        ReportStatus(SERVICE_STOPPED, NO_ERROR);
    } catch (ErrorCodeException error) {
        LogError(L"Service Shutdown", error);
    } catch (...) {
        LogEvent(L"Service failed to shut down.");
    }
}

void CServiceBase::ReportStatus(DWORD state, DWORD exitCode)
{
    // One report at a time: the counter's read-add-write and the record sent
    // must belong to the same report even when both threads report at once.
    std::lock_guard<std::mutex> lock(s_reportLock);
    // SERVICE_STOPPED lets the dispatcher return and the entry destroy the
    // object. A start transition overtaken by a shutdown must not report the
    // service back to life after that.
    if (m_serviceStatus.dwCurrentState == SERVICE_STOPPED) {
        return;
    }
    m_serviceStatus.dwCurrentState = state;
    m_serviceStatus.dwWin32ExitCode = exitCode;
    m_serviceStatus.dwWaitHint = 0;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) {
        m_serviceStatus.dwCheckPoint = 0;
    } else {
        m_serviceStatus.dwCheckPoint = s_nextCheckPoint++;
    }
    SetServiceStatus(m_reportHandle, &m_serviceStatus);
}
