#include "app/ArrivalNotifier.h"
#include "app/DesktopNotice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <optional>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// Receives the service's ActionInvoked signal, which the bus delivers to a
// named slot only.
class TActionListener : public QObject {
    Q_OBJECT
  public:
    explicit TActionListener(TDesktopNotice* notice) : QObject(notice), notice_(notice) {}
    QList<uint> sentIds;

  public slots:
    void ActionInvoked(uint id, const QString& actionKey) {
        if (actionKey == QStringLiteral("default") && sentIds.contains(id))
            emit notice_->clicked();
    }

  private:
    TDesktopNotice* notice_;
};

} // namespace

struct TDesktopNotice::State {
    TActionListener* listener = nullptr; // owned by the notice
    // The session bus, looked for once, when the first notice is due, so a
    // run that never gets one never touches the bus.
    std::optional<QDBusConnection> bus;

    bool Connect() {
        if (!bus) {
            bus = QDBusConnection::sessionBus();
            if (bus->isConnected())
                bus->connect(QString(), Path, Interface, QStringLiteral("ActionInvoked"), listener,
                             SLOT(ActionInvoked(uint, QString)));
        }
        return bus->isConnected();
    }
};

TDesktopNotice::TDesktopNotice(QObject* parent)
    : QObject(parent), state_(std::make_unique<State>()) {
    state_->listener = new TActionListener(this);
}

TDesktopNotice::~TDesktopNotice() = default;

void TDesktopNotice::Show(const QString& summary, const QStringList& names) {
    if (!state_->Connect())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    // "default" is the action a click on the notice itself invokes; the body
    // is the service's markup, so the phone's names are escaped.
    call << QStringLiteral("Tessary") << 0u << QString() << summary
         << TArrivalNotifier::Body(names, TArrivalNotifier::BodyText::Markup)
         << QStringList{QStringLiteral("default"), QStringLiteral("Show")} << QVariantMap{} << -1;
    // Without a notification service the call fails; the notice is simply lost.
    auto* watcher = new QDBusPendingCallWatcher(state_->bus->asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [listener = state_->listener](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<uint> reply = *finished;
                if (!reply.isError())
                    listener->sentIds.push_back(reply.value());
                finished->deleteLater();
            });
}

#include "DesktopNoticeBus.moc"
