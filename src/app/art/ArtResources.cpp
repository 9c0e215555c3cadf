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

} // namespace tessary::art
