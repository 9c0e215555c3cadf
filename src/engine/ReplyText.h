#pragma once

// The bodies of the engine's answers: JSON for the upload page, small HTML
// pages for a form sent without JavaScript.

#include "engine/UploadStore.h"

#include <string>
#include <string_view>
#include <vector>

namespace engine {

// Text as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

struct ErrorReply {
    unsigned status = 500;
    std::string code;    // "expired", "disk-full", ...
    std::string message; // for the person holding the phone
};
ErrorReply ErrorFor(UploadError error);
ErrorReply ExpiredKeyError();
ErrorReply BadRequestError(std::string message);
ErrorReply TooManyWrongKeysError();
ErrorReply AnotherSiteError();

// {"error": "...", "message": "..."} plus any extra members ("\"offset\": 5").
std::string ErrorJson(const ErrorReply& error, std::string_view extraMembers = {});
// A small page showing the message, with a link back to the upload page.
std::string ErrorPage(const ErrorReply& error, std::string_view backLink);
// A small page listing the files that arrived, with a link back.
std::string ReceivedPage(const std::vector<std::string>& names, std::string_view backLink);

} // namespace engine
