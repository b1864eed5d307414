// A long run of the whole service in virtual time: the real entry, the
// simulated dispatcher and the watch loop make 100,000 polls while the world
// around quorbel changes at random between polls. After every poll nothing may
// be left open, the event log must hold exactly the records that the
// every-second-failure rule gives for the scripted outcomes, and the loop's
// heap use must not grow.
//
// TAVRILEX_SOAK_SEED and TAVRILEX_SOAK_POLLS replay or resize a run; every
// failure names the seed.
#include "Entry.h"
#include "SimTest.h"

#include <cstdlib>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::wstring kQuorbel = L"quorbel";
constexpr unsigned kDefaultSeed = 20240611;
constexpr DWORD kPollMs = 5000;
// Records are compared with the expected list at this interval, and once more
// at the end; a poll's own calls are checked after every poll.
constexpr int kRecordCheckInterval = 5000;

int DefaultPolls()
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer makes every simulated call several times dearer; a
    // quarter of the run still covers every transition of the mix many
    // thousands of times.
    return 25000;
#else
    return 100000;
#endif
}

unsigned long long FromEnvironment(const char* name, unsigned long long fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return std::strtoull(text, nullptr, 10);
}

// What the world around quorbel looks like during one poll.
enum class Outcome {
    Running,        // quorbel runs
    Stopped,        // quorbel is stopped; the start request is accepted
    Missing,        // the SCM does not know quorbel
    Disabled,       // quorbel is stopped and disabled
    StartRefused,   // quorbel is stopped; the start request fails with `code`
    ScmRefused,     // the SCM cannot be opened
    ServiceDenied,  // the SCM opens, quorbel does not (access denied)
    QueryBroken,    // quorbel runs, but its status cannot be read
};
constexpr int kOutcomeCount = 8;

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Running:
        return "running";
    case Outcome::Stopped:
        return "stopped";
    case Outcome::Missing:
        return "missing";
    case Outcome::Disabled:
        return "disabled";
    case Outcome::StartRefused:
        return "start refused";
    case Outcome::ScmRefused:
        return "SCM refused";
    case Outcome::ServiceDenied:
        return "service denied";
    case Outcome::QueryBroken:
        return "query broken";
    }
    return "?";
}

struct World {
    Outcome outcome = Outcome::Running;
    DWORD code = 0;                // the refusal code of StartRefused
    bool eventLogRefused = false;  // RegisterEventSourceW fails
};

// The message a poll must yield in `world`, from the world alone.
std::string ExpectedMessage(const World& world)
{
    switch (world.outcome) {
    case Outcome::Running:
    case Outcome::Stopped:
        return std::string();
    case Outcome::Missing:
        return "Kelvarund - Failed to open service with error:  1060";
    case Outcome::Disabled:
        return "Kelvarund - Failed to start service with error 1058";
    case Outcome::StartRefused:
        return "Kelvarund - Failed to start service with error " + std::to_string(world.code);
    case Outcome::ScmRefused:
        return "Kelvarund - Failed to open SCM";
    case Outcome::ServiceDenied:
        return "Kelvarund - Failed to open service with error:  5";
    case Outcome::QueryBroken:
        // The status reads as "not running"; the start request then meets a
        // running service, which is what it asks for.
        return std::string();
    }
    return std::string();
}

// Whether the poll reaches StartServiceW at all.
bool ExpectsStartRequest(Outcome outcome)
{
    return outcome == Outcome::Stopped || outcome == Outcome::Disabled || outcome == Outcome::StartRefused ||
           outcome == Outcome::QueryBroken;
}

// Picks the next poll's world: mostly the same outcome again, so that
// failures persist over runs of polls and the every-second rule is exercised
// on runs of every length; the event log refuses on its own, independently.
class CWorldScript {
public:
    explicit CWorldScript(unsigned seed) : m_random(seed) {}

    World Next(const World& previous)
    {
        World world = previous;
        if (Chance(0.3)) {
            world.outcome = static_cast<Outcome>(Pick(kOutcomeCount));
            const DWORD codes[] = {1053, 1069, 1079, 2};
            world.code = codes[Pick(4)];
        }
        world.eventLogRefused = Chance(0.1);
        return world;
    }

private:
    bool Chance(double p) { return std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < p; }
    int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(m_random); }

    std::mt19937 m_random;
};

