#include "app/BevelPanel.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>

TBevelPanel::TBevelPanel(QWidget* parent) : QWidget(parent) {}

QColor TBevelPanel::HighlightEdge() {
    return Qt::white;
}
QColor TBevelPanel::ShadowEdge() {
    return {0xA0, 0xA0, 0xA0};
}

void TBevelPanel::SetBevel(Bevel bevel) {
    bevel_ = bevel;
    update();
}

void TBevelPanel::SetColor(const QColor& color) {
    color_ = color;
    update();
}

void TBevelPanel::SetFocusFrame(bool on) {
    focusFrame_ = on;
    update();
}

bool TBevelPanel::ShowsFocusFrame() const {
    const QWidget* focus = QApplication::focusWidget();
    return focusFrame_ && focus != nullptr && isAncestorOf(focus);
}

void TBevelPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (color_.isValid())
        p.fillRect(rect(), color_);
    if (ShowsFocusFrame()) {
        const int w = FocusFrameWidth;
        QPen pen(QApplication::palette().color(QPalette::Active, QPalette::Highlight), w);
        pen.setJoinStyle(Qt::MiterJoin);
        p.setPen(pen);
        p.drawRect(QRectF(rect()).adjusted(w / 2.0, w / 2.0, -w / 2.0, -w / 2.0));
        return;
    }
    if (bevel_ == Bevel::None)
        return;

    // One ring: the top and left edges in one colour, bottom and right in the other.
    auto ring = [&p](QRect r, const QColor& topLeft, const QColor& bottomRight) {
        p.setPen(topLeft);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(bottomRight);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
    };
    const QRect outer = rect();
    ring(outer, HighlightEdge(), ShadowEdge());
    ring(outer.adjusted(1, 1, -1, -1), ShadowEdge(), HighlightEdge());
}
