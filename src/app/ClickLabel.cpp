#include "app/ClickLabel.h"

#include <QMouseEvent>

TClickLabel::TClickLabel(QWidget* parent) : QLabel(parent) {}

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
