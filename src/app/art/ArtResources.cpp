#include "app/art/ArtResources.h"

#include <array>

namespace tessary::art {

std::span<const ArtPicture> artPictures() {
    static const std::array<ArtPicture, 5> pictures{{
        {welcomeArtwork, QSize(566, 384)},
        {topBand, QSize(1324, 145)},
        {scanHintPhoneToPc, QSize(80, 109)},
        {scanHintPcToPhone, QSize(80, 109)},
        {phoneBadge, QSize(50, 48)},
    }};
    return pictures;
}

std::span<const ArtPicture> programIcons() {
    static const std::array<ArtPicture, 3> icons{{
        {":/art/icon/tessary-48.png", QSize(48, 48)},
        {":/art/icon/tessary-128.png", QSize(128, 128)},
        {":/art/icon/tessary-256.png", QSize(256, 256)},
    }};
    return icons;
}

} // namespace tessary::art
