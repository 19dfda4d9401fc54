// The main window as a file browser: times in local time, the title and status bar, what Delete
// and Rename ask, names refused before any request, readable errors and the columns.

#include <QDateTime>
#include <QFile>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimeZone>

#include <cstdlib>
#include <ctime>
#include <optional>

#include "ErrorDisplay.h"
#include "GuiTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace GuiTest;
using namespace Nimbo::Connection;

namespace {

// Sets TZ for its lifetime and restores the previous setting afterwards.
class TLocalZone {
public:
    explicit TLocalZone(const char* AZone) {
        if (const char* tz = std::getenv("TZ")) FSaved = tz;
        setenv("TZ", AZone, 1);
        tzset();
    }
    ~TLocalZone() {
        if (FSaved)
            setenv("TZ", FSaved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    TLocalZone(const TLocalZone&) = delete;
    TLocalZone& operator=(const TLocalZone&) = delete;

private:
    std::optional<std::string> FSaved;
};

struct TService {
    const char* Action;
    Cloud Service;
    const char* Name;
};
const TService Services[] = {{"GDriveAction", Cloud::GoogleDrive, "Google Drive"},
                             {"DropBoxAction", Cloud::Dropbox, "Dropbox"},
                             {"OneDriveAction", Cloud::LiveConnect, "OneDrive"},
                             {"BoxNetAction", Cloud::Box, "Box"}};

QStringList Sorted(QStringList AList) {
    AList.sort();
    return AList;
}

void AddServiceRows() {
    QTest::addColumn<int>("index");
    for (int i = 0; i < 4; ++i) QTest::newRow(Services[i].Name) << i;
}

}  // namespace

class BrowserTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Sandbox().Reset();
        Sandbox().Emulator().ClearFaults();
        Sandbox().Emulator().ClearRequests();
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
        QLocale::setDefault(QLocale::c());
    }

    // Box writes its times in Pacific time, the others in UTC: one moment reads the same on all
    // four, in the local time of a zone that is neither (and half an hour off the full hours).
    void oneMomentReadsTheSameLocalTimeOnEveryService() {
        TLocalZone zone("Asia/Kolkata");
        qint64 second = 0;
        for (int attempt = 0; attempt < 5; ++attempt) {
            second = QDateTime::currentSecsSinceEpoch();
            for (const TService& service : Services) Sandbox().Emulator().AddFile(service.Service, "Moment.txt", "now");
            if (QDateTime::currentSecsSinceEpoch() == second) break;
            second = 0;
        }
        QVERIFY2(second != 0, "the four files were never added within one second");
        QDateTime expected = QDateTime::fromSecsSinceEpoch(second, QTimeZone("Asia/Kolkata"));
        QString expectedTime = expected.time().toString("HH:mm:ss");

        TFormFixture fixture;
        for (const TService& service : Services) {
            fixture.Connect(service.Action);
            fixture.Select(fixture.Item("Moment.txt"));
            QString modified = fixture.Label("ModifiedLabel")->text();
            QVERIFY2(modified.contains(expectedTime), qPrintable(QString(service.Action) + ": " + modified));
            QVERIFY2(modified.contains(QLocale::c().toString(expected.date(), QLocale::ShortFormat)),
                     qPrintable(QString(service.Action) + ": " + modified));
        }
    }

    void titleAndStatusBarNameTheServiceTheAccountAndTheSpace_data() { AddServiceRows(); }

    void titleAndStatusBarNameTheServiceTheAccountAndTheSpace() {
        QFETCH(int, index);
        const TService& service = Services[index];
        Sandbox().Emulator().SetAccountName(service.Service, "Ada Lovelace");
        TFormFixture fixture;
        QCOMPARE(fixture.Form().windowTitle(), QString("Cloudpane"));
        fixture.Connect(service.Action);

        QCOMPARE(fixture.Form().windowTitle(), QString("Cloudpane - %1 - Ada Lovelace").arg(service.Name));
        QCOMPARE(fixture.Label("ServiceStatus")->text(), QString("%1 - Ada Lovelace").arg(service.Name));
        QRegularExpression space(R"(^\d+(\.\d)? (bytes|kB|MB|GB|TB)( of \d+(\.\d)? (kB|MB|GB|TB))? used$)");
        QVERIFY2(space.match(fixture.Label("SpaceStatus")->text()).hasMatch(),
                 qPrintable(fixture.Label("SpaceStatus")->text()));
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Opened %1").arg(service.Name));
    }

