#pragma once

// The sign-in window: a modal Qt dialog hosting an embedded web browser (Qt WebEngine) that loads a
// provider's authorization page and reports completed navigations, title changes and the user
// closing it. A program that links this unit has the window registered with TAuthUI before main
// runs; the window needs a QApplication when a sign-in shows it.

#include <QDialog>
#include <QString>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "Nimbo/Connection/AuthUI.h"

class QWebEngineCertificateError;
class QWebEngineLoadingInfo;
class QWebEngineView;

namespace Nimbo::Connection {

class TNimboAuthFMX;

// The sign-in form: a 640 x 480 client area filled by BrowserPanel, with the browser placed over it.
class TNimboAuthDialogFMX : public QDialog {
    Q_OBJECT

public:
    explicit TNimboAuthDialogFMX(TNimboAuthFMX& AAuth);
    ~TNimboAuthDialogFMX() override;

    // Marks the area the browser occupies.
    QWidget* const BrowserPanel;

    // The embedded browser; null only while the form is being built or destroyed.
    QWebEngineView* Browser() const { return FBrowser; }
    void SetUrl(const QString& AUrl) { FUrl = AUrl; }

    // Ends the modal display; from then on the browser stops and reports nothing more.
    void done(int AResult) override;

protected:
    void showEvent(QShowEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    void FormCreate();
    void FormDestroy();
    void FormShow();
    void BrowserPanelResize();
    void BrowserNavigateComplete2(const QWebEngineLoadingInfo& AInfo);
    void BrowserTitleChange(const QString& ATitle);
    void BrowserCertificateError(const QWebEngineCertificateError& AError);
    // Passes an event to the window object while the form is shown.
    void Report(TAuthEvent AEvent, const std::string& AText);

    TNimboAuthFMX& FAuth;
    QWebEngineView* FBrowser = nullptr;
    QString FUrl;
    bool FReporting = false;
};

// The program's sign-in window class: reports aeNavigateComplete, aeTitleChanged and aeCanceled.
// It may be created and shown from any thread: the form lives on the application's thread, which
// then reports the events while the caller waits.
class TNimboAuthFMX : public TAuthUI {
public:
    // Raises EAssertionFailed when no QApplication exists, and ERestError when the program runs as
    // root without QTWEBENGINE_DISABLE_SANDBOX=1 (the browser would end the process).
    TNimboAuthFMX();
    ~TNimboAuthFMX() override;

    static TAuthEvents Supports() { return {aeNavigateComplete, aeTitleChanged, aeCanceled}; }

    // Shows the form at AUrl and returns when it has closed; a close by the user (window button,
    // Escape) reports one aeCanceled after the form has closed. An exception raised by the event
    // handler closes the form and comes out of here.
    void ShowModal(TAuthEvents ARequired, const std::string& AUrl) override;
    // Closes the form from inside an event handler; no aeCanceled follows.
    void Close() override;

    // The form, for placing and inspecting the window.
    TNimboAuthDialogFMX& Form() const { return *FForm; }

private:
    friend class TNimboAuthDialogFMX;

    // An event handler raised AError: the form closes and ShowModal raises it again.
    void HandlerFailed(std::exception_ptr AError);

    std::unique_ptr<TNimboAuthDialogFMX> FForm;
    bool FDone = false;
    std::exception_ptr FHandlerError;
};

// Lets the sign-in browser reach a local server that answers for the services' real host names
// (the sandbox and tests), with the URLs, the TLS server names and the page addresses unchanged.
class TNimboAuthBrowser {
public:
    // The Chromium arguments that send connections for each host to 127.0.0.1:APort; "localhost" and
    // IP addresses are left alone. They take effect only when they follow "--webEngineArgs" in the
    // arguments the QApplication is created with (see TNimboApplicationArguments).
    static std::vector<std::string> HostMappingArguments(const std::vector<std::string>& AHosts, int APort);

    // Certificate errors are overridden only for server certificates that this CA (PEM text) issued
    // for the host being visited. Empty (the default): every certificate error stops the page.
    static void TrustCertificateAuthority(const std::string& ACaPem);
    static const std::string& TrustedCertificateAuthority();
};

// The program's arguments with Chromium arguments added after "--webEngineArgs", kept alive as long
// as a QApplication made from them needs them.
class TNimboApplicationArguments {
public:
    TNimboApplicationArguments(int AArgc, char** AArgv, const std::vector<std::string>& AChromiumArguments);

    TNimboApplicationArguments(const TNimboApplicationArguments&) = delete;
    TNimboApplicationArguments& operator=(const TNimboApplicationArguments&) = delete;

    int& Argc() { return FArgc; }
    char** Argv() { return FPointers.data(); }

private:
    std::vector<std::string> FArguments;
    std::vector<char*> FPointers;
    int FArgc = 0;
};

}  // namespace Nimbo::Connection
