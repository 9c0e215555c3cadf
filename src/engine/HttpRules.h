#pragma once

// Rules for what a request's headers may say and for the validators and
// addresses the engine sends back. Pure functions on text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

// A Host header value taken apart: a name (a DNS name or IPv4 literal of
// letters, digits, "-", "_" and ".", its one trailing dot dropped) or a
// bracketed IPv6 literal, then optionally ":" and a port up to 65535.
struct HostParts {
    std::string_view name; // without brackets
    unsigned port = 80;
    bool ipv6 = false;
};
// nullopt when the value is malformed ("[evil.com]", "a:", a port of
// thousands of digits, blanks, an empty name).
std::optional<HostParts> ParseHost(std::string_view host);

// True when a Host header value (with or without ":port") names this PC: an
// IPv4 or bracketed IPv6 literal, "localhost", or one of ownNames (compared
// without case, a trailing dot ignored). Any other DNS name could be one a
// web page elsewhere points at this PC to read it through a visitor's browser.
bool IsAllowedHost(std::string_view host, const std::vector<std::string>& ownNames);

// The names this PC answers to, from its host name: the name itself, its
// first label, and each of them followed by ".local".
std::vector<std::string> OwnHostNames(std::string_view hostName);

// True when a browser marks the request as made by another site's page:
// Sec-Fetch-Site "cross-site", or an Origin other than "http://" and the
// Host the request names. An Origin "null" (what a page without referrers
// posts) counts only with Sec-Fetch-Site "same-site". Each argument may be
// null.
bool IsFromAnotherSite(const char* fetchSite, const char* origin, const char* host);

// True for a published file's type that a browser shows without running
// anything (pictures, videos, sound, plain text, PDF); others are sent as
// attachments.
bool OpensInPlace(std::string_view contentType);

// A non-negative decimal count filling the whole text (no sign, no blanks,
// at most 2^63 - 1); nullopt otherwise.
std::optional<std::int64_t> ParseCount(std::string_view text);

// A decimal Content-Length value that fits a signed 64-bit count; nullopt
// for anything else (signs, blanks, overflow).
std::optional<std::int64_t> ParseContentLength(std::string_view text);

// The date format of HTTP headers ("Sun, 06 Nov 1994 08:49:37 GMT") for
// seconds since 1970 in UTC.
std::string HttpDate(std::int64_t unixSeconds);

// A strong validator for a file of this size and modification time.
std::string EntityTag(std::int64_t size, std::int64_t modifiedNs);

// An address on this host for the folder the decoded components name, each
// percent-encoded, with one "/" between them and one at the end: never "//"
// at its start, so never an address on another host.
std::string FolderLocation(const std::vector<std::string>& components);

} // namespace engine
