#include "app/ClickLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

TClickLabel::TClickLabel(QWidget* parent) : QLabel(parent) {
    // Tab reaches it; a click does not leave a focus frame behind.
    setFocusPolicy(Qt::TabFocus);
}

void TClickLabel::Activate() {
    if (link_)
        emit clicked();
    else
        emit doubleClicked();
}

void TClickLabel::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    // A click is a press and a release over the label, as for a button.
    const bool click = pressed_ && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    pressed_ = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit clicked();
}

void TClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    QLabel::mouseDoubleClickEvent(event);
    // The base class treats the second press of a double-click as a press;
    // its release must not count as a second click.
    pressed_ = false;
    if (event->button() == Qt::LeftButton)
        emit doubleClicked();
}

void TClickLabel::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        Activate();
        event->accept();
        return;
    }
    QLabel::keyPressEvent(event);
}

void TClickLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    // In the text's own colour, which is chosen to stand out on its band.
    QPainter p(this);
    p.setPen(QPen(palette().color(foregroundRole()), 1, Qt::DotLine));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}
