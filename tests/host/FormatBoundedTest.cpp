// The bounded wide formatter: result codes, truncation and the conversions
// the program's messages use. Buffers are heap vectors of exactly the stated
// size so that AddressSanitizer catches a write past the end.
#include "ServiceBase.h"

#include <gtest/gtest.h>

#include <cwchar>

#include <string>
#include <vector>

namespace {

constexpr HRESULT kInsufficientBuffer = static_cast<HRESULT>(0x8007007A);

// Fills with a marker so that untouched positions can be told apart.
std::vector<WCHAR> MarkedBuffer(size_t size)
{
    return std::vector<WCHAR>(size, L'#');
}

// The formatter as the console output calls it: through a va_list.
HRESULT FormatThroughList(WCHAR* destination, size_t size, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    const HRESULT result = FormatBoundedV(destination, size, format, args);
    va_end(args);
    return result;
}

TEST(FormatBoundedTest, SizeZeroIsRefusedAndLeavesTheDestinationUntouched)
{
    WCHAR buffer[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(E_INVALIDARG, FormatBounded(buffer, 0, L"abc"));
    EXPECT_EQ(std::wstring(buffer, 4), L"####");
}

TEST(FormatBoundedTest, SizeAboveTheLimitIsRefusedWithEmptyText)
{
    WCHAR buffer[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(E_INVALIDARG, FormatBounded(buffer, size_t{0x80000000}, L"abc"));
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[1], L'#');
}

TEST(FormatBoundedTest, LargestSizeIsAccepted)
{
    // Only what the output needs is written, so a short text fits even though
    // the stated size is far beyond the real buffer.
    WCHAR buffer[8] = {};
    EXPECT_EQ(S_OK, FormatBounded(buffer, size_t{0x7FFFFFFF}, L"%s!", L"ok"));
    EXPECT_EQ(std::wstring(buffer), L"ok!");
}

struct SizeCase {
    const char* name;
    size_t size;
    const WCHAR* format;
    HRESULT expected;
    const WCHAR* text;
};

class FormatBoundedSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FormatBoundedSizeTest, KeepsWhatFitsAndTerminatesWithinTheSize)
{
    const SizeCase& row = GetParam();
    std::vector<WCHAR> buffer = MarkedBuffer(row.size);
    EXPECT_EQ(row.expected, FormatBounded(buffer.data(), row.size, row.format));
    const std::wstring text(row.text);
    EXPECT_EQ(std::wstring(buffer.data()), text);
    EXPECT_EQ(buffer[text.size()], L'\0');
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FormatBoundedSizeTest,
    ::testing::Values(SizeCase{"SizeOneEmptyOutput", 1, L"", S_OK, L""},
                      SizeCase{"SizeOneAnyOutput", 1, L"a", kInsufficientBuffer, L""},
                      SizeCase{"ExactFit", 4, L"abc", S_OK, L"abc"},
                      SizeCase{"OneOver", 3, L"abc", kInsufficientBuffer, L"ab"},
                      SizeCase{"FarOver", 5, L"abcdefghij", kInsufficientBuffer, L"abcd"},
                      SizeCase{"RoomToSpare", 16, L"abc", S_OK, L"abc"}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST(FormatBoundedTest, CutsInsideAConversion)
{
    std::vector<WCHAR> buffer = MarkedBuffer(12);
    EXPECT_EQ(kInsufficientBuffer, FormatBounded(buffer.data(), 12, L"err 0x%08lx", DWORD{0xABCDEF12}));
    EXPECT_EQ(std::wstring(buffer.data()), L"err 0xabcde");
    EXPECT_EQ(buffer[11], L'\0');
}

TEST(FormatBoundedTest, ThroughAListMatchesTheDirectForm)
{
    std::vector<WCHAR> buffer = MarkedBuffer(8);
    EXPECT_EQ(kInsufficientBuffer, FormatThroughList(buffer.data(), 8, L"%s=%lu", L"count", DWORD{42}));
    EXPECT_EQ(std::wstring(buffer.data()), L"count=4");
}

TEST(FormatBoundedTest, UnknownConversionFailsKeepingTheTextBeforeIt)
{
    std::vector<WCHAR> buffer = MarkedBuffer(16);
    EXPECT_EQ(kInsufficientBuffer, FormatBounded(buffer.data(), 16, L"ab%.2scd", L"xyz"));
    EXPECT_EQ(std::wstring(buffer.data()), L"ab");
}

TEST(FormatBoundedTest, FormatEndingInsideAConversionFails)
{
    std::vector<WCHAR> buffer = MarkedBuffer(16);
    EXPECT_EQ(kInsufficientBuffer, FormatBounded(buffer.data(), 16, L"50%"));
    EXPECT_EQ(std::wstring(buffer.data()), L"50");
}

// Formats into a roomy buffer and returns the text; fails the test when the
// formatter does not report success.
std::wstring Format(const WCHAR* format, ...)
{
    WCHAR buffer[128];
    va_list args;
    va_start(args, format);
    const HRESULT result = FormatBoundedV(buffer, 128, format, args);
    va_end(args);
    EXPECT_EQ(S_OK, result) << "format: " << std::string(format, format + wcslen(format));
    return buffer;
}

TEST(FormatBoundedTest, PercentSTakesWideText)
{
    EXPECT_EQ(Format(L"%s failed w/err 0x%08lx", L"Service Stop", DWORD{5}),
              L"Service Stop failed w/err 0x00000005");
    EXPECT_EQ(Format(L"[%ls]", L"wide"), L"[wide]");
    // Code units above the ASCII range pass through unchanged.
    EXPECT_EQ(Format(L"%s", L"\u00e9\u4e2d"), L"\u00e9\u4e2d");
}

TEST(FormatBoundedTest, HexCodesAreEightLowercaseDigits)
{
    EXPECT_EQ(Format(L"%08lx", DWORD{0}), L"00000000");
    EXPECT_EQ(Format(L"%08lx", DWORD{0xFFFFFFFF}), L"ffffffff");
    EXPECT_EQ(Format(L"%08lx", DWORD{0x7B}), L"0000007b");
    EXPECT_EQ(Format(L"%08X", 0xBEEFu), L"0000BEEF");
    EXPECT_EQ(Format(L"%x", 0u), L"0");
}

TEST(FormatBoundedTest, DecimalConversions)
{
    EXPECT_EQ(Format(L"%lu", DWORD{4294967295u}), L"4294967295");
    EXPECT_EQ(Format(L"%u", 1056u), L"1056");
    EXPECT_EQ(Format(L"%d", -2147483647 - 1), L"-2147483648");
    EXPECT_EQ(Format(L"%ld", LONG{-5}), L"-5");
    EXPECT_EQ(Format(L"%05d", -42), L"-0042");
    EXPECT_EQ(Format(L"%i|%5d|%-5d|", 0, 42, 42), L"0|   42|42   |");
}

TEST(FormatBoundedTest, TextFieldsAndLiterals)
{
    EXPECT_EQ(Format(L"%5s|%-5s|", L"ab", L"cd"), L"   ab|cd   |");
    EXPECT_EQ(Format(L"100%%"), L"100%");
}

}  // namespace
