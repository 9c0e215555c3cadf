// The upload interface's parameters and a multipart body's boundary, end
// and part headers.

#include "FuzzCheck.h"
#include "engine/MultipartScan.h"
#include "engine/UploadRequest.h"

#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string rawId = input.ConsumeRandomLengthString(100);
    const std::string rawName = input.ConsumeRandomLengthString(400);
    const std::string rawSize = input.ConsumeRandomLengthString(40);
    const std::string rawOffset = input.ConsumeRandomLengthString(40);
    const std::string contentType = input.ConsumeRandomLengthString(300);
    const std::size_t step = input.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::string body = input.ConsumeRemainingBytesAsString();

    if (const auto id = engine::ParseUploadId(rawId)) {
        FUZZ_CHECK(engine::IsValidUploadId(*id));
    }
    if (const auto count = engine::ParseCount(rawSize)) {
        FUZZ_CHECK(*count >= 0 && std::to_string(*count).size() <= rawSize.size());
    }
    if (const auto chunk = engine::ParseChunkParameters(rawName, rawSize, rawOffset)) {
        FUZZ_CHECK(chunk->size >= 0 && chunk->offset >= 0);
        FUZZ_CHECK(chunk->name.find('\0') == std::string::npos);
    }

    const auto boundary = engine::MultipartBoundary(contentType);
    if (!boundary) {
        return 0;
    }
    FUZZ_CHECK(!boundary->empty() && boundary->size() <= engine::MaxBoundaryLength);
    FUZZ_CHECK(boundary->find('\r') == std::string::npos);
    // However the body is split, the scanner comes to the same end and
    // changes the same bytes, and only NUL bytes.
    std::string whole = body;
    engine::MultipartScanner once(*boundary);
    once.Feed(whole);
    std::string pieces = body;
    engine::MultipartScanner split(*boundary);
    for (std::size_t at = 0; at < pieces.size(); at += step) {
        split.Feed({pieces.data() + at, std::min(step, pieces.size() - at)});
    }
    FUZZ_CHECK(once.Closed() == split.Closed());
    FUZZ_CHECK(whole == pieces);
    for (std::size_t i = 0; i < body.size(); ++i) {
        FUZZ_CHECK(whole[i] == body[i] || (body[i] == '\0' && whole[i] == '\x01'));
    }
    // A closed body holds its closing delimiter.
    if (once.Closed()) {
        FUZZ_CHECK(("\r\n" + body).find("\r\n--" + *boundary + "--") != std::string::npos);
    }
    return 0;
}
