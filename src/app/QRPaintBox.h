#pragma once

// A square paint box for a QR code. Its paint handler draws the code; without
// one the box shows white.

#include <QWidget>
#include <functional>

class TQRPaintBox : public QWidget {
    Q_OBJECT
  public:
    using PaintHandler = std::function<void(QPainter&, QSize)>;

    explicit TQRPaintBox(QWidget* parent = nullptr);

    void SetPaintHandler(PaintHandler handler);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    PaintHandler handler_;
};
