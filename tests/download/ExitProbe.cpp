// A program that ends the way the window does after a close request during
// the update wait: the download is cancelled, main returns at once and the
// application object goes while the worker may still be running. Exit code 0
// when the wait ended with 999.

#include "net/SyncFileLoadUnit.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    const std::string url = argv[1];
    const QString file = QString::fromLocal8Bit(argv[2]);
    TFileDL download;
    QTimer closeQuery;
    QObject::connect(&closeQuery, &QTimer::timeout, [&] {
        if (QFile(file).size() > 0) {
            closeQuery.stop();
            download.Cancel();
        }
    });
    closeQuery.start(5);
    return download.DownloadToFile(url, file.toStdString()) == TFileDL::StatusCancelled ? 0 : 3;
}
