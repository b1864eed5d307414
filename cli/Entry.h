// The process entry, shared by wmain on Windows and the native main.
#pragma once

#include "Platform.h"

// Chooses the process's role from the first argument: "-install"/"/install",
// "-remove"/"/remove" (any ASCII case) run that command; any other switch
// prints a usage line to standard error and returns 87
// (ERROR_INVALID_PARAMETER); otherwise the process runs as the service.
// Returns 0 when the command or the service run did what it says, otherwise
// the Win32 code of what failed.
int TavrilexMain(int argc, WCHAR* argv[]);
