// The restart policy alone on the simulated clock: each row is a short script
// of the calls the loop and the watcher make, with the verdicts and the
// records it must give.
#include "RestartPolicy.h"
#include "SimTest.h"

#include <chrono>
#include <future>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Tokens, blank-separated:
//   P / S     a start accepted, asked by the poll / the watcher
//   +N +Ns +Nm +Nh  the clock moves N ms, s, min or h
//   xR xA xL  a stop seen by a fresh look, and the verdict it must get
//   b, yR ... a look begins; later the stop it saw, with the verdict
//   r         the poll finds quorbel running;  q  the shutdown control
struct PolicyRow {
    const char* name;
    std::string script;
    std::vector<std::string> records;  // "ID:string,string..."
};

void PrintTo(const PolicyRow& row, std::ostream* os) { *os << row.name; }

std::string Times(int n, const std::string& part)
{
    std::string text;
    for (int i = 0; i < n; ++i) {
        text += " " + part;
    }
    return text;
}

class RestartPolicyTable : public SimTest, public ::testing::WithParamInterface<PolicyRow> {};

TEST_P(RestartPolicyTable, GivesTheVerdictsAndRecordsOfItsScript)
{
    CRecordGate gate;
    CRestartPolicy policy(L"Tavrilex", L"quorbel", gate);
    CPolicyRecords records;
    std::istringstream script(GetParam().script);
    unsigned long look = 0;
    int step = 0;
    for (std::string token; script >> token; ++step, policy.Write(records)) {
        switch (token[0]) {
        case 'P':
        case 'S':
            policy.NoteStart(token[0] == 'P' ? Asker::Poll : Asker::Watcher, SERVICE_STOPPED, records);
            break;
        case '+': {
            const char unit = token.back();
            const DWORD scale = unit == 's' ? 1000 : unit == 'm' ? 60000 : unit == 'h' ? 3600000 : 1;
            sim::AdvanceClock(static_cast<DWORD>(std::stoul(token.substr(1))) * scale);
            break;
        }
        case 'b':
            look = policy.StartsSoFar();
            break;
        case 'x':
        case 'y':
            // The letters in StopVerdict's order.
            ASSERT_EQ("RAL"[static_cast<int>(policy.NoteStop(token[0] == 'x' ? policy.StartsSoFar() : look, records))],
                      token[1])
                << "step " << step << " (" << token << ")";
            break;
        case 'r':
            policy.NoteRunning(policy.StopsSoFar(), records);
            break;
        case 'q':
            gate.Close();
            break;
        default:
            FAIL() << "unknown token " << token;
        }
    }
    std::vector<std::string> written;
    for (const sim::EventRecord& record : sim::EventRecords()) {
        std::string text = std::to_string(record.eventId & 0xFFFF) + ":";
        for (size_t i = 0; i < record.strings.size(); ++i) {
            text += (i ? "," : "") + std::string(record.strings[i].begin(), record.strings[i].end());
        }
        written.push_back(text);
        EXPECT_EQ(record.type, (record.eventId >> 30) == 2 ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE);
    }
    EXPECT_EQ(written, GetParam().records);
}

const std::string kPoll = "2:quorbel,stopped";
const std::string kWatcher = "1:quorbel,0";

