// The bytes that ConsolePrint puts on standard output. Built natively and into
// the Windows format test program, where mingw's run-time does the writing.
#include "Commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// Standard output is in text mode, so the run-time writes each "\n" as "\r\n";
// that is what a user who redirects the output to a file gets.
const std::string kNewline = "\r\n";
#else
const std::string kNewline = "\n";
#endif

// Runs `action` with descriptor 1 sent to a file and returns the file's raw
// bytes. The descriptor keeps its translation mode, so any newline
// translation shows in the result.
std::string CaptureStdoutBytes(const std::function<void()>& action)
{
    // ctest runs each case in a process of its own, in parallel: the file
    // name carries the process id so that no two cases share a file.
#ifdef _WIN32
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    const std::string path = ::testing::TempDir() + "console_print_capture_" + std::to_string(pid) + ".bin";
    std::fflush(stdout);
#ifdef _WIN32
    // _setmode answers with the mode it replaces: ask, then put it back.
    const int mode = _setmode(1, _O_BINARY);
    _setmode(1, mode);
    const int saved = _dup(1);
    FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) {
        return std::string();
    }
    _dup2(_fileno(file), 1);
    _setmode(1, mode);
#else
    const int saved = dup(1);
    FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    if (file == nullptr) {
        return std::string();
    }
    dup2(fileno(file), 1);
#endif
    action();
    std::fflush(stdout);
#ifdef _WIN32
    _dup2(saved, 1);
    _close(saved);
#else
    dup2(saved, 1);
    close(saved);
#endif
    std::fclose(file);

    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    std::remove(path.c_str());
    return bytes;
}

struct PrintCase {
    const char* name;
    std::function<void()> print;
    std::string expected;
};

void PrintTo(const PrintCase& row, std::ostream* os) { *os << row.name; }

class ConsolePrintTest : public ::testing::TestWithParam<PrintCase> {};

TEST_P(ConsolePrintTest, WritesExactlyTheseBytes)
{
    const PrintCase& row = GetParam();
    EXPECT_EQ(CaptureStdoutBytes(row.print), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConsolePrintTest,
    ::testing::Values(
        PrintCase{"WideNameInText", [] { ConsolePrint(L"%s is installed.\n", L"Tavrilex"); },
                  "Tavrilex is installed." + kNewline},
        PrintCase{"SmallCodeInEightHexDigits",
                  [] { ConsolePrint(L"CreateService failed w/err 0x%08lx\n", DWORD{5}); },
                  "CreateService failed w/err 0x00000005" + kNewline},
        PrintCase{"LargestCodeInLowerCase",
                  [] { ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", DWORD{0xFFFFFFFF}); },
                  "OpenSCManager failed w/err 0xffffffff" + kNewline},
        PrintCase{"StopProgressOnOneLine",
                  [] {
                      ConsolePrint(L"Stopping %s.", L"Tavrilex");
                      ConsolePrint(L".");
                      ConsolePrint(L".");
                      ConsolePrint(L"\n%s is stopped.\n", L"Tavrilex");
                  },
                  "Stopping Tavrilex..." + kNewline + "Tavrilex is stopped." + kNewline},
        PrintCase{"NonAsciiBecomesQuestionMark",
                  [] { ConsolePrint(L"[%s]\n", L"C:\\Caf\u00e9\\\u4e2d.exe"); },
                  "[C:\\Caf?\\?.exe]" + kNewline},
        PrintCase{"TextBeyondTheBufferIsCut",
                  [] { ConsolePrint(L"%s\n", std::wstring(2000, L'a').c_str()); }, std::string(1023, 'a')}),
    [](const ::testing::TestParamInfo<PrintCase>& info) { return std::string(info.param.name); });

}  // namespace
