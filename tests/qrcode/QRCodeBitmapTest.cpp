#include "qrcode/QRCodeBitmap.h"

#include "QRDecode.h"
#include "qrcode/QRCodeMatrix.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <string>

using qrcode::TQRCodeBitmap;

namespace {

const std::string UploadUrl = "http://192.168.1.5:8016/u/abcdef.html";
const std::string DownloadUrl = "http://192.168.1.5:8016/d/abcdef.html";

constexpr QRgb Black = 0xFF000000;
constexpr QRgb White = 0xFFFFFFFF;

// A paint box of the given size, painted grey first so that the white fill
// shows, then drawn as the window's paint handler draws it.
QImage DrawBox(QSize box, TQRCodeBitmap& renderer, const std::string& url) {
    QImage image(box, QImage::Format_RGB32);
    image.fill(qRgb(128, 128, 128));
    QPainter painter(&image);
    qrcode::DrawQRCode(painter, box, renderer, url);
    painter.end();
    return image;
}

bool IsBlackOrWhite(QRgb pixel) {
    return pixel == Black || pixel == White;
}

// Every box pixel inside target shows the bitmap pixel it was stretched
// from, every one outside is white.
void ExpectStretchedCode(const QImage& box, const QImage& bitmap, QRect target) {
    int wrong = 0;
    for (int y = 0; y < box.height(); ++y) {
        for (int x = 0; x < box.width(); ++x) {
            const QRgb pixel = box.pixel(x, y);
            if (!target.contains(x, y)) {
                wrong += pixel != White;
                continue;
            }
            // Nearest neighbour, sampled at the pixel's centre.
            const int sx = (2 * x + 1) * bitmap.width() / (2 * target.width());
            const int sy = (2 * y + 1) * bitmap.height() / (2 * target.height());
            wrong += pixel != bitmap.pixel(sx, sy);
        }
    }
    EXPECT_EQ(wrong, 0);
}

} // namespace

TEST(QRCodeBitmap, DirectUrlGivesThirtySevenPixelsWithWhiteBorder) {
    TQRCodeBitmap renderer;
    renderer.SetText(UploadUrl);
    renderer.Rebuild();
    const QImage& bitmap = renderer.Bitmap();
    ASSERT_EQ(bitmap.size(), QSize(37, 37));
    EXPECT_TRUE(bitmap.format() == QImage::Format_RGB32 ||
                bitmap.format() == QImage::Format_RGB888);

    qrcode::TQRCodeMatrix matrix;
    matrix.SetData(u"http://192.168.1.5:8016/u/abcdef.html");
    int dark = 0;
    for (int y = 0; y < 37; ++y) {
        for (int x = 0; x < 37; ++x) {
            const QRgb pixel = bitmap.pixel(x, y);
            ASSERT_TRUE(IsBlackOrWhite(pixel)) << x << "," << y;
            if (x < 4 || y < 4 || x >= 33 || y >= 33) {
                EXPECT_EQ(pixel, White) << "border at " << x << "," << y;
            }
            EXPECT_EQ(pixel == Black, matrix.ModuleIsDark(y, x)) << x << "," << y;
            dark += pixel == Black;
        }
    }
    EXPECT_GT(dark, 29 * 29 / 4);
    EXPECT_EQ(DecodeQR(bitmap).text, UploadUrl);
}

TEST(QRCodeBitmap, TextIsCutAt255BytesWithoutSplittingUtf8) {
    TQRCodeBitmap renderer;
    renderer.SetText(std::string(300, 'a'));
    EXPECT_EQ(renderer.Text(), std::string(255, 'a'));

    renderer.SetText(std::string(254, 'a') + "\xC3\xA9"); // é straddles the cut
    EXPECT_EQ(renderer.Text(), std::string(254, 'a'));

    renderer.SetText(std::string(253, 'a') + "\xE2\x82\xAC" + "zz"); // € at bytes 254..256
    EXPECT_EQ(renderer.Text(), std::string(253, 'a'));

    renderer.SetText(std::string(252, 'a') + "\xE2\x82\xAC");
    EXPECT_EQ(renderer.Text().size(), 255u);

    // The longest texts the cut allows still fit a symbol.
    std::string euros;
    while (euros.size() + 3 <= 255) {
        euros += "\xE2\x82\xAC";
    }
    renderer.SetText(euros);
    EXPECT_NO_THROW(renderer.Rebuild());
    const QRDecodeResult read = DecodeQR(renderer.Bitmap());
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.bytes, "\xEF\xBB\xBF" + euros);
}

