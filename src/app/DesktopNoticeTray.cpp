#include "app/ArrivalNotifier.h"
#include "app/DesktopNotice.h"

#include <QApplication>
#include <QSystemTrayIcon>

// Windows shows a notice as the balloon of a notification-area icon; Windows
// 10 and 11 turn it into a toast that also lands in the notification centre.
// The icon is there only while a notice may be: it is made for the first
// notice and hidden again once the notice is clicked or closed, so the area
// keeps no icon of a program that already has its taskbar button.
struct TDesktopNotice::State {
    QSystemTrayIcon* icon = nullptr; // owned by the notice
};

TDesktopNotice::TDesktopNotice(QObject* parent)
    : QObject(parent), state_(std::make_unique<State>()) {}

TDesktopNotice::~TDesktopNotice() = default;

void TDesktopNotice::Show(const QString& summary, const QStringList& names) {
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    if (state_->icon == nullptr) {
        state_->icon = new QSystemTrayIcon(QApplication::windowIcon(), this);
        state_->icon->setToolTip(QStringLiteral("Tessary"));
        connect(state_->icon, &QSystemTrayIcon::messageClicked, this, [this] {
            state_->icon->hide();
            emit clicked();
        });
        connect(state_->icon, &QSystemTrayIcon::activated, this, [this] {
            state_->icon->hide();
            emit clicked();
        });
    }
    state_->icon->show();
    // A balloon shows plain text: the names stand as the phone sent them.
    state_->icon->showMessage(summary,
                              TArrivalNotifier::Body(names, TArrivalNotifier::BodyText::Plain),
                              QSystemTrayIcon::Information);
}
