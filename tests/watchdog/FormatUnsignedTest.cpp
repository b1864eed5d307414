// The decimal digits of the check-and-start messages. Pure formatting, so it
// is also built into the Windows format test program and checked there
// against mingw's run-time.
#include "Kelvarund.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>

namespace {

// A grouping locale in force must not reach the digits.
class CGroupingPunct : public std::numpunct<char> {
protected:
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(FormatUnsigned, PlainDecimalDigits)
{
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CGroupingPunct));
    const struct {
        DWORD value;
        const char* text;
    } rows[] = {
        {0, "0"},           {7, "7"},
        {10, "10"},         {1060, "1060"},
        {1000000, "1000000"}, {2147483648u, "2147483648"},
        {4294967295u, "4294967295"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FormatUnsigned(row.value), row.text) << row.value;
    }
    std::locale::global(previous);
}

}  // namespace
