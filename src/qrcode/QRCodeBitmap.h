#pragma once

// The QR code of a text as a bitmap of one pixel per module (black on white,
// with a four-module white border), and the drawing of it into a paint box.

#include <QImage>
#include <QRect>
#include <QSize>
#include <string>

class QPainter;

namespace qrcode {

class TQRCodeBitmap {
  public:
    static constexpr std::size_t MaxTextBytes = 255;

    // The text to encode, UTF-8. A longer value is cut to its first 255
    // bytes, shortened further so that no UTF-8 sequence is split.
    const std::string& Text() const { return text_; }
    void SetText(const std::string& text);

    // Encodes the text afresh and repaints the bitmap: S + 8 pixels square
    // for a symbol of S modules, 0 x 0 for an empty text. Never fails: 255
    // bytes always fit a symbol.
    void Rebuild();

    // Format_RGB32; black (0, 0, 0) dark modules, white (255, 255, 255) the rest.
    const QImage& Bitmap() const { return bitmap_; }

  private:
    QImage bitmap_;
    std::string text_;
};

// Where a bitmap of the given size lands in a box: at (0, 0), scaled by
// box width / bitmap width when the box is taller than wide, else by box
// height / bitmap height, each side truncated toward zero. Empty for an
// empty bitmap.
QRect QRCodeTargetRect(QSize box, QSize bitmap);

// Fills the box (0, 0, box) with white and stretches the bitmap into
// QRCodeTargetRect, repeating pixels without smoothing.
void PaintQRCode(QPainter& painter, QSize box, const QImage& bitmap);

// The whole draw of one URL into one paint box: assigns url to the shared
// renderer, rebuilds it and paints it. Call it from the box's paint handler
// with the stored URL.
void DrawQRCode(QPainter& painter, QSize box, TQRCodeBitmap& renderer, const std::string& url);

} // namespace qrcode
