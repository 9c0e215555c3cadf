#include "qrcode/QRCodeBitmap.h"

#include "qrcode/QRCodeMatrix.h"

#include <QColor>
#include <QPainter>
#include <QString>

namespace qrcode {

namespace {

std::string CutUtf8(const std::string& text, std::size_t max) {
    if (text.size() <= max) {
        return text;
    }
    std::size_t end = max;
    // Step back over continuation bytes to the start of the cut sequence.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    return text.substr(0, end);
}

} // namespace

void TQRCodeBitmap::SetText(const std::string& text) {
    text_ = CutUtf8(text, MaxTextBytes);
}

void TQRCodeBitmap::Rebuild() {
    TQRCodeMatrix matrix;
    matrix.SetData(
        QString::fromUtf8(text_.data(), static_cast<qsizetype>(text_.size())).toStdU16String());
    matrix.SetEncoding(TQREncoding::Automatic);
    matrix.SetQuietZone(TQRCodeMatrix::DefaultQuietZone);

    const int width = matrix.Rows();
    const int height = matrix.Columns();
    if (width <= 0 || height <= 0) {
        bitmap_ = QImage();
        return;
    }
    QImage image(width, height, QImage::Format_RGB32);
    const QRgb black = qRgb(0, 0, 0);
    const QRgb white = qRgb(255, 255, 255);
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            line[x] = matrix.ModuleIsDark(y, x) ? black : white;
        }
    }
    bitmap_ = std::move(image);
}

QRect QRCodeTargetRect(QSize box, QSize bitmap) {
    if (bitmap.width() <= 0 || bitmap.height() <= 0) {
        return {};
    }
    const double scale = box.height() > box.width()
                             ? static_cast<double>(box.width()) / bitmap.width()
                             : static_cast<double>(box.height()) / bitmap.height();
    const int right = static_cast<int>(bitmap.width() * scale);
    const int bottom = static_cast<int>(bitmap.height() * scale);
    return QRect(0, 0, right, bottom);
}

void PaintQRCode(QPainter& painter, QSize box, const QImage& bitmap) {
    painter.fillRect(QRect(QPoint(0, 0), box), Qt::white);
    const QRect target = QRCodeTargetRect(box, bitmap.size());
    if (target.isEmpty()) {
        return;
    }
    painter.save();
    // Modules must stay sharp-edged: repeat pixels, never blend them.
    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    painter.drawImage(target, bitmap);
    painter.restore();
}

void DrawQRCode(QPainter& painter, QSize box, TQRCodeBitmap& renderer, const std::string& url) {
    renderer.SetText(url);
    renderer.Rebuild();
    PaintQRCode(painter, box, renderer.Bitmap());
}

} // namespace qrcode
