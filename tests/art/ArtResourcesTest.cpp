#include "app/art/ArtResources.h"

#include <QColor>
#include <QFile>
#include <QImage>
#include <QtEndian>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct Expected {
    const char* path;
    int width;
    int height;
};

// The sizes the window's layout gives each picture.
const std::vector<Expected> kExpected = {
    {":/art/Image1.bmp", 566, 384}, {":/art/Image2.bmp", 1324, 145}, {":/art/Image3.bmp", 80, 109},
    {":/art/Image4.bmp", 80, 109},  {":/art/Image5.bmp", 50, 48},
};

QByteArray readResource(const char* path) {
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QImage loadResource(const char* path) {
    QImage image;
    image.load(QString::fromLatin1(path), "BMP");
    return image;
}

template <typename T> T field(const QByteArray& bytes, int offset) {
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// Every pixel of the outermost ring has the colour, so the picture blends
// into what surrounds it.
void expectBorder(const QImage& image, QRgb colour) {
    int wrong = 0;
    for (int x = 0; x < image.width(); ++x) {
        wrong += image.pixel(x, 0) != colour;
        wrong += image.pixel(x, image.height() - 1) != colour;
    }
    for (int y = 0; y < image.height(); ++y) {
        wrong += image.pixel(0, y) != colour;
        wrong += image.pixel(image.width() - 1, y) != colour;
    }
    EXPECT_EQ(wrong, 0) << "border pixels differing from " << QColor(colour).name().toStdString();
}

TEST(ArtResources, EachIsAnUncompressed24BitBmpOfItsLayoutSize) {
    for (const auto& expected : kExpected) {
        SCOPED_TRACE(expected.path);
        const QByteArray bytes = readResource(expected.path);
        ASSERT_GE(bytes.size(), 54) << "resource missing or too short";
        EXPECT_EQ(bytes.left(2), QByteArray("BM"));
        EXPECT_EQ(field<std::int32_t>(bytes, 18), expected.width);
        // Positive: rows stored bottom-up, as every BMP reader expects.
        EXPECT_EQ(field<std::int32_t>(bytes, 22), expected.height);
        EXPECT_EQ(field<std::uint16_t>(bytes, 28), 24) << "bits per pixel";
        EXPECT_EQ(field<std::uint32_t>(bytes, 30), 0u) << "compression";

        const QImage image = loadResource(expected.path);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(expected.width, expected.height));
        EXPECT_FALSE(image.hasAlphaChannel());
    }
}

TEST(ArtResources, PublishedListMatchesTheResources) {
    const auto pictures = tessary::art::artPictures();
    ASSERT_EQ(pictures.size(), kExpected.size());
    for (std::size_t i = 0; i < kExpected.size(); ++i) {
        EXPECT_STREQ(pictures[i].path, kExpected[i].path);
        EXPECT_EQ(pictures[i].size, QSize(kExpected[i].width, kExpected[i].height));
    }
}

TEST(ArtResources, WelcomeArtworkBlendsIntoThePage) {
    const QImage image = loadResource(tessary::art::welcomeArtwork);
    ASSERT_FALSE(image.isNull());
    expectBorder(image, qRgb(0x00, 0x8F, 0xDD));
    // Not a flat fill: the devices, plane and links are drawn in white.
    int white = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            white += image.pixel(x, y) == qRgb(255, 255, 255);
    EXPECT_GT(white, image.width() * image.height() / 20);
}

TEST(ArtResources, TopBandRunsFromLightToDarkBlue) {
    const QImage image = loadResource(tessary::art::topBand);
    ASSERT_FALSE(image.isNull());
    const int last = image.height() - 1;
    for (int x = 0; x < image.width(); ++x) {
        ASSERT_EQ(image.pixel(x, 0), qRgb(0x01, 0xBA, 0xF1)) << "top row, x " << x;
        ASSERT_EQ(image.pixel(x, last), qRgb(0x01, 0x8F, 0xDD)) << "bottom row, x " << x;
    }
    // Vertical only, and never lighter further down.
    for (int y = 1; y < image.height(); ++y) {
        const QRgb row = image.pixel(0, y);
        EXPECT_EQ(image.pixel(image.width() - 1, y), row) << "row " << y;
        EXPECT_LE(qGreen(row), qGreen(image.pixel(0, y - 1))) << "row " << y;
    }
}

TEST(ArtResources, SmallPicturesSitOnTheirPanelsColour) {
    struct Case {
        const char* path;
        QRgb panel;
    };
    // The phone-to-PC page is white; the PC-to-phone page has the default panel colour.
    for (Case c : {Case{tessary::art::scanHintPhoneToPc, qRgb(255, 255, 255)},
                   Case{tessary::art::scanHintPcToPhone, qRgb(0xF0, 0xF0, 0xF0)},
                   Case{tessary::art::phoneBadge, qRgb(255, 255, 255)}}) {
        SCOPED_TRACE(c.path);
        const QImage image = loadResource(c.path);
        ASSERT_FALSE(image.isNull());
        expectBorder(image, c.panel);
    }
}

TEST(ArtResources, BothPagesShowTheSameHandAndPhone) {
    const QImage phoneToPc = loadResource(tessary::art::scanHintPhoneToPc);
    const QImage pcToPhone = loadResource(tessary::art::scanHintPcToPhone);
    ASSERT_FALSE(phoneToPc.isNull());
    ASSERT_EQ(phoneToPc.size(), pcToPhone.size());
    // The drawing is the same; only the background and its anti-aliased
    // edge may differ.
    int drawn = 0;
    int differing = 0;
    for (int y = 0; y < phoneToPc.height(); ++y) {
        for (int x = 0; x < phoneToPc.width(); ++x) {
            const QRgb a = phoneToPc.pixel(x, y);
            const QRgb b = pcToPhone.pixel(x, y);
            if (a == qRgb(255, 255, 255) && b == qRgb(0xF0, 0xF0, 0xF0))
                continue;
            ++drawn;
            if (std::abs(qRed(a) - qRed(b)) > 16 || std::abs(qGreen(a) - qGreen(b)) > 16 ||
                std::abs(qBlue(a) - qBlue(b)) > 16)
                ++differing;
        }
    }
    EXPECT_GT(drawn, phoneToPc.width() * phoneToPc.height() / 4);
    EXPECT_EQ(differing, 0);
}

// The icon at each theme size: transparent around its rounded tile (so it sits
// on any panel or dock), the tile itself opaque blue, the phone white.
TEST(ArtResources, ProgramIconAtEveryThemeSizeIsATileOnTransparency) {
    const auto icons = tessary::art::programIcons();
    ASSERT_EQ(icons.size(), 3u);
    int previous = 0;
    for (const auto& icon : icons) {
        SCOPED_TRACE(icon.path);
        QImage image;
        ASSERT_TRUE(image.load(QString::fromLatin1(icon.path), "PNG"));
        EXPECT_EQ(image.size(), icon.size);
        EXPECT_EQ(icon.size.width(), icon.size.height());
        EXPECT_GT(icon.size.width(), previous) << "smallest first";
        previous = icon.size.width();
        ASSERT_TRUE(image.hasAlphaChannel());
        const int n = image.width();
        for (const QPoint corner :
             {QPoint(0, 0), QPoint(n - 1, 0), QPoint(0, n - 1), QPoint(n - 1, n - 1)})
            EXPECT_EQ(qAlpha(image.pixel(corner)), 0) << corner.x() << "," << corner.y();
        // Inside the tile, left of the phone: the band's blue, opaque.
        const QRgb tile = image.pixel(n * 24 / 256, n * 128 / 256);
        EXPECT_EQ(qAlpha(tile), 255);
        EXPECT_GT(qBlue(tile), 200);
        EXPECT_LT(qRed(tile), 40);
        // The phone's frame, white.
        EXPECT_EQ(image.pixel(n * 134 / 256, n * 128 / 256), qRgb(255, 255, 255));
    }
}

} // namespace
