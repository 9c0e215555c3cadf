#include "app/ArrivalNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <utility>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

TArrivalNotifier::TArrivalNotifier(QObject* parent) : QObject(parent) {
    quiet_.setSingleShot(true);
    quiet_.setInterval(DefaultQuietMs);
    connect(&quiet_, &QTimer::timeout, this, [this] { EndBurst(); });
}

void TArrivalNotifier::FileArrived(const QString& name) {
    burst_.push_back(name);
    quiet_.start();
}

QString TArrivalNotifier::Summary(int count) {
    return count == 1 ? QStringLiteral("1 file received from the phone")
                      : QStringLiteral("%1 files received from the phone").arg(count);
}

QString TArrivalNotifier::Body(const QStringList& names) {
    QStringList lines;
    for (qsizetype i = 0; i < names.size() && i < NamesShown; ++i)
        lines.push_back(names[i].toHtmlEscaped());
    if (names.size() > NamesShown)
        lines.push_back(QStringLiteral("and %1 more").arg(names.size() - NamesShown));
    return lines.join(u'\n');
}

void TArrivalNotifier::EndBurst() {
    const QStringList names = std::exchange(burst_, {});
    if (names.isEmpty() || (ShouldNotify && !ShouldNotify()))
        return;
    Send(names);
}

bool TArrivalNotifier::ConnectBus() {
    // Reached only once a notice is due, so a run that never gets one never
    // touches the bus.
    if (!bus_) {
        bus_ = QDBusConnection::sessionBus();
        if (bus_->isConnected())
            bus_->connect(QString(), Path, Interface, QStringLiteral("ActionInvoked"), this,
                          SLOT(ActionInvoked(uint, QString)));
    }
    return bus_->isConnected();
}

void TArrivalNotifier::Send(const QStringList& names) {
    if (!ConnectBus())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    // "default" is the action a click on the notice itself invokes.
    call << QStringLiteral("Tessary") << 0u << QString() << Summary(static_cast<int>(names.size()))
         << Body(names) << QStringList{QStringLiteral("default"), QStringLiteral("Show")}
         << QVariantMap{} << -1;
    // Without a notification service the call fails; the notice is simply lost.
    auto* watcher = new QDBusPendingCallWatcher(bus_->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (!reply.isError())
                    sentIds_.push_back(reply.value());
                finished->deleteLater();
            });
}

void TArrivalNotifier::ActionInvoked(uint id, const QString& actionKey) {
    if (actionKey == QStringLiteral("default") && sentIds_.contains(id))
        emit activated();
}
