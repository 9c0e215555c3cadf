#include "app/TileButton.h"

#include <QEnterEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>

namespace {

// Room left between the border and the caption on either side.
constexpr int CaptionMargin = 6;

QColor Highlight() {
    return QGuiApplication::palette().color(QPalette::Active, QPalette::Highlight);
}

const QColor Silver(0xC0, 0xC0, 0xC0);
const QColor Gray(0x80, 0x80, 0x80);
const QColor TileBlue(0x00, 0x93, 0xE0);
const QColor TileCyan(0x00, 0xBC, 0xF2);

} // namespace

TTileScheme TTileScheme::Light() {
    return {.Normal = {Qt::white, Highlight(), Qt::black},
            .Hover = {TileBlue, TileCyan, Qt::white},
            .Down = {TileBlue, Qt::white, Qt::white},
            .Disabled = {Silver, Silver, Gray}};
}

TTileScheme TTileScheme::Blue() {
    const QColor downGrey(0x74, 0xA3, 0xB0);
    return {.Normal = {TileBlue, Highlight(), Qt::white},
            .Hover = {TileCyan, TileCyan, Qt::white},
            .Down = {downGrey, downGrey, Qt::white},
            .Disabled = {Silver, Silver, Gray}};
}

TTileButton::TTileButton(QWidget* parent) : QAbstractButton(parent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
}

void TTileButton::SetScheme(const TTileScheme& scheme) {
    scheme_ = scheme;
    update();
}

void TTileButton::SetCaptionPlacement(CaptionPlacement placement) {
    placement_ = placement;
    update();
}

const TTileLook& TTileButton::CurrentLook() const {
    if (!isEnabled())
        return scheme_.Disabled;
    // A check-style tile shows its down state; any tile shows it while pressed.
    if (isDown() || (isCheckable() && isChecked()))
        return scheme_.Down;
    if (hovered_)
        return scheme_.Hover;
    return scheme_.Normal;
}

QString TTileButton::DisplayedCaption() const {
    const int room = width() - 2 * CaptionMargin;
    return fontMetrics().elidedText(text(), Qt::ElideRight, std::max(room, 0));
}

QSize TTileButton::sizeHint() const {
    const QFontMetrics fm = fontMetrics();
    return {fm.horizontalAdvance(text()) + 2 * CaptionMargin, fm.height() + 2 * CaptionMargin};
}

void TTileButton::paintEvent(QPaintEvent*) {
    const TTileLook& look = CurrentLook();
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, look.Face);
    p.setPen(look.Border);
    p.drawRect(r.adjusted(0, 0, -1, -1));

    p.setPen(look.Caption);
    p.setFont(font());
    QRect textRect = r.adjusted(CaptionMargin, 0, -CaptionMargin, 0);
    int flags = Qt::AlignHCenter | Qt::TextSingleLine;
    if (placement_ == CaptionPlacement::Centered) {
        flags |= Qt::AlignVCenter;
    } else {
        textRect.setTop(NearTopOffset);
        flags |= Qt::AlignTop;
    }
    p.drawText(textRect, flags, DisplayedCaption());

    if (keyboardFocus_ && hasFocus()) {
        // The focus mark only for keyboard users, as native buttons do; two
        // pixels in the caption's colour, so it stands out as the caption does.
        QPen pen(look.Caption, 2, Qt::DashLine);
        p.setPen(pen);
        p.drawRect(QRectF(r).adjusted(4, 4, -4, -4));
    }
}

void TTileButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TTileButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void TTileButton::keyPressEvent(QKeyEvent* event) {
    // Space is the button's own key; Enter presses a tile as well.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        click();
        event->accept();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void TTileButton::focusInEvent(QFocusEvent* event) {
    // Any focus but a click's is the keyboard's: Tab, a closed dialog giving
    // the focus back, a shortcut.
    keyboardFocus_ = event->reason() != Qt::MouseFocusReason;
    QAbstractButton::focusInEvent(event);
}

void TTileButton::focusOutEvent(QFocusEvent* event) {
    keyboardFocus_ = false;
    QAbstractButton::focusOutEvent(event);
}
