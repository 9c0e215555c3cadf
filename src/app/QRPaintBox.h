#pragma once

// A square paint box for a QR code. Its paint handler draws the code; without
// one the box shows white. A right-click, the menu key or Shift+F10 asks its
// menu handler for a menu. It takes the keyboard focus, so the menu is in
// reach without a mouse; the frame around it shows the focus (nothing may be
// drawn over the code itself, which fills the box to its edges).

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
    // Opens the menu at the middle of the box, as for the menu key.
    void ShowMenu();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

  private:
    PaintHandler handler_;
    MenuHandler menuHandler_;
};
