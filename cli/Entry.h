// The process entry, shared by wmain on Windows and the native main.
#pragma once

#include "Platform.h"

// Chooses the process's role from the first argument: "-install"/"/install",
// "-remove"/"/remove" (any ASCII case) run that command; any other switch does
// nothing; otherwise the process runs as the service. Returns 0 on every path.
int TavrilexMain(int argc, WCHAR* argv[]);
