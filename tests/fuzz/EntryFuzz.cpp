// libFuzzer target: the process entry against the simulated platform, with
// the argument vector and the state of the machine decoded from the input.
//
// Input layout (missing bytes read as 0):
//   byte 0      argument count, taken modulo 5 (0 to 4)
//   byte 1      the machine: bit 0 "Tavrilex" is registered, bit 1 it runs,
//               bit 2 it accepts the stop control, bits 3-4 how many status
//               queries report stop pending after an accepted stop, bit 5 the
//               executable lives at a path longer than MAX_PATH
//   byte 2      a call to fail (modulo the table below; 0: none)
//   byte 3      bits 0-1 which call of it fails (1st to 4th), bits 2-4 the code
//   the rest    the arguments, program name first, separated by 0x00 bytes;
//               each byte is one code unit, and 0xFF hi lo is the unit hi:lo
//
// Whatever the input, the entry must leave no handle open, print only its own
// console messages, run the install or remove command only for "-"/"/"
// followed by exactly "install"/"remove" in any ASCII case, and exit with the
// code its last failure message shows (0 when it printed none, 87 with a
// usage line on standard error for any other switch).
#include "Entry.h"
#include "SimControl.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kFaultable[] = {
    nullptr,          "GetModuleFileNameW", "OpenSCManagerW",     "CreateServiceW",
    "OpenServiceW",   "ControlService",     "QueryServiceStatus", "DeleteService",
    "CreateEventW",   "StartServiceCtrlDispatcherW", "ChangeServiceConfig2W", "CloseServiceHandle",
    "RegCreateKeyExW", "RegSetValueExW", "RegDeleteKeyW",
};
constexpr size_t kFaultableCount = sizeof(kFaultable) / sizeof(kFaultable[0]);
const DWORD kCodes[] = {5, 6, 87, 1060, 1072, 1073, 1063, 0xDEADBEEF};

class CReader {
public:
    CReader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    uint8_t Byte() { return m_position < m_size ? m_data[m_position++] : 0; }
    bool AtEnd() const { return m_position >= m_size; }

    // One argument: up to the next 0x00 byte or the end.
    std::wstring Argument()
    {
        std::wstring text;
        while (!AtEnd()) {
            const uint8_t byte = Byte();
            if (byte == 0x00) {
                break;
            }
            if (byte == 0xFF) {
                const unsigned high = Byte();
                const unsigned low = Byte();
                const unsigned unit = (high << 8) | low;
                if (unit == 0) {
                    break;
                }
                text.push_back(static_cast<WCHAR>(unit));
            } else {
                text.push_back(static_cast<WCHAR>(byte));
            }
        }
        return text;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_position = 0;
};

struct Machine {
    bool registered = false;
    bool running = false;
    bool acceptsStop = false;
    int pendingQueries = 0;
    bool longPath = false;
    const char* faultFunction = nullptr;
    int faultNth = 1;
    DWORD faultCode = 0;
};

enum class Mode { Install, Remove, Ignored, Service };

// The command word test as the program states it: the whole rest of the
// argument, ASCII letters folded, nothing else folded.
bool IsCommand(const std::wstring& argument, const char* word)
{
    const size_t length = std::strlen(word);
    if (argument.size() != length + 1 || (argument[0] != L'-' && argument[0] != L'/')) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        WCHAR c = argument[i + 1];
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<WCHAR>(c - L'A' + L'a');
        }
        if (c != static_cast<WCHAR>(word[i])) {
            return false;
        }
    }
    return true;
}

Mode ModeOf(int argc, const std::vector<std::wstring>& arguments)
{
    if (argc < 2 || arguments[1].empty() || (arguments[1][0] != L'-' && arguments[1][0] != L'/')) {
        return Mode::Service;
    }
    if (IsCommand(arguments[1], "install")) {
        return Mode::Install;
    }
    if (IsCommand(arguments[1], "remove")) {
        return Mode::Remove;
    }
    return Mode::Ignored;
}

const char* ModeName(Mode mode)
{
    switch (mode) {
    case Mode::Install:
        return "install";
    case Mode::Remove:
        return "remove";
    case Mode::Ignored:
        return "ignored switch";
    case Mode::Service:
        return "service";
    }
    return "?";
}

// One standard stream of one run, caught in an in-memory file.
class CStreamCapture {
public:
    CStreamCapture(FILE* stream, int descriptor) : m_stream(stream), m_descriptor(descriptor)
    {
        m_file = memfd_create("entry-fuzz-stream", 0);
        m_saved = dup(m_descriptor);
        if (m_file < 0 || m_saved < 0) {
            std::perror("stream capture");
            std::abort();
        }
    }

