#include "app/QRPaintBox.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QPainter>

TQRPaintBox::TQRPaintBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
}

void TQRPaintBox::SetPaintHandler(PaintHandler handler) {
    handler_ = std::move(handler);
    update();
}

void TQRPaintBox::SetMenuHandler(MenuHandler handler) {
    menuHandler_ = std::move(handler);
}

void TQRPaintBox::ShowMenu() {
    if (menuHandler_)
        menuHandler_(mapToGlobal(rect().center()));
}

void TQRPaintBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (handler_)
        handler_(p, size());
}

void TQRPaintBox::contextMenuEvent(QContextMenuEvent* event) {
    if (!menuHandler_) {
        event->ignore();
        return;
    }
    // From the keyboard the menu opens over the code, not where the mouse is.
    menuHandler_(event->reason() == QContextMenuEvent::Keyboard ? mapToGlobal(rect().center())
                                                                : event->globalPos());
    event->accept();
}

void TQRPaintBox::keyPressEvent(QKeyEvent* event) {
    const bool menuKey = event->key() == Qt::Key_Menu ||
                         (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier);
    if (menuKey && menuHandler_) {
        ShowMenu();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TQRPaintBox::focusInEvent(QFocusEvent* event) {
    // The frame around the box shows the focus.
    if (parentWidget())
        parentWidget()->update();
    QWidget::focusInEvent(event);
}

void TQRPaintBox::focusOutEvent(QFocusEvent* event) {
    if (parentWidget())
        parentWidget()->update();
    QWidget::focusOutEvent(event);
}
