#pragma once

// The worker thread of the update download: one HTTP(S) GET of one URL into
// one file (a net::UrlDownload run on this thread), with the status code kept
// for the caller. Progress and completion are handed to the thread that owns
// this object (the GUI thread) and the worker waits until they have run
// there. The only value shared without such a hand-over is the termination
// request, an atomic flag.

#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

class TFileLoadThread : public QThread {
  public:
    // (tag, status, message text): at the end of every transfer that got a
    // complete response header.
    using CompletionHandler = std::function<void(int tag, int status, const std::string& message)>;
    // (tag, bytes received, content length, percent): after each block.
    using ProgressHandler =
        std::function<void(int tag, std::int64_t received, std::int64_t length, int percent)>;

    // The status after a termination request stopped the body.
    static constexpr int StatusCancelled = 999;

    // caBundle: a CA certificate file trusted instead of the system's store;
    // empty (the program's case) uses the system's store. Only tests set it.
    TFileLoadThread(std::string url, std::string targetFile, std::string caBundle = {});
    // Waits for a still running transfer after asking it to stop, so the
    // thread object never dies under its own thread (at program exit).
    ~TFileLoadThread() override;

    TFileLoadThread(const TFileLoadThread&) = delete;
    TFileLoadThread& operator=(const TFileLoadThread&) = delete;

    // Set these before start(); they run on the owner's thread.
    void SetCompletionHandler(CompletionHandler handler) { onComplete_ = std::move(handler); }
    void SetProgressHandler(ProgressHandler handler) { onProgress_ = std::move(handler); }
    void SetTag(int tag) { tag_ = tag; }

    // Asks the transfer to stop; safe from any thread.
    void RequestTermination() { terminate_.store(true); }
    bool TerminationRequested() const { return terminate_.load(); }

    // Read these on the owner's thread only inside a hand-over or after the
    // thread has finished.
    int Status() const { return status_; }
    std::int64_t ContentLength() const { return contentLength_; }
    std::int64_t BytesReceived() const { return bytesReceived_; }
    // True when the status was 200 and the body was read to its end.
    bool Succeeded() const { return succeeded_; }

    // bytes × 100 ÷ length, rounded half to even; 0 when length is not
    // positive or received exceeds it.
    static int Percent(std::int64_t received, std::int64_t length);

  protected:
    void run() override;

  private:
    // Runs fn on the owner's thread and waits for it. Skipped once a
    // termination is requested, so that a worker never blocks on an owner
    // that has stopped processing events.
    void HandOver(const std::function<void()>& fn);
    void ReportProgress();

    const std::string url_;
    const std::string targetFile_;
    const std::string caBundle_;
    int tag_ = 0;
    std::int64_t contentLength_ = 0;
    std::int64_t bytesReceived_ = 0;
    int status_ = 0;
    bool succeeded_ = false;
    CompletionHandler onComplete_;
    ProgressHandler onProgress_;
    std::atomic<bool> terminate_{false};
};
