// The console commands that register and unregister the executable as the
// "Tavrilex" service, and the console output they share with the entry.
#pragma once

#include "Platform.h"

// Registers the running executable (its quoted full path) as an automatically
// started own-process service and reports the outcome on standard output.
void InstallSelf();

// Asks the service to stop, waits while it reports stop pending, deletes the
// registration, and reports each step on standard output.
void RemoveSelf();

// Wide formatted output to standard output ("%s" takes wide text, "%08lx" a
// DWORD). No flush of its own; the write's result is not tested.
void ConsolePrint(const WCHAR* format, ...);
