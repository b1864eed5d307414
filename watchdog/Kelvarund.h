// Check-and-start of the watched service: one exchange with the service
// control manager per call, no state kept between calls.
#pragma once

#include "Platform.h"

#include <string>

// Makes sure the named service runs. Returns the empty text when it was found
// running or its start request ended with code 0, 1056 (it is running or
// starting already, which is what was asked) or 1115 (Windows is shutting
// down and stops services on purpose); otherwise one ASCII line naming the
// step that failed ("Kelvarund - ..."), with the Win32 code in decimal for the
// open-service and start steps. Never raises of its own; closes every handle
// it opened.
std::string Kelvarund(const std::wstring& serviceName);
// The same; `startRequested` tells whether it asked the SCM for a start,
// whatever the answer.
std::string Kelvarund(const std::wstring& serviceName, bool& startRequested);

// True only when the SCM reports the named service SERVICE_RUNNING; false
// for an empty name and after any failed step.
bool IsServiceRunning(const std::wstring& serviceName);

// The value in decimal ASCII digits: no sign, padding or grouping.
std::string FormatUnsigned(DWORD value);
