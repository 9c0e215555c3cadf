#include "app/ArrivalNotifier.h"

#include "app/DesktopNotice.h"
#include "app/core/TextNote.h"

#include <QFileInfo>
#include <utility>

TArrivalNotifier::TArrivalNotifier(QObject* parent)
    : QObject(parent), notice_(new TDesktopNotice(this)) {
    quiet_.setSingleShot(true);
    quiet_.setInterval(DefaultQuietMs);
    connect(&quiet_, &QTimer::timeout, this, [this] { EndBurst(); });
    connect(notice_, &TDesktopNotice::clicked, this, [this] { emit activated(textShown_); });
}

void TArrivalNotifier::FileArrived(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    QString line = name;
    if (appcore::IsTextFileName(name)) {
        const QString first = appcore::FirstLineOfText(path.toStdString());
        if (!first.isEmpty()) {
            line = QChar(0x201C) + first + QChar(0x201D);
            burstTexts_.push_back(path);
        }
    }
    burst_.push_back(line);
    quiet_.start();
}

QString TArrivalNotifier::Summary(int count, bool oneText) {
    if (oneText)
        return QStringLiteral("Text received from the phone");
    return count == 1 ? QStringLiteral("1 file received from the phone")
                      : QStringLiteral("%1 files received from the phone").arg(count);
}

QString TArrivalNotifier::Body(const QStringList& names, BodyText kind) {
    QStringList lines;
    for (qsizetype i = 0; i < names.size() && i < NamesShown; ++i)
        lines.push_back(kind == BodyText::Markup ? names[i].toHtmlEscaped() : names[i]);
    if (names.size() > NamesShown)
        lines.push_back(QStringLiteral("and %1 more").arg(names.size() - NamesShown));
    return lines.join(u'\n');
}

void TArrivalNotifier::EndBurst() {
    const QStringList names = std::exchange(burst_, {});
    const QStringList texts = std::exchange(burstTexts_, {});
    if (names.isEmpty() || (ShouldNotify && !ShouldNotify()))
        return;
    const bool oneText = names.size() == 1 && texts.size() == 1;
    textShown_ = oneText ? texts.first() : QString();
    notice_->Show(Summary(static_cast<int>(names.size()), oneText), names);
}
