#include <windows.h>

#include "platform/random.h"

namespace driftmoor::platform {
namespace {

// bcryptprimitives.dll's generator: the one Windows itself seeds every
// process's random numbers from. It cannot fail once loaded, and says so by
// always returning TRUE.
using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE data, SIZE_T length);

ProcessPrngFunction load_process_prng() noexcept {
    // From the system folder only: a DLL of that name planted beside the
    // program or in the current directory must not become the seed.
    const HMODULE module =
        ::LoadLibraryExW(L"bcryptprimitives.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return nullptr;
    }
    // The DLL stays loaded for the life of the process, as Windows keeps it
    // anyway.
    return reinterpret_cast<ProcessPrngFunction>(
        reinterpret_cast<void*>(::GetProcAddress(module, "ProcessPrng")));
}

}  // namespace

void fill_random(std::span<std::byte> buffer) noexcept {
    static const ProcessPrngFunction process_prng = load_process_prng();
    if (process_prng != nullptr) {
        process_prng(reinterpret_cast<PBYTE>(buffer.data()), buffer.size());
    }
}

}  // namespace driftmoor::platform
