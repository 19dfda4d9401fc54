#pragma once

// A modal progress dialog for one upload or download. Put one on the stack around the library call:
//
//     TTransferProgress progress(this, tr("Downloading %1").arg(name));
//     storage.Download(...);  // raises the silent EAbort when the user presses Cancel
//
// A transfer that ends within about half a second shows nothing; a longer one shows the bytes done,
// the total and a Cancel button. Cancel (or Escape, or closing the dialog) ends the exchange at once.
// While the dialog is up, only user input and the dialog's own events are handled: timers of other
// windows wait until the transfer has ended, so no command can start inside a running transfer.
//
// A transfer on another thread reports through ThreadHandler() instead; the dialog is then driven
// by this thread's own event loop, which the caller keeps running.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QProgressDialog>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "Nimbo/Connection/HttpTransport.h"

enum TTransferDirection { tdUpload, tdDownload };

struct TTransferOptions {
    TTransferDirection Direction = tdDownload;
    // How long a transfer runs before the dialog appears.
    std::chrono::milliseconds ShowAfter{500};
};

class TTransferProgress : public QObject {
    Q_OBJECT

public:
    TTransferProgress(QWidget* AParent, const QString& ACaption, TTransferOptions AOptions = {});
    ~TTransferProgress() override;

    // What the transport reports; false once the user has cancelled.
    bool Update(const Nimbo::Connection::THttpProgress& AProgress);
    // For a transfer that runs on another thread: a handler to report its exchanges there. The
    // dialog follows it from this thread, whose event loop keeps running; the other windows' timers
    // are not held back.
    Nimbo::Connection::THttpProgressHandler ThreadHandler();

    // The dialog once it has appeared, else null.
    QProgressDialog* Dialog() const { return FDialog.get(); }
    // "1,024 of 4,096 bytes", or "1,024 bytes" while the total is not known.
    static QString BytesText(qint64 ADone, qint64 ATotal);

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void ShowDialog();
    void ShowProgress(qint64 ADone, qint64 ATotal);
    void ProcessUserEvents();

    QPointer<QWidget> FParent;
    QString FCaption;
    TTransferOptions FOptions;
    QElapsedTimer FClock;
    QElapsedTimer FSinceEvents;
    std::unique_ptr<QProgressDialog> FDialog;
    bool FCanceled = false;
    bool FInEvents = false;
    // What the thread of the transfer reported last, and whether the user has cancelled.
    struct TShared {
        std::mutex Lock;
        Nimbo::Connection::THttpProgress Last;
        std::atomic<bool> Canceled{false};
    };
    std::shared_ptr<TShared> FShared;
    QTimer FFollow;
    Nimbo::Connection::THttpProgressScope FScope;
};
