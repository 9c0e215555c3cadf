#include "app/core/PicturePreview.h"

#include "util/MiscFuncUnit.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <algorithm>
#include <array>
#include <string_view>

namespace appcore {

bool IsPictureName(const std::string& name) {
    static constexpr std::array<std::string_view, 8> kinds{".jpg",  ".jpeg", ".png",  ".gif",
                                                           ".webp", ".heic", ".heif", ".jfif"};
    std::string ext = misc::ExtractFileExt(name);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return std::find(kinds.begin(), kinds.end(), ext) != kinds.end();
}

std::optional<TPreview> PreviewOf(const std::string& source) {
    QImageReader reader(QString::fromStdString(source));
    reader.setAutoTransform(true);
    // The codec may decode straight to the small size (JPEG does, at a
    // fraction of the work); the side that the orientation turns is the same
    // either way, as the scale keeps the proportions.
    const QSize full = reader.size();
    if (full.isValid() && (full.width() > PreviewSide || full.height() > PreviewSide))
        reader.setScaledSize(full.scaled(PreviewSide * 2, PreviewSide * 2, Qt::KeepAspectRatio));
    QImage picture = reader.read();
    if (picture.isNull())
        return std::nullopt;
    if (picture.width() > PreviewSide || picture.height() > PreviewSide)
        picture =
            picture.scaled(PreviewSide, PreviewSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage flat(picture.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    {
        QPainter painter(&flat);
        painter.drawImage(0, 0, picture);
    }
    QByteArray jpeg;
    for (int quality = 80; quality >= 5; quality -= 15) {
        jpeg.clear();
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        if (!flat.save(&buffer, "JPEG", quality))
            return std::nullopt; // no JPEG writer here
        if (jpeg.size() <= PreviewMaxBytes)
            break;
    }
    if (jpeg.size() > PreviewMaxBytes)
        return std::nullopt;
    return TPreview{{}, flat.width(), flat.height(), jpeg};
}

} // namespace appcore