    void Begin()
    {
        std::fflush(m_stream);
        if (ftruncate(m_file, 0) != 0 || lseek(m_file, 0, SEEK_SET) != 0) {
            std::abort();
        }
        dup2(m_file, m_descriptor);
    }

    std::string End()
    {
        std::fflush(m_stream);
        dup2(m_saved, m_descriptor);
        std::string text;
        char buffer[4096];
        off_t offset = 0;
        for (;;) {
            const ssize_t got = pread(m_file, buffer, sizeof(buffer), offset);
            if (got <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(got));
            offset += got;
        }
        return text;
    }

private:
    FILE* m_stream;
    int m_descriptor;
    int m_file = -1;
    int m_saved = -1;
};

std::string Visible(const std::string& text)
{
    std::string shown;
    for (char c : text) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c >= 0x20 && c < 0x7F) {
            shown.push_back(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", static_cast<unsigned char>(c));
            shown += hex;
        }
    }
    return shown;
}

// Reads the output against the program's own message table.
class COutput {
public:
    explicit COutput(const std::string& text) : m_text(text) {}

    bool Eat(const char* literal)
    {
        const size_t length = std::strlen(literal);
        if (m_text.compare(m_position, length, literal) != 0) {
            return false;
        }
        m_position += length;
        return true;
    }

    // "<Name> failed w/err 0x%08lx\n" for one of `names`; gives the name.
    bool EatFailure(const std::vector<const char*>& names, std::string& name)
    {
        const size_t start = m_position;
        for (const char* candidate : names) {
            m_position = start;
            if (Eat(candidate) && Eat(" failed w/err 0x") && EatHex() && Eat("\n")) {
                name = candidate;
                return true;
            }
        }
        m_position = start;
        return false;
    }

    bool AtEnd() const { return m_position == m_text.size(); }

private:
    bool EatHex()
    {
        for (int i = 0; i < 8; ++i) {
            if (m_position >= m_text.size()) {
                return false;
            }
            const char c = m_text[m_position++];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
                return false;
            }
        }
        return true;
    }

    const std::string& m_text;
    size_t m_position = 0;
};

struct Run {
    Mode mode = Mode::Service;
    Machine machine;
    std::vector<std::wstring> arguments;
    int argc = 0;
    std::string output;
    std::string errors;
    std::vector<sim::Call> journal;
};

// The code of the output's last line when that is a failure message
// ("... w/err 0x%08lx\n"), 0 when there is none.
unsigned long LastFailureCode(const std::string& output)
{
    const std::string marker = " w/err 0x";
    const size_t at = output.rfind(marker);
    if (at == std::string::npos || at + marker.size() + 9 != output.size()) {
        return 0;
    }
    return std::strtoul(output.substr(at + marker.size(), 8).c_str(), nullptr, 16);
}

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (WCHAR c : text) {
        if (c >= 0x20 && c < 0x7F) {
            narrow.push_back(static_cast<char>(c));
        } else {
            char hex[12];
            std::snprintf(hex, sizeof(hex), "\\u%04x", static_cast<unsigned>(c));
            narrow += hex;
        }
    }
    return narrow;
}

