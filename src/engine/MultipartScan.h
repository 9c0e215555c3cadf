#pragma once

// What the engine itself checks of a multipart/form-data body while the
// HTTP library parses it: the boundary it announces, that the closing
// delimiter arrived (a body cut short is never taken for a whole one), and
// the NUL bytes in part headers, which would end the library's header line
// early and make a file part look like a plain field. Pure, no I/O.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace engine {

// The longest boundary taken (the standard allows 70 characters).
inline constexpr std::size_t MaxBoundaryLength = 200;

// The boundary of a Content-Type header value, read as the HTTP library
// reads it: the type must be multipart/form-data (any case), the boundary
// is everything after the first "boundary=", without enclosing quotes.
// nullopt for another type, an empty or too long boundary, or one holding
// control characters.
std::optional<std::string> MultipartBoundary(std::string_view contentType);

// Follows a body delimited by a boundary, block by block.
class MultipartScanner {
  public:
    explicit MultipartScanner(std::string_view boundary);

    // Takes the next bytes of the body. NUL bytes inside part headers are
    // replaced in place by another control character (U+0001), which the
    // name cleaner removes as it removes every control character.
    void Feed(std::span<char> bytes);
    // True once the closing delimiter ("--" boundary "--") has been seen.
    bool Closed() const { return state_ == State::Epilogue; }
    // True when a part's header line had no colon, an odd number of quotes
    // (a quoted name broken by a line break) or a CR or LF on its own: the
    // library would drop that part without a word.
    bool MalformedHeaders() const { return malformed_; }

  private:
    enum class State {
        Body,          // looking for CR LF "--" boundary
        AfterBoundary, // after a boundary: "--", or blanks and CR LF
        AfterDashes,   // one "-" after a boundary
        AfterPadding,  // blanks after a boundary, then CR
        Headers,       // part headers until an empty line
        Epilogue       // after the closing delimiter: ignored
    };
    void Step(char& c);
    // Continues the delimiter match with c, starting over where c allows.
    void MatchDelimiter(char c);
    void CheckHeaderLine(char c);

    std::string delimiter_; // CR LF "--" boundary
    State state_ = State::Body;
    std::size_t matched_ = 0;   // bytes of delimiter_ matched so far
    unsigned headerBreaks_ = 0; // CR LF CR LF bytes matched in the headers
    // The header line being read.
    std::size_t lineLength_ = 0;
    bool lineHasColon_ = false;
    bool lineQuoteOpen_ = false;
    bool lineEscaped_ = false;
    bool afterCr_ = false;
    bool malformed_ = false;
};

} // namespace engine
