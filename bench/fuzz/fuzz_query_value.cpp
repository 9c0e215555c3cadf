// Query values: percent-decoding, with and without "+" as a blank.

#include "FuzzCheck.h"
#include "engine/RequestPath.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const bool plusIsSpace : {false, true}) {
        const auto decoded = engine::PercentDecode(text, plusIsSpace);
        if (!decoded) {
            continue;
        }
        FUZZ_CHECK(decoded->size() <= text.size());
        FUZZ_CHECK(decoded->find('\0') == std::string::npos);
        if (text.find('%') == std::string_view::npos &&
            (!plusIsSpace || text.find('+') == std::string_view::npos)) {
            FUZZ_CHECK(*decoded == text);
        }
        // Every byte encoded again decodes to the same value.
        std::string encoded;
        for (const char c : *decoded) {
            static constexpr char hex[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 15];
        }
        FUZZ_CHECK(engine::PercentDecode(encoded, plusIsSpace) == decoded);
    }
    return 0;
}
