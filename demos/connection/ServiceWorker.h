#pragma once

#include <QObject>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

#include "Nimbo/Connection/HttpTransport.h"

namespace Nimbo::Demo {

// The thread that does the network work of one service. The interface thread hands it one job at a
// time and goes on handling its events (painting, input, timers) until the job's end comes back as
// a queued call; the service's storage component and items are used by the job only.
class TServiceWorker : public QObject {
    Q_OBJECT

public:
    explicit TServiceWorker(const QString& AName, QObject* AParent = nullptr);
    // Stops the running exchange and waits for the thread to end.
    ~TServiceWorker() override;

    TServiceWorker(const TServiceWorker&) = delete;
    TServiceWorker& operator=(const TServiceWorker&) = delete;

    // Runs AJob on the worker with AProgress (when given) told of its exchanges there, and returns
    // when it has ended, raising what AJob raised. Called on the interface thread, one job at a time.
    void Call(const std::function<void()>& AJob, Connection::THttpProgressHandler AProgress = {});
    // Ends the exchange of the running job at once (the job raises the silent EAbort); nothing
    // happens when none runs.
    void Cancel();
    bool Busy() const { return FBusy; }
    QThread* Thread() const { return FThread.get(); }

private:
    std::unique_ptr<QThread> FThread;
    std::unique_ptr<QObject> FExecutor;  // lives on FThread
    std::shared_ptr<std::atomic<bool>> FCancel;
    bool FBusy = false;
};

}  // namespace Nimbo::Demo
