// The simulated kernel and event log beyond what the real API shows: the
// virtual clock, held sleeps, Reset() under running work items, allocation
// faults on work-item threads, the module path and the kept event records.
#include "SimTest.h"

#include <array>
#include <atomic>
#include <chrono>
#include <new>

class SimKernelTest : public SimTest {};

TEST_F(SimKernelTest, VirtualSleepAdvancesTheClockAndReturnsAtOnce)
{
    std::vector<std::pair<DWORD, unsigned long long>> seen;  // ms, clock inside the hook
    sim::SetSleepHook([&seen](DWORD ms) { seen.emplace_back(ms, sim::Now()); });

    Sleep(3600000);  // an hour: the test would time out if it were real
    Sleep(5000);

    EXPECT_EQ(sim::Now(), 3605000u);
    EXPECT_EQ(sim::SleepCount(), 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(DWORD(3600000), 3600000ull));
    EXPECT_EQ(seen[1], std::make_pair(DWORD(5000), 3605000ull));
    EXPECT_EQ(sim::JournalFunctions(), (std::vector<std::string>{"Sleep", "Sleep"}));
    EXPECT_EQ(sim::Journal()[1].arg, DWORD(5000));
}

namespace {

struct SleeperProbe {
    std::atomic<int> rounds{0};
};

DWORD WINAPI TwoSleeps(LPVOID context)
{
    auto* probe = static_cast<SleeperProbe*>(context);
    Sleep(5000);
    ++probe->rounds;
    Sleep(5000);
    ++probe->rounds;
    return 0;
}

}  // namespace

TEST_F(SimKernelTest, HeldSleepReturnsOnlyWhenReleased)
{
    SleeperProbe probe;
    sim::HoldSleeps(true);
    ASSERT_NE(QueueUserWorkItem(TwoSleeps, &probe, WT_EXECUTELONGFUNCTION), FALSE);

    ASSERT_TRUE(sim::WaitForSleepers(1));
    EXPECT_EQ(probe.rounds.load(), 0);
    EXPECT_EQ(sim::Now(), 0u);

    sim::ReleaseSleepers();
    ASSERT_TRUE(sim::WaitForSleepers(1));  // held again, in its second sleep
    EXPECT_EQ(probe.rounds.load(), 1);
    EXPECT_EQ(sim::Now(), 5000u);

    sim::HoldSleeps(false);
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(probe.rounds.load(), 2);
    EXPECT_EQ(sim::Now(), 10000u);
}

TEST_F(SimKernelTest, ResetReleasesHeldSleepersAndJoinsTheirThreads)
{
    SleeperProbe probe;
    sim::HoldSleeps(true);
    ASSERT_NE(QueueUserWorkItem(TwoSleeps, &probe, WT_EXECUTEDEFAULT), FALSE);
    ASSERT_TRUE(sim::WaitForSleepers(1));

    sim::Reset();

    // Joined: the work item has finished both sleeps, none of them held.
    EXPECT_EQ(probe.rounds.load(), 2);
    EXPECT_EQ(sim::Now(), 0u);
    EXPECT_TRUE(sim::JournalFunctions().empty());
}

