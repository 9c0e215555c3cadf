#pragma once

// A desktop notice when files arrive from the phone while nobody looks at the
// window: one per burst of arrivals, through the freedesktop notification
// service on the session bus, and a signal when the person clicks it. Where
// no bus or no notification service runs, nothing happens and nothing is
// reported.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <optional>

class TArrivalNotifier : public QObject {
    Q_OBJECT
  public:
    // A burst ends once no file has arrived for this long.
    static constexpr int DefaultQuietMs = 2000;
    static constexpr int NamesShown = 3;

    explicit TArrivalNotifier(QObject* parent = nullptr);

    // Asked when a burst ends; no notice when it answers false (the window
    // has become active meanwhile).
    std::function<bool()> ShouldNotify;

    // A file landed in the receiving folder under this name.
    void FileArrived(const QString& name);
    void SetQuietInterval(int ms) { quiet_.setInterval(ms); }

    // "1 file received from the phone", "3 files received from the phone".
    static QString Summary(int count);
    // The names of up to three files, one a line, then "and n more"; escaped
    // for the service's markup, as the names come from the phone.
    static QString Body(const QStringList& names);

  signals:
    // The person clicked one of this run's notices.
    void activated();

  private slots:
    void ActionInvoked(uint id, const QString& actionKey);

  private:
    void EndBurst();
    void Send(const QStringList& names);
    bool ConnectBus();

    QTimer quiet_;
    QStringList burst_;
    QList<uint> sentIds_;
    // The session bus, looked for once, when the first notice is due.
    std::optional<QDBusConnection> bus_;
};
