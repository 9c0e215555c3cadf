#pragma once

// The Range request header (RFC 9110, 14.1.2), single ranges only.

#include <cstdint>
#include <string_view>

namespace engine {

struct RangeRequest {
    enum class Kind {
        Whole,        // no usable Range: serve the whole file (200)
        Partial,      // serve [first, first + length) (206)
        Unsatisfiable // the range lies outside the file (416)
    };
    Kind kind = Kind::Whole;
    std::int64_t first = 0;
    std::int64_t length = 0;
};

// Interprets a Range header value for a file of fileSize bytes. A missing,
// malformed or multi-range header means the whole file, as the standard
// allows; a last position past the end is clamped to the end.
RangeRequest ParseRange(std::string_view header, std::int64_t fileSize);

} // namespace engine
