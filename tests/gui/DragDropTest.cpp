// Dragging inside the tree moves items on the service (with the clash question where the name is
// taken); files dropped from the desktop are uploaded; several items are deleted at once. The drops
// are made of the tree's own drag data, delivered to the tree as its drop events.

#include <memory>

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QMessageBox>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "GuiTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace GuiTest;
using namespace Nimbo::Connection;

namespace {

QStringList Sorted(QStringList AList) {
    AList.sort();
    return AList;
}

void AnswerClash(TModalScript& AScript, const QString& AAnswer) {
    AScript.ExpectWindow("ClashQuestion", [AAnswer](QWidget* AWidget) {
        for (QAbstractButton* button : qobject_cast<QMessageBox*>(AWidget)->buttons())
            if (button->text() == AAnswer) return button->click();
        QFAIL(qPrintable("no button " + AAnswer));
    });
}

// Box refuses AMethod on the file AId (its next few times), as it does without permission.
void RefuseOnBox(const std::string& AMethod, const std::string& AId) {
    Nimbo::Emulator::Fault refused;
    refused.status = 403;
    refused.body =
        R"({"type":"error","status":403,"code":"access_denied_insufficient_permissions","message":"Access denied - insufficient permission"})";
    Sandbox().Emulator().InjectFault({.host = "api.box.com", .method = AMethod, .pathPrefix = "/2.0/files/" + AId},
                                     refused, 5);
}

}  // namespace

class DragDropTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Sandbox().Reset();
        Sandbox().Emulator().ClearFaults();
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
    }

    void draggingAFileOntoAFolderMovesIt_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("cloud");
        QTest::newRow("Google Drive") << "GDrive3Action" << int(Cloud::GoogleDrive);
        QTest::newRow("Dropbox") << "DropBox2Action" << int(Cloud::Dropbox);
        QTest::newRow("OneDrive") << "OneDriveGraphAction" << int(Cloud::LiveConnect);
        QTest::newRow("Box") << "BoxNetAction" << int(Cloud::Box);
    }

    void draggingAFileOntoAFolderMovesIt() {
        QFETCH(QString, action);
        QFETCH(int, cloud);
        Cloud service = static_cast<Cloud>(cloud);
        TFormFixture fixture;
        fixture.Connect(qPrintable(action));
        QTreeWidgetItem* file = fixture.Item("Read me.txt");
        fixture.Select(file);

        // Onto a file inside the folder: it goes into that file's folder.
        fixture.Item("Documents")->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        QVERIFY(Drop(fixture.Tree(), DragData(fixture.Tree(), {file}), fixture.Item("Documents/Welcome.txt")));

        QVERIFY(!Sandbox().Emulator().Find(service, "Read me.txt").has_value());
        QVERIFY(Sandbox().Emulator().Find(service, "Documents/Read me.txt").has_value());
        QCOMPARE(fixture.Item("Documents/Read me.txt"), file);
        QVERIFY(fixture.Item("Read me.txt") == nullptr);
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Documents"))), Sorted(EmulatorChildren(service, "Documents")));

        // And back to the top level by a drop on empty space.
        QVERIFY(Drop(fixture.Tree(), DragData(fixture.Tree(), {file}), nullptr));
        QVERIFY(Sandbox().Emulator().Find(service, "Read me.txt").has_value());
        QCOMPARE(fixture.Item("Read me.txt"), file);
    }

    void aMoveOntoATakenNameAsksFirst_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("documents");
        QTest::addColumn<bool>("leftAtTheTop");
        QTest::newRow("Replace") << "Replace" << QStringList{"Budget 2017.csv", "Welcome.txt"} << false;
        QTest::newRow("Keep both") << "Keep both" << QStringList{"Budget 2017.csv", "Welcome (2).txt", "Welcome.txt"}
                                   << false;
        QTest::newRow("Cancel") << "Cancel" << QStringList{"Budget 2017.csv", "Welcome.txt"} << true;
    }

    void aMoveOntoATakenNameAsksFirst() {
        QFETCH(QString, answer);
        QFETCH(QStringList, documents);
        QFETCH(bool, leftAtTheTop);
        Sandbox().Emulator().AddFile(Cloud::Dropbox, "Welcome.txt", "the one at the top\n");
        TFormFixture fixture;
        fixture.Connect("DropBox2Action");
        TModalScript script;
        AnswerClash(script, answer);
        QVERIFY(
            Drop(fixture.Tree(), DragData(fixture.Tree(), {fixture.Item("Welcome.txt")}), fixture.Item("Documents")));
        QVERIFY2(script.Finished(), qPrintable(script.Report()));

        QCOMPARE(Sorted(EmulatorChildren(Cloud::Dropbox, "Documents")), documents);
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Documents"))), documents);
        QCOMPARE(Sandbox().Emulator().Find(Cloud::Dropbox, "Welcome.txt").has_value(), leftAtTheTop);
        QCOMPARE(fixture.Item("Welcome.txt") != nullptr, leftAtTheTop);
        if (answer == "Replace")
            QCOMPARE(
                QString::fromStdString(Sandbox().Emulator().Find(Cloud::Dropbox, "Documents/Welcome.txt")->content),
                QString("the one at the top\n"));
    }

    // A file dragged together with the open folder that holds it goes along inside that folder.
    void aFileDraggedWithItsFolderStaysInIt() {
        TFormFixture fixture;
        fixture.Connect("DropBox2Action");
        QTreeWidgetItem* documents = fixture.Item("Documents");
        documents->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        std::unique_ptr<QMimeData> dragged(
            DragData(fixture.Tree(), {documents, fixture.Item("Documents/Welcome.txt")}));
        QVERIFY(Drop(fixture.Tree(), dragged.get(), fixture.Item("Photos")));
        QVERIFY(Sandbox().Emulator().Find(Cloud::Dropbox, "Photos/Documents/Welcome.txt").has_value());
        QVERIFY(!Sandbox().Emulator().Find(Cloud::Dropbox, "Photos/Welcome.txt").has_value());
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Moved \"Documents\""));
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Photos"))),
                 Sorted(EmulatorChildren(Cloud::Dropbox, "Photos")));
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Photos/Documents"))),
                 Sorted(EmulatorChildren(Cloud::Dropbox, "Photos/Documents")));
    }

    // Replace removes the item in the way first; when the move then fails, the tree shows both as
    // the service has them: the replaced item gone, the dragged one where it was.
    void aReplaceWhoseMoveFailsLeavesTheTreeAsTheServiceHasIt() {
        Sandbox().Emulator().AddFile(Cloud::Dropbox, "Welcome.txt", "the one at the top\n");
        TFormFixture fixture;
        fixture.Connect("DropBox2Action");
        fixture.Item("Documents")->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Documents/Welcome.txt") != nullptr, 2000);
        Nimbo::Emulator::Fault unavailable;
        unavailable.status = 503;
        Sandbox().Emulator().InjectFault(
            {.host = "api.dropboxapi.com", .method = "POST", .pathPrefix = "/2/files/move_v2"}, unavailable, 10);
        TModalScript script;
        AnswerClash(script, "Replace");
        script.ExpectError("unavailable");
        std::unique_ptr<QMimeData> dragged(DragData(fixture.Tree(), {fixture.Item("Welcome.txt")}));
        QVERIFY(Drop(fixture.Tree(), dragged.get(), fixture.Item("Documents")));
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(!Sandbox().Emulator().Find(Cloud::Dropbox, "Documents/Welcome.txt").has_value());
        QVERIFY(fixture.Item("Documents/Welcome.txt") == nullptr);
        QVERIFY(fixture.Item("Welcome.txt") != nullptr);
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::Dropbox, "")));
    }

    void aFolderCannotBeDroppedIntoItself() {
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        QTreeWidgetItem* projects = fixture.Item("Projects");
        projects->setExpanded(true);
        QTRY_VERIFY_WITH_TIMEOUT(fixture.Item("Projects/Cloudpane") != nullptr, 2000);
        TModalScript script;
        script.ExpectError("cannot be moved into itself");
        QVERIFY(Drop(fixture.Tree(), DragData(fixture.Tree(), {projects}), fixture.Item("Projects/Cloudpane")));
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(Sandbox().Emulator().Find(Cloud::Box, "Projects/Cloudpane").has_value());
    }

    void filesDroppedFromTheDesktopAreUploaded() {
        TFormFixture fixture;
        fixture.Connect("GDrive3Action");
        QList<QUrl> urls;
        for (QString name : {"one.txt", "two.txt"}) {
            QFile file(fixture.TempPath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(name.toUtf8());
            urls << QUrl::fromLocalFile(file.fileName());
        }
        auto* data = new QMimeData;
        data->setUrls(urls);
        QVERIFY(Drop(fixture.Tree(), data, fixture.Item("Photos")));
        QCOMPARE(QString::fromStdString(Sandbox().Emulator().Find(Cloud::GoogleDrive, "Photos/one.txt")->content),
                 QString("one.txt"));
        QCOMPARE(QString::fromStdString(Sandbox().Emulator().Find(Cloud::GoogleDrive, "Photos/two.txt")->content),
                 QString("two.txt"));
        QVERIFY(fixture.Item("Photos/one.txt") != nullptr && fixture.Item("Photos/two.txt") != nullptr);
        delete data;
    }

    // Three files where the middle one fails: the other two are uploaded, one message says why the
    // middle one was not, and the status bar counts what was.
    void aFileThatFailsAmongSeveralLeavesTheOthersUploaded_data() {
        QTest::addColumn<QString>("middle");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("reason");
        QTest::newRow("name clash answered Skip") << "Welcome.txt"
                                                  << "clash"
                                                  << "Welcome.txt: skipped, the name is in use.";
        QTest::newRow("name the service refuses") << "back\\slash.txt"
                                                  << "name"
                                                  << "back\\slash.txt: The name \"back\\slash.txt\" cannot be used";
        QTest::newRow("service error") << "middle.txt"
                                       << "service"
                                       << "middle.txt: Account storage limit reached";
    }

    void aFileThatFailsAmongSeveralLeavesTheOthersUploaded() {
        QFETCH(QString, middle);
        QFETCH(QString, failure);
        QFETCH(QString, reason);
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        QList<QUrl> urls;
        for (const QString& name : {QString("first.txt"), middle, QString("last.txt")}) {
            QFile file(fixture.TempPath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(name.toUtf8());
            urls << QUrl::fromLocalFile(file.fileName());
        }
        QMimeData data;
        data.setUrls(urls);
        // The service fails the upload that follows the first one's arrival in the tree.
        QMetaObject::Connection inject;
        if (failure == "service")
            inject = connect(fixture.Tree()->model(), &QAbstractItemModel::rowsInserted, this, [&fixture, &inject] {
                if (fixture.Item("Documents/first.txt") == nullptr) return;
                Nimbo::Emulator::Fault full;
                full.status = 403;
                full.body =
                    R"({"type":"error","status":403,"code":"storage_limit_exceeded","message":"Account storage limit reached"})";
                Sandbox().Emulator().InjectFault({.host = "upload.box.com", .method = "", .pathPrefix = ""}, full);
                disconnect(inject);
            });
        TModalScript script;
        if (failure == "clash") AnswerClash(script, "Skip");
        QString report;
        script.ExpectWindow("UploadReport", [&report](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            report = box->text() + "\n" + box->informativeText();
            box->accept();
        });
        QVERIFY(Drop(fixture.Tree(), &data, fixture.Item("Documents")));
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        disconnect(inject);

        QVERIFY2(report.startsWith("1 file was not uploaded:\n"), qPrintable(report));
        QVERIFY2(report.contains(reason), qPrintable(report));
        QVERIFY2(!report.contains("first.txt") && !report.contains("last.txt"), qPrintable(report));
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Uploaded 2 of 3 files"));
        for (const char* name : {"first.txt", "last.txt"}) {
            auto uploaded = Sandbox().Emulator().Find(Cloud::Box, std::string("Documents/") + name);
            QVERIFY2(uploaded.has_value(), name);
            QCOMPARE(QString::fromStdString(uploaded->content), QString(name));
            QVERIFY(fixture.Item(QString("Documents/") + name) != nullptr);
        }
        if (failure != "clash") QVERIFY(!Sandbox().Emulator().Find(Cloud::Box, "Documents/" + middle.toStdString()));
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Documents"))),
                 Sorted(EmulatorChildren(Cloud::Box, "Documents")));
    }

    // Three items dragged together where the middle one fails: the other two move, one message says
    // why the middle one did not, the status bar counts what moved, and the tree matches the service.
    void anItemThatFailsAmongSeveralLeavesTheOthersMoved_data() {
        QTest::addColumn<QString>("middle");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("reason");
        QTest::newRow("name clash answered Skip") << "Welcome.txt"
                                                  << "clash"
                                                  << "Welcome.txt: skipped, the name is in use.";
        QTest::newRow("folder into itself") << "Documents"
                                            << "itself"
                                            << "Documents: \"Documents\" cannot be moved into itself.";
        QTest::newRow("service refusal") << "middle.txt"
                                         << "service"
                                         << "middle.txt: Access denied - insufficient permission";
    }

    void anItemThatFailsAmongSeveralLeavesTheOthersMoved() {
        QFETCH(QString, middle);
        QFETCH(QString, failure);
        QFETCH(QString, reason);
        Sandbox().Emulator().AddFile(Cloud::Box, "first.txt", "first\n");
        Sandbox().Emulator().AddFile(Cloud::Box, "last.txt", "last\n");
        if (failure == "clash") Sandbox().Emulator().AddFile(Cloud::Box, "Welcome.txt", "the one at the top\n");
        if (failure == "service") {
            RefuseOnBox("PUT", Sandbox().Emulator().AddFile(Cloud::Box, "middle.txt", "middle\n"));
        }
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        QList<QTreeWidgetItem*> dragged{fixture.Item("first.txt"), fixture.Item(middle), fixture.Item("last.txt")};
        QVERIFY(!dragged.contains(nullptr));
        TModalScript script;
        if (failure == "clash") AnswerClash(script, "Skip");
        QString report;
        script.ExpectWindow("MoveReport", [&report](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            report = box->text() + "\n" + box->informativeText();
            box->accept();
        });
        QVERIFY(Drop(fixture.Tree(), DragData(fixture.Tree(), dragged), fixture.Item("Documents")));
        QVERIFY2(script.Finished(), qPrintable(script.Report()));

        QVERIFY2(report.startsWith("1 item was not moved:\n"), qPrintable(report));
        QVERIFY2(report.contains(reason), qPrintable(report));
        QVERIFY2(!report.contains("first.txt") && !report.contains("last.txt"), qPrintable(report));
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Moved 2 of 3 items"));
        for (const char* name : {"first.txt", "last.txt"}) {
            QVERIFY2(Sandbox().Emulator().Find(Cloud::Box, std::string("Documents/") + name).has_value(), name);
            QVERIFY2(!Sandbox().Emulator().Find(Cloud::Box, name).has_value(), name);
        }
        QVERIFY(Sandbox().Emulator().Find(Cloud::Box, middle.toStdString()).has_value());
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::Box, "")));
        QCOMPARE(Sorted(fixture.ChildNames(fixture.Item("Documents"))),
                 Sorted(EmulatorChildren(Cloud::Box, "Documents")));
    }

    void severalItemsAreDeletedAfterOneQuestion() {
        TFormFixture fixture;
        fixture.Connect("OneDriveGraphAction");
        fixture.Select(fixture.Item("Read me.txt"));
        fixture.Item("Photos")->setSelected(true);
        QVERIFY(fixture.Action("DeleteAction")->isEnabled());
        QVERIFY(!fixture.Action("DownloadAction")->isEnabled());  // a folder is among them
        TModalScript script;
        script.ExpectDeleteConfirmation(true);
        fixture.Action("DeleteAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(script.Questions().value(0).startsWith("Delete these 2 items?"));
        QVERIFY(!Sandbox().Emulator().Find(Cloud::LiveConnect, "Read me.txt").has_value());
        QVERIFY(!Sandbox().Emulator().Find(Cloud::LiveConnect, "Photos").has_value());
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::LiveConnect, "")));
    }

    // Three items deleted together where the service refuses the middle one: the other two go, one
    // message names the one left and why, and the tree keeps just that one.
    void aDeleteRefusedAmongSeveralLeavesTheOthersDeleted() {
        for (const char* name : {"first.txt", "last.txt"}) Sandbox().Emulator().AddFile(Cloud::Box, name, "bytes\n");
        RefuseOnBox("DELETE", Sandbox().Emulator().AddFile(Cloud::Box, "middle.txt", "middle\n"));
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        fixture.Select(fixture.Item("first.txt"));
        for (const char* name : {"middle.txt", "last.txt"}) fixture.Item(name)->setSelected(true);
        TModalScript script;
        script.ExpectDeleteConfirmation(true);
        QString report;
        script.ExpectWindow("DeleteReport", [&report](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            report = box->text() + "\n" + box->informativeText();
            box->accept();
        });
        fixture.Action("DeleteAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));

        QCOMPARE(report, QString("1 item was not deleted:\nmiddle.txt: Access denied - insufficient permission."));
        QCOMPARE(fixture.Label("ResultStatus")->text(), QString("Deleted 2 of 3 items"));
        QVERIFY(Sandbox().Emulator().Find(Cloud::Box, "middle.txt").has_value());
        for (const char* name : {"first.txt", "last.txt"})
            QVERIFY2(!Sandbox().Emulator().Find(Cloud::Box, name).has_value(), name);
        QCOMPARE(Sorted(fixture.ChildNames(nullptr)), Sorted(EmulatorChildren(Cloud::Box, "")));
    }
};

GUI_TEST_CLASS(DragDropTest);

#include "DragDropTest.moc"
