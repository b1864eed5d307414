// Bounded wide formatting of our own. The C run-times disagree on what "%s"
// means in a wide format (glibc: narrow text unless "%ls"; mingw's default
// printf family: narrow as well), so every wide format of the program goes
// through this one routine, where "%s" always takes wide text. It writes
// straight into the caller's buffer and allocates nothing.
#include "ServiceBase.h"

namespace {

// The largest size the caller may state, in wide characters; anything above
// it is a size that no real buffer has, so it is refused as invalid.
constexpr size_t kMaxSize = 0x7FFFFFFF;

const WCHAR kNullText[] = L"(null)";

// Appends to a destination that may be too small: characters past the
// capacity are counted as lost, never written.
class CBoundedWriter {
public:
    CBoundedWriter(WCHAR* destination, size_t capacity) : m_destination(destination), m_capacity(capacity) {}

    void Put(WCHAR ch)
    {
        if (m_length < m_capacity) {
            m_destination[m_length++] = ch;
        } else {
            m_truncated = true;
        }
    }

    void Repeat(WCHAR ch, size_t count)
    {
        // Stops at the first lost character: a wide field in a small buffer
        // costs no more than the buffer.
        for (size_t i = 0; i < count && !m_truncated; ++i) {
            Put(ch);
        }
    }

    void Terminate() { m_destination[m_length] = L'\0'; }
    bool Truncated() const { return m_truncated; }

private:
    WCHAR* m_destination;
    size_t m_capacity;  // characters, terminator excluded
    size_t m_length = 0;
    bool m_truncated = false;
};

// What a conversion asked for besides its letter.
struct CField {
    bool leftAlign = false;
    bool zeroPad = false;
    size_t width = 0;
};

void PutText(CBoundedWriter& writer, const CField& field, const WCHAR* text)
{
    if (text == nullptr) {
        text = kNullText;
    }
    size_t length = 0;
    while (text[length] != L'\0') {
        ++length;
    }
    const size_t padding = field.width > length ? field.width - length : 0;
    if (!field.leftAlign) {
        writer.Repeat(L' ', padding);
    }
    for (size_t i = 0; i < length; ++i) {
        writer.Put(text[i]);
    }
    if (field.leftAlign) {
        writer.Repeat(L' ', padding);
    }
}

// `magnitude` is the absolute value; the sign comes apart so that zero
// padding goes between the sign and the digits, as in printf.
void PutInteger(CBoundedWriter& writer, const CField& field, DWORD magnitude, bool negative, DWORD base, bool upper)
{
    // 32 bits in base 10 need 10 digits, in base 16 eight.
    WCHAR digits[10];
    size_t count = 0;
    const WCHAR* alphabet = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[count++] = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    const size_t body = (negative ? 1 : 0) + count;
    const size_t padding = field.width > body ? field.width - body : 0;
    const bool zeroFill = field.zeroPad && !field.leftAlign;
    if (!field.leftAlign && !zeroFill) {
        writer.Repeat(L' ', padding);
    }
    if (negative) {
        writer.Put(L'-');
    }
    if (zeroFill) {
        writer.Repeat(L'0', padding);
    }
    while (count > 0) {
        writer.Put(digits[--count]);
    }
    if (field.leftAlign) {
        writer.Repeat(L' ', padding);
    }
}

// Formats the whole format into the writer. Supports the flags "-" and "0",
// a decimal width, the size prefix "l" (32 bits, as on Windows) and the
// conversions s, d, i, u, x, X and %%. Returns false at a conversion outside
// that set; the output made before it stays in the writer.
bool FormatInto(CBoundedWriter& writer, const WCHAR* format, va_list args)
{
    const WCHAR* cursor = format;
    while (*cursor != L'\0') {
        if (*cursor != L'%') {
            writer.Put(*cursor++);
            continue;
        }
        ++cursor;

        CField field;
        for (;; ++cursor) {
            if (*cursor == L'-') {
                field.leftAlign = true;
            } else if (*cursor == L'0') {
                field.zeroPad = true;
            } else {
                break;
            }
        }
        while (*cursor >= L'0' && *cursor <= L'9') {
            field.width = field.width * 10 + static_cast<size_t>(*cursor - L'0');
            ++cursor;
        }
        const bool longSize = *cursor == L'l';
        if (longSize) {
            ++cursor;
        }

        switch (*cursor++) {
        case L'%':
            writer.Put(L'%');
            break;
        case L's':
            // Wide text with or without "l": the one meaning on every compiler.
            PutText(writer, field, va_arg(args, const WCHAR*));
            break;
        case L'd':
        case L'i': {
            // LONG, unlike long, is 32 bits on both sides.
            const LONG value = longSize ? va_arg(args, LONG) : static_cast<LONG>(va_arg(args, int));
            // Negated in unsigned arithmetic so that the least value stays defined.
            const DWORD magnitude = value < 0 ? 0u - static_cast<DWORD>(value) : static_cast<DWORD>(value);
            PutInteger(writer, field, magnitude, value < 0, 10, false);
            break;
        }
        case L'u':
        case L'x':
        case L'X': {
            // The program passes DWORDs with "l": unsigned long on Windows,
            // unsigned int in the simulated layer, 32 bits on both.
            const DWORD value = longSize ? va_arg(args, DWORD) : static_cast<DWORD>(va_arg(args, unsigned int));
            const WCHAR conversion = cursor[-1];
            PutInteger(writer, field, value, false, conversion == L'u' ? 10 : 16, conversion == L'X');
            break;
        }
        default:
            // Also the terminator of a format that ends inside a conversion;
            // nothing after it is read.
            return false;
        }
    }
    return true;
}

}  // namespace

HRESULT FormatBoundedV(WCHAR* destination, size_t size, const WCHAR* format, va_list args)
{
    if (size == 0) {
        return E_INVALIDARG;
    }
    if (size > kMaxSize) {
        destination[0] = L'\0';
        return E_INVALIDARG;
    }

    CBoundedWriter writer(destination, size - 1);
    const bool formatted = FormatInto(writer, format, args);
    writer.Terminate();
    if (!formatted || writer.Truncated()) {
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    return S_OK;
}

HRESULT FormatBounded(WCHAR* destination, size_t size, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT result = FormatBoundedV(destination, size, format, args);
    va_end(args);
    return result;
}
