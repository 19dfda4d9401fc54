// The settings store and the options dialog: the file after a first run, sign-in states kept
// between runs and written as soon as they change, a refused state for one service, and the
// options dialog's own rules.

#include <sys/resource.h>
#include <sys/stat.h>
#include <csignal>
#include <cstring>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTest>

#include "GuiTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/platform/DateTime.h"
#include "SettingsStore.h"

using namespace GuiTest;
using namespace Nimbo::Connection;

namespace {

// In the window's order: the older interfaces, Box, then today's interfaces of the other three.
const QStringList Prefixes{"GDrive", "DropBox", "OneDrive", "BoxNet", "GDrive3", "DropBox2", "OneDriveGraph"};

QVariant StoredValue(const QString& AFile, const QString& AName) {
    QSettings settings(AFile, QSettings::IniFormat);
    return settings.value(AName);
}

void StoreValue(const QString& AFile, const QString& AName, const QVariant& AValue) {
    QSettings settings(AFile, QSettings::IniFormat);
    settings.setValue(AName, AValue);
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
}

QByteArray ToBytes(const std::string& AText) { return QByteArray(AText.data(), static_cast<qsizetype>(AText.size())); }

TNimboStorage& ServiceOf(TFormFixture& AFixture, const QString& APrefix) {
    return *AFixture.Form().Services().at(Prefixes.indexOf(APrefix)).Storage;
}

QByteArray FileContent(const QString& AFile) {
    QFile file(AFile);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// While it lives, no file of the process can grow past a few bytes: every write of the settings fails.
class TFileSizeLimit {
public:
    TFileSizeLimit() {
        getrlimit(RLIMIT_FSIZE, &FPrevious);
        FPreviousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tiny = FPrevious;
        tiny.rlim_cur = 16;
        setrlimit(RLIMIT_FSIZE, &tiny);
    }
    ~TFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &FPrevious);
        std::signal(SIGXFSZ, FPreviousHandler);
    }

private:
    rlimit FPrevious{};
    void (*FPreviousHandler)(int) = nullptr;
};

