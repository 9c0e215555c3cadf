#include "engine/UploadDate.h"

#include "engine/HttpRules.h" // ParseCount

namespace engine {

std::optional<std::chrono::system_clock::time_point>
PlausibleUploadDate(std::string_view raw, std::chrono::system_clock::time_point now) {
    using namespace std::chrono;
    const auto count = ParseCount(raw);
    constexpr sys_days Earliest = 1990y / January / 1;
    // Beyond this the conversion below could overflow; no phone sends it.
    constexpr std::int64_t Latest = 253402300800000; // the year 10000
    if (!count || *count > Latest) {
        return std::nullopt;
    }
    const system_clock::time_point date{
        duration_cast<system_clock::duration>(milliseconds{*count})};
    if (date < Earliest || date > now + hours{24}) {
        return std::nullopt;
    }
    return date;
}

} // namespace engine
