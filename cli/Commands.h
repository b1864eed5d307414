// The console commands that register and unregister the executable as the
// "Tavrilex" service, and the console output they share with the entry.
#pragma once

#include "Platform.h"

// Registers the running executable (its quoted full path) as an automatically
// started own-process service with recovery actions, registers the event
// source with the executable as message file, and reports the outcome on
// standard output. Returns 0 when all of it was done; otherwise the Win32
// code of the step that failed, the one its message shows.
DWORD InstallSelf();

// Asks the service to stop, waits while it reports stop pending, deletes the
// registration and the event source, and reports each step on standard
// output. Returns 0 once both are deleted, whether or not the service
// stopped; otherwise the Win32 code of the step that failed.
DWORD RemoveSelf();

// Wide formatted output to standard output ("%s" takes wide text, "%08lx" a
// DWORD). No flush of its own; the write's result is not tested.
void ConsolePrint(const WCHAR* format, ...);
// The same, to standard error.
void ConsoleError(const WCHAR* format, ...);