// A sign-in window that must not be needed: any sign-in ends as if the user closed the window.
void ForbidSignIn() { TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel); }

}  // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Sandbox().Reset();
        Sandbox().Emulator().ClearFaults();
        Sandbox().Emulator().ClearRequests();
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
    }

    void theSettingsFileMirrorsTheKeyPathAndTheSandboxHasItsOwn() {
        QString real = Nimbo::Demo::TSettingsKey::DefaultLocation(false);
        QString sandbox = Nimbo::Demo::TSettingsKey::DefaultLocation(true);
        QVERIFY2(real.endsWith("/Velmor Labs/Nimbokit 2017/Cumulo/Cloudpane.conf"), qPrintable(real));
        QVERIFY(real.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME")));
        QVERIFY(sandbox != real);
    }

    void aFirstRunWritesTheServicesAndTheWindowForItsOwnerOnly() {
        TFormFixture fixture;
        QVERIFY(!QFile::exists(fixture.SettingsFile()));
        fixture.Close();

        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(fixture.SettingsFile()).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
        QSettings settings(fixture.SettingsFile(), QSettings::IniFormat);
        QStringList expected;
        for (const QString& prefix : Prefixes) expected << prefix + "ClientId" << prefix + "Secret" << prefix + "State";
        expected << "WindowGeometry"
                 << "TreeColumns"
                 << "LastService";
        QStringList keys = settings.childKeys();
        keys.sort();
        expected.sort();
        QCOMPARE(keys, expected);
        for (const QString& prefix : Prefixes) {
            QCOMPARE(settings.value(prefix + "ClientId").typeId(), int(QMetaType::QString));
            QCOMPARE(settings.value(prefix + "Secret").typeId(), int(QMetaType::QString));
            QCOMPARE(settings.value(prefix + "State").typeId(), int(QMetaType::QByteArray));
        }
        QCOMPARE(settings.value("WindowGeometry").typeId(), int(QMetaType::QByteArray));
        QCOMPARE(settings.value("TreeColumns").typeId(), int(QMetaType::QByteArray));
        QCOMPARE(settings.value("LastService").toString(), QString("GDrive3"));
        auto google = Nimbo::Demo::TSandbox::Credentials(Cloud::GoogleDrive);
        QCOMPARE(settings.value("GDriveClientId").toString().toStdString(), google.ClientId);
        QCOMPARE(settings.value("GDriveSecret").toString().toStdString(), google.Secret);
        QVERIFY(QFile::exists(fixture.SettingsFile()));
    }

    // A sign-in is written at once, not only when the program ends; the next run needs none.
    void aSignInIsWrittenAtOnceAndServesTheNextRun() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        std::string token = fixture.Form().Service().GetToken();
        QVERIFY(!token.empty());
        QVERIFY(StoredValue(fixture.SettingsFile(), "GDriveState").toByteArray().contains(ToBytes(token)));

        fixture.Reopen();
        ForbidSignIn();
        fixture.Connect("RefreshAction");
        QCOMPARE(fixture.Form().Service().GetToken(), token);
    }

    // Box refresh tokens are good for one use: a renewal is written before anything else happens.
    void aRenewalIsWrittenAtOnce() {
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        TNimboStorage& box = ServiceOf(fixture, "BoxNet");
        std::string spent = box.GetRefresh();
        double expires = box.GetExpires();
        QVERIFY(!spent.empty());
        fixture.Close();

        // The stored access token is made to have expired an hour ago.
        QByteArray state = StoredValue(fixture.SettingsFile(), "BoxNetState").toByteArray();
        QByteArray old(reinterpret_cast<const char*>(&expires), sizeof expires);
        qsizetype at = state.lastIndexOf(old);
        QVERIFY(at > 0);
        double past = Now() - 1.0 / 24;
        state.replace(at, sizeof past, reinterpret_cast<const char*>(&past), sizeof past);
        StoreValue(fixture.SettingsFile(), "BoxNetState", state);

        fixture.Reopen();
        ForbidSignIn();
        fixture.Connect("BoxNetAction");
        std::string renewed = ServiceOf(fixture, "BoxNet").GetRefresh();
        QVERIFY(renewed != spent);
        QByteArray written = StoredValue(fixture.SettingsFile(), "BoxNetState").toByteArray();
        QVERIFY(written.contains(ToBytes(renewed)));
        QVERIFY(!written.contains(ToBytes(spent)));
    }

    // A write that fails is reported and leaves the previous settings whole, with no scraps beside them.
    void aFailedWriteKeepsThePreviousSettings() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        QByteArray previous = FileContent(fixture.SettingsFile());
        QVERIFY(previous.contains("GDriveState"));
        QString id = QString::fromStdString(fixture.Form().Service().GetClientId());
        QString secret = QString::fromStdString(fixture.Form().Service().GetSecret());
        {
            TFileSizeLimit limit;
            ForbidSignIn();
            TModalScript script;
            // A new secret signs the service out: a changed state that is written at once.
            script.ExpectOptions(id, secret + "-changed").ExpectError("Cannot write the settings");
            fixture.Action("OptionsAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(FileContent(fixture.SettingsFile()), previous);
        QCOMPARE(QFileInfo(fixture.SettingsFile()).dir().entryList(QDir::Files | QDir::Hidden),
                 QStringList{QFileInfo(fixture.SettingsFile()).fileName()});
        fixture.Close();  // the end of the program writes them again
        QVERIFY(StoredValue(fixture.SettingsFile(), "GDriveSecret").toString().endsWith("-changed"));
    }

    // A state that one service refuses is reported with the service's name; the others load.
    void aRefusedStateLeavesTheOtherServicesLoaded() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        fixture.Connect("BoxNetAction");
        std::string boxToken = ServiceOf(fixture, "BoxNet").GetToken();
        fixture.Close();
        StoreValue(fixture.SettingsFile(), "GDriveState", QByteArray("\x07 not a state", 13));

        {
            TModalScript script;
            script.ExpectError("Google Drive: Invalid data");
            fixture.Reopen();
            QTRY_VERIFY2_WITH_TIMEOUT(script.Finished(), qPrintable(script.Report()), 3000);
            QVERIFY(!script.Errors().first().contains("Box"));
        }
        QCOMPARE(ServiceOf(fixture, "BoxNet").GetToken(), boxToken);
        QCOMPARE(ServiceOf(fixture, "GDrive").GetToken(), std::string());
        for (const QString& prefix : Prefixes) QVERIFY(!ServiceOf(fixture, prefix).GetClientId().empty());
        ForbidSignIn();
        fixture.Connect("BoxNetAction");

        fixture.Close();
        QVERIFY(!StoredValue(fixture.SettingsFile(), "GDriveClientId").toString().isEmpty());
        QVERIFY(StoredValue(fixture.SettingsFile(), "BoxNetState").toByteArray().contains(ToBytes(boxToken)));
    }

    // A state saved under one client identifier is refused once the stored identifier changes.
    void aStateOfAnotherClientIsRefused() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        fixture.Close();
        StoreValue(fixture.SettingsFile(), "DropBoxClientId", "someone-else");
        TModalScript script;
        script.ExpectError("Dropbox: Invalid client-id");
        fixture.Reopen();
        QTRY_VERIFY2_WITH_TIMEOUT(script.Finished(), qPrintable(script.Report()), 3000);
        QCOMPARE(ServiceOf(fixture, "DropBox").GetClientId(), std::string("someone-else"));
    }

    void optionsKeepTheTokenUnlessTheCredentialsChange() {
        TFormFixture fixture;
        fixture.Connect("OneDriveAction");
        TNimboStorage& onedrive = fixture.Form().Service();
        std::string token = onedrive.GetToken();
        QString id = QString::fromStdString(onedrive.GetClientId()),
                secret = QString::fromStdString(onedrive.GetSecret());

        TModalScript script;
        script
            .ExpectOptions("edited", "edited", false)  // Cancel: nothing changes
            .ExpectOptions(id, secret)                 // unchanged: the token stays
            .ExpectOptions(id, secret + "-new");       // changed: signed out, the listing signs in
        fixture.Action("OptionsAction")->trigger();
        QCOMPARE(onedrive.GetSecret(), secret.toStdString());
        fixture.Action("OptionsAction")->trigger();
        QCOMPARE(onedrive.GetToken(), token);
        ForbidSignIn();
        fixture.Action("OptionsAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(onedrive.GetSecret(), (secret + "-new").toStdString());
        QCOMPARE(onedrive.GetToken(), std::string());  // the cancelled sign-in showed nothing
    }

    // Typed values are tried before they are saved, on the service's own kind of component; the
    // service itself keeps what it held.
    void testConnectionTriesTheTypedValues() {
        TFormFixture fixture(false);
        auto box = Nimbo::Demo::TSandbox::Credentials(Cloud::Box);
        auto type = [](QWidget* AOptions, const std::string& AClientId, const std::string& ASecret) {
            QWidget* tab = OptionsTab(AOptions);
            tab->findChild<QLineEdit*>("ClientId")->setText(QString::fromStdString(AClientId));
            tab->findChild<QLineEdit*>("Secret")->setText(QString::fromStdString(ASecret));
            QTest::mouseClick(tab->findChild<QPushButton*>("TestButton"), Qt::LeftButton);
        };
        TModalScript script;
        script.ExpectWindow("TOptions", [&](QWidget* AWidget) { type(AWidget, box.ClientId, box.Secret); })
            .ExpectWindow("TestResultBox",
                          [](QWidget* AWidget) {
                              auto* result = qobject_cast<QMessageBox*>(AWidget);
                              QCOMPARE(result->text(), QString("Box answered: the connection works."));
                              result->accept();
                          })
            .ExpectWindow("TOptions", [&](QWidget* AWidget) { type(AWidget, box.ClientId, box.Secret + "-wrong"); })
            .ExpectError("The client credentials are invalid")
            .ExpectWindow("TOptions", [&](QWidget* AWidget) { type(AWidget, box.ClientId, " "); })
            .ExpectError("Please enter the client ID and the secret first.")
            .ExpectOptions("", "", false);
        fixture.Action("BoxNetAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(fixture.Form().Service().GetClientId(), std::string());
        QCOMPARE(fixture.Form().Service().GetToken(), std::string());
        QVERIFY(!fixture.Form().Connected());
    }

    void theSecretIsMaskedUntilShownAndASuccessfulTestSaysSo() {
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        TModalScript script;
        script
            .ExpectWindow("TOptions",
                          [](QWidget* AWidget) {
                              QWidget* tab = OptionsTab(AWidget);
                              QCOMPARE(tab->objectName(), QString("BoxNetTab"));
                              auto* secret = tab->findChild<QLineEdit*>("Secret");
                              QCOMPARE(secret->echoMode(), QLineEdit::Password);
                              tab->findChild<QAction*>("ShowSecretAction")->trigger();
                              QCOMPARE(secret->echoMode(), QLineEdit::Normal);
                              QVERIFY(!AWidget->findChild<QLabel*>("Label3")->text().contains("registry"));
                              QTest::mouseClick(tab->findChild<QPushButton*>("TestButton"), Qt::LeftButton);
                          })
            .ExpectWindow("TestResultBox",
                          [](QWidget* AWidget) {
                              auto* box = qobject_cast<QMessageBox*>(AWidget);
                              QCOMPARE(box->text(), QString("Box answered: the connection works."));
                              box->accept();
                          })
            .ExpectOptions("", "", false);
        fixture.Action("OptionsAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
    }

    // One tab per service, named and ordered as the Services menu lists them, the service in use in
    // front; every secret masked, none asked of the public client.
    void theOptionsHaveATabForEveryService() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        QStringList captions, names;
        TModalScript script;
        script.ExpectWindow("TOptions", [&](QWidget* AWidget) {
            auto* tabs = AWidget->findChild<QTabWidget*>("ServiceTabs");
            QCOMPARE(tabs->currentWidget()->objectName(), QString("DropBoxTab"));
            for (int i = 0; i < tabs->count(); ++i) {
                captions << tabs->tabText(i);
                names << tabs->widget(i)->objectName();
                auto* secret = tabs->widget(i)->findChild<QLineEdit*>("Secret");
                bool publicClient = names.last() == "OneDriveGraphTab";
                QCOMPARE(secret->isEnabled(), !publicClient);
                if (!publicClient) {
                    QCOMPARE(secret->echoMode(), QLineEdit::Password);
                    QVERIFY(!secret->text().isEmpty());
                }
                QVERIFY(!tabs->widget(i)->findChild<QLineEdit*>("ClientId")->text().isEmpty());
                QVERIFY(tabs->widget(i)->findChild<QPushButton*>("TestButton") != nullptr);
            }
            QTest::mouseClick(AWidget->findChild<QPushButton*>("CancelButton"), Qt::LeftButton);
        });
        fixture.Action("OptionsAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QStringList menu;
        for (QAction* action : fixture.Form().findChild<QMenu*>("ServicesMenu")->actions() +
                                   fixture.Form().findChild<QMenu*>("LegacyMenu")->actions())
            if (action->isCheckable()) menu << action->text();
        QCOMPARE(captions, menu);
        QCOMPARE(names, (QStringList{"GDrive3Tab", "DropBox2Tab", "OneDriveGraphTab", "BoxNetTab", "GDriveTab",
                                     "DropBoxTab", "OneDriveTab"}));
    }

    // Cancel writes nothing; Save writes the values of every tab under the names earlier versions
    // used; a tab with half its values is refused and brought to the front.
    void savingWritesEveryTabAndCancelWritesNothing() {
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        std::string boxToken = fixture.Form().Service().GetToken();
        const QByteArray before = FileContent(fixture.SettingsFile());
        QVERIFY(!before.isEmpty());
        auto edit = [](QWidget* AOptions, const QString& APrefix, const QString& AClientId, const QString& ASecret) {
            QWidget* tab = OptionsTab(AOptions, APrefix);
            tab->findChild<QLineEdit*>("ClientId")->setText(AClientId);
            if (!ASecret.isNull()) tab->findChild<QLineEdit*>("Secret")->setText(ASecret);
        };
        auto editTwo = [&](QWidget* AOptions) {
            edit(AOptions, "DropBox", "legacy-dropbox-id", " legacy-dropbox-secret ");
            edit(AOptions, "OneDriveGraph", "graph-id", {});
        };
        QString front;
        TModalScript script;
        script
            .ExpectWindow("TOptions",
                          [&](QWidget* AWidget) {
                              editTwo(AWidget);
                              QTest::mouseClick(AWidget->findChild<QPushButton*>("CancelButton"), Qt::LeftButton);
                          })
            .ExpectWindow("TOptions",
                          [&](QWidget* AWidget) {
                              editTwo(AWidget);
                              edit(AWidget, "GDrive", "half", "");
                              OptionsTab(AWidget, "BoxNet");
                              QTest::mouseClick(AWidget->findChild<QPushButton*>("OkButton"), Qt::LeftButton);
                              front = OptionsTab(AWidget)->objectName();
                          })
            .ExpectError("Google Drive (Drive API v2): please give both the client ID and the secret")
            .ExpectWindow("TOptions", [&](QWidget* AWidget) {
                edit(AWidget, "GDrive", "", "");
                QTest::mouseClick(AWidget->findChild<QPushButton*>("OkButton"), Qt::LeftButton);
            });
        fixture.Action("OptionsAction")->trigger();
        QCOMPARE(FileContent(fixture.SettingsFile()), before);
        QCOMPARE(ServiceOf(fixture, "DropBox").GetClientId(),
                 Nimbo::Demo::TSandbox::Credentials(Cloud::Dropbox).ClientId);
        ForbidSignIn();
        fixture.Action("OptionsAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(front, QString("GDriveTab"));

        const QString file = fixture.SettingsFile();
        QCOMPARE(StoredValue(file, "DropBoxClientId").toString(), QString("legacy-dropbox-id"));
        QCOMPARE(StoredValue(file, "DropBoxSecret").toString(), QString("legacy-dropbox-secret"));
        QCOMPARE(StoredValue(file, "OneDriveGraphClientId").toString(), QString("graph-id"));
        QCOMPARE(StoredValue(file, "GDriveClientId").toString(), QString());
        QCOMPARE(ServiceOf(fixture, "DropBox").GetSecret(), std::string("legacy-dropbox-secret"));
        QCOMPARE(ServiceOf(fixture, "OneDriveGraph").GetClientId(), std::string("graph-id"));
        // The service in use kept its values, and with them its sign-in.
        QCOMPARE(ServiceOf(fixture, "BoxNet").GetToken(), boxToken);
        QVERIFY(fixture.Form().Connected());
        fixture.Reopen(false);
        QCOMPARE(ServiceOf(fixture, "DropBox").GetClientId(), std::string("legacy-dropbox-id"));
        QCOMPARE(ServiceOf(fixture, "OneDriveGraph").GetClientId(), std::string("graph-id"));
    }
};

GUI_TEST_CLASS(SettingsTest);

#include "SettingsTest.moc"
