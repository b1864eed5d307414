// The bounded wide formatting at its boundaries, and the program's format.
// Built natively against the simulation's strsafe and into the Windows format
// test program against the real one. Buffers are heap vectors of exactly the
// characters they stand for, so AddressSanitizer catches a write past the end.
#include "FormatBounded.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct BoundaryRow {
    const char* name;
    size_t size;         // as stated to the formatter
    size_t bufferChars;  // as allocated: the size, or less for sizes no buffer has
    const WCHAR* format;
    const WCHAR* text;  // the value of "%s", if any
    DWORD code;         // the value of "%08lx", if any
    HRESULT result;
    // The whole buffer afterwards: '#' is a position left untouched, '|' a
    // terminator.
    const WCHAR* buffer;
};

void PrintTo(const BoundaryRow& row, std::ostream* os) { *os << row.name; }

class FormatBoundedTest : public ::testing::TestWithParam<BoundaryRow> {};

TEST_P(FormatBoundedTest, ResultAndBuffer)
{
    const BoundaryRow& row = GetParam();
    std::vector<WCHAR> buffer(row.bufferChars, L'#');

    EXPECT_EQ(FormatBounded(buffer.data(), row.size, row.format, row.text, row.code), row.result);

    std::wstring shown;
    for (WCHAR ch : buffer) {
        shown.push_back(ch == L'\0' ? L'|' : ch);
    }
    EXPECT_EQ(shown, row.buffer);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FormatBoundedTest,
    ::testing::Values(
        BoundaryRow{"SizeZeroIsRefusedUntouched", 0, 4, L"abc", nullptr, 0, E_INVALIDARG, L"####"},
        BoundaryRow{"SizeAboveTheLimitIsRefusedWithEmptyText", size_t{0x80000000}, 4, L"abc", nullptr, 0,
                    E_INVALIDARG, L"|###"},
        // Only what the text needs is written, so a short text fits although
        // the stated size is far beyond the buffer.
        BoundaryRow{"LargestSizeIsAccepted", size_t{0x7FFFFFFF}, 8, L"%s!", L"ok", 0, S_OK, L"ok!|####"},
        BoundaryRow{"SizeOneEmptyText", 1, 1, L"", nullptr, 0, S_OK, L"|"},
        BoundaryRow{"SizeOneAnyText", 1, 1, L"a", nullptr, 0, STRSAFE_E_INSUFFICIENT_BUFFER, L"|"},
        BoundaryRow{"ExactFit", 4, 4, L"abc", nullptr, 0, S_OK, L"abc|"},
        BoundaryRow{"OneOver", 3, 3, L"abc", nullptr, 0, STRSAFE_E_INSUFFICIENT_BUFFER, L"ab|"},
        BoundaryRow{"CutInsideTheCode", 12, 12, L"%s 0x%08lx", L"err", 0xABCDEF12, STRSAFE_E_INSUFFICIENT_BUFFER,
                    L"err 0xabcde|"},
        BoundaryRow{"LogErrorFormat", 40, 40, L"%s failed w/err 0x%08lx", L"Service Stop", 5, S_OK,
                    L"Service Stop failed w/err 0x00000005|###"}),
    [](const ::testing::TestParamInfo<BoundaryRow>& info) { return std::string(info.param.name); });

}  // namespace
