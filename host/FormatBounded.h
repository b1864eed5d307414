// Bounded wide formatting, shared by the event-log messages and the console.
#pragma once

#include "Platform.h"

#include <cstdarg>

// Formats into `destination`, whose `size` counts wide characters, terminator
// included. "%s" takes wide text, "%08lx" a DWORD. Returns S_OK when the whole
// text fit; E_INVALIDARG for size 0 (destination untouched) or above
// STRSAFE_MAX_CCH (destination set to empty text); otherwise
// STRSAFE_E_INSUFFICIENT_BUFFER, with the first size - 1 characters kept and
// terminated.
HRESULT FormatBounded(WCHAR* destination, size_t size, const WCHAR* format, ...);
HRESULT FormatBoundedV(WCHAR* destination, size_t size, const WCHAR* format, va_list args);
