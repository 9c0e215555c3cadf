#include "app/ArrivalNotifier.h"
#include "app/DesktopNotice.h"

#include <QApplication>
#include <QSystemTrayIcon>

// Windows shows a notice as the balloon of a notification-area icon; Windows
// 10 and 11 turn it into a toast that also lands in the notification centre.
// The icon appears with the first notice (a program with a taskbar button
// needs none before) and goes once the person clicks the notice or the icon;
// otherwise it stays until the program ends, so a missed notice can still be
// followed.
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
