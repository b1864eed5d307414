// The simulated event log: sources are handles with a name, and every report
// is kept whole so that tests can read back exactly what was written.
#include "SimState.h"

using namespace sim::detail;

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName)
{
    (void)lpUNCServerName;
    ApiCall api("RegisterEventSourceW");
    api.SetText(Text(lpSourceName));
    if (api.Faulted()) {
        return nullptr;
    }
    if (!lpSourceName) {
        return api.Fail(ERROR_INVALID_PARAMETER, HANDLE(nullptr));
    }
    HandleEntry entry;
    entry.kind = Kind::EventSource;
    entry.name = lpSourceName;
    return reinterpret_cast<HANDLE>(NewHandle(api.S(), entry));
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID lpUserSid,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData)
{
    ApiCall api("ReportEventW");
    api.SetArg(dwEventID);
    HandleEntry* entry = api.UseHandle(hEventLog, Kind::EventSource);
    if (!entry) {
        return FALSE;
    }
    if (wNumStrings > 0 && !lpStrings) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (dwDataSize > 0 && !lpRawData) {
        return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    sim::EventRecord record;
    record.source = entry->name;
    record.type = wType;
    record.category = wCategory;
    record.eventId = dwEventID;
    record.hasSid = lpUserSid != nullptr;
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (!lpStrings[i]) {
            return api.Fail(ERROR_INVALID_PARAMETER, FALSE);
        }
        record.strings.emplace_back(lpStrings[i]);
    }
    record.dataSize = dwDataSize;
    record.hasData = lpRawData != nullptr;
    api.S().events.push_back(std::move(record));
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog)
{
    ApiCall api("DeregisterEventSource");
    return api.CloseOf(hEventLog, {Kind::EventSource}, /*journalName=*/true) ? TRUE : FALSE;
}
