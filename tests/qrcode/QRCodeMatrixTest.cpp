#include "qrcode/QRCodeMatrix.h"

#include "QRDecode.h"

#include <QImage>
#include <gtest/gtest.h>
#include <string>

using qrcode::TQRCodeMatrix;

namespace {

// The symbol's version from the matrix side (quiet zone of 4 on each side).
int VersionOf(const TQRCodeMatrix& matrix) {
    const int side = matrix.Rows() - 2 * matrix.QuietZone();
    return (side - 17) / 4;
}

TQRCodeMatrix Encoded(const std::u16string& text) {
    TQRCodeMatrix matrix;
    matrix.SetData(text);
    return matrix;
}

// Pixels straight from ModuleIsDark, so the reader checks the matrix itself.
QImage ImageOf(const TQRCodeMatrix& matrix) {
    QImage image(matrix.Columns(), matrix.Rows(), QImage::Format_RGB32);
    for (int y = 0; y < matrix.Rows(); ++y) {
        for (int x = 0; x < matrix.Columns(); ++x) {
            image.setPixel(x, y, matrix.ModuleIsDark(y, x) ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        }
    }
    return image;
}

std::string Bytes(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

TEST(QRCodeMatrix, StartsEmptyWithDefaults) {
    const TQRCodeMatrix matrix;
    EXPECT_EQ(matrix.Rows(), 0);
    EXPECT_EQ(matrix.Columns(), 0);
    EXPECT_EQ(matrix.QuietZone(), 4);
    EXPECT_EQ(matrix.Encoding(), qrcode::TQREncoding::Automatic);
    EXPECT_FALSE(matrix.ModuleIsDark(0, 0));
    EXPECT_EQ(matrix.EncodeCount(), 0);
}

TEST(QRCodeMatrix, DirectUrlIsVersionThreeLevelLWithoutEci) {
    const std::u16string url = u"http://192.168.1.5:8016/u/abcdef.html";
    const TQRCodeMatrix matrix = Encoded(url);
    EXPECT_EQ(matrix.Rows(), 37);
    EXPECT_EQ(matrix.Columns(), 37);
    EXPECT_EQ(VersionOf(matrix), 3);

    const QRDecodeResult read = DecodeQR(ImageOf(matrix));
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.text, "http://192.168.1.5:8016/u/abcdef.html");
    EXPECT_EQ(read.bytes, "http://192.168.1.5:8016/u/abcdef.html");
    EXPECT_EQ(read.ecLevel, "L");
    EXPECT_FALSE(read.hasEci);
    EXPECT_EQ(read.symbology, "]Q1");
    EXPECT_FALSE(read.mirrored) << "grid stored transposed";
}

TEST(QRCodeMatrix, EmptyHostUrlIsVersionTwo) {
    const TQRCodeMatrix matrix = Encoded(u"http://:8016/u/abcdef.html");
    EXPECT_EQ(matrix.Rows(), 33);
    EXPECT_EQ(VersionOf(matrix), 2);
    EXPECT_EQ(DecodeQR(ImageOf(matrix)).text, "http://:8016/u/abcdef.html");
}

// Version 1 at level L holds 41 digits, 25 alphanumeric characters or 17
// bytes, so the version shows which mode the writer took.
TEST(QRCodeMatrix, ModeFollowsTheText) {
    const std::u16string digits41(41, u'7');
    EXPECT_EQ(VersionOf(Encoded(digits41)), 1) << "digits only must be numeric mode";
    EXPECT_EQ(VersionOf(Encoded(digits41 + u"7")), 2);

    const std::u16string alnum25 = u"HTTP://EXAMPLE.COM/$%*+ -";
    ASSERT_EQ(alnum25.size(), 25u);
    EXPECT_EQ(VersionOf(Encoded(alnum25)), 1) << "alphanumeric set must be alphanumeric mode";
    EXPECT_EQ(VersionOf(Encoded(alnum25 + u"X")), 2);

    std::u16string oneLower = alnum25;
    oneLower[3] = u'p';
    EXPECT_EQ(VersionOf(Encoded(oneLower)), 2) << "one lower-case letter makes it byte mode";

    EXPECT_EQ(VersionOf(Encoded(std::u16string(17, u'a'))), 1);
    EXPECT_EQ(VersionOf(Encoded(std::u16string(18, u'a'))), 2);

    const QRDecodeResult read = DecodeQR(ImageOf(Encoded(alnum25)));
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.text, "HTTP://EXAMPLE.COM/$%*+ -");
}

TEST(QRCodeMatrix, LatinOneTextIsOneBytePerCharacter) {
    const QRDecodeResult read = DecodeQR(ImageOf(Encoded(u"caf\u00e9 \u00fc")));
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.bytes, Bytes({'c', 'a', 'f', 0xE9, ' ', 0xFC}));
    EXPECT_FALSE(read.hasEci);
}

