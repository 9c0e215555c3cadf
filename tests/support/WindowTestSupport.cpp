#include "WindowTestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtTest>
#include <cstdio>

namespace windowtest {

TTestHome::TTestHome() {
    if (!dir_.isValid())
        return;
    const QString home = dir_.path();
    qputenv("HOME", home.toUtf8());
    qputenv("XDG_DATA_HOME", (home + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home + "/config").toUtf8());
    qputenv("TMPDIR", (home + "/tmp").toUtf8());
    QDir().mkpath(home + "/config");
    QDir().mkpath(home + "/tmp");
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(f.write(bytes), bytes.size());
}

QStringList ReadLines(const QString& path) {
    return QString::fromUtf8(ReadAll(path)).split('\n', Qt::SkipEmptyParts);
}

QStringList Copies(const QString& folder, bool folders) {
    const QDir::Filters filter =
        folders ? QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot : QDir::Files;
    QStringList names = QDir(folder).entryList(filter, QDir::Name);
    names.removeAll("index.html");
    return names;
}

void WriteRecorder(const QString& path) {
    WriteBytes(path, "#!/bin/sh\npwd > \"$0.cwd.tmp\"\n"
                     "for a in \"$@\"; do echo \"$a\"; done > \"$0.args\"\n"
                     "mv \"$0.cwd.tmp\" \"$0.cwd\"\n");
    QVERIFY(QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

int ExecReportingSkips(QObject& tests, int argc, char* argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // A second log to read the skips back from, unless the caller chose logs.
    QTemporaryFile log;
    const bool ownLogs = !arguments.contains("-o") && log.open();
    if (ownLogs)
        arguments << "-o" << log.fileName() + ",txt"
                  << "-o"
                  << "-,txt";
    const int failed = QTest::qExec(&tests, arguments);
    if (failed != 0 || !ownLogs)
        return failed;
    int skipped = 0;
    for (const QString& line : ReadLines(log.fileName()))
        skipped += line.startsWith("SKIP   :");
    if (skipped == 0)
        return 0;
    std::fprintf(stderr, "%d test function(s) skipped (reasons above); none failed\n", skipped);
    return 77;
}

void OnceReady(QTimer& probe, std::function<bool()> ready, std::function<void()> action) {
    probe.setInterval(20);
    QObject::connect(&probe, &QTimer::timeout, &probe,
                     [&probe, ready = std::move(ready), action = std::move(action)] {
                         if (!ready())
                             return;
                         probe.stop();
                         action();
                     });
}

} // namespace windowtest