TEST(QRCodeBitmap, EmptyTextGivesEmptyBitmapAndWhiteBox) {
    TQRCodeBitmap renderer;
    renderer.SetText(UploadUrl);
    renderer.Rebuild();
    const QImage box = DrawBox({350, 350}, renderer, "");
    EXPECT_TRUE(renderer.Bitmap().isNull());
    EXPECT_EQ(renderer.Bitmap().size(), QSize(0, 0));
    ExpectStretchedCode(box, renderer.Bitmap(), QRect());
}

TEST(QRCodeBitmap, TargetRectFollowsTheShorterScaleAndTruncates) {
    EXPECT_EQ(qrcode::QRCodeTargetRect({350, 350}, {37, 37}), QRect(0, 0, 350, 350));
    EXPECT_EQ(qrcode::QRCodeTargetRect({300, 200}, {37, 37}), QRect(0, 0, 200, 200));
    EXPECT_EQ(qrcode::QRCodeTargetRect({200, 300}, {37, 37}), QRect(0, 0, 200, 200));
    // 123 / 37 * 37 is 122.999...: truncated, one pixel short of the box.
    EXPECT_EQ(qrcode::QRCodeTargetRect({123, 123}, {37, 37}), QRect(0, 0, 122, 122));
    EXPECT_EQ(qrcode::QRCodeTargetRect({123, 400}, {37, 37}), QRect(0, 0, 122, 122));
    // Taller than wide goes by the width, even when that overflows the height.
    EXPECT_EQ(qrcode::QRCodeTargetRect({100, 101}, {20, 40}), QRect(0, 0, 100, 200));
    EXPECT_EQ(qrcode::QRCodeTargetRect({101, 100}, {40, 20}), QRect(0, 0, 200, 100));
    EXPECT_TRUE(qrcode::QRCodeTargetRect({350, 350}, {0, 0}).isEmpty());
}

TEST(QRCodeBitmap, DrawFillsTheSquareBoxAndReadsBack) {
    TQRCodeBitmap renderer;
    const QImage box = DrawBox({350, 350}, renderer, UploadUrl);
    ASSERT_EQ(renderer.Bitmap().size(), QSize(37, 37));
    ExpectStretchedCode(box, renderer.Bitmap(), QRect(0, 0, 350, 350));
    const QRDecodeResult read = DecodeQR(box);
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.text, UploadUrl);
}

TEST(QRCodeBitmap, WideAndTallBoxesGetASquareAtTheOrigin) {
    TQRCodeBitmap renderer;
    const QImage wide = DrawBox({300, 200}, renderer, UploadUrl);
    ExpectStretchedCode(wide, renderer.Bitmap(), QRect(0, 0, 200, 200));
    EXPECT_EQ(DecodeQR(wide).text, UploadUrl);

    const QImage tall = DrawBox({200, 300}, renderer, UploadUrl);
    ExpectStretchedCode(tall, renderer.Bitmap(), QRect(0, 0, 200, 200));
    EXPECT_EQ(DecodeQR(tall).text, UploadUrl);

    const QImage odd = DrawBox({123, 123}, renderer, UploadUrl);
    ExpectStretchedCode(odd, renderer.Bitmap(), QRect(0, 0, 122, 122));
}

TEST(QRCodeBitmap, SharedRendererHoldsTheLastDrawnUrl) {
    TQRCodeBitmap renderer;
    DrawBox({350, 350}, renderer, UploadUrl);
    const QImage second = DrawBox({350, 350}, renderer, DownloadUrl);
    EXPECT_EQ(renderer.Text(), DownloadUrl);
    EXPECT_EQ(DecodeQR(renderer.Bitmap()).text, DownloadUrl);
    EXPECT_EQ(DecodeQR(second).text, DownloadUrl);

    // The next paint of the first box encodes its own URL again.
    const QImage first = DrawBox({350, 350}, renderer, UploadUrl);
    EXPECT_EQ(DecodeQR(first).text, UploadUrl);
}

TEST(QRCodeBitmap, ZbarReadsTheDrawnBox) {
    if (std::system("command -v zbarimg >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "zbarimg is not installed";
    }
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    TQRCodeBitmap renderer;
    const QString png = folder.filePath("box.png");
    ASSERT_TRUE(DrawBox({350, 350}, renderer, DownloadUrl).save(png));

    const std::string command = "zbarimg --quiet --raw '" + png.toStdString() + "' 2>/dev/null";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    ASSERT_TRUE(pipe);
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
        output += buffer;
    }
    EXPECT_EQ(output, DownloadUrl + "\n");
}
