#include "engine/UploadRequest.h"

#include "engine/RequestPath.h"

#include <algorithm>
#include <charconv>

namespace engine {

bool IsValidUploadId(std::string_view id) {
    return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

std::optional<std::string> ParseUploadId(std::optional<std::string_view> raw) {
    if (!raw) {
        return std::nullopt;
    }
    auto id = PercentDecode(*raw, true);
    if (!id || !IsValidUploadId(*id)) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::string> DecodeUploadName(std::optional<std::string_view> raw) {
    if (!raw) {
        return std::nullopt;
    }
    // The shared decoder refuses an encoded NUL (in a path it would end the
    // name early); here it becomes another control character instead.
    std::string text(*raw);
    for (std::size_t at = 0; (at = text.find("%00", at)) != std::string::npos; at += 3) {
        text[at + 2] = '1';
    }
    return PercentDecode(text, true);
}

std::optional<ChunkParameters> ParseChunkParameters(std::optional<std::string_view> rawName,
                                                    std::optional<std::string_view> rawSize,
                                                    std::optional<std::string_view> rawOffset) {
    auto name = DecodeUploadName(rawName);
    const auto decodedSize = rawSize ? PercentDecode(*rawSize, true) : std::nullopt;
    const auto decodedOffset = rawOffset ? PercentDecode(*rawOffset, true) : std::nullopt;
    if (!name || !decodedSize || !decodedOffset) {
        return std::nullopt;
    }
    const auto size = ParseCount(*decodedSize);
    const auto offset = ParseCount(*decodedOffset);
    if (!size || !offset) {
        return std::nullopt;
    }
    return ChunkParameters{std::move(*name), *size, *offset};
}

} // namespace engine
