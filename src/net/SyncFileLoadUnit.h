#pragma once

// A blocking download for the GUI thread: DownloadToFile starts a
// TFileLoadThread and waits for it in 100 ms sleeps with event processing, so
// the window stays live; Cancel (typically from the window's close query,
// which runs inside that wait) ends the wait at once with 999.

#include <QPointer>
#include <memory>
#include <string>

class TFileLoadThread;

class TFileDL {
  public:
    // The statuses a caller sees besides HTTP codes.
    static constexpr int StatusNoResponse = 0;
    static constexpr int StatusCancelled = 999;

    // caBundle: a CA certificate file to trust instead of the system's
    // store. The program leaves it empty; tests pass their own authority.
    explicit TFileDL(std::string caBundle = {});
    ~TFileDL();

    TFileDL(const TFileDL&) = delete;
    TFileDL& operator=(const TFileDL&) = delete;

    // Fetches url into fileName and returns 200, another HTTP code (no file
    // written), 0 (no response) or 999 (cancelled). Waits at least 100 ms and
    // processes the thread's events meanwhile. Throws std::runtime_error when
    // the worker thread cannot be started.
    int DownloadToFile(const std::string& url, const std::string& fileName);

    // Ends a waiting DownloadToFile with 999 and asks its worker to stop; the
    // worker deletes its partial file. Touches no worker that has ended.
    // Before any download it only marks this object cancelled.
    void Cancel();

  private:
    // Lives as long as either this object or the worker's end notice needs
    // it, so a worker that outlives a cancelled wait never reaches a
    // released TFileDL.
    struct State {
        bool started = false;
        bool done = false;
        bool cancelled = false;
        int status = StatusNoResponse;
    };

    std::shared_ptr<State> state_;
    QPointer<TFileLoadThread> worker_;
    std::string caBundle_;
};
