#pragma once

// The date a phone sends with a file (its lastModified, in milliseconds
// since 1970), which the received file keeps as its last-write time so the
// PC sorts photos by when they were taken, not when they arrived.

#include <chrono>
#include <optional>
#include <string_view>

namespace engine {

// The time a raw decimal millisecond count names, when it is plausible:
// from 1990 on and at most a day ahead of now (a phone's clock may be off,
// a file from the future is not). nullopt otherwise, and then the file
// keeps the time it arrived.
std::optional<std::chrono::system_clock::time_point>
PlausibleUploadDate(std::string_view raw, std::chrono::system_clock::time_point now);

} // namespace engine
