// The stop watcher on a thread of its own against the simulated platform,
// without the loop: time moves only when the test moves the clock, so what
// happens "at once" happens with the clock standing still.
#include "SimTest.h"
#include "StopWatcher.h"

#include <string>
#include <thread>

namespace {

const std::wstring kQuorbel = L"quorbel";
constexpr DWORD kPeriodMs = 5000;
// Longer than a quick run: stops this long after a start are no crash loop.
constexpr DWORD kPaceMs = 6000;

// Runs WatchForStops on a thread of its own and ends it as the service does:
// sets the event, then waits for the thread.
class CWatcher {
public:
    CWatcher() : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_thread([this] { Run(); }) {}
    ~CWatcher()
    {
        SetEvent(m_stop);
        m_thread.join();
        CloseHandle(m_stop);
    }
    CWatcher(const CWatcher&) = delete;
    CWatcher& operator=(const CWatcher&) = delete;

private:
    void Run() { WatchForStops(kQuorbel, m_stop, m_restarts); }

    HANDLE m_stop;
    CRecordGate m_gate;
    CRestartPolicy m_restarts{L"Tavrilex", L"quorbel", m_gate};
    std::thread m_thread;
};

// The watcher's pauses begun so far, and its waits for an answer.
int Pauses() { return CountCallsWithArg("WaitForSingleObjectEx", kPeriodMs); }
int Requests() { return CountCallsWithArg("WaitForSingleObjectEx", INFINITE); }

// Lets the watcher's current pause run out and waits for its next request.
void EndPause(int requestsBefore)
{
    sim::AdvanceClock(kPeriodMs);
    ASSERT_TRUE(WaitUntil([requestsBefore] { return Requests() > requestsBefore; }));
}

class StopWatcherTest : public SimTest {};

TEST_F(StopWatcherTest, StopIsAnsweredWithAStartAtOnce)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    CWatcher watcher;
    ASSERT_TRUE(WaitUntil([] { return Pauses() == 1; }));
    EndPause(0);

    // Least access: a manager connection, closed at once, and the service's
    // status; nothing else is held while it waits.
    EXPECT_EQ(CallsOf("OpenSCManagerW").at(0).arg, DWORD(SC_MANAGER_CONNECT));
    EXPECT_EQ(CallsOf("OpenServiceW").at(0).arg, DWORD(SERVICE_QUERY_STATUS));
    EXPECT_EQ(CallsOf("NotifyServiceStatusChangeW").at(0).arg,
              DWORD(SERVICE_NOTIFY_STOPPED | SERVICE_NOTIFY_DELETE_PENDING));
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Scm), 0);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Service), 1);

    StopAsScDoes(kQuorbel);
    ASSERT_TRUE(WaitUntil([] { return sim::StartCount(kQuorbel) == 1; }));
    EXPECT_EQ(sim::Now(), kPeriodMs);
    EXPECT_EQ(sim::GetServiceState(kQuorbel), DWORD(SERVICE_RUNNING));
    // Then it asks to be told of the next stop at once, with a new handle.
    ASSERT_TRUE(WaitUntil([] { return Requests() == 2; }));
    EXPECT_EQ(Pauses(), 1);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Service), 1);
    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, 0x40000001u);
    EXPECT_EQ(records[0].strings, (std::vector<std::wstring>{L"quorbel", L"0"}));
}

// A quorbel that dies as soon as it starts, the clock standing still: two
// starts, then it is left to the poll, with one warning.
TEST_F(StopWatcherTest, CrashLoopIsLeftToThePollWithOneWarning)
{
    sim::ServiceBehaviour dies;
    dies.stateAfterStart = SERVICE_STOPPED;
    sim::AddService(kQuorbel, SERVICE_STOPPED, dies);
    CWatcher watcher;
    ASSERT_TRUE(WaitUntil([] { return Pauses() == 1; }));
    sim::AdvanceClock(kPeriodMs);
    for (int pause = 2; pause <= 5; ++pause) {
        ASSERT_TRUE(WaitUntil([pause] { return Pauses() == pause; }));
        sim::AdvanceClock(kPeriodMs);
    }
    EXPECT_EQ(sim::StartCount(kQuorbel), 2);
    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[2].eventId, 0x80000003u);
    EXPECT_EQ(records[2].strings, (std::vector<std::wstring>{L"quorbel", L"2", L"0.0"}));
}

TEST_F(StopWatcherTest, DeletionIsNotBlocked)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    CWatcher watcher;
    ASSERT_TRUE(WaitUntil([] { return Pauses() == 1; }));
    EndPause(0);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE remover = OpenServiceW(manager, kQuorbel.c_str(), DELETE);
    ASSERT_NE(DeleteService(remover), FALSE);
    CloseServiceHandle(remover);
    CloseServiceHandle(manager);
    // Told of the deletion, it lets go at once.
    ASSERT_TRUE(WaitUntil([] { return sim::OpenHandleCount(sim::HandleKind::Service) == 0; }));

    // Asking again while quorbel still runs is refused; it lets go again.
    ASSERT_TRUE(WaitUntil([] { return Pauses() == 2; }));
    sim::AdvanceClock(kPeriodMs);
    ASSERT_TRUE(WaitUntil([] { return Pauses() == 3; }));
    EXPECT_EQ(CallsOf("NotifyServiceStatusChangeW").back().ok, false);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Service), 0);

    // So quorbel goes as soon as it stops.
    sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
    EXPECT_FALSE(sim::HasService(kQuorbel));
    EXPECT_EQ(sim::StartCount(kQuorbel), 0);
}

TEST_F(StopWatcherTest, ManyStopsLeaveNothingOpen)
{
    sim::AddService(kQuorbel, SERVICE_RUNNING);
    sim::SetGrantedAccess(kQuorbel, SERVICE_QUERY_STATUS | SERVICE_START);  // hardened: all it needs
    CWatcher watcher;
    ASSERT_TRUE(WaitUntil([] { return Pauses() == 1; }));
    sim::AdvanceClock(kPeriodMs);
    for (int stop = 1; stop <= 200; ++stop) {
        ASSERT_TRUE(WaitUntil([stop] { return Requests() == stop; }));
        ASSERT_EQ(sim::OpenHandleCount(sim::HandleKind::Service), 1);
        ASSERT_EQ(sim::OpenHandleCount(sim::HandleKind::Scm), 0);
        sim::AdvanceClock(kPaceMs);
        sim::SetServiceState(kQuorbel, SERVICE_STOPPED);
        ASSERT_TRUE(WaitUntil([stop] { return sim::StartCount(kQuorbel) == stop; }));
    }
    // One at a time: its own is closed before the check-and-start opens one.
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Service), 1);
    EXPECT_EQ(sim::PeakOpenHandleCount(sim::HandleKind::Scm), 1);
}

}  // namespace
