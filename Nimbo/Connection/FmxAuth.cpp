#include "Nimbo/Connection/FmxAuth.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QList>
#include <QShowEvent>
#include <QSslCertificate>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEngineCertificateError>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <algorithm>
#include <exception>
#include <functional>
#include <utility>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

// Registered before main runs, so that a program linking this unit needs no further setup.
const bool GRegistered = [] {
    TAuthUI::Register(TAuthUIClass::Of<TNimboAuthFMX>());
    return true;
}();

std::string& TrustedCaPem() {
    static std::string pem;
    return pem;
}

struct TOpenSslDeleter {
    void operator()(BIO* A) const { BIO_free(A); }
    void operator()(X509* A) const { X509_free(A); }
    void operator()(X509_STORE* A) const { X509_STORE_free(A); }
    void operator()(X509_STORE_CTX* A) const { X509_STORE_CTX_free(A); }
    void operator()(STACK_OF(X509) * A) const { sk_X509_pop_free(A, X509_free); }
};
template <class T>
using TOpenSslPtr = std::unique_ptr<T, TOpenSslDeleter>;

TOpenSslPtr<X509> FromDer(const QSslCertificate& ACertificate) {
    const QByteArray der = ACertificate.toDer();
    auto* bytes = reinterpret_cast<const unsigned char*>(der.constData());
    return TOpenSslPtr<X509>(d2i_X509(nullptr, &bytes, der.size()));
}

// A store trusting only the certificates of the PEM text; null when the text holds none.
TOpenSslPtr<X509_STORE> StoreOf(const std::string& APem) {
    TOpenSslPtr<X509_STORE> store(X509_STORE_new());
    TOpenSslPtr<BIO> bio(BIO_new_mem_buf(APem.data(), static_cast<int>(APem.size())));
    if (!store || !bio) return nullptr;
    int added = 0;
    while (TOpenSslPtr<X509> ca{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)})
        if (X509_STORE_add_cert(store.get(), ca.get()) == 1) ++added;
    return added > 0 ? std::move(store) : nullptr;
}

// True when the chain (leaf first) leads to the trusted CA and the leaf is valid for AHost.
bool IssuedByTrustedAuthority(const QList<QSslCertificate>& AChain, const QString& AHost) {
    if (AChain.isEmpty() || AHost.isEmpty() || TrustedCaPem().empty()) return false;
    TOpenSslPtr<X509_STORE> store = StoreOf(TrustedCaPem());
    TOpenSslPtr<X509> leaf = FromDer(AChain.first());
    TOpenSslPtr<STACK_OF(X509)> intermediates(sk_X509_new_null());
    TOpenSslPtr<X509_STORE_CTX> context(X509_STORE_CTX_new());
    if (!store || !leaf || !intermediates || !context) return false;
    for (qsizetype i = 1; i < AChain.size(); ++i) {
        TOpenSslPtr<X509> certificate = FromDer(AChain[i]);
        if (!certificate || !sk_X509_push(intermediates.get(), certificate.get())) return false;
        certificate.release();  // owned by the stack now
    }
    if (X509_STORE_CTX_init(context.get(), store.get(), leaf.get(), intermediates.get()) != 1) return false;
    const QByteArray host = AHost.toUtf8();
    X509_VERIFY_PARAM* params = X509_STORE_CTX_get0_param(context.get());
    if (X509_VERIFY_PARAM_set1_host(params, host.constData(), static_cast<std::size_t>(host.size())) != 1) return false;
    return X509_verify_cert(context.get()) == 1;
}

// Chromium cannot sandbox itself as root and then ends the whole process; a clear error instead.
void CheckBrowserCanRun() {
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        throw ERestError(
            "The sign-in window cannot run as root unless QTWEBENGINE_DISABLE_SANDBOX=1 is set in the environment");
}

// Runs AWork on the application's thread, which owns every window, and waits for it there; raises
// what AWork raised. A sign-in may start on any thread that does the program's network work.
void OnApplicationThread(const std::function<void()>& AWork) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) return AWork();
    std::exception_ptr error;
    QMetaObject::invokeMethod(
        app,
        [&AWork, &error] {
            try {
                AWork();
            } catch (...) {
                error = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (error) std::rethrow_exception(error);
}

bool IsLoopbackOrAddress(const std::string& AHost) {
    if (AHost == "localhost") return true;
    const bool ipv4 =
        std::all_of(AHost.begin(), AHost.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
    return ipv4 || AHost.find(':') != std::string::npos;
}

}  // namespace

// --- the form ---

TNimboAuthDialogFMX::TNimboAuthDialogFMX(TNimboAuthFMX& AAuth) : BrowserPanel(new QWidget(this)), FAuth(AAuth) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(BrowserPanel);
    BrowserPanel->installEventFilter(this);
    resize(640, 480);
    FormCreate();
}

TNimboAuthDialogFMX::~TNimboAuthDialogFMX() { FormDestroy(); }

void TNimboAuthDialogFMX::FormCreate() {
    setWindowTitle(QStringLiteral("Authentication"));
    FBrowser = new QWebEngineView();
    connect(FBrowser->page(), &QWebEnginePage::loadingChanged, this, &TNimboAuthDialogFMX::BrowserNavigateComplete2);
    connect(FBrowser, &QWebEngineView::titleChanged, this, &TNimboAuthDialogFMX::BrowserTitleChange);
    connect(FBrowser->page(), &QWebEnginePage::certificateError, this, &TNimboAuthDialogFMX::BrowserCertificateError);
}

void TNimboAuthDialogFMX::FormDestroy() {
    FReporting = false;
    delete std::exchange(FBrowser, nullptr);
}

void TNimboAuthDialogFMX::showEvent(QShowEvent* AEvent) {
    QDialog::showEvent(AEvent);
    // A window restored from the task bar is shown again by the system; that must not reload the page.
    if (!AEvent->spontaneous()) FormShow();
}

void TNimboAuthDialogFMX::FormShow() {
    BrowserPanelResize();
    FReporting = true;
    FBrowser->load(QUrl(FUrl));
}

bool TNimboAuthDialogFMX::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == BrowserPanel && AEvent->type() == QEvent::Resize) BrowserPanelResize();
    return QDialog::eventFilter(AWatched, AEvent);
}

