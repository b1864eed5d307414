#include "CliTest.h"
#include "Commands.h"

namespace {

using InstallTest = CliTest;

TEST_F(InstallTest, RegistersQuotedAutoStartOwnProcessServiceAsLocalSystem)
{
    EXPECT_EQ(CaptureOutput(InstallSelf), "Tavrilex is installed.\n");

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
    const std::vector<sim::Call> creates = CallsOf("CreateServiceW");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].arg, 0x00000006u);
    const std::vector<sim::Call> descriptions = CallsOf("ChangeServiceConfig2W");
    ASSERT_EQ(descriptions.size(), 1u);
    EXPECT_EQ(descriptions[0].arg, static_cast<DWORD>(SERVICE_CONFIG_DESCRIPTION));
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

    EXPECT_EQ(CaptureOutput(InstallSelf), "CreateService failed w/err 0x00000431\n");

    const sim::ServiceConfig config = sim::GetServiceConfig(L"Tavrilex");
    EXPECT_EQ(config.displayName, L"Older Tavrilex");
    EXPECT_EQ(config.description, L"Installed earlier");
    EXPECT_EQ(config.startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.imagePath, L"C:\\Old\\tavrilex.exe");
    EXPECT_TRUE(CallsOf("ChangeServiceConfig2W").empty());
    EXPECT_EQ(ClosedKinds(), (std::vector<std::string>{"scm"}));
}

TEST_F(InstallTest, RefusedDescriptionStillReportsInstalled)
{
    sim::ScopedFault fault("ChangeServiceConfig2W", ERROR_ACCESS_DENIED);

    EXPECT_EQ(CaptureOutput(InstallSelf), "Tavrilex is installed.\n");

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

    const std::string output = CaptureOutput(InstallSelf);

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
    DWORD error;
    const char* output;
    std::vector<std::string> closed;
};

void PrintTo(const InstallFailureRow& row, std::ostream* os)
{
    *os << row.name;
}

class InstallFailureTest : public CliTest, public testing::WithParamInterface<InstallFailureRow> {};

TEST_P(InstallFailureTest, PrintsTheFailedCallAndRegistersNothing)
{
    const InstallFailureRow& row = GetParam();
    sim::ScopedFault fault(row.function, row.error);

    EXPECT_EQ(CaptureOutput(InstallSelf), row.output);

    EXPECT_FALSE(sim::HasService(L"Tavrilex"));
    EXPECT_EQ(ClosedKinds(), row.closed);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, InstallFailureTest,
    testing::Values(
        InstallFailureRow{"ModulePath", "GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY,
                          "GetModuleFileName failed w/err 0x00000008\n", {}},
        InstallFailureRow{"ManagerDenied", "OpenSCManagerW", ERROR_ACCESS_DENIED,
                          "OpenSCManager failed w/err 0x00000005\n", {}},
        InstallFailureRow{"ManagerLargestCode", "OpenSCManagerW", 0xFFFFFFFFu,
                          "OpenSCManager failed w/err 0xffffffff\n", {}},
        InstallFailureRow{"CreateDenied", "CreateServiceW", ERROR_ACCESS_DENIED,
                          "CreateService failed w/err 0x00000005\n", {"scm"}}),
    [](const testing::TestParamInfo<InstallFailureRow>& info) { return info.param.name; });

}  // namespace
