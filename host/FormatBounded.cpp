// strsafe's bounded formatting, with the one guard it lacks. Where the format
// is wide, strsafe hands it to the C run-time's own _vsnwprintf, which reads
// "%s" as wide text.
#include "FormatBounded.h"

HRESULT FormatBoundedV(WCHAR* destination, size_t size, const WCHAR* format, va_list args)
{
    // strsafe refuses a size above its limit too, but mingw's leaves the
    // destination as it was; a caller that ignores the result then prints
    // whatever the buffer held. Empty text is what it gets instead.
    if (size > STRSAFE_MAX_CCH) {
        destination[0] = L'\0';
        return E_INVALIDARG;
    }
    return StringCchVPrintfW(destination, size, format, args);
}

HRESULT FormatBounded(WCHAR* destination, size_t size, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT result = FormatBoundedV(destination, size, format, args);
    va_end(args);
    return result;
}
