#include "CliTest.h"
#include "Commands.h"

namespace {

using InstallTest = CliTest;

const std::wstring kEventSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tavrilex";

TEST_F(InstallTest, RegistersQuotedAutoStartOwnProcessServiceAsLocalSystem)
{
    EXPECT_EQ(RunCommand(InstallSelf, 0), "Tavrilex is installed.\n");

    ASSERT_TRUE(sim::HasService(L"Tavrilex"));
    const sim::ServiceConfig config = sim::GetServiceConfig(L"Tavrilex");
    EXPECT_EQ(config.name, L"Tavrilex");
    EXPECT_EQ(config.displayName, L"Tavrilex");
    EXPECT_EQ(config.description, L"Tavrilex");
    EXPECT_EQ(config.serviceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.imagePath, L"\"C:\\Program Files\\Tavrilex\\tavrilex.exe\"");
    EXPECT_EQ(config.loadOrderGroup, L"");
    EXPECT_TRUE(config.dependencies.empty());
    EXPECT_EQ(config.account, L"");
    EXPECT_FALSE(config.hasPassword);
    EXPECT_EQ(sim::GetServiceState(L"Tavrilex"), static_cast<DWORD>(SERVICE_STOPPED));

    // Restarted after 1, 5 and 30 s; the count forgotten after a day.
    EXPECT_EQ(config.failureResetPeriod, 86400u);
    ASSERT_EQ(config.failureActions.size(), 3u);
    const DWORD delays[3] = {1000, 5000, 30000};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(config.failureActions[i].Type, SC_ACTION_RESTART);
        EXPECT_EQ(config.failureActions[i].Delay, delays[i]);
    }
    EXPECT_TRUE(config.failureActionsOnNonCrash);  // on a start that failed, too
    EXPECT_EQ(config.requiredPrivileges, (std::vector<std::wstring>{L"SeChangeNotifyPrivilege"}));
    EXPECT_EQ(config.sidType, DWORD{SERVICE_SID_TYPE_UNRESTRICTED});

    // The event source names this executable, unquoted, as its message file.
    sim::RegistryValue value;
    ASSERT_TRUE(sim::GetRegistryValue(kEventSourceKey, L"EventMessageFile", value));
    EXPECT_EQ(value.type, DWORD{REG_EXPAND_SZ});
    EXPECT_EQ(value.text, kModulePath);
    EXPECT_EQ(value.size, (value.text.size() + 1) * sizeof(WCHAR));
    ASSERT_TRUE(sim::GetRegistryValue(kEventSourceKey, L"TypesSupported", value));
    EXPECT_EQ(value.type, DWORD{REG_DWORD});
    EXPECT_EQ(value.number, 7u);
}

TEST_F(InstallTest, AsksForNoMoreAccessThanItNeedsAndClosesManagerFirst)
{
    CaptureOutput(InstallSelf);

    const std::vector<sim::Call> paths = CallsOf("GetModuleFileNameW");
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].arg, static_cast<DWORD>(MAX_PATH));
    const std::vector<sim::Call> opens = CallsOf("OpenSCManagerW");
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].arg, 0x00000003u);
    // Setting restart actions takes the start right.
    const std::vector<sim::Call> creates = CallsOf("CreateServiceW");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].arg, 0x00000016u);
    const std::vector<sim::Call> configs = CallsOf("ChangeServiceConfig2W");
    ASSERT_EQ(configs.size(), 5u);  // and the privileges, then the SID type
    EXPECT_EQ(configs[0].arg, static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION));
    EXPECT_EQ(configs[1].arg, static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS));
    EXPECT_EQ(configs[2].arg, static_cast<DWORD>(SERVICE_CONFIG_FAILURE_ACTIONS_FLAG));
    const std::vector<sim::Call> keys = CallsOf("RegCreateKeyExW");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].arg, static_cast<DWORD>(KEY_SET_VALUE));
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm", "service"}));
}

TEST_F(InstallTest, SecondInstallFailsAndKeepsTheFirstRegistration)
{
    sim::ServiceConfig existing;
    existing.name = L"Tavrilex";
    existing.displayName = L"Older Tavrilex";
    existing.description = L"Installed earlier";
    existing.startType = SERVICE_DEMAND_START;
    existing.imagePath = L"C:\\Old\\tavrilex.exe";
    sim::AddService(existing);

    EXPECT_EQ(RunCommand(InstallSelf, ERROR_SERVICE_EXISTS), "CreateService failed w/err 0x00000431\n");

    const sim::ServiceConfig config = sim::GetServiceConfig(L"Tavrilex");
    EXPECT_EQ(config.displayName, L"Older Tavrilex");
    EXPECT_EQ(config.description, L"Installed earlier");
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.imagePath, L"C:\\Old\\tavrilex.exe");
    EXPECT_TRUE(CallsOf("ChangeServiceConfig2W").empty());
    EXPECT_FALSE(sim::HasRegistryKey(kEventSourceKey));
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm"}));
}

// A refused description, or a level the system does not know (Wine 8), is no failure.
TEST_F(InstallTest, RefusedDescriptionStillReportsInstalled)
{
    sim::ScopedFault fault("ChangeServiceConfig2W", ERROR_ACCESS_DENIED);
    sim::FailCall("ChangeServiceConfig2W", 3, ERROR_INVALID_LEVEL, 3);

    EXPECT_EQ(RunCommand(InstallSelf, 0), "Tavrilex is installed.\n");

    ASSERT_TRUE(sim::HasService(L"Tavrilex"));
    EXPECT_EQ(sim::GetServiceConfig(L"Tavrilex").description, L"");
}

