// The one door to the operating system. Product code includes this header and
// nothing else for Win32: on Windows it is the SDK, elsewhere the SDK's
// declarations alone, which only the test programs back with behaviour.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// strsafe otherwise renames the C run-time's string routines for every header
// included after it.
#define STRSAFE_NO_DEPRECATE
#include <strsafe.h>
#include <wchar.h>
#else
#include "Win32Declarations.h"
#endif
