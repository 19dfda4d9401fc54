#pragma once

// What the tests of the desktop program share: the sandbox of the whole test program, a script
// that answers the modal windows a command opens, and a fixture around one main window.

#include <functional>
#include <memory>
#include <vector>

#include <QAction>
#include <QLabel>
#include <QMimeData>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include "MainUnit.h"
#include "Sandbox.h"

namespace GuiTest {

using Nimbo::Emulator::Cloud;

// The sandbox every test runs against, started by the test program's entry point.
Nimbo::Demo::TSandbox& Sandbox();
void SetSandbox(Nimbo::Demo::TSandbox* ASandbox);

// The test classes of the program, run by name.
using TTestFactory = std::function<std::unique_ptr<QObject>()>;
bool RegisterTestClass(const char* AName, TTestFactory AFactory);
const std::vector<std::pair<QString, TTestFactory>>& TestClasses();

// Answers the modal windows that the code under test opens, one step per window, in order. A
// window that no step expects is recorded and closed, so that a test never hangs on it.
class TModalScript : public QObject {
public:
    using TMatch = std::function<bool(QWidget*)>;
    using TAct = std::function<void(QWidget*)>;

    TModalScript();
    ~TModalScript() override;

    // The next modal window must satisfy AMatch; AAct then answers it (runs once, from the event
    // loop). ADescription names the step in the failure report.
    TModalScript& Expect(QString ADescription, TMatch AMatch, TAct AAct);
    // Shortcuts for the program's own windows, matched by object name.
    TModalScript& ExpectWindow(const QString& AObjectName, TAct AAct);
    // The error display with a message that contains AText; pressed away.
    TModalScript& ExpectError(const QString& AText);
    // The file dialog of that name, answered with AFileName (or cancelled when it is empty).
    TModalScript& ExpectFileDialog(const QString& AObjectName, const QString& AFileName);
    // The options dialog: fills in the two fields and presses "Ok" (or "Cancel").
    TModalScript& ExpectOptions(const QString& AClientId, const QString& ASecret, bool AConfirm = true);
    // The input dialog of the New Folder command, answered with AName (or cancelled when AAccept is false).
    TModalScript& ExpectFolderName(const QString& AName, bool AAccept = true);
    // The question Delete asks, answered Delete (or Cancel); its text and note are kept in Questions().
    TModalScript& ExpectDeleteConfirmation(bool AConfirm = true);

    // True when every step has run and no other modal window appeared.
    bool Finished() const { return FNext == FSteps.size() && FProblems.isEmpty(); }
    QString Report() const;
    // What the expected error displays said, in order.
    const QStringList& Errors() const { return FErrors; }
    // What the answered questions said: the text, a new line, the informative text.
    const QStringList& Questions() const { return FQuestions; }

private:
    struct TStep {
        QString Description;
        TMatch Match;
        TAct Act;
    };

    void Tick();
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

    QTimer FTimer;
    // The window answered last: left alone while it stays up after its answer (a sign-in page
    // that loads), until it hides or another window has been answered.
    QPointer<QWidget> FAnswered;
    std::vector<TStep> FSteps;
    std::size_t FNext = 0;
    bool FPending = false;
    QStringList FProblems;
    QStringList FErrors;
    QStringList FQuestions;
};

// One main window over a private settings file, with the sandbox's credentials preset (unless
// told otherwise) and the file-manager call recorded instead of made.
class TFormFixture {
public:
    explicit TFormFixture(bool APresetCredentials = true);
    ~TFormFixture();

    // A new window over the same settings file (the previous one is closed first, writing them).
    void Reopen(bool APresetCredentials = true);
    void Close();

    Nimbo::Demo::TMainForm& Form() { return *FForm; }
    QString SettingsFile() const { return FDir.filePath("Cloudpane.conf"); }
    QString TempPath(const QString& AName) const { return FDir.filePath(AName); }
    const QStringList& ShownFiles() const { return FShown; }

    QAction* Action(const char* AName);
    QTreeWidget* Tree();
    QWidget* StartPanel();
    QLabel* Label(const char* AName);
    // Triggers the action of the service (e.g. "DropBoxAction") and expects the root listed.
    void Connect(const char* AServiceAction);
    // The tree item at a "/"-separated path of names; null when there is none.
    QTreeWidgetItem* Item(const QString& APath);
    QStringList ChildNames(QTreeWidgetItem* AItem);  // null: the top level
    void Select(QTreeWidgetItem* AItem);

private:
    QTemporaryDir FDir;
    std::unique_ptr<Nimbo::Demo::TMainForm> FForm;
    QStringList FShown;
};

// The names of a folder's children as the emulator keeps them (empty path: the root).
QStringList EmulatorChildren(Cloud ACloud, const std::string& APath);
// How many requests reached the emulator since its log was last cleared.
int RequestCount();

// Whether the windows that fixtures open keep sign-ins in the system keychain (where one runs).
// Off unless a test turns it on: the tests never touch the keychain of the user who runs them.
void SetKeychainInForms(bool AValue);

// The tab of the options dialog AOptions for the service with the value-name prefix APrefix, brought
// to the front; the tab in front when APrefix is empty.
QWidget* OptionsTab(QWidget* AOptions, const QString& APrefix = {});

// Makes AClass the sign-in window that sign-ins pick (before every other registered class).
void PreferSignInWindow(const Nimbo::Connection::TAuthUIClass& AClass);

// What dragging AItems inside ATree would carry, as the tree's model gives it (owned by the caller).
QMimeData* DragData(QTreeWidget* ATree, const QList<QTreeWidgetItem*>& AItems);
// Drops AData on ATarget (null: the empty space below the items); true when the tree took it.
bool Drop(QTreeWidget* ATree, QMimeData* AData, QTreeWidgetItem* ATarget);

}  // namespace GuiTest

#define GUI_TEST_CLASS(Class) \
    static const bool Class##Registered = GuiTest::RegisterTestClass(#Class, [] { return std::make_unique<Class>(); })
