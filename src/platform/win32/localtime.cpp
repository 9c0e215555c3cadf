#include "platform/platform.h"

#include <windows.h>

namespace platform {

std::optional<LocalDateTime> ToLocalDateTime(std::chrono::system_clock::time_point time) {
    // FILETIME counts 100 ns steps since 1601; floor to whole seconds first,
    // so a moment just before 1970 keeps its own second.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
    constexpr std::int64_t EpochDifferenceSeconds = 11644473600LL;
    if (seconds < -EpochDifferenceSeconds)
        return std::nullopt;
    const auto ticks = static_cast<std::uint64_t>(seconds + EpochDifferenceSeconds) * 10'000'000U;
    FILETIME utc{};
    utc.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFU);
    utc.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&utc, &universal) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return std::nullopt;
    return LocalDateTime{local.wYear, local.wMonth,  local.wDay,
                         local.wHour, local.wMinute, local.wSecond};
}

} // namespace platform
