// Bench helper for Windows (run under Wine next to tavrilex.exe): prints, for
// every process whose image name is the argument, one line
//   <process id> <handle count> <thread count>
// so that a long run can show whether the service's handle table grows.
// Prints nothing when no such process runs; exits 1 when the count cannot be
// read.
//
// The count comes from the system-wide handle table (the same one that tools
// such as handle.exe read), because Wine answers GetProcessHandleCount with 0.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

// SystemHandleInformation (class 16) of NtQuerySystemInformation: a count,
// then one entry per open handle in the system.
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE handleFlags;
    USHORT handleValue;
    PVOID objectPointer;
    ULONG accessMask;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry handles[1];
};
constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

// The number of handles `pid` holds; false when the table cannot be read.
bool CountHandles(DWORD pid, DWORD& count)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return false;
    }
    auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) {
        return false;
    }
    std::vector<BYTE> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const LONG status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status < 0) {
            return false;
        }
        break;
    }
    const auto* table = reinterpret_cast<const SystemHandleTable*>(buffer.data());
    count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
        if (table->handles[i].ownerPid == pid) {
            ++count;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: handlecount <image name>\n");
        return 2;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "CreateToolhelp32Snapshot failed w/err 0x%08lx\n", static_cast<unsigned long>(error));
        return 1;
    }
    int result = 0;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, argv[1]) != 0) {
            continue;
        }
        DWORD handles = 0;
        if (!CountHandles(entry.th32ProcessID, handles)) {
            std::fprintf(stderr, "the system handle table cannot be read\n");
            result = 1;
            continue;
        }
        std::printf("%lu %lu %lu\n", static_cast<unsigned long>(entry.th32ProcessID),
                    static_cast<unsigned long>(handles), static_cast<unsigned long>(entry.cntThreads));
    }
    CloseHandle(snapshot);
    return result;
}
