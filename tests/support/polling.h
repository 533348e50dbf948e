// Waiting for what a test checks, not for a fixed time.
#pragma once

#include <windows.h>

namespace teldo::test {

// Checks `done` until it holds or `timeout_ms` has passed; whether it held.
// Often at first, since most waits are for a message or two to be handled,
// then every 20 ms.
template <typename Pred>
bool poll(DWORD timeout_ms, Pred done) {
    const ULONGLONG end = GetTickCount64() + timeout_ms;
    for (int round = 0;; ++round) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(round < 50 ? 1 : 20);
    }
}

}  // namespace teldo::test
