#include "app/StopRequests.h"

#include <QApplication>
#include <QSessionManager>

namespace {

// Every window closes, open dialogs and message boxes with them, so nothing
// waits for a person who is logging out; the main window's close query stops
// its timers and cancels a waiting update download.
void CloseEverything() {
    QApplication::closeAllWindows();
}

} // namespace

TStopRequests::TStopRequests(QApplication& app)
    : watch_([&app] {
          // From the watch's own thread: queued, so it runs on the GUI thread
          // at its next event processing.
          QMetaObject::invokeMethod(&app, &CloseEverything, Qt::QueuedConnection);
      }) {
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &app,
                     [](QSessionManager&) { CloseEverything(); });
}
