#include "app/ArrivalNotifier.h"

#include "app/DesktopNotice.h"

#include <utility>

TArrivalNotifier::TArrivalNotifier(QObject* parent)
    : QObject(parent), notice_(new TDesktopNotice(this)) {
    quiet_.setSingleShot(true);
    quiet_.setInterval(DefaultQuietMs);
    connect(&quiet_, &QTimer::timeout, this, [this] { EndBurst(); });
    connect(notice_, &TDesktopNotice::clicked, this, &TArrivalNotifier::activated);
}

void TArrivalNotifier::FileArrived(const QString& name) {
    burst_.push_back(name);
    quiet_.start();
}

QString TArrivalNotifier::Summary(int count) {
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
    if (names.isEmpty() || (ShouldNotify && !ShouldNotify()))
        return;
    notice_->Show(Summary(static_cast<int>(names.size())), names);
}
