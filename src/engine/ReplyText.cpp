#include "engine/ReplyText.h"

#include "util/HTMTemplateUnit.h"

#include <cstdio>

namespace engine {

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

ErrorReply ErrorFor(UploadError error) {
    switch (error) {
    case UploadError::BadRequest:
        return {400, "bad-request", "The upload request was not understood."};
    case UploadError::UnknownUpload:
        return {404, "unknown-upload", "The PC does not know this upload. Start it again."};
    case UploadError::OffsetMismatch:
        return {409, "offset-mismatch", "The upload must continue from another point."};
    case UploadError::TooLarge:
        return {413, "too-large", "More data arrived than the file's size."};
    case UploadError::DiskFull:
        return {507, "disk-full",
                "The PC's disk is full. Free some space on the PC and try again."};
    case UploadError::TooMany:
        return {503, "busy", "The PC is receiving too many files at once. Try again shortly."};
    case UploadError::None:
    case UploadError::Failed:
        break;
    }
    return {500, "failed", "The PC could not store the file."};
}

ErrorReply ExpiredKeyError() {
    return {403, "expired",
            "This page is from an earlier session. Scan the new QR code on the PC."};
}

ErrorReply BadRequestError(std::string message) {
    return {400, "bad-request", std::move(message)};
}

ErrorReply TooManyWrongKeysError() {
    return {429, "too-many",
            "Too many tries with a wrong page key. Wait a few minutes, then scan the QR code on "
            "the PC again."};
}

ErrorReply AnotherSiteError() {
    return {403, "other-site",
            "This request came from another site's page. Open the page from the QR code on the "
            "PC."};
}

std::string ErrorJson(const ErrorReply& error, std::string_view extraMembers) {
    std::string body =
        "{\"error\": " + JsonString(error.code) + ", \"message\": " + JsonString(error.message);
    if (!extraMembers.empty()) {
        body += ", ";
        body += extraMembers;
    }
    body += "}";
    return body;
}

namespace {

std::string Page(std::string_view title, std::string_view content, std::string_view backLink) {
    std::string page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<title>" +
                       htmtemplate::EscapeHtml(title) +
                       "</title><style>body{font-family:sans-serif;margin:2em;}"
                       "li{word-break:break-all;}</style></head><body>\n<h1>" +
                       htmtemplate::EscapeHtml(title) + "</h1>\n" + std::string(content);
    if (!backLink.empty()) {
        page +=
            "<p><a href=\"" + htmtemplate::EscapeHtml(backLink) + "\">Send more files</a></p>\n";
    }
    page += "</body></html>\n";
    return page;
}

} // namespace

std::string ErrorPage(const ErrorReply& error, std::string_view backLink) {
    return Page("Upload failed", "<p>" + htmtemplate::EscapeHtml(error.message) + "</p>\n",
                backLink);
}

std::string ReceivedPage(const std::vector<std::string>& names, std::string_view backLink) {
    std::string content;
    if (names.empty()) {
        content = "<p>No file was chosen.</p>\n";
    } else {
        content = "<p>The PC received " + std::to_string(names.size()) +
                  (names.size() == 1 ? " file" : " files") + ":</p>\n<ul>\n";
        for (const auto& name : names) {
            content += "<li>" + htmtemplate::EscapeHtml(name) + "</li>\n";
        }
        content += "</ul>\n";
    }
    return Page(names.empty() ? "Nothing sent" : "Files received", content, backLink);
}

} // namespace engine
