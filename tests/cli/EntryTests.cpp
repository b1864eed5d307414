#include "CliTest.h"
#include "Entry.h"

namespace {

// Owns wide copies of the arguments so the entry gets mutable strings, as the
// run-time start-up hands them over.
class CArguments {
public:
    explicit CArguments(std::vector<std::wstring> arguments) : m_strings(std::move(arguments))
    {
        m_strings.insert(m_strings.begin(), L"tavrilex.exe");
        for (std::wstring& text : m_strings) {
            m_pointers.push_back(text.data());
        }
        m_pointers.push_back(nullptr);
    }
    int Count() const { return static_cast<int>(m_strings.size()); }
    WCHAR** Vector() { return m_pointers.data(); }

private:
    std::vector<std::wstring> m_strings;
    std::vector<WCHAR*> m_pointers;
};

class EntryTest : public CliTest {
protected:
    // Runs the entry with the arguments after the program name; returns what
    // it printed and checks its exit code and standard error.
    std::string RunEntry(std::vector<std::wstring> arguments, int expectedExitCode = 0,
                         const std::string& errors = "")
    {
        CArguments args(std::move(arguments));
        int exitCode = -1;
        const std::string output =
            CaptureOutput([&] { exitCode = TavrilexMain(args.Count(), args.Vector()); }, errors);
        EXPECT_EQ(exitCode, expectedExitCode);
        return output;
    }
};

enum class Role { Install, Remove, Ignore, Service };

struct SwitchRow {
    const char* name;
    std::vector<std::wstring> arguments;
    Role role;
};

// A failing row is named by its name, not by its bytes.
void PrintTo(const SwitchRow& row, std::ostream* os)
{
    *os << row.name;
}

class EntrySwitchTest : public EntryTest, public testing::WithParamInterface<SwitchRow> {};

// Nothing is registered beforehand, so each role leaves its own trace: an
// install registers, a removal finds no service, the service path cannot
// reach the dispatcher from a test, and an ignored switch does nothing.
TEST_P(EntrySwitchTest, FirstArgumentChoosesTheRole)
{
    const SwitchRow& row = GetParam();
    // Exit codes are the Win32 codes of what failed, as sc.exe gives them.
    int exitCode = 0;
    std::string errors;
    switch (row.role) {
    case Role::Install:
        break;
    case Role::Remove:
        exitCode = ERROR_SERVICE_DOES_NOT_EXIST;
        break;
    case Role::Ignore:
        exitCode = ERROR_INVALID_PARAMETER;
        errors = "usage: tavrilex.exe -install | -remove\n";
        break;
    case Role::Service:
        exitCode = ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
        break;
    }

    const std::string output = RunEntry(row.arguments, exitCode, errors);

    switch (row.role) {
    case Role::Install:
        EXPECT_EQ(output, "Tavrilex is installed.\n");
        EXPECT_TRUE(sim::HasService(L"Tavrilex"));
        break;
    case Role::Remove:
        EXPECT_EQ(output, "OpenService failed w/err 0x00000424\n");
        EXPECT_EQ(CallsOf("OpenServiceW").size(), 1u);
        break;
    case Role::Ignore:
        EXPECT_EQ(output, "");
        EXPECT_TRUE(sim::JournalFunctions().empty());
        break;
    case Role::Service:
        EXPECT_EQ(output, "Service failed to run w/err 0x00000427\n");
        EXPECT_EQ(CallsOf("StartServiceCtrlDispatcherW").size(), 1u);
        EXPECT_FALSE(sim::HasService(L"Tavrilex"));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, EntrySwitchTest,
    testing::Values(SwitchRow{"DashInstall", {L"-install"}, Role::Install},
                    SwitchRow{"SlashInstall", {L"/install"}, Role::Install},
                    SwitchRow{"DashInstallUpper", {L"-INSTALL"}, Role::Install},
                    SwitchRow{"SlashInstallMixed", {L"/Install"}, Role::Install},
                    SwitchRow{"DashRemove", {L"-remove"}, Role::Remove},
                    SwitchRow{"SlashRemoveUpper", {L"/REMOVE"}, Role::Remove},
                    SwitchRow{"DashRemoveMixedMoreArgs", {L"-Remove", L"-install", L"extra"}, Role::Remove},
                    SwitchRow{"DoubleDashInstall", {L"--install"}, Role::Ignore},
                    SwitchRow{"InstallWithSuffix", {L"-installx"}, Role::Ignore},
                    SwitchRow{"InstallTrailingBlank", {L"-install "}, Role::Ignore},
                    SwitchRow{"LoneDash", {L"-"}, Role::Ignore},
                    SwitchRow{"LoneSlash", {L"/"}, Role::Ignore},
                    SwitchRow{"Help", {L"-help"}, Role::Ignore},
                    SwitchRow{"UnknownThenInstall", {L"-help", L"-install"}, Role::Ignore},
                    SwitchRow{"BareInstall", {L"install"}, Role::Service},
                    SwitchRow{"EmptyArgument", {L""}, Role::Service},
                    SwitchRow{"NoArgument", {}, Role::Service}),
    [](const testing::TestParamInfo<SwitchRow>& info) { return info.param.name; });

// Either of the loop's two events; the one made before a failure is closed.
TEST_F(EntryTest, ServiceObjectThatCannotBeBuiltNeverEntersTheDispatcher)
{
    for (int nth = 1; nth <= 2; ++nth) {
        sim::ScopedFault fault("CreateEventW", ERROR_NOT_ENOUGH_MEMORY, nth);

        EXPECT_EQ(RunEntry({}, ERROR_NOT_ENOUGH_MEMORY), "CreateEvent failed w/err 0x00000008\n");

        EXPECT_TRUE(CallsOf("StartServiceCtrlDispatcherW").empty());
        EXPECT_TRUE(sim::StatusReports().empty());
        EXPECT_EQ(sim::OpenHandleCount(), 0);
    }
}

struct ServiceRunRow {
    const char* name;
    DWORD control;
};

void PrintTo(const ServiceRunRow& row, std::ostream* os)
{
    *os << row.name;
}

class EntryServiceRunTest : public EntryTest, public testing::WithParamInterface<ServiceRunRow> {};

// Started by the SCM: the entry stays in the dispatcher until the service has
// reported stopped, prints nothing, and releases the service object's event.
TEST_P(EntryServiceRunTest, RunsUntilStoppedAndPrintsNothing)
{
    sim::StartAsService();
    sim::QueueControl(GetParam().control);

    EXPECT_EQ(RunEntry({}), "");

    const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(sim::OpenHandleCount(sim::HandleKind::Event), 0);
}

INSTANTIATE_TEST_SUITE_P(Controls, EntryServiceRunTest,
                         testing::Values(ServiceRunRow{"Stop", SERVICE_CONTROL_STOP},
                                         ServiceRunRow{"Shutdown", SERVICE_CONTROL_SHUTDOWN}),
                         [](const testing::TestParamInfo<ServiceRunRow>& info) { return info.param.name; });

}  // namespace
