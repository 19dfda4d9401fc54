// The main window against the sandbox: start, choosing a service, the lazy tree, details, action
// rules, selection and every command.

#include <memory>

#include <QElapsedTimer>
#include <QFile>
#include <QInputDialog>
#include <QLocale>
#include <QRegularExpression>
#include <QTest>
#include <QToolButton>

#include "GuiTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace GuiTest;
using namespace Nimbo::Connection;

namespace {

QStringList Sorted(QStringList AList) {
    AList.sort();
    return AList;
}

QString ReadFile(const QString& APath) {
    QFile file(APath);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString("<missing>");
}

void WriteFile(const QString& APath, const QByteArray& AContent) {
    QFile file(APath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(AContent);
}

// The four services: the action that picks each and the emulated service behind it.
void AddServiceRows() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("cloud");
    QTest::newRow("Google Drive") << "GDriveAction" << int(Cloud::GoogleDrive);
    QTest::newRow("Dropbox") << "DropBoxAction" << int(Cloud::Dropbox);
    QTest::newRow("OneDrive") << "OneDriveAction" << int(Cloud::LiveConnect);
    QTest::newRow("Box") << "BoxNetAction" << int(Cloud::Box);
}

}  // namespace

class MainFormTest : public QObject {
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

    void startsBehindTheStartPanelWithoutNetwork() {
        TFormFixture fixture;
        QVERIFY(fixture.StartPanel()->isVisible());
        QCOMPARE(fixture.Tree()->topLevelItemCount(), 0);
        QCOMPARE(fixture.Form().windowTitle(), QString("Cloudpane"));
        QCOMPARE(fixture.Form().findChild<QLabel*>("Label1")->text(),
                 QString("Select cloud service or click Refresh button to start"));
        for (const char* name : {"DownloadAction", "UploadAction", "NewFolderAction", "DeleteAction"})
            QVERIFY2(!fixture.Action(name)->isEnabled(), name);
        QTest::qWait(700);  // a tick of the lazy-listing timer
        QCOMPARE(RequestCount(), 0);
    }

