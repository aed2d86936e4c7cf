// A stand-in for Windows' bcryptprimitives.dll, for running the unit tests
// under wine 8, which has no such DLL. It exports the one function the
// platform layer takes from it, ProcessPrng, with the same contract: fill the
// whole buffer with random bytes and report success, since the real one never
// fails. The bytes come from advapi32's RtlGenRandom, which wine has.
//
// Test-only: the test run copies it into the wine prefix's system32, the only
// folder the platform layer loads it from. It is never shipped.
#include <windows.h>
// <ntsecapi.h> declares RtlGenRandom (exported as SystemFunction036).
#include <ntsecapi.h>

#include <algorithm>
#include <cstdlib>

extern "C" __declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size) {
    // RtlGenRandom takes a 32-bit count, so a larger buffer is filled in parts.
    constexpr SIZE_T LARGEST_PART = 0x10000000;
    while (size > 0) {
        const SIZE_T part = std::min(size, LARGEST_PART);
        if (!RtlGenRandom(data, static_cast<ULONG>(part))) {
            // The real function cannot fail, so no caller handles it: stop the
            // test run rather than hand out bytes that are not random.
            std::abort();
        }
        data += part;
        size -= part;
    }
    return TRUE;
}
