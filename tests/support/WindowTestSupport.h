#pragma once

// What the window test programs share: a home of their own, small file
// helpers, a stand-in for a companion program, and a main that reports
// tests skipped for want of something on this machine as a skip (exit 77).

#include "app/WindowEnvironment.h"

#include <QApplication>
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace windowtest {

// A temporary home for HOME, XDG_DATA_HOME (home/data), XDG_CONFIG_HOME
// (home/config) and TMPDIR (home/tmp), removed with everything in it.
class TTestHome {
  public:
    TTestHome();
    bool IsValid() const { return dir_.isValid(); }
    QString Path() const { return dir_.path(); }

  private:
    QTemporaryDir dir_;
};

// The whole file, or nothing when it cannot be read.
QByteArray ReadAll(const QString& path);
// Writes bytes, making the folders above; the running test fails when it
// cannot.
void WriteBytes(const QString& path, const QByteArray& bytes);
// The lines of a text file, empty ones left out.
QStringList ReadLines(const QString& path);
// The files (and, with folders, the folders) of a folder apart from its
// default page, by name.
QStringList Copies(const QString& folder, bool folders = false);
// A shell script standing in for a companion program (the engine, the kill
// tool): it records its working folder in path.cwd and its arguments in
// path.args, the folder last, so path.cwd shows that it ran to its end.
void WriteRecorder(const QString& path);

// Runs action once, from probe looking every 20 ms, as soon as ready()
// holds: for what must happen while the window waits inside a handler of its
// own (the update check waits inside a timer handler). The caller starts
// probe and owns it, so nothing fires after the test.
void OnceReady(QTimer& probe, std::function<bool()> ready, std::function<void()> action);

// The child of a window by object name; ends the test program when there is
// none, as a missing component is a broken window.
template <typename T> T* Child(const QWidget* window, const char* name) {
    T* child = window->findChild<T*>(QString::fromLatin1(name));
    if (!child)
        qFatal("no component %s", name);
    return child;
}

// Runs a QtTest object; its result, except that a run in which tests were
// skipped and none failed exits 77, so that ctest says "Skipped" (the
// reasons stand in the output).
int ExecReportingSkips(QObject& tests, int argc, char* argv[]);

// The application as the program entry makes it (a fixed pixel layout, the
// environment given back, the font substitutions), then the tests run.
template <typename Tests> int RunWindowTests(int argc, char* argv[]) {
    const TStartEnvironment start = PrepareFixedPixelLayout();
    QApplication app(argc, argv);
    RestoreStartEnvironment(start);
    InstallFontSubstitutions();
    Tests tests;
    return ExecReportingSkips(tests, argc, argv);
}

} // namespace windowtest

// The main of a window test program: a home of its own, whose path goes into
// home (a QString the tests read), then the tests of TestClass.
#define TESSARY_WINDOW_TEST_MAIN(TestClass, home)                                                  \
    int main(int argc, char* argv[]) {                                                             \
        const windowtest::TTestHome testHome;                                                      \
        if (!testHome.IsValid())                                                                   \
            return 1;                                                                              \
        home = testHome.Path();                                                                    \
        return windowtest::RunWindowTests<TestClass>(argc, argv);                                  \
    }
