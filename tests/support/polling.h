// Waiting for what a test checks, not for a fixed time.
#pragma once

#include <windows.h>

#include <cstdlib>

namespace teldo::test {

// How many times longer than its limit a wait may take before it fails:
// TELDO_WAIT_FACTOR (default 1), for a machine far slower than the limits were
// chosen for, such as the emulated PC of scripts/test-x86.sh. Only a wait that
// would fail anyway takes longer.
inline DWORD wait_factor() {
    static const DWORD factor = [] {
        const char* given = std::getenv("TELDO_WAIT_FACTOR");
        const unsigned long value = given ? std::strtoul(given, nullptr, 10) : 0;
        return value ? static_cast<DWORD>(value) : DWORD{1};
    }();
    return factor;
}

// Checks `done` until it holds or `timeout_ms` (times wait_factor) has passed;
// whether it held.
// Often at first, since most waits are for a message or two to be handled,
// then every 20 ms.
template <typename Pred>
bool poll(DWORD timeout_ms, Pred done) {
    const ULONGLONG end = GetTickCount64() + ULONGLONG{timeout_ms} * wait_factor();
    for (int round = 0;; ++round) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(round < 50 ? 1 : 20);
    }
}

// Waits until `handle` (a process, an event) is signalled, up to `timeout_ms`
// (times wait_factor); whether it was.
inline bool wait_for_signal(HANDLE handle, DWORD timeout_ms) {
    const ULONGLONG scaled = ULONGLONG{timeout_ms} * wait_factor();
    const DWORD limit = scaled < INFINITE ? static_cast<DWORD>(scaled) : INFINITE - 1;
    return WaitForSingleObject(handle, limit) == WAIT_OBJECT_0;
}

}  // namespace teldo::test
