// The Range header against files of any size.

#include "FuzzCheck.h"
#include "engine/ByteRange.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first 8 bytes give the file size, the rest is the header.
    std::uint64_t raw = 0;
    const std::size_t sizeBytes = size < 8 ? size : 8;
    std::memcpy(&raw, data, sizeBytes);
    const auto fileSize = static_cast<std::int64_t>(raw & 0x7FFFFFFFFFFFFFFFull);
    const std::string_view header(reinterpret_cast<const char*>(data) + sizeBytes,
                                  size - sizeBytes);
    for (const std::int64_t file : {fileSize, fileSize % 1000, std::int64_t{0}}) {
        const auto range = engine::ParseRange(header, file);
        if (range.kind == engine::RangeRequest::Kind::Partial) {
            FUZZ_CHECK(range.first >= 0 && range.length >= 1);
            FUZZ_CHECK(range.first < file && range.length <= file - range.first);
        }
    }
    return 0;
}
