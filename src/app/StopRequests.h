#pragma once

// The system asking the program to end (a stop signal at log-out, shutdown,
// `kill` or Ctrl+C; the session manager's end of session) closes it as its
// Close tile does: the close query first, then, once the message loop has
// ended, the window's destroy handler. Nothing of that runs inside a signal
// handler: the request arrives as an event on the GUI thread, also while the
// update check waits in its message loop.

#include "platform/platform.h"

class QApplication;

class TStopRequests {
  public:
    // Make it once the application object exists and before the main window
    // is made, so that it outlives the window's clean-up.
    explicit TStopRequests(QApplication& app);
    TStopRequests(const TStopRequests&) = delete;
    TStopRequests& operator=(const TStopRequests&) = delete;

    // False when stop signals could not be caught and still end the program
    // at once.
    bool IsWatching() const { return watch_.IsWatching(); }

  private:
    platform::StopRequestWatch watch_;
};