INSTANTIATE_TEST_SUITE_P(
    Watchdog, RestartPolicyTable,
    ::testing::Values(
        // The loop and the watcher both saw the one stop: no crash loop.
        PolicyRow{"StopSeenTwiceCountsOnce", "P +1s b xR yL S +10s xR S", {kPoll, kWatcher, kWatcher}},
        PolicyRow{"AnsweredStopNeedsNoPause", "P +10s xR b S yA", {kPoll, kWatcher}},
        PolicyRow{"SecondQuickStopIsACrashLoop", "P +1s xR S +1s xL P", {kPoll, kWatcher, "3:quorbel,2,2.0"}},
        // Seen 4 s late by the poll, a stop is still one of the crash loop.
        PolicyRow{"LateSeenStopKeepsTheCrashLoop", "P +1s xR S +1s xL +3s P +4s xL P +4s xL",
                  {kPoll, kWatcher, "3:quorbel,2,2.0"}},
        PolicyRow{"CrashLoopRemindsOnceAnHour", "P +1s xR S +1s xL" + Times(840, "+4s P +1s xL"),
                  {kPoll, kWatcher, "3:quorbel,2,2.0", "3:quorbel,722,3602.0"}},
        // The minute counts from the start the first quick stop followed.
        PolicyRow{"QuickStopsAMinuteApartAreNoLoop", "P +1s xR S +57s xR S +2500 xR S",
                  {kPoll, kWatcher, kWatcher, kWatcher}},
        PolicyRow{"NothingAfterTheShutdownControl", "P +1s xR S q +1s xL P +10s xL P", {kPoll, kWatcher}},
        PolicyRow{"SixthStopWithinAnHourBeginsAnEpisode", "P" + Times(8, "+4500 xR S"),
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, "4:quorbel,6,23"}},
        PolicyRow{"EpisodeRemindsHourlyAndEndsAfterAnHourRunning",
                  "P" + Times(400, "+10s xR S") + " +30m r +10s xR S +3599s r +1s r +1h r +10s xR S",
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, "4:quorbel,6,50", "4:quorbel,366,3650",
                   "5:quorbel,401,401,5800", kWatcher}},
        // Five stops an hour: an administrator now and then, told each time.
        PolicyRow{"StopsTwelveMinutesApartAreNoEpisode", "P" + Times(8, "+12m xR S"),
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher}},
        // Its warning waits for the hour; the close counts the whole episode.
        PolicyRow{"CrashLoopInAnEpisodeTellsItsPace",
                  "P +1h" + Times(6, "+10s xR S") + " +1s xR S +1s xL" + Times(720, "+4s P +1s xL") + " +4s P +1h r",
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, "4:quorbel,6,50", "3:quorbel,722,3602.0",
                   "5:quorbel,728,728,3656"}},
        // Runs of 65 s, 1 s, 1 s: a crash loop begins every 71 s.
        PolicyRow{"CrashLoopsAfterLongRunsWarnOnceAnHour", "P +1h" + Times(60, "+65s xR S +1s xR S +1s xL +4s P"),
                  {kPoll, kWatcher, kWatcher, "3:quorbel,2,2.0", "4:quorbel,153,3621"}},
        // Our start after the stop refused with 1056; the poll finds quorbel
        // running. The next stop is mended, and the close waits an hour.
        PolicyRow{"StopAnsweredElsewhereIsOverOnceSeenRunning",
                  "P +1h" + Times(6, "+10s xR S") + " +1h xR +5s r +10m xR S +1h r",
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, "4:quorbel,6,50", "4:quorbel,7,3650",
                   "5:quorbel,8,7,4255"}},
        // Someone else answers every stop (ours refused with 1056): no start of ours.
        PolicyRow{"StopsAnsweredElsewhere", "P +1h" + Times(6, "+10s xR +5s r") + " +1h r",
                  {kPoll, "4:quorbel,6,75", "5:quorbel,6,0,80"}},
        // After the crash loop's minute the pace is back, the records not yet.
        PolicyRow{"CrashLoopBeginsAnEpisode", "P +1s xR S +1s xL P +2m xR S +1h r",
                  {kPoll, kWatcher, "3:quorbel,2,2.0", "5:quorbel,3,3,122"}}),
    [](const ::testing::TestParamInfo<PolicyRow>& info) { return std::string(info.param.name); });

// A hung event log: the shutdown control returns while a record is being
// written, the other thread decides meanwhile, and after the control nothing
// more is written; the record under way may still land.
TEST_F(RestartPolicyTable, SilenceReturnsWhileARecordHangs)
{
    CRecordGate gate;
    CRestartPolicy policy(L"Tavrilex", L"quorbel", gate);
    CHeldWrite held;
    auto poll = std::async(std::launch::async, [&policy] {
        CPolicyRecords records;
        policy.NoteStart(Asker::Poll, SERVICE_STOPPED, records);
        policy.Write(records);
    });
    ASSERT_TRUE(held.WaitHeld());
    CPolicyRecords records;
    EXPECT_EQ(policy.NoteStop(policy.StartsSoFar(), records), StopVerdict::Restart);
    auto silenced = std::async(std::launch::async, [&gate] { gate.Close(); });
    EXPECT_EQ(silenced.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    policy.NoteStart(Asker::Watcher, SERVICE_STOPPED, records);
    policy.Write(records);
    held.Release();
    poll.get();
    EXPECT_EQ(sim::EventRecords().size(), 1u);
}

}  // namespace
