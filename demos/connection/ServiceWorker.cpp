#include "ServiceWorker.h"

#include <QEventLoop>
#include <QPointer>
#include <condition_variable>
#include <exception>
#include <mutex>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

// What the worker tells the interface thread about one job.
struct TJobEnd {
    std::mutex Lock;
    bool Done = false;
    std::exception_ptr Error;
};

}  // namespace

TServiceWorker::TServiceWorker(const QString& AName, QObject* AParent)
    : QObject(AParent), FThread(std::make_unique<QThread>()), FExecutor(std::make_unique<QObject>()) {
    FThread->setObjectName(AName);
    FExecutor->moveToThread(FThread.get());
    FThread->start();
}

TServiceWorker::~TServiceWorker() {
    Cancel();
    FThread->quit();
    FThread->wait();
}

void TServiceWorker::Cancel() {
    if (FCancel) FCancel->store(true);
}

void TServiceWorker::Call(const std::function<void()>& AJob, THttpProgressHandler AProgress) {
    if (FBusy) throw EAssertionFailed("A service runs one job at a time");
    FBusy = true;
    auto cancel = FCancel = std::make_shared<std::atomic<bool>>(false);
    auto end = std::make_shared<TJobEnd>();
    QEventLoop loop;
    QPointer<QEventLoop> waiting(&loop);
    QMetaObject::invokeMethod(
        FExecutor.get(),
        [this, AJob, AProgress, cancel, end, waiting] {
            {
                THttpProgressScope scope([&](const THttpProgress& AState) {
                    if (cancel->load()) return false;
                    return !AProgress || AProgress(AState);
                });
                try {
                    AJob();
                } catch (...) {
                    std::lock_guard lock(end->Lock);
                    end->Error = std::current_exception();
                }
            }
            {
                std::lock_guard lock(end->Lock);
                end->Done = true;
            }
            QMetaObject::invokeMethod(
                this,
                [waiting] {
                    if (waiting) waiting->quit();
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    auto done = [&end] {
        std::lock_guard lock(end->Lock);
        return end->Done;
    };
    // The loop ends early only when the program quits: the job is told to stop, and its end awaited.
    while (!done()) {
        loop.exec();
        if (!done()) cancel->store(true);
    }
    FBusy = false;
    FCancel.reset();
    if (end->Error) std::rethrow_exception(end->Error);
}

}  // namespace Nimbo::Demo
