// strsafe's StringCchVPrintfW as mingw-w64 builds it: the C run-time's
// _vsnwprintf writes at most cchDest - 1 characters and fails when the text is
// longer; strsafe then terminates what was written. Only the conversions of
// the program's formats are known, with the meaning Windows' run-time gives
// them in a wide format: "%s" wide text, "%08lx" (zero padding, a width, the
// size of a DWORD) lowercase hexadecimal, and "%%". Any other makes the
// formatting fail, which strsafe reports as a cut text, so a new format shows
// up in the tests before it reaches a user.
#include "Platform.h"

namespace {

// Writes what fits and remembers that something did not.
struct CBoundedOutput {
    WCHAR* destination;
    size_t capacity;
    size_t length = 0;
    bool cut = false;

    void Put(WCHAR ch)
    {
        if (length < capacity) {
            destination[length++] = ch;
        } else {
            cut = true;
        }
    }
};

bool Format(CBoundedOutput& output, const WCHAR* format, va_list args)
{
    while (*format != L'\0') {
        if (*format != L'%') {
            output.Put(*format++);
            continue;
        }
        ++format;
        if (*format == L'%' || *format == L's') {
            const WCHAR* text = *format == L'%' ? L"%" : va_arg(args, const WCHAR*);
            for (; *text != L'\0'; ++text) {
                output.Put(*text);
            }
            ++format;
            continue;
        }
        const bool zeroPad = *format == L'0';
        size_t width = 0;
        for (; *format >= L'0' && *format <= L'9'; ++format) {
            width = width * 10 + static_cast<size_t>(*format - L'0');
        }
        if (format[0] != L'l' || format[1] != L'x') {
            return false;
        }
        format += 2;
        DWORD value = va_arg(args, DWORD);
        WCHAR digits[8];
        size_t count = 0;
        do {
            digits[count++] = L"0123456789abcdef"[value % 16];
            value /= 16;
        } while (value != 0);
        for (size_t padding = count; padding < width; ++padding) {
            output.Put(zeroPad ? L'0' : L' ');
        }
        while (count > 0) {
            output.Put(digits[--count]);
        }
    }
    return true;
}

}  // namespace

HRESULT WINAPI StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList)
{
    // Both refusals leave the destination as it was.
    if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH) {
        return STRSAFE_E_INVALID_PARAMETER;
    }
    CBoundedOutput output{pszDest, cchDest - 1};
    const bool formatted = Format(output, pszFormat, argList);
    pszDest[output.length] = L'\0';
    return formatted && !output.cut ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
}
