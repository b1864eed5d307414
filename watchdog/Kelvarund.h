// Check-and-start of the watched service: one exchange with the service
// control manager per call.
#pragma once

#include "Platform.h"

#include <string>

// Tells a service that passes through a pending state, as Windows defines
// progress (its checkpoint advances within its wait hint), from one that
// hangs there. Kept by one caller from one check to the next; no lock.
class CProgressWatch {
public:
    // Notes the status a check found at `now` (GetTickCount64's ms). Returns
    // true when it shows no progress: SERVICE_PAUSED, or one pending state
    // with one checkpoint for longer than its wait hint and at least one
    // poll period.
    bool Stalled(const SERVICE_STATUS_PROCESS& status, ULONGLONG now);
    // The check could not read the status: nothing seen before counts.
    void Forget() { m_state = 0; }

private:
    DWORD m_state = 0;  // the pending state last seen; 0 for none
    DWORD m_checkPoint = 0;
    ULONGLONG m_since = 0;
};

// What one call found and did, beside its result line.
struct CheckOutcome {
    DWORD foundState = 0;  // the status check's answer; 0 when it had none
    bool startRequested = false;  // the SCM was asked, whatever it answered
    bool startAccepted = false;
    DWORD startError = 0;  // the refusal's code; 0 when accepted or not asked
};

// Makes sure the named service runs. Returns the empty text when it was found
// running, or its start request ended with code 0, with 1115 (Windows is
// shutting down and stops services on purpose), or with 1056 (it is not
// stopped) while it is on its way: found stopped, or pending and not
// stalled by `progress`. Otherwise one ASCII line naming the step that failed
// ("Kelvarund - ..."), with the Win32 code in decimal for the open-service
// and start steps. Never raises of its own; closes every handle it opened.
std::string Kelvarund(const std::wstring& serviceName, CProgressWatch& progress, CheckOutcome& outcome);
// The same with nothing seen before: a pending state is never stalled.
std::string Kelvarund(const std::wstring& serviceName);
// Kelvarund's start request alone, for a service its caller knows is not
// running; `stalled` says whether a refusal with 1056 is a failure. Sets the
// outcome's start fields only.
std::string RequestStart(const std::wstring& serviceName, bool stalled, CheckOutcome& outcome);

// True only when the SCM reports the named service SERVICE_RUNNING; false
// for an empty name and after any failed step.
bool IsServiceRunning(const std::wstring& serviceName);

// The value in decimal ASCII digits: no sign, padding or grouping.
std::string FormatUnsigned(DWORD value);