TEST_F(SimKernelTest, ResetCutsARealSleepShort)
{
    sim::SetClockMode(sim::ClockMode::Real);
    SleeperProbe probe;
    sim::HoldSleeps(true);
    ASSERT_NE(QueueUserWorkItem(TwoSleeps, &probe, WT_EXECUTEDEFAULT), FALSE);
    ASSERT_TRUE(sim::WaitForSleepers(1));
    sim::ReleaseSleepers();  // now into ten real seconds of sleep, or about to be

    auto started = std::chrono::steady_clock::now();
    sim::Reset();
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(probe.rounds.load(), 2);
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST_F(SimKernelTest, WorkItemGetsItsFlagsJournalledAndRunsOnce)
{
    std::atomic<int> runs{0};
    ASSERT_NE(QueueUserWorkItem(
                  [](LPVOID context) -> DWORD {
                      ++*static_cast<std::atomic<int>*>(context);
                      return 0;
                  },
                  &runs, WT_EXECUTELONGFUNCTION),
              FALSE);
    ASSERT_TRUE(sim::WaitForWorkItems());
    EXPECT_EQ(runs.load(), 1);
    ASSERT_EQ(sim::Journal().size(), 1u);
    EXPECT_EQ(sim::Journal()[0].function, "QueueUserWorkItem");
    EXPECT_EQ(sim::Journal()[0].arg, DWORD(WT_EXECUTELONGFUNCTION));
}

namespace {

struct AllocationProbe {
    std::array<bool, 3> allocated{};
    std::array<int*, 3> kept{};
};

DWORD WINAPI AllocateThree(LPVOID context)
{
    auto* probe = static_cast<AllocationProbe*>(context);
    for (size_t i = 0; i < probe->allocated.size(); ++i) {
        try {
            probe->kept[i] = new int(static_cast<int>(i));
            probe->allocated[i] = true;
        } catch (const std::bad_alloc&) {
            probe->allocated[i] = false;
        }
    }
    // The sim's own work (this call) is not counted.
    Sleep(1);
    for (int* kept : probe->kept) {
        delete kept;
    }
    return 0;
}

}  // namespace

TEST_F(SimKernelTest, NthAllocationOnAWorkItemThreadFails)
{
    sim::FailWorkItemAllocation(2);
    // The test's own thread is never failed.
    auto* mine = new int(7);
    auto* again = new int(8);
    delete mine;
    delete again;

    AllocationProbe probe;
    ASSERT_NE(QueueUserWorkItem(AllocateThree, &probe, WT_EXECUTELONGFUNCTION), FALSE);
    ASSERT_TRUE(sim::WaitForWorkItems());

    EXPECT_EQ(probe.allocated, (std::array<bool, 3>{true, false, true}));
    sim::AllocationCounts counts = sim::WorkItemAllocations();
    EXPECT_EQ(counts.allocations, 3);
    EXPECT_EQ(counts.frees, 2);
}

TEST_F(SimKernelTest, ModulePathIsTheOneSetAndAnEmptyBufferFails)
{
    sim::SetModulePath(L"D:\\x\\tavrilex.exe");
    WCHAR path[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, MAX_PATH), DWORD(17));
    EXPECT_EQ(std::wstring(path), L"D:\\x\\tavrilex.exe");
    EXPECT_EQ(sim::Journal().back().text, L"D:\\x\\tavrilex.exe");
    EXPECT_EQ(sim::Journal().back().arg, DWORD(MAX_PATH));

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, path, 0), DWORD(0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(SimKernelTest, EventReportIsKeptWholeWithItsOwnCopyOfTheStrings)
{
    HANDLE source = RegisterEventSourceW(nullptr, L"Tavrilex");
    ASSERT_NE(source, nullptr);
    WCHAR message[] = L"first";
    LPCWSTR strings[] = {L"Tavrilex", message};
    int sid = 0;
    char data[3] = {};
    ASSERT_NE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 2, 0, strings, nullptr), FALSE);
    ASSERT_NE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 7, 42, &sid, 1, sizeof(data), strings, data), FALSE);
    message[0] = L'F';
    EXPECT_NE(DeregisterEventSource(source), FALSE);

    std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].source, L"Tavrilex");
    EXPECT_EQ(records[0].type, WORD(EVENTLOG_ERROR_TYPE));
    EXPECT_EQ(records[0].category, WORD(0));
    EXPECT_EQ(records[0].eventId, DWORD(0));
    EXPECT_FALSE(records[0].hasSid);
    EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{L"Tavrilex", L"first"}));
    EXPECT_EQ(records[0].dataSize, DWORD(0));
    EXPECT_FALSE(records[0].hasData);

    EXPECT_EQ(records[1].type, WORD(EVENTLOG_WARNING_TYPE));
    EXPECT_EQ(records[1].category, WORD(7));
    EXPECT_EQ(records[1].eventId, DWORD(42));
    EXPECT_TRUE(records[1].hasSid);
    EXPECT_EQ(records[1].strings, std::vector<std::wstring>{L"Tavrilex"});
    EXPECT_EQ(records[1].dataSize, DWORD(3));
    EXPECT_TRUE(records[1].hasData);

    EXPECT_EQ(sim::Journal().back().kind, "eventsource");
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::EventSource), 0);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::EventSource), 1);
}

TEST_F(SimKernelTest, DeregisteredSourceCannotReportOrBeClosedAgain)
{
    HANDLE source = RegisterEventSourceW(nullptr, L"Tavrilex");
    ASSERT_NE(DeregisterEventSource(source), FALSE);
    LPCWSTR strings[] = {L"x"};

    SetLastError(0);
    EXPECT_EQ(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(DeregisterEventSource(source), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetLastError(0);
    EXPECT_EQ(DeregisterEventSource(event), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    EXPECT_TRUE(sim::EventRecords().empty());
}
