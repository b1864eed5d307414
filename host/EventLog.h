// The event log's records: their identifiers, and the one gate that every
// record of the service passes.
#pragma once

#include "Platform.h"

#include <atomic>

// The identifiers, with the severity bits the message compiler gives them;
// each names a text in the message table (cli/TavrilexMessages.mc), which
// Event Viewer renders with the record's strings. Event Viewer shows the low
// 16 bits as the event ID.
// A failure: the record's second string is its whole message.
constexpr DWORD kEventFailure = 0x00000000;
// quorbel started at the stop watcher's request: its name, then the
// milliseconds since its stop.
constexpr DWORD kEventStartedByWatcher = 0x40000001;
// quorbel started at the 5-second check's request: its name, then the state
// the check found.
constexpr DWORD kEventStartedByPoll = 0x40000002;
// quorbel in a crash loop: its name, how many stops, in how many seconds.
constexpr DWORD kEventCrashLoop = 0x80000003;
// quorbel keeps stopping, whatever its runs last: its name, how many stops,
// in how many seconds.
constexpr DWORD kEventFlapping = 0x80000004;
// The end of such an episode: its name, its stops, the starts of ours the
// SCM accepted, and the seconds from its first stop until it ran for good.
constexpr DWORD kEventEpisodeOver = 0x40000005;

// Lets records through until it is closed; the only way to the event log.
// Nothing waits on a write: a hung event log holds back only the thread that
// writes. Once Close has returned no record passes the gate; one that passed
// before may still land.
class CRecordGate {
public:
    // Writes one record of `source` with `count` strings, category 0, no SID
    // and no data, unless the gate is closed. A source that cannot be
    // registered drops the record without a word; the write's own result is
    // not tested.
    void Write(PCWSTR source, WORD type, DWORD eventId, WORD count, LPCWSTR* strings) const;
    void Close() { m_closed.store(true); }

private:
    std::atomic<bool> m_closed{false};
};
