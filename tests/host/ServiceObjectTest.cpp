// The service object on its own: the event records LogEvent and LogError
// write.
#include "SimTest.h"
#include "TestService.h"
#include "UniqueHandle.h"

#include <string>
#include <utility>
#include <vector>

namespace {

using ServiceObjectTest = SimTest;

TEST_F(ServiceObjectTest, LogEventWritesOneRecordOfTheProgramsShape)
{
    const CPlainService service;
    service.LogEvent(L"Kelvarund - Failed to start service with error 1058");

    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), size_t{1});
    const sim::EventRecord& record = records[0];
    EXPECT_EQ(record.source, L"Tavrilex");
    EXPECT_EQ(record.type, WORD{EVENTLOG_ERROR_TYPE});
    EXPECT_EQ(record.category, WORD{0});
    EXPECT_EQ(record.eventId, DWORD{0});
    EXPECT_FALSE(record.hasSid);
    EXPECT_EQ(record.dataSize, DWORD{0});
    EXPECT_FALSE(record.hasData);
    const std::vector<std::wstring> strings = {L"Tavrilex", L"Kelvarund - Failed to start service with error 1058"};
    EXPECT_EQ(record.strings, strings);
    // The source is held only around the record.
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::EventSource), 0);
    const std::vector<std::string> calls = {"RegisterEventSourceW", "ReportEventW", "DeregisterEventSource"};
    EXPECT_EQ(sim::JournalFunctions(), calls);
}

struct LogErrorCase {
    const char* name;
    const WCHAR* operation;
    DWORD code;
    const WCHAR* message;
};

void PrintTo(const LogErrorCase& row, std::ostream* os) { *os << row.name; }

class LogErrorTest : public SimTest, public ::testing::WithParamInterface<LogErrorCase> {};

TEST_P(LogErrorTest, MessageNamesTheOperationAndTheCodeInHex)
{
    const LogErrorCase& row = GetParam();
    const CPlainService service;
    service.LogError(row.operation, row.code);

    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), size_t{1});
    const std::vector<std::wstring> strings = {L"Tavrilex", row.message};
    EXPECT_EQ(records[0].strings, strings);
    EXPECT_EQ(records[0].type, WORD{EVENTLOG_ERROR_TYPE});
}

INSTANTIATE_TEST_SUITE_P(
    Codes, LogErrorTest,
    ::testing::Values(LogErrorCase{"Stop5", L"Service Stop", 5, L"Service Stop failed w/err 0x00000005"},
                      LogErrorCase{"ZeroStillPrinted", L"Service Start", 0, L"Service Start failed w/err 0x00000000"},
                      LogErrorCase{"AllBitsLowercase", L"Service Continue", 0xFFFFFFFF,
                                   L"Service Continue failed w/err 0xffffffff"},
                      LogErrorCase{"MixedDigits", L"Service Pause", 0x8007007A,
                                   L"Service Pause failed w/err 0x8007007a"}),
    [](const ::testing::TestParamInfo<LogErrorCase>& info) { return std::string(info.param.name); });

TEST_F(ServiceObjectTest, LogErrorCutsAnOverlongMessageTo259Characters)
{
    const CPlainService service;
    const std::wstring operation(300, L'o');
    service.LogError(operation.c_str(), 5);

    const std::vector<sim::EventRecord> records = sim::EventRecords();
    ASSERT_EQ(records.size(), size_t{1});
    ASSERT_EQ(records[0].strings.size(), size_t{2});
    EXPECT_EQ(records[0].strings[1], std::wstring(259, L'o'));
}

TEST_F(ServiceObjectTest, UnregisterableSourceDropsTheRecordQuietly)
{
    const CPlainService service;
    sim::ScopedFault fault("RegisterEventSourceW", ERROR_ACCESS_DENIED, 1, 2);

    service.LogEvent(L"dropped");
    service.LogError(L"Service Stop", 5);

    EXPECT_TRUE(sim::EventRecords().empty());
    const std::vector<std::string> calls = {"RegisterEventSourceW", "RegisterEventSourceW"};
    EXPECT_EQ(sim::JournalFunctions(), calls);
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::EventSource), 0);
}

// The handle owner: one close per handle, whatever moves it went through.
TEST_F(ServiceObjectTest, HandleOwnerClosesEachHandleOnce)
{
    CEventHandle adopted;
    {
        CEventHandle first(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        CEventHandle moved(std::move(first));
        CEventHandle assigned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        assigned = std::move(moved);  // closes the handle it held
        CEventHandle given(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        adopted.reset(given.release());
        EXPECT_FALSE(first || moved || given);
    }
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Event), 1);  // the adopted one
    EXPECT_EQ(CallsOf("CloseHandle").size(), 2u);  // a second close of one would count too
}

}  // namespace
