// Sign-ins through the real embedded browser against the sandbox, for every service of the window:
// today's interfaces on the loopback sign-in, the older ones by the page title (Google Drive) or
// the redirect address; a window closed by hand; signing out.

#include <chrono>
#include <memory>

#include <QFile>
#include <QHostAddress>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "BrowserSignIn.h"
#include "GuiTestSupport.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/LoopbackSignIn.h"
#include "Nimbo/Connection/SystemBrowserAuth.h"

using namespace GuiTest;
using namespace Nimbo::Connection;

namespace {

bool IsSignInWindow(QWidget* AWidget) { return qobject_cast<TNimboAuthDialogFMX*>(AWidget) != nullptr; }

// Runs AScript in the sign-in page every 100 ms until it answers true (the page has loaded and
// the script found what it looks for). A page that never gets there closes the window after 20 s,
// which fails the test instead of hanging it.
void RepeatInPage(QWidget* AWidget, const QString& AScript) {
    auto* form = qobject_cast<TNimboAuthDialogFMX*>(AWidget);
    auto* timer = new QTimer(form);
    auto tries = std::make_shared<int>(200);
    QObject::connect(timer, &QTimer::timeout, form, [form, timer, tries, AScript] {
        if (--*tries < 0) {
            timer->stop();
            form->close();
            return;
        }
        form->Browser()->page()->runJavaScript(AScript, [timer = QPointer<QTimer>(timer)](const QVariant& AResult) {
            if (AResult.toBool() && timer) timer->stop();
        });
    });
    timer->start(100);
}

// Presses the consent page's "Allow" button as a user would.
void Allow(QWidget* AWidget) {
    RepeatInPage(AWidget,
                 "(function(){var b=document.getElementById('allow');if(!b)return false;b.click();return true;})()");
}

// True when nothing listens on APort of 127.0.0.1: a listener of our own can take it.
bool PortFree(quint16 APort) {
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, APort);
}

// The port of the loopback redirect in the authorization address AAddress; 0 without one.
quint16 RedirectPort(const QString& AAddress) {
    QString redirect = QUrlQuery(QUrl(AAddress)).queryItemValue("redirect_uri", QUrl::FullyDecoded);
    return static_cast<quint16>(QUrl(redirect).port(0));
}

}  // namespace

class SignInTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Sandbox().Reset();
        Sandbox().Emulator().ClearRequests();
        Sandbox().Emulator().SetSignInDecision(Nimbo::Emulator::SignInDecision::Ask);
        PreferSignInWindow(TAuthUIClass::Of<TNimboAuthFMX>());
    }

    void cleanup() {
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
        TNimboSystemBrowserAuth::SetCommand({"xdg-open"});
    }

    void signInThroughTheEmbeddedBrowser_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("cloud");
        QTest::addColumn<QString>("title");
        QTest::newRow("Google Drive, loopback") << "GDrive3Action" << int(Cloud::GoogleDrive) << "Google Drive";
        QTest::newRow("Dropbox, loopback") << "DropBox2Action" << int(Cloud::Dropbox) << "Dropbox";
        QTest::newRow("OneDrive, loopback, public client")
            << "OneDriveGraphAction" << int(Cloud::LiveConnect) << "OneDrive";
        QTest::newRow("Box, loopback") << "BoxNetAction" << int(Cloud::Box) << "Box";
        QTest::newRow("legacy Google Drive, code in the title")
            << "GDriveAction" << int(Cloud::GoogleDrive) << "Google Drive";
        QTest::newRow("legacy Dropbox, code in the redirect") << "DropBoxAction" << int(Cloud::Dropbox) << "Dropbox";
        QTest::newRow("legacy OneDrive, code in the redirect")
            << "OneDriveAction" << int(Cloud::LiveConnect) << "OneDrive";
    }

    void signInThroughTheEmbeddedBrowser() {
        QFETCH(QString, action);
        QFETCH(int, cloud);
        QFETCH(QString, title);
        TFormFixture fixture;
        TModalScript script;
        script.Expect("sign-in window", IsSignInWindow, [](QWidget* AWidget) {
            QCOMPARE(AWidget->windowTitle(), QString("Authentication"));
            Allow(AWidget);
        });
        fixture.Action(qPrintable(action))->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(fixture.Form().Connected());
        QVERIFY(!fixture.Form().Service().GetToken().empty());
        QCOMPARE(fixture.Form().windowTitle(), "Cloudpane - " + title + " - Sandbox User");
        QVERIFY(fixture.Action(qPrintable(action))->isChecked());
        QStringList listed = fixture.ChildNames(nullptr), expected = EmulatorChildren(static_cast<Cloud>(cloud), "");
        listed.sort();
        expected.sort();
        QCOMPARE(listed, expected);
    }

    void signingOutForgetsTheSignInOfThatServiceOnly() {
        TFormFixture fixture;
        {
            TModalScript script;
            for (int i = 0; i < 2; ++i) script.Expect("sign-in window", IsSignInWindow, Allow);
            fixture.Action("BoxNetAction")->trigger();
            fixture.Action("GDrive3Action")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QAction* signOut = fixture.Action("SignOutAction");
        QCOMPARE(signOut->text(), QString("Sign out of Google Drive"));
        QVERIFY(signOut->isEnabled());
        signOut->trigger();
        QVERIFY(!fixture.Form().Connected());
        QVERIFY(fixture.StartPanel()->isVisible());
        QCOMPARE(fixture.Form().windowTitle(), QString("Cloudpane"));
        QCOMPARE(fixture.Form().Service().GetToken(), std::string());
        QVERIFY(!signOut->isEnabled());

        // Box stays signed in; Google Drive asks again, also after the window has been reopened.
        fixture.Reopen();
        TModalScript again;
        fixture.Action("BoxNetAction")->trigger();
        QVERIFY(fixture.Form().Connected());
        again.Expect("sign-in window", IsSignInWindow, Allow);
        fixture.Action("GDrive3Action")->trigger();
        QVERIFY2(again.Finished(), qPrintable(again.Report()));
        QVERIFY(fixture.Form().Connected());
    }

    // The browser is "opened" by a command that only notes the address it was given; the user gives
    // up waiting for it.
    void cancellingTheWaitForTheBrowserStopsTheListenerAtOnce() {
        TFormFixture fixture;
        QString noted = fixture.TempPath("address");
        TNimboSystemBrowserAuth::SetCommand({"sh", "-c", "printf %s \"$1\" > \"$0\"", noted.toStdString()});
        PreferSignInWindow(TAuthUIClass::Of<Nimbo::Demo::TBrowserSignIn>());
        quint16 port = 0;
        TModalScript script;
        script.ExpectWindow("BrowserSignInWindow", [&](QWidget* AWidget) {
            QFile address(noted);
            QTRY_VERIFY_WITH_TIMEOUT(address.size() > 0, 5000);
            QVERIFY(address.open(QIODevice::ReadOnly));
            port = RedirectPort(QString::fromUtf8(address.readAll()));
            QVERIFY(port != 0);
            QVERIFY2(!PortFree(port), "the listener waits for the browser");
            QVERIFY(fixture.Form().Busy());
            QTest::mouseClick(AWidget->findChild<QPushButton*>("CancelSignInButton"), Qt::LeftButton);
        });
        fixture.Action("GDrive3Action")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(port != 0);
        QVERIFY2(PortFree(port), "the listener stopped with the sign-in");
        QVERIFY(!fixture.Form().Busy());
        QVERIFY(!fixture.Form().Connected());
        QVERIFY(fixture.StartPanel()->isVisible());
        QCOMPARE(fixture.Form().Service().GetToken(), std::string());
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Sign-in cancelled: not signed in to Google Drive"));
        QVERIFY(fixture.Form().findChild<QWidget*>("BrowserSignInWindow") == nullptr ||
                !fixture.Form().findChild<QWidget*>("BrowserSignInWindow")->isVisible());
    }

    // A browser that never comes back: the window goes by itself when the sign-in times out.
    void theWaitingWindowGoesWhenTheSignInTimesOut() {
        TFormFixture fixture;
        TNimboSystemBrowserAuth::SetCommand({"true"});
        PreferSignInWindow(TAuthUIClass::Of<Nimbo::Demo::TBrowserSignIn>());
        TLoopbackSignIn::SetTimeout(std::chrono::milliseconds(500));
        QPointer<QWidget> waiting;
        TModalScript script;
        script.ExpectWindow("BrowserSignInWindow", [&waiting](QWidget* AWidget) { waiting = AWidget; })
            .ExpectError("timed out");
        fixture.Action("DropBox2Action")->trigger();
        TLoopbackSignIn::SetTimeout(std::chrono::minutes(5));
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(waiting.isNull() || !waiting->isVisible());
        QVERIFY(!fixture.Form().Connected());
        QVERIFY(!fixture.Form().Busy());
    }

    // The options dialog's test signs in with typed values; giving up on it leaves the dialog, and
    // the service in use, as they were.
    void cancellingTheBrowserSignInOfAConnectionTestKeepsTheService() {
        TFormFixture fixture;
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
        fixture.Connect("BoxNetAction");
        std::string token = fixture.Form().Service().GetToken();
        TNimboSystemBrowserAuth::SetCommand({"true"});
        PreferSignInWindow(TAuthUIClass::Of<Nimbo::Demo::TBrowserSignIn>());
        TModalScript script;
        script
            .ExpectWindow("TOptions",
                          [](QWidget* AWidget) {
                              QWidget* tab = OptionsTab(AWidget);
                              auto* secret = tab->findChild<QLineEdit*>("Secret");
                              secret->setText(secret->text() + "-typed");
                              QTest::mouseClick(tab->findChild<QPushButton*>("TestButton"), Qt::LeftButton);
                          })
            .ExpectWindow("BrowserSignInWindow",
                          [](QWidget* AWidget) {
                              QTest::mouseClick(AWidget->findChild<QPushButton*>("CancelSignInButton"), Qt::LeftButton);
                          })
            .ExpectOptions("", "", false);
        fixture.Action("OptionsAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(fixture.Form().Connected());
        QCOMPARE(fixture.Form().Service().GetToken(), token);
        QVERIFY(!Nimbo::Demo::TBrowserSignIn::TakeCancelled());
    }

    void aSignInClosedByHandShowsNothing() {
        TFormFixture fixture;
        TModalScript script;
        script.Expect("sign-in window", IsSignInWindow, [](QWidget* AWidget) {
            // Once the consent page is up, the user closes the window instead of answering.
            RepeatInPage(AWidget, "document.getElementById('allow') !== null");
            auto* form = qobject_cast<TNimboAuthDialogFMX*>(AWidget);
            QObject::connect(form->Browser()->page(), &QWebEnginePage::loadFinished, form, &QWidget::close,
                             Qt::QueuedConnection);
        });
        fixture.Action("DropBoxAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(!fixture.Form().Connected());
        QVERIFY(fixture.StartPanel()->isVisible());
        QCOMPARE(fixture.Tree()->topLevelItemCount(), 0);
        QCOMPARE(fixture.Form().Service().GetToken(), std::string());
        QTest::qWait(300);  // nothing shows up late either
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
    }
};

GUI_TEST_CLASS(SignInTest);

#include "SignInTest.moc"
