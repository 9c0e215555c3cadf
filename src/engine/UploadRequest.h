#pragma once

// The parameters of the resumable upload interface, read from the query
// values as they arrive (still percent-encoded). Pure functions on text.

#include "engine/HttpRules.h" // ParseCount

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace engine {

// True for an upload id: 1 to 64 characters of A-Z a-z 0-9 _ -.
bool IsValidUploadId(std::string_view id);

// The decoded id of a raw query value; nullopt when it is missing, badly
// encoded or not a valid id.
std::optional<std::string> ParseUploadId(std::optional<std::string_view> raw);

// The file name of a raw query value, decoded but not yet cleaned. An
// encoded NUL is kept as a control character, so the name cleaner removes
// it as it does for a name sent in a form. nullopt when missing or badly
// encoded.
std::optional<std::string> DecodeUploadName(std::optional<std::string_view> raw);

struct ChunkParameters {
    std::string name; // decoded, not yet cleaned
    std::int64_t size = 0;
    std::int64_t offset = 0;
};
// The name, size and offset of a chunk from their raw query values; nullopt
// when one is missing or malformed.
std::optional<ChunkParameters> ParseChunkParameters(std::optional<std::string_view> rawName,
                                                    std::optional<std::string_view> rawSize,
                                                    std::optional<std::string_view> rawOffset);

} // namespace engine
