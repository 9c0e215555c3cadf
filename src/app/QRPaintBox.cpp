#include "app/QRPaintBox.h"

#include <QContextMenuEvent>
#include <QPainter>

TQRPaintBox::TQRPaintBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TQRPaintBox::SetPaintHandler(PaintHandler handler) {
    handler_ = std::move(handler);
    update();
}

void TQRPaintBox::SetMenuHandler(MenuHandler handler) {
    menuHandler_ = std::move(handler);
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
    menuHandler_(event->globalPos());
    event->accept();
}
