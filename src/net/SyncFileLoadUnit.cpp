#include "net/SyncFileLoadUnit.h"

#include "net/FileLoadThreadUnit.h"

#include <QCoreApplication>
#include <stdexcept>

namespace {
constexpr unsigned long WaitStepMs = 100;
}

TFileDL::TFileDL(std::string caBundle)
    : state_(std::make_shared<State>()), caBundle_(std::move(caBundle)) {}

// The worker, if still running, keeps only the shared state alive and is
// released by itself (or by the application object at exit).
TFileDL::~TFileDL() = default;

int TFileDL::DownloadToFile(const std::string& url, const std::string& fileName) {
    // Each download gets fresh state, so a second call on this object really
    // downloads instead of returning the first call's result.
    state_ = std::make_shared<State>();

    // Parented to the application object so that a worker still running at
    // exit is stopped and waited for before the process ends.
    auto* worker = new TFileLoadThread(url, fileName, caBundle_);
    worker->setParent(QCoreApplication::instance());
    worker_ = worker;
    // The end-of-thread notice: runs on this thread, after the worker's body.
    QObject::connect(worker, &QThread::finished, worker, [state = state_, worker] {
        state->done = true;
        if (!state->cancelled)
            state->status = worker->Status();
    });
    state_->started = true;
    worker->start();
    if (!worker->isRunning() && !worker->isFinished()) {
        worker_.clear();
        delete worker;
        throw std::runtime_error("the download thread could not be started");
    }

    const auto state = state_;
    do {
        QThread::msleep(WaitStepMs);
        QCoreApplication::processEvents();
    } while (!state->done && !state->cancelled);
    return state->status;
}

void TFileDL::Cancel() {
    if (state_->started) {
        state_->status = StatusCancelled;
        if (worker_ && !state_->done)
            worker_->RequestTermination();
    }
    state_->cancelled = true;
}
