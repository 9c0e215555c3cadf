#pragma once

// A desktop notice when files arrive from the phone while nobody looks at the
// window: one per burst of arrivals, shown by the desktop (TDesktopNotice),
// and a signal when the person clicks it. Where the desktop cannot show it,
// nothing happens and nothing is reported.

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

class TDesktopNotice;

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
    // The names of up to three files, one a line, then "and n more". For a
    // desktop that reads markup they are escaped, as they come from the phone.
    enum class BodyText { Markup, Plain };
    static QString Body(const QStringList& names, BodyText kind);

  signals:
    // The person clicked one of this run's notices.
    void activated();

  private:
    void EndBurst();

    QTimer quiet_;
    QStringList burst_;
    TDesktopNotice* notice_ = nullptr; // owned by this object
};
