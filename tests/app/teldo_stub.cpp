// A TELDO.dll stand-in with only TELDO_Open and TELDO_Close: it shows that
// Brenvo binds each export at its own first call, and it counts the calls it
// receives in a record the test shares with it.
#include "teldo_stub_record.h"

namespace {

brenvo::test::StubRecord* record() {
    static brenvo::test::StubRecord* shared = [] {
        const HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE,
                                                brenvo::test::stub_record_name);
        return mapping ? static_cast<brenvo::test::StubRecord*>(
                             MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))
                       : nullptr;
    }();
    return shared;
}

}  // namespace

extern "C" __declspec(dllexport) int __stdcall TELDO_Open() {
    brenvo::test::StubRecord* r = record();
    if (!r) return 1;
    InterlockedIncrement(&r->opens);
    return r->open_result;
}

extern "C" __declspec(dllexport) int __stdcall TELDO_Close() {
    brenvo::test::StubRecord* r = record();
    if (r) InterlockedIncrement(&r->closes);
    return r && r->closes > 1 ? -1 : 1;
}
