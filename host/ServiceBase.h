// The service framework: the one service object of the process, its status
// record and event-log reporting, and the glue to the service control
// dispatcher (RunDispatcher, ServiceEntry, ControlHandler, the transitions).
#pragma once

#include "EventLog.h"
#include "Platform.h"

#include <mutex>

// A failure raised as the bare Win32 error code that GetLastError gave right
// after the failed call. Only an exception object of exactly this type counts;
// anything else thrown is "any other exception" to the transitions.
using ErrorCodeException = DWORD;

class CServiceBase {
public:
    // `serviceName` is not copied: it must outlive the object.
    explicit CServiceBase(PCWSTR serviceName);
    virtual ~CServiceBase();

    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // Records `service` in s_instance and enters the service control
    // dispatcher. Returns true once the dispatcher has returned (the service
    // has stopped) and ServiceEntry no longer uses the object; false at once
    // when it cannot be entered, with the last error left exactly as
    // StartServiceCtrlDispatcherW set it.
    static bool RunDispatcher(CServiceBase& service);

    // Write one error record (name, then message) to the event log through
    // m_records. Never raise; when the source cannot be registered, or the
    // gate is closed, the record is dropped.
    void LogEvent(PCWSTR message) const;
    void LogError(PCWSTR operation, DWORD code) const;

protected:
    // Hooks run by the transitions. They report failure only by raising.
    virtual void DoStart(DWORD argc, PWSTR* argv);
    virtual void DoStop();
    virtual void DoPause();
    virtual void DoContinue();
    virtual void DoShutdown();

    PCWSTR m_serviceName;
    // Every record of the service passes it, LogEvent's and the derived
    // service's own, so that closing it silences them all.
    CRecordGate m_records;

private:
    SERVICE_STATUS m_serviceStatus;
    SERVICE_STATUS_HANDLE m_reportHandle;

    static CServiceBase* s_instance;
    static DWORD s_nextCheckPoint;

    static void WINAPI ServiceEntry(DWORD argc, PWSTR* argv);
    static void WINAPI ControlHandler(DWORD control);

    void HandleStart(DWORD argc, PWSTR* argv);
    void HandleStop();
    void HandlePause();
    void HandleContinue();
    void HandleShutdown();

    // Sends the whole record under the checkpoint rule; nothing once
    // SERVICE_STOPPED has been sent.
    void ReportStatus(DWORD state, DWORD exitCode);

    // The start transition (service thread) and a control transition (the
    // dispatcher's thread) may report at the same time; each report, with the
    // process-wide checkpoint counter, is made under this lock.
    static std::mutex s_reportLock;

    // Held by ServiceEntry for as long as it runs. The dispatcher returns as
    // soon as the service has reported SERVICE_STOPPED, without waiting for
    // the main routine: after a shutdown during the start transition,
    // ServiceEntry is still in DoStart then. RunDispatcher takes this lock
    // before it returns, so that the object outlives the start transition.
    static std::mutex s_entryLock;
};
