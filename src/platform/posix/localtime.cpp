#include "platform/platform.h"

#include <ctime>

namespace platform {

std::optional<LocalDateTime> ToLocalDateTime(std::chrono::system_clock::time_point time) {
    // Floor, not truncate, so a moment just before 1970 keeps its own second.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count();
    const auto t = static_cast<std::time_t>(seconds);
    if (static_cast<long long>(t) != static_cast<long long>(seconds)) {
        return std::nullopt;
    }
    // localtime_r need not read TZ again by itself; tzset makes a changed zone count.
    tzset();
    std::tm parts{};
    if (localtime_r(&t, &parts) == nullptr) {
        return std::nullopt;
    }
    return LocalDateTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                         parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

} // namespace platform