void TNimboAuthDialogFMX::BrowserPanelResize() {
    if (!FBrowser) return;
    if (FBrowser->parentWidget() != this) {
        FBrowser->setParent(this);
        FBrowser->show();
    }
    FBrowser->setGeometry(QRect(BrowserPanel->mapTo(this, QPoint(0, 0)), BrowserPanel->size()));
    FBrowser->raise();
}

void TNimboAuthDialogFMX::done(int AResult) {
    FReporting = false;
    if (FBrowser) FBrowser->stop();
    QDialog::done(AResult);
}

void TNimboAuthDialogFMX::BrowserNavigateComplete2(const QWebEngineLoadingInfo& AInfo) {
    // A page that fails to load still completes its navigation: a redirect to an address nobody
    // answers carries the result in its URL all the same.
    if (AInfo.status() != QWebEngineLoadingInfo::LoadSucceededStatus &&
        AInfo.status() != QWebEngineLoadingInfo::LoadFailedStatus)
        return;
    // As the browser has it, percent-encoding included.
    Report(aeNavigateComplete, AInfo.url().toEncoded().toStdString());
}

void TNimboAuthDialogFMX::BrowserTitleChange(const QString& ATitle) { Report(aeTitleChanged, ATitle.toStdString()); }

void TNimboAuthDialogFMX::BrowserCertificateError(const QWebEngineCertificateError& AError) {
    QWebEngineCertificateError error = AError;
    if (error.isOverridable() && IssuedByTrustedAuthority(error.certificateChain(), error.url().host()))
        error.acceptCertificate();
    else
        error.rejectCertificate();
}

void TNimboAuthDialogFMX::Report(TAuthEvent AEvent, const std::string& AText) {
    if (!FReporting) return;
    // An exception must not cross the event loop; ShowModal raises it once the form has closed.
    try {
        FAuth.DoEvent(AEvent, AText);
    } catch (...) {
        FAuth.HandlerFailed(std::current_exception());
    }
}

// --- the window object ---

TNimboAuthFMX::TNimboAuthFMX() {
    Assert(qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr,
           "The sign-in window needs a QApplication");
    CheckBrowserCanRun();
    OnApplicationThread([this] { FForm = std::make_unique<TNimboAuthDialogFMX>(*this); });
}

TNimboAuthFMX::~TNimboAuthFMX() {
    OnApplicationThread([this] { FForm.reset(); });
}

// The window and its events live on the application's thread; a caller on another thread waits.
void TNimboAuthFMX::ShowModal(TAuthEvents /*ARequired*/, const std::string& AUrl) {
    OnApplicationThread([this, &AUrl] {
        FDone = false;
        FHandlerError = nullptr;
        FForm->SetUrl(QString::fromStdString(AUrl));
        FForm->exec();
        if (FHandlerError) std::rethrow_exception(std::exchange(FHandlerError, nullptr));
        if (!FDone) DoEvent(aeCanceled, {});
    });
}

void TNimboAuthFMX::Close() {
    FDone = true;
    FForm->reject();
}

void TNimboAuthFMX::HandlerFailed(std::exception_ptr AError) {
    if (!FHandlerError) FHandlerError = std::move(AError);
    Close();
}

// --- reaching a local server ---

std::vector<std::string> TNimboAuthBrowser::HostMappingArguments(const std::vector<std::string>& AHosts, int APort) {
    std::string rules;
    for (const std::string& host : AHosts) {
        if (host.empty() || IsLoopbackOrAddress(host)) continue;
        rules += (rules.empty() ? "" : ",") + std::string("MAP ") + host + " 127.0.0.1:" + std::to_string(APort);
    }
    if (rules.empty()) return {};
    return {"--host-resolver-rules=" + rules};
}

void TNimboAuthBrowser::TrustCertificateAuthority(const std::string& ACaPem) { TrustedCaPem() = ACaPem; }

const std::string& TNimboAuthBrowser::TrustedCertificateAuthority() { return TrustedCaPem(); }

TNimboApplicationArguments::TNimboApplicationArguments(int AArgc, char** AArgv,
                                                       const std::vector<std::string>& AChromiumArguments)
    : FArguments(AArgv, AArgv + AArgc) {
    if (!AChromiumArguments.empty()) {
        if (std::find(FArguments.begin(), FArguments.end(), "--webEngineArgs") == FArguments.end())
            FArguments.emplace_back("--webEngineArgs");
        FArguments.insert(FArguments.end(), AChromiumArguments.begin(), AChromiumArguments.end());
    }
    for (std::string& argument : FArguments) FPointers.push_back(argument.data());
    FPointers.push_back(nullptr);
    FArgc = static_cast<int>(FArguments.size());
}

}  // namespace Nimbo::Connection