TEST(QRCodeMatrix, TextBeyondLatinOneIsUtf8BehindByteOrderMark) {
    const QRDecodeResult read = DecodeQR(ImageOf(Encoded(u"\u00fc \u20ac")));
    ASSERT_TRUE(read.valid);
    EXPECT_EQ(read.bytes, Bytes({0xEF, 0xBB, 0xBF, 0xC3, 0xBC, ' ', 0xE2, 0x82, 0xAC}));
    EXPECT_FALSE(read.hasEci);
    EXPECT_EQ(read.symbology, "]Q1");
}

TEST(QRCodeMatrix, EncoderInputJoinsSurrogatesAndReplacesLoneOnes) {
    EXPECT_EQ(qrcode::EncoderInput(u"ab\u00ff"), U"ab\u00ff");
    // U+1F600 as a surrogate pair: F0 9F 98 80.
    EXPECT_EQ(qrcode::EncoderInput(u"\U0001F600"),
              (std::u32string{0xEF, 0xBB, 0xBF, 0xF0, 0x9F, 0x98, 0x80}));
    const std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b'};
    EXPECT_EQ(qrcode::EncoderInput(lone),
              (std::u32string{0xEF, 0xBB, 0xBF, 'a', 0xEF, 0xBF, 0xBD, 'b'}));
}

TEST(QRCodeMatrix, QuietZoneIsLightAndOutsideIsFalse) {
    const TQRCodeMatrix matrix = Encoded(u"http://192.168.1.5:8016/u/abcdef.html");
    const int n = matrix.Rows();
    for (int i = 0; i < n; ++i) {
        for (int b = 0; b < 4; ++b) {
            EXPECT_FALSE(matrix.ModuleIsDark(b, i));
            EXPECT_FALSE(matrix.ModuleIsDark(n - 1 - b, i));
            EXPECT_FALSE(matrix.ModuleIsDark(i, b));
            EXPECT_FALSE(matrix.ModuleIsDark(i, n - 1 - b));
        }
    }
    EXPECT_FALSE(matrix.ModuleIsDark(-1, 5));
    EXPECT_FALSE(matrix.ModuleIsDark(5, n + 3));
    // The finder pattern's corners: dark outer ring, light inner ring, dark core.
    EXPECT_TRUE(matrix.ModuleIsDark(4, 4));
    EXPECT_FALSE(matrix.ModuleIsDark(5, 5));
    EXPECT_TRUE(matrix.ModuleIsDark(7, 7));
    EXPECT_TRUE(matrix.ModuleIsDark(4, n - 5));
    EXPECT_TRUE(matrix.ModuleIsDark(n - 5, 4));
}

TEST(QRCodeMatrix, UnchangedOrInvalidSettingsDoNotReEncode) {
    TQRCodeMatrix matrix;
    matrix.SetData(u"hello");
    ASSERT_EQ(matrix.EncodeCount(), 1);
    matrix.SetData(u"hello");
    matrix.SetQuietZone(4);
    matrix.SetQuietZone(101);
    matrix.SetQuietZone(-1);
    matrix.SetEncoding(qrcode::TQREncoding::Automatic);
    EXPECT_EQ(matrix.EncodeCount(), 1);
    EXPECT_EQ(matrix.QuietZone(), 4);
    EXPECT_EQ(matrix.Rows(), 29);

    matrix.SetQuietZone(0);
    EXPECT_EQ(matrix.Rows(), 21);
    EXPECT_EQ(matrix.Columns(), 21);
    EXPECT_TRUE(matrix.ModuleIsDark(0, 0));
    matrix.SetQuietZone(100);
    EXPECT_EQ(matrix.Rows(), 221);
    EXPECT_TRUE(matrix.ModuleIsDark(100, 100));
    EXPECT_FALSE(matrix.ModuleIsDark(99, 99));
    EXPECT_EQ(matrix.EncodeCount(), 3);

    matrix.SetData(u"world");
    EXPECT_EQ(matrix.EncodeCount(), 4);
}

TEST(QRCodeMatrix, EmptyTextLeavesNoSymbol) {
    TQRCodeMatrix matrix;
    matrix.SetData(u"abc");
    ASSERT_GT(matrix.Rows(), 0);
    matrix.SetData(u"");
    EXPECT_EQ(matrix.Rows(), 0);
    EXPECT_EQ(matrix.Columns(), 0);
    EXPECT_FALSE(matrix.ModuleIsDark(4, 4));
}

TEST(QRCodeMatrix, TextTooLongForAnySymbolThrowsAndKeepsTheOldSymbol) {
    TQRCodeMatrix matrix;
    matrix.SetData(u"keep");
    const int rows = matrix.Rows();
    EXPECT_THROW(matrix.SetData(std::u16string(3000, u'a')), qrcode::QRCodeError);
    EXPECT_EQ(matrix.Data(), u"keep");
    EXPECT_EQ(matrix.Rows(), rows);
    EXPECT_EQ(DecodeQR(ImageOf(matrix)).text, "keep");
}