// A module path of `length` characters (drive, padding, ".exe").
std::wstring PathOfLength(size_t length)
{
    std::wstring path = L"C:\\";
    path.append(length - path.size() - 4, L'x');
    path += L".exe";
    return path;
}

struct ModulePathRow {
    const char* name;
    size_t length;
    bool fits;
};

// A failing row is named by its name, not by its bytes.
void PrintTo(const ModulePathRow& row, std::ostream* os)
{
    *os << row.name;
}

class InstallModulePathTest : public CliTest, public testing::WithParamInterface<ModulePathRow> {};

// A path that fills the whole buffer was cut; it must never be registered.
TEST_P(InstallModulePathTest, RegistersOnlyAPathThatFitTheBuffer)
{
    const ModulePathRow& row = GetParam();
    const std::wstring path = PathOfLength(row.length);
    sim::SetModulePath(path);

    const std::string output = RunCommand(InstallSelf, row.fits ? 0 : ERROR_INSUFFICIENT_BUFFER);

    if (row.fits) {
        EXPECT_EQ(output, "Tavrilex is installed.\n");
        ASSERT_TRUE(sim::HasService(L"Tavrilex"));
        EXPECT_EQ(sim::GetServiceConfig(L"Tavrilex").imagePath, L"\"" + path + L"\"");
    } else {
        EXPECT_EQ(output, "GetModuleFileName failed w/err 0x0000007a\n");
        EXPECT_FALSE(sim::HasService(L"Tavrilex"));
        EXPECT_TRUE(CallsOf("OpenSCManagerW").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, InstallModulePathTest,
                         testing::Values(ModulePathRow{"Longest259", 259, true},
                                         ModulePathRow{"FillsBuffer260", 260, false},
                                         ModulePathRow{"Longer300", 300, false}),
                         [](const testing::TestParamInfo<ModulePathRow>& info) { return info.param.name; });

struct InstallFailureRow {
    const char* name;
    const char* function;
    int nth;
    DWORD error;
    const char* output;
    std::vector<std::string> closed;
};

void PrintTo(const InstallFailureRow& row, std::ostream* os)
{
    *os << row.name;
}

class InstallFailureTest : public CliTest, public testing::WithParamInterface<InstallFailureRow> {};

// Whatever step fails, its code is the exit code and one -remove afterwards
// leaves nothing of Tavrilex behind.
TEST_P(InstallFailureTest, ExitsWithTheFailedCallsCodeAndRemoveCleansUp)
{
    const InstallFailureRow& row = GetParam();
    {
        sim::ScopedFault fault(row.function, row.error, row.nth);
        EXPECT_EQ(RunCommand(InstallSelf, row.error), row.output);
    }
    EXPECT_EQ(ClosedKinds(), row.closed);
    EXPECT_EQ(sim::OpenHandleCount(), 0);

    CaptureOutput(RemoveSelf);
    EXPECT_FALSE(sim::HasService(L"Tavrilex"));
    EXPECT_FALSE(sim::HasRegistryKey(kEventSourceKey));
}

INSTANTIATE_TEST_SUITE_P(
    Calls, InstallFailureTest,
    testing::Values(
        InstallFailureRow{"ModulePath", "GetModuleFileNameW", 1, ERROR_NOT_ENOUGH_MEMORY,
                          "GetModuleFileName failed w/err 0x00000008\n", {}},
        InstallFailureRow{"ManagerDenied", "OpenSCManagerW", 1, ERROR_ACCESS_DENIED,
                          "OpenSCManager failed w/err 0x00000005\n", {}},
        InstallFailureRow{"ManagerLargestCode", "OpenSCManagerW", 1, 0xFFFFFFFFu,
                          "OpenSCManager failed w/err 0xffffffff\n", {}},
        InstallFailureRow{"CreateDenied", "CreateServiceW", 1, ERROR_ACCESS_DENIED,
                          "CreateService failed w/err 0x00000005\n", {"scm"}},
        InstallFailureRow{"RecoveryActionsRefused", "ChangeServiceConfig2W", 2, ERROR_ACCESS_DENIED,
                          "ChangeServiceConfig2 failed w/err 0x00000005\n", {"scm", "service"}},
        InstallFailureRow{"RecoveryFlagRefused", "ChangeServiceConfig2W", 3, ERROR_ACCESS_DENIED,
                          "ChangeServiceConfig2 failed w/err 0x00000005\n", {"scm", "service"}},
        InstallFailureRow{"PrivilegesRefused", "ChangeServiceConfig2W", 4, ERROR_ACCESS_DENIED,
                          "ChangeServiceConfig2 failed w/err 0x00000005\n", {"scm", "service"}},
        InstallFailureRow{"SidTypeRefused", "ChangeServiceConfig2W", 5, ERROR_INVALID_PARAMETER,
                          "ChangeServiceConfig2 failed w/err 0x00000057\n", {"scm", "service"}},
        InstallFailureRow{"EventSourceKeyRefused", "RegCreateKeyExW", 1, ERROR_ACCESS_DENIED,
                          "RegCreateKeyEx failed w/err 0x00000005\n", {"scm", "service"}},
        InstallFailureRow{"EventSourceValueRefused", "RegSetValueExW", 2, ERROR_NOT_ENOUGH_MEMORY,
                          "RegSetValueEx failed w/err 0x00000008\n", {"scm", "service"}}),
    [](const testing::TestParamInfo<InstallFailureRow>& info) { return info.param.name; });

}  // namespace
