#include "qrcode/QRCodeMatrix.h"

// The only file that sees zxing-cpp.
#include <ZXing/BarcodeFormat.h>
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <algorithm>
#include <exception>

namespace qrcode {

namespace {

// zxing-cpp's scale for QR error correction: 1 is level L.
constexpr int EccLevelL = 1;

void AppendUtf8(std::u32string& out, char32_t code) {
    if (code < 0x80) {
        out.push_back(code);
    } else if (code < 0x800) {
        out.push_back(0xC0 | (code >> 6));
        out.push_back(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out.push_back(0xE0 | (code >> 12));
        out.push_back(0x80 | ((code >> 6) & 0x3F));
        out.push_back(0x80 | (code & 0x3F));
    } else {
        out.push_back(0xF0 | (code >> 18));
        out.push_back(0x80 | ((code >> 12) & 0x3F));
        out.push_back(0x80 | ((code >> 6) & 0x3F));
        out.push_back(0x80 | (code & 0x3F));
    }
}

} // namespace

std::u32string EncoderInput(const std::u16string& text) {
    std::u32string out;
    if (std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x100; })) {
        out.assign(text.begin(), text.end());
        return out;
    }
    // A byte-order mark tells readers the bytes are UTF-8; an ECI would too,
    // but many phone readers mishandle it.
    out = {0xEF, 0xBB, 0xBF};
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        char32_t code = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                   (static_cast<char32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            code = 0xFFFD;
        }
        AppendUtf8(out, code);
    }
    return out;
}

void TQRCodeMatrix::SetData(const std::u16string& data) {
    if (data == data_) {
        return;
    }
    std::u16string previous = std::move(data_);
    data_ = data;
    try {
        Update();
    } catch (...) {
        data_ = std::move(previous);
        throw;
    }
}

void TQRCodeMatrix::SetEncoding(TQREncoding encoding) {
    if (encoding == encoding_) {
        return;
    }
    encoding_ = encoding;
    Update();
}

void TQRCodeMatrix::SetQuietZone(int width) {
    if (width == quietZone_ || width < 0 || width > MaxQuietZone) {
        return;
    }
    quietZone_ = width;
    Update();
}

bool TQRCodeMatrix::ModuleIsDark(int row, int column) const {
    const int r = row - quietZone_;
    const int c = column - quietZone_;
    if (r < 0 || c < 0 || r >= rows_ - 2 * quietZone_ || c >= columns_ - 2 * quietZone_) {
        return false;
    }
    return modules_[static_cast<std::size_t>(c)][static_cast<std::size_t>(r)];
}

void TQRCodeMatrix::Update() {
    if (data_.empty()) {
        modules_.clear();
        rows_ = 0;
        columns_ = 0;
        return;
    }
    const std::u32string input = EncoderInput(data_);
    // One wchar_t per byte: the writer maps each to its Latin-1 byte. Never
    // call setEncoding: any call makes the writer emit an ECI segment.
    const std::wstring contents(input.begin(), input.end());
    ZXing::BitMatrix symbol;
    try {
        symbol = ZXing::MultiFormatWriter(ZXing::BarcodeFormat::QRCode)
                     .setEccLevel(EccLevelL)
                     .setMargin(0)
                     .encode(contents, 0, 0);
    } catch (const std::exception& error) {
        throw QRCodeError(std::string("QR code cannot hold the text: ") + error.what());
    }
    ++encodeCount_;

    const int side = symbol.width();
    T2DBooleanArray modules(static_cast<std::size_t>(side),
                            std::vector<bool>(static_cast<std::size_t>(side)));
    for (int column = 0; column < side; ++column) {
        for (int row = 0; row < side; ++row) {
            modules[static_cast<std::size_t>(column)][static_cast<std::size_t>(row)] =
                symbol.get(column, row);
        }
    }
    modules_ = std::move(modules);
    rows_ = side + 2 * quietZone_;
    columns_ = side + 2 * quietZone_;
}

} // namespace qrcode