// Makes the simulated machine look like `world` for the next poll. Faults are
// installed last, so that the set-up's own calls never meet them.
void Apply(const World& world)
{
    sim::ClearFaults();
    sim::ServiceConfig config;
    config.name = kQuorbel;
    config.imagePath = L"C:\\Services\\quorbel.exe";
    config.startType = world.outcome == Outcome::Disabled ? SERVICE_DISABLED : SERVICE_DEMAND_START;
    const bool runs = world.outcome == Outcome::Running || world.outcome == Outcome::QueryBroken;
    sim::AddService(config, runs ? SERVICE_RUNNING : SERVICE_STOPPED);
    switch (world.outcome) {
    case Outcome::Missing:
        // The SCM's answer for a name it does not know. Deleting the
        // registration for real would do the same, but the simulation's
        // deletion scans every handle it ever issued, which a long run
        // cannot afford.
        sim::FailCall("OpenServiceW", 1, ERROR_SERVICE_DOES_NOT_EXIST, -1);
        break;
    case Outcome::StartRefused:
        sim::FailCall("StartServiceW", 1, world.code, -1);
        break;
    case Outcome::ScmRefused:
        sim::FailCall("OpenSCManagerW", 1, ERROR_ACCESS_DENIED, -1);
        break;
    case Outcome::ServiceDenied:
        sim::FailCall("OpenServiceW", 1, ERROR_ACCESS_DENIED, -1);
        break;
    case Outcome::QueryBroken:
        sim::FailCall("QueryServiceStatusEx", 1, ERROR_ACCESS_DENIED, -1);
        break;
    default:
        break;
    }
    if (world.eventLogRefused) {
        sim::FailCall("RegisterEventSourceW", 1, ERROR_ACCESS_DENIED, -1);
    }
}

// The error record of `message`.
sim::EventRecord ExpectedRecord(const std::string& message)
{
    sim::EventRecord record;
    record.source = L"Tavrilex";
    record.type = EVENTLOG_ERROR_TYPE;
    record.strings = {L"Tavrilex", std::wstring(message.begin(), message.end())};
    return record;
}