    void serviceWithoutCredentialsOpensOptions_cancelLeavesEmptyTree() {
        TFormFixture fixture(false);
        TModalScript script;
        script.ExpectOptions("typed but cancelled", "secret", false);
        fixture.Action("DropBoxAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(!fixture.Form().Connected());
        QVERIFY(fixture.StartPanel()->isVisible());
        QCOMPARE(fixture.Tree()->topLevelItemCount(), 0);
        QCOMPARE(fixture.Form().Service().GetClientId(), std::string());
        QCOMPARE(RequestCount(), 0);
    }

    void serviceWithoutCredentialsOpensOptions_blanksRefusedAndValuesTrimmed() {
        TFormFixture fixture(false);
        auto credentials = Nimbo::Demo::TSandbox::Credentials(Cloud::Dropbox);
        QString id = QString::fromStdString(credentials.ClientId), secret = QString::fromStdString(credentials.Secret);
        TModalScript script;
        script.ExpectOptions(" \t ", secret)
            .ExpectError("Please provide valid ClientID and Secret")
            .ExpectOptions(id, "   ")
            .ExpectError("Please provide valid ClientID and Secret")
            .ExpectOptions("  " + id + "\t", " " + secret + "  ");
        fixture.Action("DropBoxAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(fixture.Form().Service().GetClientId(), credentials.ClientId);
        QCOMPARE(fixture.Form().Service().GetSecret(), credentials.Secret);
        QVERIFY(fixture.Form().Connected());
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::Dropbox, "")));
    }

    void refreshListsAgainAndKeepsExpandedFoldersAndTheSelection() {
        TFormFixture fixture;
        fixture.Connect("OneDriveAction");
        QVERIFY(!fixture.StartPanel()->isVisible());
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::LiveConnect, "")));
        QTreeWidgetItem* documents = fixture.Item("Documents");
        QCOMPARE(fixture.ChildNames(documents), QStringList{"Loading..."});
        QCOMPARE(fixture.Item("Read me.txt")->childCount(), 0);

        documents->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        fixture.Select(fixture.Item("Documents/Welcome.txt"));
        Sandbox().Emulator().AddFile(Cloud::LiveConnect, "Documents/Added meanwhile.txt", "new");
        Sandbox().Emulator().AddFile(Cloud::LiveConnect, "Added at the top.txt", "new");
        fixture.Connect("RefreshAction");
        documents = fixture.Item("Documents");
        QVERIFY(documents->isExpanded());
        QCOMPARE(Sorted(fixture.ChildNames(documents)), Sorted(EmulatorChildren(Cloud::LiveConnect, "Documents")));
        QVERIFY(fixture.Item("Documents/Added meanwhile.txt") != nullptr);
        QVERIFY(fixture.Item("Added at the top.txt") != nullptr);
        QCOMPARE(fixture.Tree()->selectedItems().value(0), fixture.Item("Documents/Welcome.txt"));
        QCOMPARE(fixture.Label("NameLabel")->text(), QString("Welcome.txt"));
        QVERIFY(!fixture.Item("Photos")->isExpanded());
        QCOMPARE(fixture.ChildNames(fixture.Item("Photos")), QStringList{"Loading..."});
    }

    void expandingAFolderListsItWithinATickAndOnlyOnce() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        Sandbox().Emulator().ClearRequests();
        QTreeWidgetItem* documents = fixture.Item("Documents");
        documents->setExpanded(true);
        QTRY_COMPARE_WITH_TIMEOUT(Sorted(fixture.ChildNames(documents)),
                                  Sorted(EmulatorChildren(Cloud::GoogleDrive, "Documents")), 1500);
        int requests = RequestCount();
        QVERIFY(requests > 0);

        documents->setExpanded(false);
        documents->setExpanded(true);
        QTest::qWait(1200);
        QCOMPARE(RequestCount(), requests);
        QCOMPARE(Sorted(fixture.ChildNames(documents)), Sorted(EmulatorChildren(Cloud::GoogleDrive, "Documents")));
    }

    // A slow listing can be cancelled from the status bar: the folder closes with its placeholder,
    // and the next expansion lists it.
    void aListingCanBeCancelledAndRunsAgainOnTheNextExpansion() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        Nimbo::Emulator::Fault slow;
        slow.delay = std::chrono::milliseconds(4000);
        Sandbox().Emulator().InjectFault({.host = "www.googleapis.com", .method = "GET", .pathPrefix = ""}, slow);
        auto* cancel = fixture.Form().findChild<QToolButton*>("CancelListingButton");
        QVERIFY(cancel != nullptr && !cancel->isVisible());
        bool shown = false;
        QTimer::singleShot(300, [&] {
            shown = cancel->isVisible();
            cancel->click();
        });
        QElapsedTimer clock;
        clock.start();
        QTreeWidgetItem* documents = fixture.Item("Documents");
        documents->setExpanded(true);
        QVERIFY2(clock.elapsed() < 4000, "the listing waited for the slow answer");
        QVERIFY(shown);
        QVERIFY(!cancel->isVisible());
        QVERIFY(!documents->isExpanded());
        QCOMPARE(fixture.ChildNames(documents), QStringList{"Loading..."});
        QCOMPARE(fixture.Form().findChild<QLabel*>("ResultStatus")->text(), QString("Cancelled"));

        Sandbox().Emulator().ClearFaults();
        documents->setExpanded(true);
        QTRY_COMPARE_WITH_TIMEOUT(Sorted(fixture.ChildNames(documents)),
                                  Sorted(EmulatorChildren(Cloud::GoogleDrive, "Documents")), 2000);
    }

    // Dropbox's listing gives no creation time: "Created at: unspecified".
    void detailsOfAFileAndAFolder_data() { AddServiceRows(); }

    void detailsOfAFileAndAFolder() {
        QFETCH(QString, action);
        QFETCH(int, cloud);
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));

        fixture.Select(fixture.Item("Documents"));
        QCOMPARE(fixture.Label("NameLabel")->text(), QString("Documents"));
        QCOMPARE(fixture.Label("SizeLabel")->text(), QString("Size: 0 bytes"));
        QCOMPARE(fixture.Label("MimeTypeLabel")->text(), QString("Mime type: inode/directory"));
        QVERIFY(!fixture.Label("BigImage")->pixmap().isNull());

        fixture.Select(fixture.Item("Read me.txt"));
        auto info = Sandbox().Emulator().Find(static_cast<Cloud>(cloud), "Read me.txt");
        QVERIFY(info.has_value());
        QCOMPARE(fixture.Label("NameLabel")->text(), QString("Read me.txt"));
        QCOMPARE(fixture.Label("SizeLabel")->text(), QString("Size: %1 bytes").arg(info->content.size()));
        QCOMPARE(fixture.Label("MimeTypeLabel")->text(), QString("Mime type: text/plain"));
        // The locale's short date and long time: German "dd.MM.yy HH:mm:ss".
        QRegularExpression localeTime(R"(^\d\d\.\d\d\.\d\d( \d\d:\d\d:\d\d)?$)");
        QString modified = fixture.Label("ModifiedLabel")->text();
        QVERIFY2(modified.startsWith("Modified at: ") && localeTime.match(modified.mid(13)).hasMatch(),
                 qPrintable(modified));
        QString created = fixture.Label("CreatedLabel")->text();
        if (static_cast<Cloud>(cloud) == Cloud::Dropbox)
            QCOMPARE(created, QString("Created at: unspecified"));
        else
            QVERIFY2(created.startsWith("Created at: ") && localeTime.match(created.mid(12)).hasMatch(),
                     qPrintable(created));
        QVERIFY(fixture.Label("NameLabel")->width() >= fixture.Label("NameLabel")->sizeHint().width());

        QTest::keyClick(fixture.Tree(), Qt::Key_Escape);
        for (const char* name : {"NameLabel", "SizeLabel", "MimeTypeLabel", "CreatedLabel", "ModifiedLabel"})
            QVERIFY2(fixture.Label(name)->text().isEmpty(), name);
        QVERIFY(fixture.Label("BigImage")->pixmap().isNull());
    }

    void actionsFollowTheSelection_data() {
        QTest::addColumn<QString>("selected");  // a path; empty: nothing selected
        QTest::addColumn<bool>("download");
        QTest::addColumn<bool>("upload");  // Upload and New Folder alike
        QTest::addColumn<bool>("remove");
        QTest::newRow("nothing") << "" << false << true << false;
        QTest::newRow("file") << "Read me.txt" << true << true << true;
        QTest::newRow("folder") << "Documents" << false << true << true;
        QTest::newRow("placeholder") << "Photos/Loading..." << false << true << false;
    }

    void actionsFollowTheSelection() {
        QFETCH(QString, selected);
        QFETCH(bool, download);
        QFETCH(bool, upload);
        QFETCH(bool, remove);
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        if (!selected.isEmpty()) {
            QTreeWidgetItem* item = fixture.Item(selected);
            QVERIFY(item != nullptr);
            // A placeholder is selected without scrolling to it, which would expand and list its folder.
            if (item->type() == Nimbo::Demo::TMainForm::TTempItem::Type)
                item->setSelected(true);
            else
                fixture.Select(item);
        }
        QCOMPARE(fixture.Action("DownloadAction")->isEnabled(), download);
        QCOMPARE(fixture.Action("UploadAction")->isEnabled(), upload);
        QCOMPARE(fixture.Action("NewFolderAction")->isEnabled(), upload);
        QCOMPARE(fixture.Action("DeleteAction")->isEnabled(), remove);
        for (const char* name : {"RefreshAction", "OptionsAction", "GDriveAction", "BoxNetAction"})
            QVERIFY2(fixture.Action(name)->isEnabled(), name);
        if (selected.endsWith("Loading..."))  // a placeholder shows no details
            QVERIFY(fixture.Label("NameLabel")->text().isEmpty());
    }

    void escapeAndAClickOnEmptySpaceClearTheSelection() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        QTreeWidget* tree = fixture.Tree();
        QTreeWidgetItem* file = fixture.Item("Read me.txt");

        fixture.Select(file);
        tree->setFocus();
        QTest::keyClick(tree, Qt::Key_Escape);
        QVERIFY(tree->selectedItems().isEmpty());
        QVERIFY(fixture.Label("NameLabel")->text().isEmpty());
        QVERIFY(!fixture.Action("DeleteAction")->isEnabled());

        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualItemRect(file).center());
        QCOMPARE(tree->selectedItems(), QList<QTreeWidgetItem*>{file});
        QCOMPARE(fixture.Label("NameLabel")->text(), QString("Read me.txt"));

        QPoint empty(10, tree->viewport()->height() - 5);
        QVERIFY(tree->itemAt(empty) == nullptr);
        QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, empty);
        QVERIFY(tree->selectedItems().isEmpty());
        QVERIFY(fixture.Label("NameLabel")->text().isEmpty());
    }

    // Upload into a folder that was never listed, New Folder at the root, Download and Delete,
    // through the commands with their dialogs answered.
    void everyCommandOnEveryService_data() { AddServiceRows(); }

    void everyCommandOnEveryService() {
        QFETCH(QString, action);
        QFETCH(int, cloud);
        Cloud service = static_cast<Cloud>(cloud);
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));

        // Upload into "Projects", which has not been listed yet: it is listed first, and the new
        // file appears once, selected.
        QString local = fixture.TempPath("Report 2017.txt");
        WriteFile(local, "quarterly numbers\n");
        fixture.Select(fixture.Item("Projects"));
        {
            TModalScript script;
            script.ExpectFileDialog("OpenDialog", local);
            fixture.Action("UploadAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QTreeWidgetItem* projects = fixture.Item("Projects");
        QVERIFY(projects->isExpanded());
        QCOMPARE(Sorted(fixture.ChildNames(projects)), Sorted({"Cloudpane", "Report 2017.txt"}));
        QCOMPARE(fixture.Tree()->selectedItems().value(0), fixture.Item("Projects/Report 2017.txt"));
        auto uploaded = Sandbox().Emulator().Find(service, "Projects/Report 2017.txt");
        QVERIFY(uploaded.has_value());
        QCOMPARE(QString::fromStdString(uploaded->content), QString("quarterly numbers\n"));
        QTest::qWait(700);  // the lazy listing finds nothing left to list
        QCOMPARE(Sorted(fixture.ChildNames(projects)), Sorted({"Cloudpane", "Report 2017.txt"}));

        // New Folder with nothing selected: a top-level folder with its own placeholder.
        QTest::keyClick(fixture.Tree(), Qt::Key_Escape);
        {
            TModalScript script;
            script.ExpectFolderName("Archive");
            fixture.Action("NewFolderAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QTreeWidgetItem* archive = fixture.Item("Archive");
        QVERIFY(archive != nullptr);
        QCOMPARE(fixture.ChildNames(archive), QStringList{"Loading..."});
        QVERIFY(Sandbox().Emulator().Find(service, "Archive").value_or(Nimbo::Emulator::ItemInfo{}).isFolder);

        // Download: the file is written and shown in the file manager.
        fixture.Select(fixture.Item("Documents"));
        fixture.Item("Documents")->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        fixture.Select(fixture.Item("Documents/Welcome.txt"));
        QString target = fixture.TempPath("Welcome copy.txt");
        {
            TModalScript script;
            script.ExpectFileDialog("SaveDialog", target);
            fixture.Action("DownloadAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(ReadFile(target),
                 QString::fromStdString(Sandbox().Emulator().Find(service, "Documents/Welcome.txt")->content));
        // The file manager opens only when asked.
        QVERIFY(fixture.ShownFiles().isEmpty());
        auto* show = fixture.Form().findChild<QToolButton*>("ShowDownloadButton");
        QVERIFY(show->isVisible());
        QTest::mouseClick(show, Qt::LeftButton);
        QCOMPARE(fixture.ShownFiles(), QStringList{target});

        // Delete, once confirmed: gone from the service and from the tree, nothing selected.
        fixture.Select(fixture.Item("Documents/Welcome.txt"));
        {
            TModalScript script;
            script.ExpectDeleteConfirmation();
            fixture.Action("DeleteAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QVERIFY(!Sandbox().Emulator().Find(service, "Documents/Welcome.txt").has_value());
        QVERIFY(fixture.Item("Documents/Welcome.txt") == nullptr);
        QVERIFY(fixture.Label("NameLabel")->text().isEmpty());
    }

    // What a new user does on each of the seven services, in one go: sign in, list, upload,
    // download, rename, move, delete, sign out. Each step must leave the tree as the service has it.
    void aNewUsersRoundOnEveryService_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("cloud");
        QTest::addColumn<QString>("title");
        QTest::newRow("Google Drive") << "GDrive3Action" << int(Cloud::GoogleDrive) << "Google Drive";
        QTest::newRow("Dropbox") << "DropBox2Action" << int(Cloud::Dropbox) << "Dropbox";
        QTest::newRow("OneDrive") << "OneDriveGraphAction" << int(Cloud::LiveConnect) << "OneDrive";
        QTest::newRow("Box") << "BoxNetAction" << int(Cloud::Box) << "Box";
        QTest::newRow("Google Drive v2") << "GDriveAction" << int(Cloud::GoogleDrive) << "Google Drive";
        QTest::newRow("Dropbox v1") << "DropBoxAction" << int(Cloud::Dropbox) << "Dropbox";
        QTest::newRow("OneDrive Live") << "OneDriveAction" << int(Cloud::LiveConnect) << "OneDrive";
    }

    void aNewUsersRoundOnEveryService() {
        QFETCH(QString, action);
        QFETCH(int, cloud);
        QFETCH(QString, title);
        Cloud service = static_cast<Cloud>(cloud);
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));
        QCOMPARE(fixture.Form().windowTitle(), "Cloudpane - " + title + " - Sandbox User");
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(service, "")));
        auto result = [&fixture] { return fixture.Label("ResultStatus")->text(); };

        QString local = fixture.TempPath("Round trip.txt");
        WriteFile(local, "there and back again\n");
        QTest::keyClick(fixture.Tree(), Qt::Key_Escape);
        {
            TModalScript script;
            script.ExpectFileDialog("OpenDialog", local);
            fixture.Action("UploadAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(result(), QString("Uploaded \"Round trip.txt\""));
        QTreeWidgetItem* item = fixture.Item("Round trip.txt");
        QVERIFY(item != nullptr);
        QCOMPARE(item->text(1), QLocale().formattedDataSize(21, 1, QLocale::DataSizeTraditionalFormat));

        QString copy = fixture.TempPath("Copy.txt");
        fixture.Select(item);
        {
            TModalScript script;
            script.ExpectFileDialog("SaveDialog", copy);
            fixture.Action("DownloadAction")->trigger();
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(ReadFile(copy), QString("there and back again\n"));

        {
            TModalScript script;
            script.ExpectWindow("RenameDialog", [](QWidget* AWidget) {
                auto* dialog = qobject_cast<QInputDialog*>(AWidget);
                dialog->setTextValue("Renamed.txt");
                dialog->accept();
            });
            QTest::keyClick(fixture.Tree(), Qt::Key_F2);
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(fixture.Item("Renamed.txt"), item);
        QVERIFY(Sandbox().Emulator().Find(service, "Renamed.txt").has_value());
        QVERIFY(!Sandbox().Emulator().Find(service, "Round trip.txt").has_value());

        {
            TModalScript script;
            std::unique_ptr<QMimeData> dragged(DragData(fixture.Tree(), {item}));
            QVERIFY(Drop(fixture.Tree(), dragged.get(), fixture.Item("Documents")));
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QCOMPARE(result(), QString("Moved \"Renamed.txt\""));
        QCOMPARE(fixture.Item("Documents/Renamed.txt"), item);
        QCOMPARE(QString::fromStdString(Sandbox().Emulator().Find(service, "Documents/Renamed.txt")->content),
                 QString("there and back again\n"));
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(service, "")));
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Documents"))), Sorted(EmulatorChildren(service, "Documents")));

        fixture.Select(item);
        {
            TModalScript script;
            script.ExpectDeleteConfirmation();
            QTest::keyClick(fixture.Tree(), Qt::Key_Delete);
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
        }
        QVERIFY(!Sandbox().Emulator().Find(service, "Documents/Renamed.txt").has_value());
        QVERIFY(fixture.Item("Documents/Renamed.txt") == nullptr);

        fixture.Action("SignOutAction")->trigger();
        QVERIFY(!fixture.Form().Connected());
        QCOMPARE(fixture.Form().windowTitle(), QString("Cloudpane"));
        QCOMPARE(fixture.Tree()->topLevelItemCount(), 0);
        QCOMPARE(result(), "Signed out of " + title);
    }

    // A folder that was listed keeps working below it after it is renamed or moved: its files
    // download from where they are now.
    void theFilesOfARenamedOrMovedFolderStillDownload_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("cloud");
        QTest::addColumn<bool>("move");
        const std::pair<const char*, Cloud> services[] = {
            {"GDrive3Action", Cloud::GoogleDrive},       {"DropBox2Action", Cloud::Dropbox},
            {"OneDriveGraphAction", Cloud::LiveConnect}, {"BoxNetAction", Cloud::Box},
            {"GDriveAction", Cloud::GoogleDrive},        {"DropBoxAction", Cloud::Dropbox},
            {"OneDriveAction", Cloud::LiveConnect}};
        for (auto [action, cloud] : services)
            for (bool move : {false, true})
                QTest::newRow(qPrintable(QString(action) + (move ? ", moved" : ", renamed")))
                    << QString(action) << int(cloud) << move;
    }

    void theFilesOfARenamedOrMovedFolderStillDownload() {
        QFETCH(QString, action);
        QFETCH(int, cloud);
        QFETCH(bool, move);
        Cloud service = static_cast<Cloud>(cloud);
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));
        QTreeWidgetItem* documents = fixture.Item("Documents");
        documents->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        QString path;
        if (move) {
            std::unique_ptr<QMimeData> dragged(DragData(fixture.Tree(), {documents}));
            QVERIFY(Drop(fixture.Tree(), dragged.get(), fixture.Item("Photos")));
            path = "Photos/Documents";
        } else {
            fixture.Select(documents);
            TModalScript script;
            script.ExpectWindow("RenameDialog", [](QWidget* AWidget) {
                auto* dialog = qobject_cast<QInputDialog*>(AWidget);
                dialog->setTextValue("Papers");
                dialog->accept();
            });
            QTest::keyClick(fixture.Tree(), Qt::Key_F2);
            QVERIFY2(script.Finished(), qPrintable(script.Report()));
            path = "Papers";
        }
        QVERIFY(Sandbox().Emulator().Find(service, (path + "/Welcome.txt").toStdString()).has_value());
        fixture.Item(path)->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item(path + "/Welcome.txt") != nullptr, 2000);
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item(path))), Sorted(EmulatorChildren(service, path.toStdString())));
        fixture.Select(fixture.Item(path + "/Welcome.txt"));
        QString copy = fixture.TempPath("Welcome copy.txt");
        TModalScript script;
        script.ExpectFileDialog("SaveDialog", copy);
        fixture.Action("DownloadAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(
            ReadFile(copy),
            QString::fromStdString(Sandbox().Emulator().Find(service, (path + "/Welcome.txt").toStdString())->content));
    }

    void newFolderWithoutANameCreatesNothing() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        QStringList before = EmulatorChildren(Cloud::GoogleDrive, "");
        TModalScript script;
        script.ExpectFolderName("").ExpectError("cannot be empty").ExpectFolderName("Kept out", false);
        fixture.Action("NewFolderAction")->trigger();
        fixture.Action("NewFolderAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(EmulatorChildren(Cloud::GoogleDrive, ""), before);
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(before));
    }

    void aFailedCommandIsShownAndTheProgramGoesOn() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        fixture.Select(fixture.Item("Read me.txt"));
        Nimbo::Emulator::Fault failure;
        failure.status = 500;
        failure.body = R"({"error": "Try again"})";
        Sandbox().Emulator().InjectFault(
            {.host = "api.dropbox.com", .method = "POST", .pathPrefix = "/1/fileops/delete"}, failure);
        TModalScript script;
        script.ExpectDeleteConfirmation().ExpectError("Try again");
        fixture.Action("DeleteAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(fixture.Item("Read me.txt") != nullptr);
        QVERIFY(fixture.Form().Connected());
    }
};

GUI_TEST_CLASS(MainFormTest);

#include "MainFormTest.moc"
