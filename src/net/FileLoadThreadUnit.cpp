#include "net/FileLoadThreadUnit.h"

#include "net/UrlDownload.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMetaObject>

TFileLoadThread::TFileLoadThread(std::string url, std::string targetFile, std::string caBundle)
    : url_(std::move(url)), targetFile_(std::move(targetFile)), caBundle_(std::move(caBundle)) {
    // The worker releases itself once its end-of-thread notice has run.
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

TFileLoadThread::~TFileLoadThread() {
    RequestTermination();
    // A hand-over the worker started just before the request waits for this
    // thread: deliver it while waiting, so neither side blocks the other.
    while (!wait(QDeadlineTimer(20)))
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

void TFileLoadThread::run() {
    contentLength_ = 0;
    net::UrlDownload download(url_, targetFile_);
    download.SetCaBundle(caBundle_);
    download.SetTerminationCheck([this] { return TerminationRequested(); });
    download.SetProgressHandler([this, &download](std::int64_t received, std::int64_t length) {
        status_ = download.Status();
        bytesReceived_ = received;
        contentLength_ = length;
        ReportProgress();
    });
    succeeded_ = download.Run();
    status_ = download.Terminated() ? StatusCancelled : download.Status();
    contentLength_ = download.ContentLength();
    bytesReceived_ = download.BytesReceived();

    // Only a transfer that got a whole answer header reports its end.
    if (download.GotResponse() && onComplete_) {
        const int tag = tag_;
        const int status = status_;
        HandOver([this, tag, status] { onComplete_(tag, status, std::string()); });
    }
}

void TFileLoadThread::HandOver(const std::function<void()>& fn) {
    if (TerminationRequested())
        return;
    QMetaObject::invokeMethod(
        this, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void TFileLoadThread::ReportProgress() {
    HandOver([this] {
        if (onProgress_)
            onProgress_(tag_, bytesReceived_, contentLength_,
                        Percent(bytesReceived_, contentLength_));
    });
}

int TFileLoadThread::Percent(std::int64_t received, std::int64_t length) {
    if (length <= 0 || received < 0 || received > length)
        return 0;
    // Exact integer rounding, half to even; 128 bits hold received × 100.
    const auto scaled = static_cast<unsigned __int128>(received) * 100U;
    const auto divisor = static_cast<unsigned __int128>(length);
    auto quotient = scaled / divisor;
    const auto twiceRest = 2 * (scaled % divisor);
    if (twiceRest > divisor || (twiceRest == divisor && (quotient & 1U) != 0))
        ++quotient;
    return static_cast<int>(quotient);
}
