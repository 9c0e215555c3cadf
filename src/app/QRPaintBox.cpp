#include "app/QRPaintBox.h"

#include <QPainter>

TQRPaintBox::TQRPaintBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TQRPaintBox::SetPaintHandler(PaintHandler handler) {
    handler_ = std::move(handler);
    update();
}

void TQRPaintBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (handler_)
        handler_(p, size());
}
