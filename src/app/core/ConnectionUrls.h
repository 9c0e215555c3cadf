#pragma once

// The two page URLs behind the QR codes, in direct mode (the engine on this
// PC's address) and relay mode (a template from the update service).
//
// The window's ApplyConnectionMode(address, mode), in this order and with no
// event processing between the steps:
//   mode Direct (once, at start-up, address = PrimaryAddress):
//     1. urls = DirectUrls(address, PageKey); UploadUrl = urls.upload;
//     2. redraw QRPaintBox1 (the renderer's text becomes UploadUrl);
//     3. DownloadUrl = urls.download;
//     4. redraw QRPaintBox2;
//     5. GeneratePages (an error stops the sequence here: the timer stays off);
//     6. FileCheckTimer->start();
//     7. clear the scan-in-progress flag.
//   mode Relay (at most once, from the update check, address unused):
//     1. UploadUrl = RelayUrl(RelayUrlTemplate, "u", VersionDigits);
//     2. redraw QRPaintBox1;
//     3. DownloadUrl = RelayUrl(RelayUrlTemplate, "d", VersionDigits);
//     4. redraw QRPaintBox2.
//     Pages, timer, scan flag and engine are left alone.
// "Redraw" is qrcode::TQRCodeBitmap SetText(url) + Rebuild() on the shared
// renderer and update() of the box; the box's paint handler then calls
// qrcode::DrawQRCode(painter, box->size(), renderer, its stored URL).

#include <cstdint>
#include <string>
#include <string_view>

namespace appcore {

// The port the engine listens on, written into direct URLs.
inline constexpr std::string_view EnginePort = "8016";

enum class ConnectionMode : std::int32_t { Direct = 1, Relay = 2 };

struct ConnectionUrls {
    std::string upload;
    std::string download;
};

// "http://" + address + ":8016/u/" + pageKey + ".html" and the same with
// "d/". The address goes in unchanged, empty or not.
ConnectionUrls DirectUrls(const std::string& address, const std::string& pageKey);

// text with its first occurrence of mark (case-sensitive) replaced by value;
// unchanged when mark does not occur or is empty.
std::string ReplaceFirst(std::string text, std::string_view mark, std::string_view value);

// The relay template with, in this order, the first "#updown#" made
// direction ("u" or "d"), the first "https://" made "http://" and the first
// "#version#" made the first character of versionDigits.
std::string RelayUrl(const std::string& relayTemplate, std::string_view direction,
                     std::string_view versionDigits);
// Both relay URLs.
ConnectionUrls RelayUrls(const std::string& relayTemplate, std::string_view versionDigits);

} // namespace appcore
