#pragma once

// A desktop notice when files arrive from the phone while nobody looks at the
// window: one per burst of arrivals, shown by the desktop (TDesktopNotice),
// and a signal when the person clicks it. A text the phone sent shows as its
// first line rather than its name, and the click on the notice of a text
// alone opens it. Where the desktop cannot show it,
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

    // A file landed in the receiving folder at this path.
    void FileArrived(const QString& path);
    void SetQuietInterval(int ms) { quiet_.setInterval(ms); }

    // "1 file received from the phone", "3 files received from the phone";
    // "Text received from the phone" for a burst of one text.
    static QString Summary(int count, bool oneText = false);
    // The names of up to three files, one a line, then "and n more". For a
    // desktop that reads markup they are escaped, as they come from the phone.
    enum class BodyText { Markup, Plain };
    static QString Body(const QStringList& names, BodyText kind);

  signals:
    // The person clicked one of this run's notices; textPath is the text the
    // latest notice told of alone, else empty.
    void activated(const QString& textPath);

  private:
    void EndBurst();

    QTimer quiet_;
    QStringList burst_;                // a line for each file: its name, or a text's first line
    QStringList burstTexts_;           // the paths of the texts among them
    QString textShown_;                // the text the latest notice told of alone
    TDesktopNotice* notice_ = nullptr; // owned by this object
};
