#include "TransferProgress.h"

#include <QApplication>
#include <QEvent>
#include <QLocale>
#include <algorithm>

using Nimbo::Connection::THttpProgress;
using Nimbo::Connection::THttpProgressHandler;

namespace {

// How often the dialog repaints and looks at the user's input while bytes move.
constexpr qint64 EventIntervalMs = 20;
constexpr int Steps = 1000;

}  // namespace

TTransferProgress::TTransferProgress(QWidget* AParent, const QString& ACaption, TTransferOptions AOptions)
    : FParent(AParent),
      FCaption(ACaption),
      FOptions(AOptions),
      FScope([this](const THttpProgress& AProgress) { return Update(AProgress); }) {
    FClock.start();
}

TTransferProgress::~TTransferProgress() {
    if (FDialog && !FShared) qApp->removeEventFilter(this);
}

THttpProgressHandler TTransferProgress::ThreadHandler() {
    FShared = std::make_shared<TShared>();
    connect(&FFollow, &QTimer::timeout, this, [this] {
        THttpProgress last;
        {
            std::lock_guard lock(FShared->Lock);
            last = FShared->Last;
        }
        if (!Update(last)) FShared->Canceled = true;
    });
    FFollow.start(EventIntervalMs);
    return [shared = FShared](const THttpProgress& AProgress) {
        std::lock_guard lock(shared->Lock);
        shared->Last = AProgress;
        return !shared->Canceled.load();
    };
}

bool TTransferProgress::Update(const THttpProgress& AProgress) {
    // An exchange started while this one handles events (there should be none) only gets the answer.
    if (FCanceled || FInEvents) return !FCanceled;
    if (!FDialog) {
        if (FClock.elapsed() < FOptions.ShowAfter.count()) return true;
        ShowDialog();
    } else if (FSinceEvents.elapsed() < EventIntervalMs) {
        return true;
    }
    FInEvents = true;
    const bool upload = FOptions.Direction == tdUpload;
    ShowProgress(upload ? AProgress.UploadDone : AProgress.DownloadDone,
                 upload ? AProgress.UploadTotal : AProgress.DownloadTotal);
    ProcessUserEvents();
    FInEvents = false;
    return !FCanceled;
}

QString TTransferProgress::BytesText(qint64 ADone, qint64 ATotal) {
    const QLocale locale;
    if (ATotal <= 0) return tr("%1 bytes").arg(locale.toString(ADone));
    return tr("%1 of %2 bytes").arg(locale.toString(ADone), locale.toString(ATotal));
}

void TTransferProgress::ShowDialog() {
    FDialog = std::make_unique<QProgressDialog>(FParent);
    FDialog->setWindowTitle(FCaption);
    FDialog->setCancelButtonText(tr("Cancel"));
    FDialog->setWindowModality(Qt::ApplicationModal);
    FDialog->setMinimumDuration(0);
    FDialog->setAutoClose(false);
    FDialog->setAutoReset(false);
    connect(FDialog.get(), &QProgressDialog::canceled, this, [this] {
        FCanceled = true;
        if (FShared) FShared->Canceled = true;
    });
    if (!FShared) qApp->installEventFilter(this);
    FDialog->show();
}

void TTransferProgress::ShowProgress(qint64 ADone, qint64 ATotal) {
    FDialog->setLabelText(FCaption + QLatin1Char('\n') + BytesText(ADone, ATotal));
    if (ATotal > 0) {
        FDialog->setRange(0, Steps);
        FDialog->setValue(static_cast<int>(std::clamp<qint64>(ADone * Steps / ATotal, 0, Steps)));
    } else {
        FDialog->setRange(0, 0);  // busy: the total is not known
    }
}

void TTransferProgress::ProcessUserEvents() {
    if (!FShared) QCoreApplication::processEvents();
    FSinceEvents.start();
}

bool TTransferProgress::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() != QEvent::Timer) return false;
    // Timers of other windows (the main window's listing timer, say) wait for the transfer's end.
    for (QObject* object = AWatched; object; object = object->parent())
        if (object->isWidgetType()) return static_cast<QWidget*>(object)->window() != FDialog.get();
    return false;
}
