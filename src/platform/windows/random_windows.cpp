#include <windows.h>
#include <winternl.h>
// After <windows.h>, which it needs.
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "platform/random.h"

namespace driftmoor::platform {
namespace {

// bcryptprimitives.dll's generator: the one Windows itself seeds every
// process's random numbers from. It cannot fail once loaded, and says so by
// always returning TRUE.
using ProcessPrngFunction = BOOL(WINAPI*)(PBYTE data, SIZE_T length);
// bcrypt.dll's, the documented way to the same system generator, for a
// system without bcryptprimitives.dll (before Windows 10; wine 8).
using BCryptGenRandomFunction = NTSTATUS(WINAPI*)(BCRYPT_ALG_HANDLE algorithm, PUCHAR data,
                                                  ULONG length, ULONG flags);

constexpr std::string_view NO_RANDOM_SOURCE =
    "no random source: neither ProcessPrng (bcryptprimitives.dll) nor BCryptGenRandom "
    "(bcrypt.dll) could be loaded";

struct RandomSource {
    ProcessPrngFunction process_prng = nullptr;
    BCryptGenRandomFunction gen_random = nullptr;
};

// `name` from the DLL of the system folder only: a DLL of that name planted
// beside the program or in the current directory must not become the seed.
// The DLL stays loaded for the life of the process, as Windows keeps it
// anyway.
void* system_function(const wchar_t* dll, const char* name) noexcept {
    const HMODULE module = ::LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        return nullptr;
    }
    void* function = reinterpret_cast<void*>(::GetProcAddress(module, name));
    if (function == nullptr) {
        ::FreeLibrary(module);
    }
    return function;
}

RandomSource load_random_source() noexcept {
    if (void* function = system_function(L"bcryptprimitives.dll", "ProcessPrng")) {
        return {.process_prng = reinterpret_cast<ProcessPrngFunction>(function)};
    }
    if (void* function = system_function(L"bcrypt.dll", "BCryptGenRandom")) {
        return {.gen_random = reinterpret_cast<BCryptGenRandomFunction>(function)};
    }
    return {};
}

}  // namespace

OsResult<void> fill_random(std::span<std::byte> buffer) {
    static const RandomSource source = load_random_source();
    if (source.process_prng != nullptr) {
        source.process_prng(reinterpret_cast<PBYTE>(buffer.data()), buffer.size());
        return {};
    }
    if (source.gen_random == nullptr) {
        return std::unexpected(OsError::static_message(ErrorKind::Unsupported, NO_RANDOM_SOURCE));
    }
    while (!buffer.empty()) {
        // A 32-bit count per request.
        const auto part = static_cast<ULONG>(
            std::min<std::size_t>(buffer.size(), std::numeric_limits<ULONG>::max()));
        const NTSTATUS status = source.gen_random(nullptr, reinterpret_cast<PUCHAR>(buffer.data()),
                                                  part, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            return std::unexpected(
                OsError::from_os_code(static_cast<std::int32_t>(::RtlNtStatusToDosError(status))));
        }
        buffer = buffer.subspan(part);
    }
    return {};
}

}  // namespace driftmoor::platform
