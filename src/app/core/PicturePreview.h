#pragma once

// A small JPEG of a published picture for the phone's download page, so the
// phone shows the picture before it is downloaded and a long press offers
// "Save image". Made with Qt's image codecs: JPEG, PNG and GIF always, WebP
// and HEIC where their plugins are installed.

#include <QByteArray>
#include <optional>
#include <string>

namespace appcore {

// No side of a preview is longer, and no preview file larger.
constexpr int PreviewSide = 320;
constexpr int PreviewMaxBytes = 64 * 1024;

struct TPreview {
    std::string path; // where the JPEG is, once written
    int width = 0;
    int height = 0;
    QByteArray jpeg;
};

// True for the names of the kinds of pictures a preview is tried for.
bool IsPictureName(const std::string& name);

// The preview of the picture at source, not yet written: at most PreviewSide
// pixels a side, turned as the picture's orientation says, transparency on
// white, JPEG quality lowered until it fits PreviewMaxBytes. nullopt for a
// file that does not decode.
std::optional<TPreview> PreviewOf(const std::string& source);

} // namespace appcore
