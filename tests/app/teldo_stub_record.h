// Shared record between a test and the TELDO.dll stand-in it puts beside a
// copy of Brenvo.exe: what the stand-in returns from TELDO_Open, and the calls
// it received.
#pragma once

#include <windows.h>

namespace brenvo::test {

constexpr wchar_t stub_record_name[] = L"Local\\BrenvoTeldoStubRecord";

struct StubRecord {
    LONG open_result;
    LONG opens;
    LONG closes;
};

}  // namespace brenvo::test