bool SameRecord(const sim::EventRecord& a, const sim::EventRecord& b)
{
    return a.source == b.source && a.type == b.type && a.category == b.category && a.eventId == b.eventId &&
           a.hasSid == b.hasSid && a.strings == b.strings && a.dataSize == b.dataSize && a.hasData == b.hasData;
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::string Describe(const sim::EventRecord& record)
{
    std::ostringstream text;
    text << "source " << Narrow(record.source) << ", type " << record.type << ", category " << record.category
         << ", id " << record.eventId << ", sid " << record.hasSid << ", data " << record.dataSize << ", strings";
    for (const std::wstring& s : record.strings) {
        text << " [" << Narrow(s) << "]";
    }
    return text.str();
}

int CountCalls(const std::vector<sim::Call>& journal, const char* function, DWORD arg = 0, bool matchArg = false)
{
    int count = 0;
    for (const sim::Call& call : journal) {
        if (call.function == function && (!matchArg || call.arg == arg)) {
            ++count;
        }
    }
    return count;
}

// Everything the soak keeps about the run. The sleep hook writes it on the
// loop's thread; the test reads it once the loop has ended.
struct Soak {
    int targetPolls = 0;
    CWorldScript script{0};
    World world;      // the world of the poll now being made
    int polls = 0;    // polls completed
    int failRun = 0;  // consecutive failing polls so far, this one included
    // A start refused with 1069 holds the starts of the next polls back, 11
    // (a minute), or 359 (30 minutes) after another within 30 minutes, unless
    // one finds quorbel running.
    bool paced = false;
    int pacedPoll = -360;
    int heldPolls = 0;
    std::vector<sim::EventRecord> expected;
    std::vector<int> expectedPoll;  // the poll that writes each expected record
    size_t recordsChecked = 0;
    int startCountBefore = 0;
    // Heap blocks of the loop's thread still held while it sleeps, by whether
    // the poll's message is empty; -1 until first seen.
    long long heldAfterSuccess = -1;
    long long heldAfterFailure = -1;
    int eventHandles = -1;
    bool shutdownQueued = false;
    std::vector<std::string> failures;
    int policyRecords = 0;  // the restart policy's own, tried

    void Fail(const std::string& what)
    {
        std::ostringstream text;
        text << "poll " << polls << " (" << OutcomeName(world.outcome)
             << (world.eventLogRefused ? ", event log refused" : "") << "): " << what;
        failures.push_back(text.str());
    }

    template <typename T>
    void ExpectEqual(const char* what, const T& expectedValue, const T& actual)
    {
        if (!(expectedValue == actual)) {
            std::ostringstream text;
            text << what << ": expected " << expectedValue << ", got " << actual;
            Fail(text.str());
        }
    }

    // Compares the records written so far with the expected ones.
    void CheckRecords()
    {
        std::vector<sim::EventRecord> records;
        for (const sim::EventRecord& record : sim::EventRecords()) {
            if (record.type == EVENTLOG_ERROR_TYPE) {
                records.push_back(record);
            }
        }
        for (; recordsChecked < records.size() && recordsChecked < expected.size(); ++recordsChecked) {
            if (!SameRecord(records[recordsChecked], expected[recordsChecked])) {
                std::ostringstream text;
                text << "record " << recordsChecked << " (expected from poll " << expectedPoll[recordsChecked]
                     << ") is {" << Describe(records[recordsChecked]) << "}, expected {"
                     << Describe(expected[recordsChecked]) << "}";
                Fail(text.str());
                return;
            }
        }
        ExpectEqual("records written", expected.size(), records.size());
    }

    // Runs after each poll, in the loop's sleep: checks the poll, then sets
    // up the world of the next one.
    void AfterPoll()
    {
        ++polls;
        if (polls == 1) {
            // The start hook may still be finishing beside the first poll;
            // running is reported once it has, with what it keeps open.
            sim::WaitForStatus(SERVICE_RUNNING);
        }
        const std::vector<sim::Call> journal = sim::Journal();
        // A held-back poll only looks: no start, no record, no turn in the
        // cadence; quorbel found running ends the pace.
        const bool heldBack = paced && polls - pacedPoll < heldPolls;
        const std::string message = heldBack ? std::string() : ExpectedMessage(world);
        if (world.outcome == Outcome::Running || (!heldBack && world.outcome == Outcome::Stopped)) {
            paced = false;
        } else if (!heldBack && world.outcome == Outcome::StartRefused && world.code == ERROR_SERVICE_LOGON_FAILED) {
            heldPolls = polls - pacedPoll < 360 ? 360 : 12;
            paced = true;
            pacedPoll = polls;
        }

        // The rule: in a run of consecutive failing polls the 1st, 3rd, 5th
        // ... try to write; a refused event source loses that record.
        if (!heldBack || world.outcome == Outcome::Running) {
            failRun = message.empty() ? 0 : failRun + 1;
        }
        const bool tries = !heldBack && failRun % 2 == 1;
        if (tries && !world.eventLogRefused) {
            expected.push_back(ExpectedRecord(message));
            expectedPoll.push_back(polls);
        }
        // Beside them, the restart policy's records of starts and episodes,
        // which its own table checks: here at most two a poll, and no more
        // than its bound of seven an hour.
        const int policyTries = CountCalls(journal, "RegisterEventSourceW") - (tries ? 1 : 0);
        policyRecords += policyTries;
        if (policyTries < 0 || policyTries > 2 || static_cast<unsigned long long>(policyRecords) > 7 * (1 + sim::Now() / 3600000)) {
            Fail("the policy tried " + std::to_string(policyTries) + " records, " + std::to_string(policyRecords) +
                 " so far");
        }
        const int writes = world.eventLogRefused ? 0 : policyTries + (tries ? 1 : 0);
        ExpectEqual("ReportEventW calls", writes, CountCalls(journal, "ReportEventW"));
        ExpectEqual("DeregisterEventSource calls", writes, CountCalls(journal, "DeregisterEventSource"));
        ExpectEqual("StartServiceW calls", !heldBack && ExpectsStartRequest(world.outcome) ? 1 : 0,
                    CountCalls(journal, "StartServiceW"));
        // The poll's wait: one, of one period, which nothing cut short.
        ExpectEqual("waits of 5000 ms", 1, CountCalls(journal, "WaitForSingleObject", kPollMs, true));
        ExpectEqual("WaitForSingleObject calls", 1, CountCalls(journal, "WaitForSingleObject"));
        ExpectEqual("Sleep calls", 0, CountCalls(journal, "Sleep"));
        ExpectEqual("virtual clock (ms)", static_cast<unsigned long long>(polls) * kPollMs, sim::Now());
        if (world.outcome == Outcome::Stopped && !heldBack) {
            ExpectEqual("quorbel start count", startCountBefore + 1, sim::StartCount(kQuorbel));
            ExpectEqual("quorbel state", static_cast<DWORD>(SERVICE_RUNNING), sim::GetServiceState(kQuorbel));
        }

        ExpectEqual("open SCM handles", 0, sim::OpenHandleCount(sim::HandleKind::Scm));
        ExpectEqual("open service handles", 0, sim::OpenHandleCount(sim::HandleKind::Service));
        ExpectEqual("open event sources", 0, sim::OpenHandleCount(sim::HandleKind::EventSource));
        const int events = sim::OpenHandleCount(sim::HandleKind::Event);
        if (eventHandles < 0) {
            eventHandles = events;
        }
        ExpectEqual("open events", eventHandles, events);

        // The sleeping loop may hold the poll's message and nothing else;
        // whatever it holds must be the same after every poll of the kind.
        const sim::AllocationCounts counts = sim::WorkItemAllocations();
        long long& held = message.empty() ? heldAfterSuccess : heldAfterFailure;
        if (held < 0) {
            held = counts.allocations - counts.frees;
        }
        ExpectEqual(message.empty() ? "heap blocks held after a successful poll" : "heap blocks held after a failing poll",
                    held, counts.allocations - counts.frees);

        if (polls % kRecordCheckInterval == 0) {
            CheckRecords();
        }

        // Ends the run at the target, or at the first failure so that one
        // broken invariant does not produce a hundred thousand messages. The
        // shutdown control is the one the service accepts; the entry's
        // teardown then ends the loop, which may make a few more polls first.
        if (!shutdownQueued && (polls >= targetPolls || !failures.empty())) {
            sim::QueueControl(SERVICE_CONTROL_SHUTDOWN);
            shutdownQueued = true;
        }
        world = shutdownQueued ? World() : script.Next(world);
        Apply(world);
        startCountBefore = sim::StartCount(kQuorbel);
        sim::ClearJournal();
    }
};

class SoakTest : public SimTest {};

TEST_F(SoakTest, RandomWorldOverManyPollsKeepsRecordsHandlesAndHeapExact)
{
    const unsigned seed = static_cast<unsigned>(FromEnvironment("TAVRILEX_SOAK_SEED", kDefaultSeed));
    Soak soak;
    soak.targetPolls = static_cast<int>(FromEnvironment("TAVRILEX_SOAK_POLLS", DefaultPolls()));
    soak.script = CWorldScript(seed);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(soak.targetPolls) +
                 " polls (replay with TAVRILEX_SOAK_SEED=" + std::to_string(seed) + ")");

    soak.world = soak.script.Next(World());
    Apply(soak.world);
    // The stop watcher would act between polls on the same clock; the soak
    // is the loop's, and the watcher has its own long run.
    RunLoopAlone();
    soak.startCountBefore = sim::StartCount(kQuorbel);
    sim::SetSleepHook([&soak](DWORD) { soak.AfterPoll(); });
    sim::StartAsService();
    sim::ClearJournal();

    WCHAR program[] = L"tavrilex.exe";
    WCHAR* argv[] = {program, nullptr};
    testing::internal::CaptureStdout();
    const int exitCode = TavrilexMain(1, argv);
    const std::string output = testing::internal::GetCapturedStdout();
    // The entry has destroyed the service object, which ended the loop; the
    // pool thread still frees the work item's context after that.
    ASSERT_TRUE(sim::WaitForWorkItems());
    sim::SetSleepHook(nullptr);

    for (size_t i = 0; i < soak.failures.size() && i < 20; ++i) {
        ADD_FAILURE() << soak.failures[i];
    }
    ASSERT_TRUE(soak.failures.empty()) << soak.failures.size() << " invariant(s) broken";
    ASSERT_GE(soak.polls, soak.targetPolls);
    soak.CheckRecords();
    EXPECT_TRUE(soak.failures.empty()) << (soak.failures.empty() ? "" : soak.failures.front());

    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(output, "");
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& report : sim::StatusReports()) {
        states.push_back(report.dwCurrentState);
    }
    const std::vector<DWORD> expectedStates = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED};
    EXPECT_EQ(states, expectedStates);
    EXPECT_EQ(sim::OpenHandleCount(), 0);
    // Every block the loop's thread allocated has been given back (the one
    // extra free is the work item's context, allocated by the start hook on
    // the service thread).
    const sim::AllocationCounts counts = sim::WorkItemAllocations();
    EXPECT_LE(counts.allocations - counts.frees, 0);
    EXPECT_GT(soak.expected.size(), static_cast<size_t>(soak.targetPolls / 20)) << "the mix wrote too few records";

    std::cout << "[ soak     ] seed " << seed << ": " << soak.polls << " polls, " << soak.expected.size()
              << " records, " << counts.allocations << " heap blocks allocated and freed by the loop\n";
}

}  // namespace
