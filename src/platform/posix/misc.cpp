// The monotonic counter, GUIDs, diagnostic output and random bytes.

#include "platform/platform.h"

#include <cerrno>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace platform {

std::int64_t PerformanceCounter() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::optional<std::string> NewGuidText() {
    uuid_t id;
    ::uuid_generate(id);
    char text[37] = {};
    ::uuid_unparse_upper(id, text);
    return "{" + std::string(text) + "}";
}

void DebugOutput(std::string_view text) {
    // One write call, so lines from several threads do not interleave.
    std::string line(text);
    line += '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t written = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(written);
    }
}

bool RandomBytes(std::span<unsigned char> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + done, bytes.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace platform
