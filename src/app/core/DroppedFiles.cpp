#include "app/core/DroppedFiles.h"

#include "platform/platform.h"

#include <QList>
#include <QMimeData>
#include <QUrl>

namespace appcore {

namespace {

const QString GnomeCopiedFiles = QStringLiteral("x-special/gnome-copied-files");

QList<QUrl> GnomeCopiedUrls(const QMimeData& data) {
    QList<QUrl> urls;
    const QStringList lines = QString::fromUtf8(data.data(GnomeCopiedFiles)).split(u'\n');
    // The first line says "copy" or "cut"; both only mean: these files.
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (!line.isEmpty())
            urls.push_back(QUrl(line));
    }
    return urls;
}

} // namespace

TDroppedFiles FilesFromMimeData(const QMimeData& data) {
    QList<QUrl> urls = data.urls();
    if (urls.isEmpty() && data.hasFormat(GnomeCopiedFiles))
        urls = GnomeCopiedUrls(data);

    TDroppedFiles dropped;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile())
            continue;
        const QString path = url.toLocalFile();
        if (path.isEmpty())
            continue;
        if (platform::FolderExists(path.toStdString()))
            ++dropped.foldersPassedOver;
        else
            dropped.files.push_back(path);
    }
    return dropped;
}

QString FoldersPassedOverText(int folders) {
    if (folders <= 0)
        return {};
    return folders == 1 ? QStringLiteral("1 folder was passed over: only files are sent, not "
                                         "folders or what they hold.")
                        : QStringLiteral("%1 folders were passed over: only files are sent, not "
                                         "folders or what they hold.")
                              .arg(folders);
}

} // namespace appcore
