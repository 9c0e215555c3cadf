#pragma once

// A square paint box for a QR code. Its paint handler draws the code; without
// one the box shows white. A right-click asks its menu handler for a menu.

#include <QWidget>
#include <functional>

class TQRPaintBox : public QWidget {
    Q_OBJECT
  public:
    using PaintHandler = std::function<void(QPainter&, QSize)>;
    // Gets the place on the screen where the menu should open.
    using MenuHandler = std::function<void(QPoint globalPos)>;

    explicit TQRPaintBox(QWidget* parent = nullptr);

    void SetPaintHandler(PaintHandler handler);
    void SetMenuHandler(MenuHandler handler);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    PaintHandler handler_;
    MenuHandler menuHandler_;
};
