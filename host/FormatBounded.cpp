// Bounded wide formatting of our own. The C run-times disagree on what "%s"
// means in a wide format (glibc: narrow text unless "%ls"; mingw's default
// printf family: narrow as well), so every wide format of the program goes
// through this one routine, where "%s" always takes wide text. It writes
// straight into the caller's buffer and allocates nothing.
#include "ServiceBase.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

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
        for (size_t i = 0; i < count; ++i) {
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

struct CFieldSpec {
    bool leftAlign = false;
    bool zeroPad = false;
    bool hasPrecision = false;
    size_t width = 0;
    size_t precision = 0;
};

// Length of the first `limit` characters at most, without reading past them.
template <typename Char>
size_t BoundedLength(const Char* text, size_t limit)
{
    size_t length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    return length;
}

// Text fields: wide, or narrow widened one byte to one code unit.
template <typename Char>
void PutText(CBoundedWriter& writer, const CFieldSpec& spec, const Char* text)
{
    size_t length;
    if (text == nullptr) {
        length = BoundedLength(kNullText, spec.hasPrecision ? spec.precision : SIZE_MAX);
    } else {
        length = BoundedLength(text, spec.hasPrecision ? spec.precision : SIZE_MAX);
    }
    const size_t padding = spec.width > length ? spec.width - length : 0;
    if (!spec.leftAlign) {
        writer.Repeat(L' ', padding);
    }
    for (size_t i = 0; i < length; ++i) {
        if (text == nullptr) {
            writer.Put(kNullText[i]);
        } else {
            writer.Put(static_cast<WCHAR>(static_cast<std::make_unsigned_t<Char>>(text[i])));
        }
    }
    if (spec.leftAlign) {
        writer.Repeat(L' ', padding);
    }
}

// Integer fields. `magnitude` is the absolute value; the sign comes apart so
// that zero padding goes between the sign and the digits, as in printf.
void PutInteger(CBoundedWriter& writer, const CFieldSpec& spec, unsigned long long magnitude, bool negative,
                unsigned base, bool upper)
{
    // 64 bits in base 8 need 22 digits; base 10 and 16 need fewer.
    WCHAR digits[24];
    size_t count = 0;
    const WCHAR* alphabet = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[count++] = alphabet[magnitude % base];
        magnitude /= base;
    } while (magnitude != 0);

    // A precision gives the least number of digits; "%.0d" of 0 prints none.
    size_t precisionZeros = 0;
    if (spec.hasPrecision) {
        if (spec.precision == 0 && count == 1 && digits[0] == L'0') {
            count = 0;
        }
        precisionZeros = spec.precision > count ? spec.precision - count : 0;
    }
    const size_t body = (negative ? 1 : 0) + precisionZeros + count;
    const size_t padding = spec.width > body ? spec.width - body : 0;
    // The 0 flag is ignored with a precision or with left alignment.
    const bool zeroFill = spec.zeroPad && !spec.leftAlign && !spec.hasPrecision;

    if (!spec.leftAlign && !zeroFill) {
        writer.Repeat(L' ', padding);
    }
    if (negative) {
        writer.Put(L'-');
    }
    if (zeroFill) {
        writer.Repeat(L'0', padding);
    }
    writer.Repeat(L'0', precisionZeros);
    while (count > 0) {
        writer.Put(digits[--count]);
    }
    if (spec.leftAlign) {
        writer.Repeat(L' ', padding);
    }
}

enum class ELength { None, Short, Long, LongLong, Size };

// Reads a decimal count from the format; stops at the first non-digit.
size_t ReadCount(const WCHAR*& cursor)
{
    size_t value = 0;
    while (*cursor >= L'0' && *cursor <= L'9') {
        value = value * 10 + static_cast<size_t>(*cursor - L'0');
        ++cursor;
    }
    return value;
}

