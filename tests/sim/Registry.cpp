// The simulated registry: keys below HKEY_LOCAL_MACHINE, each with its named
// values, opened through handles that carry their access. Only what the
// product writes is modelled: create, set, close and delete.
#include "SimState.h"

#include <cstring>

using namespace sim::detail;

namespace {

// The registry's answers are the error codes themselves.
LSTATUS Status(ApiCall& api, DWORD error)
{
    return static_cast<LSTATUS>(api.Fail(error, error));
}

// The folded parent path of a key; empty for a key right below the root.
std::wstring Parent(const std::wstring& folded)
{
    const size_t slash = folded.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : folded.substr(0, slash);
}

bool IsMachineRoot(HKEY key)
{
    return key == HKEY_LOCAL_MACHINE;
}

// A path Windows would refuse: empty, or with an empty part.
bool Malformed(const std::wstring& path)
{
    return path.empty() || path.front() == L'\\' || path.back() == L'\\' || path.find(L"\\\\") != std::wstring::npos;
}

}  // namespace

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                               REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition)
{
    (void)lpClass;
    (void)dwOptions;
    (void)lpSecurityAttributes;
    ApiCall api("RegCreateKeyExW");
    const std::wstring path = Text(lpSubKey);
    api.SetText(path);
    api.SetArg(samDesired);
    if (api.Faulted()) {
        return static_cast<LSTATUS>(LastError());
    }
    if (!IsMachineRoot(hKey)) {
        return Status(api, ERROR_INVALID_HANDLE);
    }
    if (Reserved != 0 || !phkResult || Malformed(path)) {
        return Status(api, ERROR_INVALID_PARAMETER);
    }
    State& state = api.S();
    const std::wstring folded = Fold(path);
    const bool existed = state.registry.count(folded) != 0;
    HandleEntry entry;
    entry.kind = Kind::RegKey;
    entry.access = samDesired;
    entry.name = MakeKeyPath(state, path).path;
    *phkResult = reinterpret_cast<HKEY>(NewHandle(state, entry));
    if (lpdwDisposition) {
        *lpdwDisposition = existed ? 2 /* REG_OPENED_EXISTING_KEY */ : 1 /* REG_CREATED_NEW_KEY */;
    }
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                              DWORD cbData)
{
    ApiCall api("RegSetValueExW");
    api.SetArg(dwType);
    HandleEntry* entry = api.UseHandle(hKey, Kind::RegKey, KEY_SET_VALUE);
    // The journal names the value, not the key.
    api.SetText(Text(lpValueName));
    if (!entry) {
        return static_cast<LSTATUS>(LastError());
    }
    if (Reserved != 0 || (cbData != 0 && !lpData)) {
        return Status(api, ERROR_INVALID_PARAMETER);
    }
    auto key = api.S().registry.find(Fold(entry->name));
    if (key == api.S().registry.end()) {
        return Status(api, 1018 /* ERROR_KEY_DELETED */);
    }
    sim::RegistryValue value;
    value.type = dwType;
    value.size = cbData;
    if (dwType == REG_SZ || dwType == REG_EXPAND_SZ) {
        std::vector<WCHAR> units(cbData / sizeof(WCHAR));
        if (!units.empty()) {
            std::memcpy(units.data(), lpData, units.size() * sizeof(WCHAR));
        }
        value.text.assign(units.begin(), units.end());
        value.text = value.text.c_str();  // up to the terminator
    } else if (dwType == REG_DWORD && cbData == sizeof(DWORD)) {
        std::memcpy(&value.number, lpData, sizeof(DWORD));
    }
    const std::wstring name = Text(lpValueName);
    key->second.values[Fold(name)] = {name, value};
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    ApiCall api("RegCloseKey");
    return api.CloseOf(hKey, {Kind::RegKey}, /*journalName=*/true) ? ERROR_SUCCESS
                                                                    : static_cast<LSTATUS>(LastError());
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    ApiCall api("RegDeleteKeyW");
    const std::wstring path = Text(lpSubKey);
    api.SetText(path);
    if (api.Faulted()) {
        return static_cast<LSTATUS>(LastError());
    }
    if (!IsMachineRoot(hKey)) {
        return Status(api, ERROR_INVALID_HANDLE);
    }
    if (Malformed(path)) {
        return Status(api, ERROR_INVALID_PARAMETER);
    }
    State& state = api.S();
    const std::wstring folded = Fold(path);
    auto key = state.registry.find(folded);
    if (key == state.registry.end()) {
        return Status(api, ERROR_FILE_NOT_FOUND);
    }
    // A key with subkeys stays; Windows refuses to delete it.
    const std::wstring below = folded + L"\\";
    for (const auto& [other, unused] : state.registry) {
        if (other.compare(0, below.size(), below) == 0) {
            return Status(api, ERROR_ACCESS_DENIED);
        }
    }
    state.registry.erase(key);
    return ERROR_SUCCESS;
}

namespace sim {
namespace detail {

RegKey& MakeKeyPath(State& state, const std::wstring& path)
{
    // Every missing key on the way is made too, as Windows does.
    for (std::wstring at = Fold(path), original = path; !at.empty(); at = Parent(at), original = Parent(original)) {
        RegKey& key = state.registry[at];
        if (key.path.empty()) {
            key.path = original;
        }
    }
    return state.registry[Fold(path)];
}

}  // namespace detail
}  // namespace sim
