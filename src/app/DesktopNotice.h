#pragma once

// One notice on the desktop and word of a click on it, the way the desktop
// shows them: the freedesktop notification service on the session bus on
// Linux (DesktopNoticeBus.cpp), a balloon from a notification-area icon on
// Windows (DesktopNoticeTray.cpp). The build compiles one. Where the desktop
// has no way to show it, a notice is lost without a word.

#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

class TDesktopNotice : public QObject {
    Q_OBJECT
  public:
    explicit TDesktopNotice(QObject* parent = nullptr);
    ~TDesktopNotice() override;

    // Shows summary over the names, as TArrivalNotifier::Body lays them out.
    void Show(const QString& summary, const QStringList& names);

  signals:
    // The person clicked one of the notices this object showed.
    void clicked();

  private:
    struct State;
    std::unique_ptr<State> state_;
};