// Formats the whole format into the writer. Returns false when the format
// holds a conversion this formatter does not know; the output made before it
// stays in the writer.
bool FormatInto(CBoundedWriter& writer, const WCHAR* format, va_list args)
{
    const WCHAR* cursor = format;
    while (*cursor != L'\0') {
        if (*cursor != L'%') {
            writer.Put(*cursor++);
            continue;
        }
        ++cursor;

        CFieldSpec spec;
        for (;; ++cursor) {
            if (*cursor == L'-') {
                spec.leftAlign = true;
            } else if (*cursor == L'0') {
                spec.zeroPad = true;
            } else {
                break;
            }
        }
        if (*cursor == L'*') {
            ++cursor;
            const int width = va_arg(args, int);
            if (width < 0) {
                spec.leftAlign = true;
                spec.width = static_cast<size_t>(-static_cast<long long>(width));
            } else {
                spec.width = static_cast<size_t>(width);
            }
        } else {
            spec.width = ReadCount(cursor);
        }
        if (*cursor == L'.') {
            ++cursor;
            if (*cursor == L'*') {
                ++cursor;
                const int precision = va_arg(args, int);
                // A negative precision counts as none, as in printf.
                spec.hasPrecision = precision >= 0;
                spec.precision = precision >= 0 ? static_cast<size_t>(precision) : 0;
            } else {
                spec.hasPrecision = true;
                spec.precision = ReadCount(cursor);
            }
        }

        ELength length = ELength::None;
        if (*cursor == L'h') {
            length = ELength::Short;
            ++cursor;
        } else if (*cursor == L'l') {
            ++cursor;
            length = ELength::Long;
            if (*cursor == L'l') {
                length = ELength::LongLong;
                ++cursor;
            }
        } else if (*cursor == L'z') {
            length = ELength::Size;
            ++cursor;
        }

        const WCHAR conversion = *cursor;
        if (conversion == L'\0') {
            return false;
        }
        ++cursor;

        switch (conversion) {
        case L'%':
            writer.Put(L'%');
            break;
        case L's':
            // "%hs" is the one narrow form; "%s" and "%ls" take wide text.
            if (length == ELength::Short) {
                PutText(writer, spec, va_arg(args, const char*));
            } else {
                PutText(writer, spec, va_arg(args, const WCHAR*));
            }
            break;
        case L'c': {
            // A WCHAR is promoted to int when passed through "...".
            const WCHAR ch[2] = {static_cast<WCHAR>(va_arg(args, int)), L'\0'};
            CFieldSpec charSpec = spec;
            charSpec.hasPrecision = false;
            PutText(writer, charSpec, ch);
            break;
        }
        case L'd':
        case L'i': {
            long long value;
            if (length == ELength::LongLong) {
                value = va_arg(args, long long);
            } else if (length == ELength::Size) {
                value = static_cast<long long>(va_arg(args, ptrdiff_t));
            } else if (length == ELength::Long) {
                // LONG is 32 bits on both sides, unlike long.
                value = va_arg(args, LONG);
            } else {
                value = va_arg(args, int);
                if (length == ELength::Short) {
                    value = static_cast<short>(value);
                }
            }
            const bool negative = value < 0;
            // Negate in unsigned arithmetic so that the least value stays defined.
            const unsigned long long magnitude =
                negative ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
            PutInteger(writer, spec, magnitude, negative, 10, false);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            unsigned long long value;
            if (length == ELength::LongLong) {
                value = va_arg(args, unsigned long long);
            } else if (length == ELength::Size) {
                value = va_arg(args, size_t);
            } else if (length == ELength::Long) {
                // The program passes DWORDs here: unsigned long on Windows,
                // unsigned int in the simulated layer, 32 bits on both.
                value = va_arg(args, DWORD);
            } else {
                value = va_arg(args, unsigned int);
                if (length == ELength::Short) {
                    value = static_cast<unsigned short>(value);
                }
            }
            const unsigned base = conversion == L'u' ? 10 : (conversion == L'o' ? 8 : 16);
            PutInteger(writer, spec, value, false, base, conversion == L'X');
            break;
        }
        default:
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
