#include "engine/ByteRange.h"

#include "engine/HttpRules.h"

#include <algorithm>
#include <optional>

namespace engine {

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

RangeRequest ParseRange(std::string_view header, std::int64_t fileSize) {
    const RangeRequest whole;
    header = Trim(header);
    constexpr std::string_view unit = "bytes=";
    if (header.size() <= unit.size() || header.substr(0, unit.size()) != unit) {
        return whole;
    }
    const std::string_view byteRange = Trim(header.substr(unit.size()));
    if (byteRange.find(',') != std::string_view::npos) {
        return whole;
    }
    const std::size_t dash = byteRange.find('-');
    if (dash == std::string_view::npos) {
        return whole;
    }
    const std::string_view firstText = Trim(byteRange.substr(0, dash));
    const std::string_view lastText = Trim(byteRange.substr(dash + 1));

    RangeRequest result;
    result.kind = RangeRequest::Kind::Partial;
    if (firstText.empty()) {
        // "bytes=-N": the last N bytes.
        const auto suffix = ParseCount(lastText);
        if (!suffix) {
            return whole;
        }
        if (*suffix == 0 || fileSize == 0) {
            result.kind = RangeRequest::Kind::Unsatisfiable;
            return result;
        }
        result.length = std::min(*suffix, fileSize);
        result.first = fileSize - result.length;
        return result;
    }
    const auto first = ParseCount(firstText);
    if (!first) {
        return whole;
    }
    std::int64_t last = fileSize - 1;
    if (!lastText.empty()) {
        const auto parsed = ParseCount(lastText);
        if (!parsed || *parsed < *first) {
            return whole;
        }
        last = std::min(*parsed, fileSize - 1);
    }
    if (*first >= fileSize) {
        result.kind = RangeRequest::Kind::Unsatisfiable;
        return result;
    }
    result.first = *first;
    result.length = last - *first + 1;
    return result;
}

} // namespace engine