    // The result of the last command stays in the status bar, failures in words.
    void theStatusBarTellsTheLastResult() {
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        fixture.Select(fixture.Item("Read me.txt"));
        Nimbo::Emulator::Fault failure;
        failure.status = 503;
        Sandbox().Emulator().InjectFault({.host = "api.box.com", .method = "DELETE", .pathPrefix = "/2.0/files"},
                                         failure);
        {
            TModalScript script;
            script.ExpectDeleteConfirmation().ExpectError("unavailable");
            fixture.Action("DeleteAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Failed: The service is unavailable at the moment."));
    }

    void theWindowItsColumnsAndTheLastServiceAreRemembered() {
        TFormFixture fixture;
        fixture.Form().resize(900, 640);
        fixture.Tree()->setColumnWidth(1, 123);
        fixture.Connect("BoxNetAction");
        fixture.Tree()->sortByColumn(2, Qt::DescendingOrder);
        Sandbox().Emulator().ClearRequests();
        fixture.Reopen();
        QCOMPARE(fixture.Form().size(), QSize(900, 640));
        QCOMPARE(fixture.Tree()->columnWidth(1), 123);
        QCOMPARE(fixture.Tree()->sortColumn(), 2);
        QVERIFY(!fixture.Form().Connected());
        QCOMPARE(fixture.Label("ServiceStatus")->text(), QString("Box - not connected"));
        QCOMPARE(RequestCount(), 0);  // nothing is opened before the user asks
        fixture.Connect("RefreshAction");
        QCOMPARE(fixture.Form().ServiceName(), QString("Box"));
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::Box, "")));
    }

    void deleteAsksFirstAndSaysWhetherTheServiceKeepsACopy_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("note");
        QTest::newRow("Google Drive") << 0 << "Google Drive keeps no copy: this cannot be undone.";
        QTest::newRow("Dropbox") << 1 << "Dropbox keeps deleted items for a while";
        QTest::newRow("OneDrive") << 2 << "OneDrive keeps a copy in its recycle bin.";
        QTest::newRow("Box") << 3 << "Box keeps a copy in its trash.";
    }

    void deleteAsksFirstAndSaysWhetherTheServiceKeepsACopy() {
        QFETCH(int, index);
        QFETCH(QString, note);
        const TService& service = Services[index];
        TFormFixture fixture;
        fixture.Connect(service.Action);
        fixture.Select(fixture.Item("Documents"));
        {
            TModalScript script;
            script.ExpectDeleteConfirmation(false);
            QTest::keyClick(fixture.Tree(), Qt::Key_Delete);
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
            QVERIFY(script.Questions().value(0).startsWith("Delete the folder \"Documents\" and everything in it?\n"));
            QVERIFY2(script.Questions().value(0).contains(note), qPrintable(script.Questions().value(0)));
        }
        QVERIFY(Sandbox().Emulator().Find(service.Service, "Documents/Welcome.txt").has_value());
        QVERIFY(fixture.Item("Documents") != nullptr);
        QCOMPARE(fixture.Tree()->selectedItems().value(0), fixture.Item("Documents"));

        fixture.Select(fixture.Item("Read me.txt"));
        {
            TModalScript script;
            script.ExpectDeleteConfirmation(true);
            QTest::keyClick(fixture.Tree(), Qt::Key_Delete);
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
            QVERIFY(script.Questions().value(0).startsWith("Delete \"Read me.txt\"?\n"));
        }
        QVERIFY(!Sandbox().Emulator().Find(service.Service, "Read me.txt").has_value());
        QVERIFY(fixture.Item("Read me.txt") == nullptr);
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Deleted \"Read me.txt\""));
    }

    void f2RenamesOnTheService_data() { AddServiceRows(); }

    void f2RenamesOnTheService() {
        QFETCH(int, index);
        const TService& service = Services[index];
        TFormFixture fixture;
        fixture.Connect(service.Action);
        fixture.Select(fixture.Item("Read me.txt"));
        TModalScript script;
        script.ExpectWindow("RenameDialog", [](QWidget* AWidget) {
            auto* dialog = qobject_cast<QInputDialog*>(AWidget);
            QCOMPARE(dialog->textValue(), QString("Read me.txt"));
            dialog->setTextValue("Notes 2017.txt");
            dialog->accept();
        });
        QTest::keyClick(fixture.Tree(), Qt::Key_F2);
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(!Sandbox().Emulator().Find(service.Service, "Read me.txt").has_value());
        QVERIFY(Sandbox().Emulator().Find(service.Service, "Notes 2017.txt").has_value());
        QVERIFY(fixture.Item("Read me.txt") == nullptr);
        QCOMPARE(fixture.Tree()->selectedItems().value(0), fixture.Item("Notes 2017.txt"));
        QCOMPARE(fixture.Label("NameLabel")->text(), QString("Notes 2017.txt"));
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Renamed \"Read me.txt\" to \"Notes 2017.txt\""));
    }

    // A renamed folder is read again from the service; the folders open below it stay open.
    void aRenamedFolderKeepsTheFoldersOpenBelowIt_data() { AddServiceRows(); }

    void aRenamedFolderKeepsTheFoldersOpenBelowIt() {
        QFETCH(int, index);
        const TService& service = Services[index];
        Sandbox().Emulator().AddFolder(service.Service, "Documents/Drafts");
        Sandbox().Emulator().AddFile(service.Service, "Documents/Drafts/Plan.txt", "plan");
        TFormFixture fixture;
        fixture.Connect(service.Action);
        fixture.Item("Documents")->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Drafts") != nullptr, 2000);
        fixture.Item("Documents/Drafts")->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Drafts/Plan.txt") != nullptr, 2000);

        fixture.Select(fixture.Item("Documents"));
        TModalScript script;
        script.ExpectWindow("RenameDialog", [](QWidget* AWidget) {
            qobject_cast<QInputDialog*>(AWidget)->setTextValue("Papers");
            qobject_cast<QInputDialog*>(AWidget)->accept();
        });
        QTest::keyClick(fixture.Tree(), Qt::Key_F2);
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(fixture.Item("Papers")->isExpanded());
        QTreeWidgetItem* drafts = fixture.Item("Papers/Drafts");
        QVERIFY(drafts != nullptr);
        QVERIFY(drafts->isExpanded());
        QVERIFY(fixture.Item("Papers/Drafts/Plan.txt") != nullptr);
    }

    // A name the service would refuse (or misread) is refused before any request, saying why.
    void badNamesAreRefusedBeforeAnyRequest_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty") << "GDriveAction"
                               << ""
                               << "cannot be empty";
        QTest::newRow("blank") << "BoxNetAction"
                               << "   "
                               << "cannot be empty";
        QTest::newRow("slash") << "DropBoxAction"
                               << "a/b"
                               << "\"/\" separates folders";
        QTest::newRow("dot dot") << "GDriveAction"
                                 << ".."
                                 << "stands for a folder itself";
        QTest::newRow("OneDrive colon") << "OneDriveAction"
                                        << "a:b"
                                        << "OneDrive does not allow the characters";
        QTest::newRow("Box backslash") << "BoxNetAction"
                                       << "a\\b"
                                       << "Box does not allow the characters";
        QTest::newRow("trailing space") << "DropBoxAction"
                                        << "a "
                                        << "spaces at the start or end";
    }

    void badNamesAreRefusedBeforeAnyRequest() {
        QFETCH(QString, action);
        QFETCH(QString, name);
        QFETCH(QString, reason);
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));
        QStringList before = fixture.ChildNames(nullptr);
        Sandbox().Emulator().ClearRequests();

        TModalScript script;
        script.ExpectFolderName(name).ExpectError(reason);
        fixture.Action("NewFolderAction")->trigger();
        fixture.Select(fixture.Item("Read me.txt"));
        script.ExpectWindow("RenameDialog", [name](QWidget* AWidget) {
            qobject_cast<QInputDialog*>(AWidget)->setTextValue(name);
            qobject_cast<QInputDialog*>(AWidget)->accept();
        });
        script.ExpectError(reason);
        RenameAction(fixture)->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(RequestCount(), 0);
        QCOMPARE(fixture.ChildNames(nullptr), before);
        QVERIFY(fixture.Label("ResultStatus")->text().startsWith("Failed: "));
    }

    void theRightClickMenuSelectsWhatItIsOpenedOn() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        auto* menu = fixture.Form().findChild<QMenu*>("ContextMenu");
        QTreeWidgetItem* file = fixture.Item("Read me.txt");
        QPoint onFile = fixture.Tree()->visualItemRect(file).center();
        QMetaObject::invokeMethod(fixture.Tree(), "customContextMenuRequested", Q_ARG(QPoint, onFile));
        QTRY_VERIFY(menu->isVisible());
        QCOMPARE(fixture.Tree()->selectedItems().value(0), file);
        QStringList enabled;
        for (QAction* action : menu->actions())
            if (!action->isSeparator() && action->isEnabled()) enabled << action->text();
        QCOMPARE(enabled, QStringList({"Download", "Upload", "New Folder", "Rename", "Delete", "Refresh"}));
        menu->hide();

        QPoint below(10, fixture.Tree()->viewport()->height() - 5);
        QVERIFY(fixture.Tree()->itemAt(below) == nullptr);
        QMetaObject::invokeMethod(fixture.Tree(), "customContextMenuRequested", Q_ARG(QPoint, below));
        QTRY_VERIFY(menu->isVisible());
        QVERIFY(fixture.Tree()->selectedItems().isEmpty());
        QVERIFY(!fixture.Action("DeleteAction")->isEnabled());
        QVERIFY(!RenameAction(fixture)->isEnabled());
        menu->hide();
    }

    void newFolderGoesIntoTheSelectedFilesFolder() {
        TFormFixture fixture;
        fixture.Connect("OneDriveAction");
        fixture.Item("Documents")->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        fixture.Select(fixture.Item("Documents/Welcome.txt"));
        TModalScript script;
        script.ExpectFolderName("Inner");
        fixture.Action("NewFolderAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(Sandbox().Emulator().Find(Cloud::LiveConnect, "Documents/Inner").has_value());
        QCOMPARE(fixture.Tree()->selectedItems().value(0), fixture.Item("Documents/Inner"));
    }

    void textsThatReadAsEncodedAreDecoded_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("escapes") << "The%20user%20denied%20access"
                                 << "The user denied access";
        QTest::newRow("plus and escape") << "Not+now%21"
                                         << "Not now!";
        QTest::newRow("UTF-8") << "caf%C3%A9"
                               << "café";
        QTest::newRow("plain with blanks") << "100%20 of a+b"
                                           << "100%20 of a+b";
        QTest::newRow("no escape") << "50%"
                                   << "50%";
        QTest::newRow("plus only") << "C++"
                                   << "C++";
    }

    void textsThatReadAsEncodedAreDecoded() {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(Nimbo::Demo::DecodedText(text), expected);
    }

    // Errors are shown as the service words them, decoded, with what to do next; the status and
    // the service's answer wait behind the details button.
    void errorsReadAsAPersonWouldSayThem_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("faultHost");  // empty: Box's own answer to a name taken since the listing
        QTest::addColumn<QString>("faultMethod");
        QTest::addColumn<int>("faultStatus");
        QTest::addColumn<QString>("faultBody");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("advice");
        QTest::addColumn<QString>("details");
        QTest::newRow("Box: name taken") << "BoxNetAction"
                                         << ""
                                         << "" << 0 << ""
                                         << "NewFolder"
                                         << "Item with the same name already exists."
                                         << "Choose another name"
                                         << "409";
        QTest::newRow("Drive: quota") << "GDriveAction"
                                      << "www.googleapis.com"
                                      << "POST" << 403
                                      << "{\"error\":{\"errors\":[{\"reason\":\"storageQuotaExceeded\"}],\"code\":403,"
                                         "\"message\":\"The user's Drive storage quota has been exceeded.\"}}"
                                      << "NewFolder"
                                      << "The user's Drive storage quota has been exceeded."
                                      << "Free some space"
                                      << "storageQuotaExceeded";
        QTest::newRow("OneDrive: unavailable") << "OneDriveAction"
                                               << "apis.live.net"
                                               << "POST" << 503 << ""
                                               << "NewFolder"
                                               << "The service is unavailable at the moment."
                                               << "Try again later"
                                               << "503";
        QTest::newRow("Dropbox: token revoked") << "DropBoxAction"
                                                << "api.dropbox.com"
                                                << "POST" << 401 << "{\"error\": \"Access%20token%20revoked\"}"
                                                << "NewFolder"
                                                << "Access token revoked."
                                                << "Sign in again"
                                                << "401";
        // Dropbox answers 409 for every error of a call, named by tags for programs.
        QTest::newRow("Dropbox: tags, not found")
            << "DropBox2Action"
            << "api.dropboxapi.com"
            << "POST" << 409
            << R"({"error_summary":"path/not_found/..","error":{".tag":"path","path":{".tag":"not_found"}}})"
            << "NewFolder"
            << "The item is no longer there."
            << "Refresh"
            << "path/not_found/..";
        QTest::newRow("Dropbox: tags, no space")
            << "DropBox2Action"
            << "api.dropboxapi.com"
            << "POST" << 409
            << R"({"error_summary":"path/insufficient_space/.","error":{".tag":"path","path":{".tag":"insufficient_space"}}})"
            << "NewFolder"
            << "There is not enough space for this."
            << "Free some space"
            << "409";
        QTest::newRow("Dropbox: tags unknown")
            << "DropBox2Action"
            << "api.dropboxapi.com"
            << "POST" << 409 << R"({"error_summary":"other/..","error":{".tag":"other"}})"
            << "NewFolder"
            << "The service refused the request."
            << "Try again"
            << "other/..";
    }

    void errorsReadAsAPersonWouldSayThem() {
        QFETCH(QString, action);
        QFETCH(QString, faultHost);
        QFETCH(QString, faultMethod);
        QFETCH(int, faultStatus);
        QFETCH(QString, faultBody);
        QFETCH(QString, message);
        QFETCH(QString, advice);
        QFETCH(QString, details);
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));
        if (faultHost.isEmpty()) {
            Sandbox().Emulator().AddFolder(Cloud::Box, "Fresh");
        } else {
            Nimbo::Emulator::Fault fault;
            fault.status = faultStatus;
            fault.body = faultBody.toStdString();
            Sandbox().Emulator().InjectFault(
                {.host = faultHost.toStdString(), .method = faultMethod.toStdString(), .pathPrefix = ""}, fault);
        }
        QString shown, shownAdvice, shownDetails;
        bool hasDetailsButton = false;
        TModalScript script;
        script.ExpectFolderName("Fresh");
        script.Expect(
            "a readable error", [](QWidget* AWidget) { return AWidget->objectName() == "ErrorMessageBox"; },
            [&](QWidget* AWidget) {
                auto* box = qobject_cast<QMessageBox*>(AWidget);
                shown = box->text();
                shownAdvice = box->informativeText();
                shownDetails = box->detailedText();
                for (QAbstractButton* button : box->buttons())
                    hasDetailsButton = hasDetailsButton || box->buttonRole(button) == QMessageBox::ActionRole;
                box->accept();
            });
        fixture.Action("NewFolderAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(shown, message);
        QVERIFY2(shownAdvice.contains(advice), qPrintable(shownAdvice));
        QVERIFY2(shownDetails.contains(details), qPrintable(shownDetails));
        QVERIFY(hasDetailsButton);
        QCOMPARE(fixture.Label("ResultStatus")->text(), "Failed: " + message);
    }

    void aDeniedSignInIsShownDecoded() {
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "The user denied access to your application");
        TFormFixture fixture;
        TModalScript script;
        script.ExpectError("The user denied access to your application.");
        fixture.Action("BoxNetAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(!fixture.Form().Connected());
        QVERIFY(!script.Errors().value(0).contains('%'));
    }

    void columnsSortWithFoldersFirst() {
        Sandbox().Emulator().AddFile(Cloud::Box, "a big.bin", std::string(3000, 'x'));
        Sandbox().Emulator().AddFile(Cloud::Box, "B small.txt", "x");
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        QTreeWidget* tree = fixture.Tree();
        QVERIFY(!tree->isHeaderHidden());
        QStringList headers;
        for (int i = 0; i < tree->columnCount(); ++i) headers << tree->headerItem()->text(i);
        QCOMPARE(headers, QStringList({"Name", "Size", "Modified", "Type"}));

        QStringList folders = {"Documents", "Photos", "Projects"};
        auto order = [&] { return fixture.ChildNames(nullptr); };
        auto files = [&] { return order().mid(folders.size()); };
        QCOMPARE(order().mid(0, folders.size()), folders);
        QCOMPARE(files(), QStringList({"a big.bin", "B small.txt", "Read me.txt"}));

        tree->sortByColumn(1, Qt::AscendingOrder);
        QCOMPARE(order().mid(0, folders.size()), folders);
        QCOMPARE(files().first(), QString("B small.txt"));
        QCOMPARE(files().last(), QString("a big.bin"));
        tree->sortByColumn(1, Qt::DescendingOrder);
        QCOMPARE(files().first(), QString("a big.bin"));
        QCOMPARE(order().mid(0, folders.size()), QStringList({"Projects", "Photos", "Documents"}));

        QTreeWidgetItem* big = fixture.Item("a big.bin");
        QCOMPARE(big->text(1), QString("2.9 kB"));
        QVERIFY(!big->text(2).isEmpty());
        QCOMPARE(fixture.Item("Documents")->text(1), QString());
        QCOMPARE(fixture.Item("Documents")->text(3), QString("Folder"));
        QCOMPARE(fixture.Item("Read me.txt")->text(3), QString("Plain text document"));
    }

    // An upload onto a name in use asks the same question on every service.
    void anUploadOntoATakenNameAsks_data() {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("answer");      // the button pressed
        QTest::addColumn<QString>("oldContent");  // what "Read me.txt" holds afterwards; empty: unchanged
        QTest::addColumn<QString>("keptAs");      // the name the upload went to; empty: none
        QTest::newRow("Box: Replace") << 3 << "Replace"
                                      << "new notes\n"
                                      << "";
        QTest::newRow("Dropbox: Replace") << 1 << "Replace"
                                          << "new notes\n"
                                          << "";
        QTest::newRow("Google Drive: Keep both") << 0 << "Keep both"
                                                 << ""
                                                 << "Read me (2).txt";
        QTest::newRow("OneDrive: Keep both") << 2 << "Keep both"
                                             << ""
                                             << "Read me (2).txt";
        QTest::newRow("Box: Cancel") << 3 << "Cancel"
                                     << ""
                                     << "";
    }

    void anUploadOntoATakenNameAsks() {
        QFETCH(int, index);
        QFETCH(QString, answer);
        QFETCH(QString, oldContent);
        QFETCH(QString, keptAs);
        const TService& service = Services[index];
        TFormFixture fixture;
        fixture.Connect(service.Action);
        std::string before = Sandbox().Emulator().Find(service.Service, "Read me.txt")->content;
        QStringList names = fixture.ChildNames(nullptr);
        QString local = fixture.TempPath("Read me.txt");
        {
            QFile file(local);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("new notes\n");
        }
        fixture.Select(fixture.Item("Documents"));
        fixture.Select(fixture.Item("Read me.txt"));  // a file: the upload goes into its folder, the root
        TModalScript script;
        script.ExpectFileDialog("OpenDialog", local);
        script.ExpectWindow("ClashQuestion", [answer](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            QCOMPARE(box->text(), QString("\"Read me.txt\" is already in this folder."));
            for (QAbstractButton* button : box->buttons())
                if (button->text() == answer) return button->click();
            QFAIL("no such button");
        });
        fixture.Action("UploadAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));

        std::string now = Sandbox().Emulator().Find(service.Service, "Read me.txt")->content;
        QCOMPARE(QString::fromStdString(now), oldContent.isEmpty() ? QString::fromStdString(before) : oldContent);
        if (!keptAs.isEmpty()) {
            auto kept = Sandbox().Emulator().Find(service.Service, keptAs.toStdString());
            QVERIFY(kept.has_value());
            QCOMPARE(QString::fromStdString(kept->content), QString("new notes\n"));
            names << keptAs;
        }
        QCOMPARE(Sorted(EmulatorChildren(service.Service, "")), Sorted(names));
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(names));
    }

    // Dropbox ignores case: "documents" is taken by "Documents". A folder cannot be replaced.
    void aNewFolderOrRenameOntoATakenNameOffersKeepingBoth() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        TModalScript script;
        script.ExpectFolderName("documents");
        script.ExpectWindow("ClashQuestion", [](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            QStringList buttons;
            for (QAbstractButton* button : box->buttons()) buttons << button->text();
            QVERIFY(!buttons.contains("Replace"));
            for (QAbstractButton* button : box->buttons())
                if (button->text() == "Keep both") button->click();
        });
        fixture.Action("NewFolderAction")->trigger();
        fixture.Select(fixture.Item("Read me.txt"));
        script.ExpectWindow("RenameDialog", [](QWidget* AWidget) {
            qobject_cast<QInputDialog*>(AWidget)->setTextValue("Photos");
            qobject_cast<QInputDialog*>(AWidget)->accept();
        });
        script.ExpectWindow("ClashQuestion", [](QWidget* AWidget) {
            qobject_cast<QMessageBox*>(AWidget)->button(QMessageBox::Cancel)->click();
        });
        RenameAction(fixture)->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(
            Sandbox().Emulator().Find(Cloud::Dropbox, "documents (2)").value_or(Nimbo::Emulator::ItemInfo{}).isFolder);
        QVERIFY(Sandbox().Emulator().Find(Cloud::Dropbox, "Read me.txt").has_value());
        QVERIFY(fixture.Item("documents (2)") != nullptr);
    }

private:
    static QAction* RenameAction(TFormFixture& AFixture) { return AFixture.Action("RenameAction"); }
};

GUI_TEST_CLASS(BrowserTest);

#include "BrowserTest.moc"
