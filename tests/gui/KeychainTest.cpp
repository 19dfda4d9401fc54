// Where sign-ins are kept: the system keychain where a Secret Service runs, else the owner-only
// settings file; an earlier version's sign-in moves from the file to the keychain. CTest runs this
// class twice: in a private D-Bus session with an unlocked keyring (NIMBO_EXPECT_KEYCHAIN=1), and
// without a session bus (NIMBO_EXPECT_KEYCHAIN=0).

#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include "GuiTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "TokenStore.h"

using namespace GuiTest;
using namespace Nimbo::Connection;
using Nimbo::Demo::TTokenStore;

namespace {

bool FileHasState(const QString& AFile, const QString& APrefix) {
    return QSettings(AFile, QSettings::IniFormat).contains(APrefix + "State");
}

// What the keychain keeps for the service of APrefix under the settings file AFile.
QByteArray KeychainState(const QString& AFile, const QString& APrefix) {
    return TTokenStore(AFile, true).Read(APrefix).value_or(QByteArray());
}

}  // namespace

class KeychainTest : public QObject {
    Q_OBJECT

    bool FKeychain = false;

private slots:
    void initTestCase() {
        // Only in the environments CTest makes: never in the keychain of the user who runs the tests.
        QByteArray expected = qgetenv("NIMBO_EXPECT_KEYCHAIN");
        if (expected.isEmpty()) QSKIP("runs under CTest, with NIMBO_EXPECT_KEYCHAIN set");
        FKeychain = TTokenStore::SecretServiceAvailable();
        QCOMPARE(FKeychain, expected == "1");
        SetKeychainInForms(true);
    }

    void cleanupTestCase() { SetKeychainInForms(false); }

    void init() {
        Sandbox().Reset();
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
    }

    void aSignInIsKeptWhereTheStoreSaysAndServesTheNextRun() {
        TFormFixture fixture;
        QCOMPARE(fixture.Form().Tokens().InKeychain(), FKeychain);
        fixture.Connect("BoxNetAction");
        std::string token = fixture.Form().Service().GetToken();
        QVERIFY(!token.empty());
        QByteArray bytes(token.data(), static_cast<qsizetype>(token.size()));
        if (FKeychain) {
            QVERIFY(KeychainState(fixture.SettingsFile(), "BoxNet").contains(bytes));
            QVERIFY(!QSettings(fixture.SettingsFile(), QSettings::IniFormat)
                         .value("BoxNetState")
                         .toByteArray()
                         .contains(bytes));
            QVERIFY(!FileHasState(fixture.SettingsFile(), "BoxNet"));
        } else {
            QVERIFY(QSettings(fixture.SettingsFile(), QSettings::IniFormat)
                        .value("BoxNetState")
                        .toByteArray()
                        .contains(bytes));
        }

        fixture.Reopen();
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);  // no sign-in may be needed
        fixture.Connect("BoxNetAction");
        QCOMPARE(fixture.Form().Service().GetToken(), token);
    }

    void anEarlierSignInInTheFileMovesToTheKeychain() {
        TFormFixture fixture;
        // An earlier version wrote the sign-in into the settings file.
        SetKeychainInForms(false);
        fixture.Reopen();
        fixture.Connect("BoxNetAction");
        std::string token = fixture.Form().Service().GetToken();
        fixture.Close();
        QVERIFY(FileHasState(fixture.SettingsFile(), "BoxNet"));

        SetKeychainInForms(true);
        fixture.Reopen();
        QCOMPARE(FileHasState(fixture.SettingsFile(), "BoxNet"), !FKeychain);
        if (FKeychain)
            QVERIFY(KeychainState(fixture.SettingsFile(), "BoxNet").contains(QByteArray::fromStdString(token)));
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);
        fixture.Connect("BoxNetAction");
        QCOMPARE(fixture.Form().Service().GetToken(), token);
    }

    void theOptionsDialogSaysWhereSignInsAreKept() {
        TFormFixture fixture;
        QString note;
        TModalScript script;
        script.ExpectWindow("TOptions", [&note](QWidget* AWidget) {
            note = AWidget->findChild<QLabel*>("Label3")->text();
            QTest::mouseClick(AWidget->findChild<QPushButton*>("CancelButton"), Qt::LeftButton);
        });
        fixture.Action("OptionsAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY2(note.contains(FKeychain ? "system keychain" : "settings file only you can read"), qPrintable(note));
        QCOMPARE(note.contains("keychain"), FKeychain);
    }
};

GUI_TEST_CLASS(KeychainTest);

#include "KeychainTest.moc"
