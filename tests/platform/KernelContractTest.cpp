// What the product relies on from the kernel and the run-time: events, work
// items, the module path and the case-insensitive compare.
#include "ContractFixture.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Long enough never to decide a passing test; it only bounds a failing one.
constexpr DWORD kGenerousMs = 10000;

}  // namespace

TEST_F(ContractTest, ManualResetEventStaysSignalledUntilReset)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_NE(SetEvent(event), FALSE);
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), DWORD(WAIT_OBJECT_0));

    EXPECT_NE(CloseHandle(event), FALSE);
}

TEST_F(ContractTest, AutoResetEventReleasesOneWait)
{
    HANDLE event = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);

    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));

    CloseHandle(event);
}

TEST_F(ContractTest, InfiniteWaitEndsWhenAnotherThreadSetsTheEvent)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);

    std::thread setter([event] { SetEvent(event); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), DWORD(WAIT_OBJECT_0));
    setter.join();

    CloseHandle(event);
}

TEST_F(ContractTest, ClosedEventCannotBeWaitedOnOrClosedAgain)
{
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(CloseHandle(event), FALSE);

    PoisonLastError();
    DWORD waited = WaitForSingleObject(event, 0);
    DWORD error = GetLastError();
    EXPECT_EQ(waited, DWORD(WAIT_FAILED));
    EXPECT_EQ(error, DWORD(ERROR_INVALID_HANDLE));

    PoisonLastError();
    BOOL closed = CloseHandle(event);
    error = GetLastError();
    EXPECT_EQ(closed, FALSE);
    EXPECT_EQ(error, DWORD(ERROR_INVALID_HANDLE));
}

namespace {

struct WorkItemProbe {
    std::atomic<int> runs{0};
    std::thread::id thread;
    HANDLE done = nullptr;
};

DWORD WINAPI ProbeWorkItem(LPVOID context)
{
    auto* probe = static_cast<WorkItemProbe*>(context);
    probe->thread = std::this_thread::get_id();
    ++probe->runs;
    SetEvent(probe->done);
    return 0;
}

}  // namespace

TEST_F(ContractTest, WorkItemRunsOnceOnAnotherThreadWithItsContext)
{
    WorkItemProbe probe;
    probe.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(probe.done, nullptr);

    ASSERT_NE(QueueUserWorkItem(ProbeWorkItem, &probe, WT_EXECUTELONGFUNCTION), FALSE);
    ASSERT_EQ(WaitForSingleObject(probe.done, kGenerousMs), DWORD(WAIT_OBJECT_0));

    EXPECT_EQ(probe.runs.load(), 1);
    EXPECT_NE(probe.thread, std::this_thread::get_id());
    CloseHandle(probe.done);
}

TEST_F(ContractTest, ModuleFileNameIsCutToTheBufferAndTerminated)
{
    std::vector<WCHAR> full(4096);
    DWORD length = GetModuleFileNameW(nullptr, full.data(), static_cast<DWORD>(full.size()));
    ASSERT_GT(length, DWORD(3));
    ASSERT_LT(length, DWORD(full.size()));
    EXPECT_EQ(full[length], L'\0');

    // Room for the path and its terminator: the whole path, length returned.
    // (What a success leaves in the last error is not part of the contract:
    // Wine clears it.)
    std::vector<WCHAR> exact(length + 1, L'#');
    EXPECT_EQ(GetModuleFileNameW(nullptr, exact.data(), length + 1), length);
    EXPECT_EQ(std::wstring(exact.data()), std::wstring(full.data()));

    // One short: size returned with ERROR_INSUFFICIENT_BUFFER, the path cut to
    // size - 1 characters and terminated.
    std::vector<WCHAR> cut(length, L'#');
    PoisonLastError();
    DWORD result = GetModuleFileNameW(nullptr, cut.data(), length);
    DWORD error = GetLastError();
    EXPECT_EQ(result, length);
    EXPECT_EQ(error, DWORD(ERROR_INSUFFICIENT_BUFFER));
    if (contract::RunningUnderWine()) {
        // Wine cuts to size characters and writes no terminator, as Windows
        // XP did; the product never reads a cut path.
        EXPECT_EQ(std::wstring(cut.data(), length), std::wstring(full.data(), length));
    } else {
        EXPECT_EQ(cut[length - 1], L'\0');
        EXPECT_EQ(std::wstring(cut.data()), std::wstring(full.data(), length - 1));
    }
}

TEST_F(ContractTest, WcsicmpFoldsAsciiLettersOnly)
{
    struct Row {
        const char* name;
        const wchar_t* left;
        const wchar_t* right;
        int sign;
    };
    const Row rows[] = {
        {"same text", L"install", L"install", 0},
        {"case differs", L"InStAlL", L"install", 0},
        {"prefix is less", L"inst", L"install", -1},
        {"longer is greater", L"installx", L"INSTALL", 1},
        {"letters compare folded to lower case", L"_", L"A", -1},
        {"non-ASCII letters do not fold", L"\u00C4", L"\u00E4", -1},
        {"empty against empty", L"", L"", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        int result = _wcsicmp(row.left, row.right);
        int sign = result < 0 ? -1 : (result > 0 ? 1 : 0);
        EXPECT_EQ(sign, row.sign);
    }
}