[[noreturn]] void Broken(const Run& run, const std::string& what)
{
    std::fprintf(stderr, "\nentry fuzz: %s\n  mode %s, argc %d, arguments:", what.c_str(), ModeName(run.mode), run.argc);
    for (const std::wstring& argument : run.arguments) {
        std::fprintf(stderr, " [%s]", Narrow(argument).c_str());
    }
    std::fprintf(stderr, "\n  fault %s #%d code %u\n  output [%s]\n  errors [%s]\n  calls:",
                 run.machine.faultFunction ? run.machine.faultFunction : "none", run.machine.faultNth,
                 static_cast<unsigned>(run.machine.faultCode), Visible(run.output).c_str(),
                 Visible(run.errors).c_str());
    for (const sim::Call& call : run.journal) {
        std::fprintf(stderr, " %s%s", call.function.c_str(), call.ok ? "" : "(failed)");
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

int Count(const Run& run, const char* function)
{
    int count = 0;
    for (const sim::Call& call : run.journal) {
        if (call.function == function) {
            ++count;
        }
    }
    return count;
}

// A printed failure must name a call that did fail: the last call of that
// function in the journal.
void CheckNamedFailure(const Run& run, const std::string& name)
{
    std::string function = name;
    if (name != "DeleteService") {
        function += "W";
    }
    const sim::Call* last = nullptr;
    for (const sim::Call& call : run.journal) {
        if (call.function == function) {
            last = &call;
        }
    }
    if (last == nullptr || last->ok) {
        Broken(run, "printed a failure of " + name + ", but the last " + function + " did not fail");
    }
}

void CheckInstall(const Run& run, bool registeredBefore)
{
    COutput output(run.output);
    std::string name;
    if (output.Eat("Tavrilex is installed.\n")) {
        if (registeredBefore) {
            Broken(run, "reported an install over an existing registration");
        }
        if (!sim::HasService(L"Tavrilex") || sim::GetServiceConfig(L"Tavrilex").startType != SERVICE_AUTO_START) {
            Broken(run, "reported an install but no automatic-start registration exists");
        }
    } else if (output.EatFailure({"GetModuleFileName", "OpenSCManager", "CreateService", "ChangeServiceConfig2",
                                  "RegCreateKeyEx", "RegSetValueEx"},
                                 name)) {
        CheckNamedFailure(run, name);
    } else {
        Broken(run, "install printed something outside its messages");
    }
    if (!output.AtEnd()) {
        Broken(run, "install printed more than one message");
    }
    if (Count(run, "CreateServiceW") > 1) {
        Broken(run, "install tried to register more than once");
    }
}

void CheckRemove(const Run& run)
{
    COutput output(run.output);
    std::string name;
    if (output.EatFailure({"OpenSCManager", "OpenService"}, name)) {
        CheckNamedFailure(run, name);
        if (Count(run, "DeleteService") != 0) {
            Broken(run, "deleted after failing to open");
        }
        // With the service gone, the event source is still deleted.
        if (name == "OpenService" && output.EatFailure({"RegDeleteKey"}, name)) {
            CheckNamedFailure(run, name);
        }
    } else {
        if (output.Eat("Stopping Tavrilex.")) {
            int dots = 0;
            while (output.Eat(".")) {
                ++dots;
            }
            if (dots > run.machine.pendingQueries) {
                Broken(run, "printed more progress dots than stop-pending reports");
            }
            if (!output.Eat("\nTavrilex is stopped.\n") && !output.Eat("\nTavrilex failed to stop.\n")) {
                Broken(run, "the stop wait ended without its verdict");
            }
        }
        if (output.Eat("Tavrilex is removed.\n")) {
            if (sim::HasService(L"Tavrilex") && !sim::IsMarkedForDelete(L"Tavrilex")) {
                Broken(run, "reported a removal but the registration stands");
            }
        } else if (output.EatFailure({"DeleteService", "RegDeleteKey"}, name)) {
            CheckNamedFailure(run, name);
            // Marked for deletion already (1072), the event source is still deleted.
            if (name == "DeleteService" && output.EatFailure({"RegDeleteKey"}, name)) {
                CheckNamedFailure(run, name);
            }
        } else {
            Broken(run, "remove printed something outside its messages");
        }
    }
    if (!output.AtEnd()) {
        Broken(run, "remove printed more than its messages");
    }
}

void CheckService(const Run& run)
{
    COutput output(run.output);
    std::string name;
    if (output.Eat("Service failed to run w/err 0x")) {
        // The dispatcher cannot be entered from a console: 1063, unless a
        // fault chose another code.
        const bool faulted = run.machine.faultFunction != nullptr &&
                             std::strcmp(run.machine.faultFunction, "StartServiceCtrlDispatcherW") == 0 &&
                             run.machine.faultNth == 1;
        char expected[32];
        std::snprintf(expected, sizeof(expected), "%08x\n", faulted ? static_cast<unsigned>(run.machine.faultCode) : 1063u);
        if (!output.Eat(expected)) {
            Broken(run, std::string("the dispatcher's failure code is not ") + expected);
        }
    } else if (output.EatFailure({"CreateEvent"}, name)) {
        CheckNamedFailure(run, name);
        if (Count(run, "StartServiceCtrlDispatcherW") != 0) {
            Broken(run, "entered the dispatcher without the loop's event");
        }
    } else {
        Broken(run, "the service path printed something outside its messages");
    }
    if (!output.AtEnd()) {
        Broken(run, "the service path printed more than one message");
    }
}

void Check(const Run& run, bool registeredBefore)
{
    const bool installs = Count(run, "CreateServiceW") + Count(run, "GetModuleFileNameW") > 0;
    const bool removes = Count(run, "OpenServiceW") + Count(run, "DeleteService") + Count(run, "ControlService") > 0;
    if (installs != (run.mode == Mode::Install)) {
        Broken(run, installs ? "ran the install command" : "did not run the install command");
    }
    if (removes && run.mode != Mode::Remove) {
        Broken(run, "ran the remove command");
    }
    if (run.mode == Mode::Remove && (run.journal.empty() || run.journal.front().function != "OpenSCManagerW")) {
        Broken(run, "did not run the remove command");
    }
    const bool servicePath = Count(run, "CreateEventW") > 0;
    if (servicePath != (run.mode == Mode::Service)) {
        Broken(run, servicePath ? "took the service path" : "did not take the service path");
    }
    // A close that fails leaves its handle open in the simulation; the
    // program does not test that result, so only those may remain.
    int failedCloses = 0;
    for (const sim::Call& call : run.journal) {
        failedCloses += call.function == "CloseServiceHandle" && !call.ok ? 1 : 0;
    }
    if (sim::OpenHandleCount() != failedCloses) {
        Broken(run, "left " + std::to_string(sim::OpenHandleCount()) + " handle(s) open");
    }

    switch (run.mode) {
    case Mode::Install:
        CheckInstall(run, registeredBefore);
        break;
    case Mode::Remove:
        CheckRemove(run);
        break;
    case Mode::Ignored:
        if (!run.output.empty() || !run.journal.empty()) {
            Broken(run, "an unknown switch printed or called something");
        }
        break;
    case Mode::Service:
        CheckService(run);
        break;
    }
}

void SetUpMachine(const Machine& machine)
{
    if (machine.registered) {
        sim::ServiceConfig config;
        config.name = L"Tavrilex";
        config.displayName = L"Tavrilex";
        config.startType = SERVICE_AUTO_START;
        config.imagePath = L"\"C:\\Program Files\\Tavrilex\\tavrilex.exe\"";
        sim::ServiceBehaviour behaviour;
        behaviour.controlsAccepted = machine.acceptsStop ? SERVICE_ACCEPT_STOP : SERVICE_ACCEPT_SHUTDOWN;
        behaviour.statesAfterStop.assign(static_cast<size_t>(machine.pendingQueries), SERVICE_STOP_PENDING);
        sim::AddService(config, machine.running ? SERVICE_RUNNING : SERVICE_STOPPED, behaviour);
    }
    if (machine.longPath) {
        sim::SetModulePath(L"C:\\" + std::wstring(300, L'x') + L"\\tavrilex.exe");
    }
    if (machine.faultFunction != nullptr) {
        sim::FailCall(machine.faultFunction, machine.faultNth, machine.faultCode);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CStreamCapture s_stdout(stdout, STDOUT_FILENO);
    static CStreamCapture s_stderr(stderr, STDERR_FILENO);

    CReader reader(data, size);
    Run run;
    run.argc = reader.Byte() % 5;
    const uint8_t machineBits = reader.Byte();
    run.machine.registered = (machineBits & 0x01) != 0;
    run.machine.running = (machineBits & 0x02) != 0;
    run.machine.acceptsStop = (machineBits & 0x04) != 0;
    run.machine.pendingQueries = (machineBits >> 3) & 0x03;
    run.machine.longPath = (machineBits & 0x20) != 0;
    run.machine.faultFunction = kFaultable[reader.Byte() % kFaultableCount];
    const uint8_t faultBits = reader.Byte();
    run.machine.faultNth = 1 + (faultBits & 0x03);
    run.machine.faultCode = kCodes[(faultBits >> 2) & 0x07];
    for (int i = 0; i < run.argc; ++i) {
        run.arguments.push_back(reader.Argument());
    }
    run.mode = ModeOf(run.argc, run.arguments);

    sim::Reset();
    SetUpMachine(run.machine);
    const bool registeredBefore = sim::HasService(L"Tavrilex");
    sim::ClearJournal();

    // The vector the entry sees: writable strings, null after the last.
    std::vector<std::wstring> storage = run.arguments;
    std::vector<WCHAR*> argv;
    for (std::wstring& argument : storage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    s_stdout.Begin();
    s_stderr.Begin();
    const int exitCode = TavrilexMain(run.argc, argv.data());
    run.errors = s_stderr.End();
    run.output = s_stdout.End();
    run.journal = sim::Journal();

    // Scripts and deployment tools read the exit code before any text.
    const bool unknownSwitch = run.mode == Mode::Ignored;
    const unsigned long expectedExit = unknownSwitch ? 87ul : LastFailureCode(run.output);
    if (static_cast<unsigned long>(static_cast<DWORD>(exitCode)) != expectedExit) {
        Broken(run, "exit code " + std::to_string(static_cast<DWORD>(exitCode)) + ", expected " +
                        std::to_string(expectedExit));
    }
    if (run.errors != (unknownSwitch ? "usage: tavrilex.exe -install | -remove\n" : "")) {
        Broken(run, "wrote to standard error");
    }
    Check(run, registeredBefore);
    sim::Reset();
    return 0;
}
