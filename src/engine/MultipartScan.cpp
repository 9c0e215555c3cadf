#include "engine/MultipartScan.h"

#include <algorithm>
#include <cstring>

namespace engine {

namespace {

bool StartsWithCaseless(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        const auto b = static_cast<unsigned char>(prefix[i]);
        if ((a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) != b) {
            return false;
        }
    }
    return true;
}

} // namespace

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
    constexpr std::string_view type = "multipart/form-data";
    if (!StartsWithCaseless(contentType, type)) {
        return std::nullopt;
    }
    constexpr std::string_view parameter = "boundary=";
    const std::size_t at = contentType.find(parameter, type.size());
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view boundary = contentType.substr(at + parameter.size());
    if (boundary.size() >= 2 && boundary.front() == '"' && boundary.back() == '"') {
        boundary = boundary.substr(1, boundary.size() - 2);
    }
    const bool control = std::any_of(boundary.begin(), boundary.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    });
    if (boundary.empty() || boundary.size() > MaxBoundaryLength || control) {
        return std::nullopt;
    }
    return std::string(boundary);
}

// The body is read as if it began with CR LF, so a delimiter at its very
// start is found like every later one.
MultipartScanner::MultipartScanner(std::string_view boundary)
    : delimiter_("\r\n--" + std::string(boundary)), matched_(2) {}

void MultipartScanner::Feed(std::span<char> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (state_ == State::Epilogue) {
            return;
        }
        // Most of a body is file content: skip ahead to the next CR, and
        // compare a whole delimiter at once where the block holds one.
        if (state_ == State::Body && matched_ == 0) {
            const void* cr = std::memchr(bytes.data() + i, '\r', bytes.size() - i);
            if (cr == nullptr) {
                return;
            }
            i = static_cast<std::size_t>(static_cast<const char*>(cr) - bytes.data());
            if (bytes.size() - i >= delimiter_.size()) {
                if (std::memcmp(bytes.data() + i, delimiter_.data(), delimiter_.size()) == 0) {
                    state_ = State::AfterBoundary;
                    i += delimiter_.size();
                } else {
                    ++i;
                }
                continue;
            }
        }
        Step(bytes[i]);
        ++i;
    }
}

void MultipartScanner::MatchDelimiter(char c) {
    if (c == delimiter_[matched_]) {
        ++matched_;
        return;
    }
    // The boundary holds no CR, so a failed match can only start again at
    // this byte, and only when it is the CR that opens a delimiter.
    matched_ = c == '\r' ? 1 : 0;
}

void MultipartScanner::CheckHeaderLine(char c) {
    if (c == '\n') {
        malformed_ =
            malformed_ || !afterCr_ || lineQuoteOpen_ || (lineLength_ > 0 && !lineHasColon_);
        lineLength_ = 0;
        lineHasColon_ = false;
        lineQuoteOpen_ = false;
        lineEscaped_ = false;
        afterCr_ = false;
        return;
    }
    if (afterCr_) {
        malformed_ = true; // a CR not followed by LF
    }
    afterCr_ = c == '\r';
    if (c != '\r') {
        ++lineLength_;
        lineHasColon_ = lineHasColon_ || c == ':';
        // Inside quotes a backslash takes the next character as it is.
        if (c == '"' && !lineEscaped_) {
            lineQuoteOpen_ = !lineQuoteOpen_;
        }
        lineEscaped_ = lineQuoteOpen_ && c == '\\' && !lineEscaped_;
    }
}

void MultipartScanner::Step(char& c) {
    switch (state_) {
    case State::Body:
        MatchDelimiter(c);
        if (matched_ == delimiter_.size()) {
            matched_ = 0;
            state_ = State::AfterBoundary;
        }
        return;
    case State::AfterBoundary:
    case State::AfterPadding:
        if (c == '-' && state_ == State::AfterBoundary) {
            state_ = State::AfterDashes;
        } else if (c == ' ' || c == '\t') {
            state_ = State::AfterPadding;
        } else if (c == '\r') {
            // A CR LF next makes this a delimiter line; see Headers.
            state_ = State::Headers;
            headerBreaks_ = 1;
            afterCr_ = true;
            lineLength_ = 0;
        } else {
            state_ = State::Body;
            MatchDelimiter(c);
        }
        return;
    case State::AfterDashes:
        if (c == '-') {
            state_ = State::Epilogue;
        } else {
            state_ = State::Body;
            MatchDelimiter(c);
        }
        return;
    case State::Headers:
        if (c == '\0') {
            c = '\x01';
        }
        // CR LF ends the delimiter line; CR LF CR LF ends the headers. The
        // line after the delimiter may itself be empty (no headers).
        if (c == '\r') {
            headerBreaks_ = headerBreaks_ % 2 == 0 ? headerBreaks_ + 1 : 1;
        } else if (c == '\n' && headerBreaks_ % 2 == 1) {
            ++headerBreaks_;
        } else {
            headerBreaks_ = 0;
        }
        CheckHeaderLine(c);
        if (headerBreaks_ == 4) {
            state_ = State::Body;
            matched_ = 0;
        }
        return;
    case State::Epilogue:
        return;
    }
}

} // namespace engine
