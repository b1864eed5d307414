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
    CRestartPolicy policy(L"Tavrilex", L"quorbel");
    std::istringstream script(GetParam().script);
    unsigned long look = 0;
    int step = 0;
    for (std::string token; script >> token; ++step) {
        switch (token[0]) {
        case 'P':
        case 'S':
            policy.NoteStart(token[0] == 'P' ? Asker::Poll : Asker::Watcher, SERVICE_STOPPED);
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
            ASSERT_EQ("RAL"[static_cast<int>(policy.NoteStop(token[0] == 'x' ? policy.StartsSoFar() : look))], token[1])
                << "step " << step << " (" << token << ")";
            break;
        case 'r':
            policy.NoteRunning();
            break;
        case 'q':
            policy.Silence();
            break;
        default:
            FAIL() << "unknown token " << token;
        }
    }
    std::vector<std::string> records;
    for (const sim::EventRecord& record : sim::EventRecords()) {
        std::string text = std::to_string(record.eventId & 0xFFFF) + ":";
        for (size_t i = 0; i < record.strings.size(); ++i) {
            text += (i ? "," : "") + std::string(record.strings[i].begin(), record.strings[i].end());
        }
        records.push_back(text);
        EXPECT_EQ(record.type, (record.eventId >> 30) == 2 ? EVENTLOG_WARNING_TYPE : EVENTLOG_INFORMATION_TYPE);
    }
    EXPECT_EQ(records, GetParam().records);
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
                  "P" + Times(400, "+10s xR S") + " +30m r +10s xR S +3599s r +1s r +10s xR S",
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, "4:quorbel,6,50", "4:quorbel,366,3650",
                   "5:quorbel,401,401,5800", kWatcher}},
        // Five stops an hour: an administrator now and then, told each time.
        PolicyRow{"StopsTwelveMinutesApartAreNoEpisode", "P" + Times(8, "+12m xR S"),
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher}},
        PolicyRow{"CrashLoopInAnEpisodeTellsItsPace", "P" + Times(6, "+10s xR S") + " +1s xR S +1s xL",
                  {kPoll, kWatcher, kWatcher, kWatcher, kWatcher, kWatcher, "4:quorbel,6,50", "3:quorbel,2,2.0"}},
        // After the crash loop's minute the pace is back, the records not yet.
        PolicyRow{"CrashLoopBeginsAnEpisode", "P +1s xR S +1s xL P +2m xR S +1h r",
                  {kPoll, kWatcher, "3:quorbel,2,2.0", "5:quorbel,3,3,122"}}),
    [](const ::testing::TestParamInfo<PolicyRow>& info) { return std::string(info.param.name); });

// A record under way holds the shutdown control back until it is written;
// after that control nothing more is written.
TEST_F(RestartPolicyTable, SilenceWaitsForARecordUnderWay)
{
    CRestartPolicy policy(L"Tavrilex", L"quorbel");
    std::future<void> silenced;
    sim::SetCallHook("RegisterEventSourceW", [&policy, &silenced] {
        silenced = std::async(std::launch::async, [&policy] { policy.Silence(); });
        EXPECT_EQ(silenced.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    });
    policy.NoteStart(Asker::Poll, SERVICE_STOPPED);
    silenced.wait();
    sim::SetCallHook("RegisterEventSourceW", nullptr);
    policy.NoteStart(Asker::Poll, SERVICE_STOPPED);
    EXPECT_EQ(sim::EventRecords().size(), 1u);
}

}  // namespace
