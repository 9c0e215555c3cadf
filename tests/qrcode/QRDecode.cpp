#include "QRDecode.h"

#define ZX_USE_UTF8 1
#include <ZXing/BarcodeFormat.h>
#include <ZXing/DecodeHints.h>
#include <ZXing/ReadBarcode.h>
#include <ZXing/Result.h>

QRDecodeResult DecodeQR(const QImage& image) {
    // One pixel per module is too fine for the detector; enlarge without blending.
    QImage source = image;
    if (source.width() > 0 && source.width() < 200) {
        const int factor = (200 + source.width() - 1) / source.width();
        source =
            source.scaled(source.size() * factor, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
    const QImage gray = source.convertToFormat(QImage::Format_Grayscale8);
    const ZXing::ImageView view(gray.constBits(), gray.width(), gray.height(),
                                ZXing::ImageFormat::Lum, static_cast<int>(gray.bytesPerLine()));
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode);
    hints.setTryHarder(true);
    const ZXing::Result result = ZXing::ReadBarcode(view, hints);

    QRDecodeResult out;
    out.valid = result.isValid();
    if (!out.valid) {
        return out;
    }
    out.text = result.text();
    out.bytes.assign(result.bytes().begin(), result.bytes().end());
    out.hasEci = result.hasECI();
    out.ecLevel = result.ecLevel();
    out.symbology = result.symbologyIdentifier();
    out.mirrored = result.isMirrored();
    return out;
}
