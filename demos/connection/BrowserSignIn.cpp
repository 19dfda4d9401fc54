#include "BrowserSignIn.h"

#include <memory>
#include <utility>

#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

// Set and read on the application's thread only.
bool GCancelled = false;

// The window of one waiting sign-in, from its start to its end; both reach the application's
// thread in order as queued calls.
struct TWaiting {
    QPointer<QDialog> Window;
    bool Ended = false;
};

QDialog* NewWaitingWindow(const QString& AUrl) {
    QWidget* parent = QApplication::activeModalWidget();
    if (parent == nullptr) parent = QApplication::activeWindow();
    auto* window = new QDialog(parent);
    window->setObjectName("BrowserSignInWindow");
    window->setWindowTitle("Sign in");
    window->setWindowModality(Qt::ApplicationModal);
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(window);
    auto* text = new QLabel(
        "Continue the sign-in in your web browser.\n"
        "This window closes by itself once the browser has come back.",
        window);
    text->setObjectName("BrowserSignInText");
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(window);
    QPushButton* copy = buttons->addButton("Copy address", QDialogButtonBox::ActionRole);
    copy->setObjectName("CopyAddressButton");
    copy->setToolTip("When no browser opened: copy the sign-in address to paste it into one");
    QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
    cancel->setObjectName("CancelSignInButton");
    layout->addWidget(buttons);
    QObject::connect(copy, &QPushButton::clicked, window, [AUrl] { QGuiApplication::clipboard()->setText(AUrl); });
    // Closing the window by hand cancels as well.
    QObject::connect(window, &QDialog::rejected, window, [] {
        GCancelled = true;
        TNimboSystemBrowserAuth::CancelPending();
    });
    QObject::connect(buttons, &QDialogButtonBox::rejected, window, &QDialog::reject);
    return window;
}

}  // namespace

void TBrowserSignIn::ShowModal(TAuthEvents ARequired, const std::string& AUrl) {
    QApplication* app = qApp;
    // Without a worker there is no event loop to show the window from while the browser is awaited.
    if (app == nullptr || QThread::currentThread() == app->thread())
        return TNimboSystemBrowserAuth::ShowModal(ARequired, AUrl);
    auto waiting = std::make_shared<TWaiting>();
    const QString url = QString::fromStdString(AUrl);
    QMetaObject::invokeMethod(
        app,
        [waiting, url] {
            GCancelled = false;
            if (waiting->Ended) return;
            waiting->Window = NewWaitingWindow(url);
            waiting->Window->show();
        },
        Qt::QueuedConnection);
    struct TEnd {
        QApplication* App;
        std::shared_ptr<TWaiting> Waiting;
        ~TEnd() {
            QMetaObject::invokeMethod(
                App,
                [waiting = Waiting] {
                    waiting->Ended = true;
                    if (!waiting->Window) return;
                    // Accepted, not rejected: the sign-in has ended, there is nothing to cancel.
                    waiting->Window->accept();
                },
                Qt::QueuedConnection);
        }
    } end{app, waiting};
    TNimboSystemBrowserAuth::ShowModal(ARequired, AUrl);
}

bool TBrowserSignIn::TakeCancelled() { return std::exchange(GCancelled, false); }

}  // namespace Nimbo::Demo
