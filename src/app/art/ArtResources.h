#pragma once

#include <QSize>
#include <span>

// The window's pictures, linked in as Qt resources by tessary_art. Each is an
// uncompressed 24-bit BMP of exactly the size the window's layout gives it.
namespace tessary::art {

// The welcome page's artwork, on the page's own #008FDD.
inline constexpr char welcomeArtwork[] = ":/art/Image1.bmp";
// The top band's gradient, #01BAF1 at the top to #018FDD at the bottom.
inline constexpr char topBand[] = ":/art/Image2.bmp";
// The hand holding a phone with a QR code, on the phone-to-PC page (white).
inline constexpr char scanHintPhoneToPc[] = ":/art/Image3.bmp";
// The same picture for the PC-to-phone page, also on white.
inline constexpr char scanHintPcToPhone[] = ":/art/Image4.bmp";
// The blue badge with a white phone beside step 2 (white).
inline constexpr char phoneBadge[] = ":/art/Image5.bmp";

struct ArtPicture {
    const char* path;
    QSize size;
};

// Every picture with the size its bitmap has, in resource order.
std::span<const ArtPicture> artPictures();

// The program's icon at the sizes the desktop's icon theme has it, smallest
// first: PNGs with transparency, the same the installation puts in the theme.
std::span<const ArtPicture> programIcons();

} // namespace tessary::art
