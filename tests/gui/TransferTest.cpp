// Transfers that take long show their progress and can be cancelled: a cancelled download leaves an
// existing local file as it was and nothing else behind; a cancelled upload changes nothing.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTest>
#include <optional>

#include "GuiTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace GuiTest;
using namespace Nimbo::Connection;

namespace {

// Answers for the service so slowly that the progress dialog appears.
void DelayAnswers(const std::string& AHost, const std::string& AMethod) {
    Nimbo::Emulator::Fault slow;
    slow.delay = std::chrono::milliseconds(4000);
    Sandbox().Emulator().InjectFault({.host = AHost, .method = AMethod, .pathPrefix = ""}, slow);
}

// The progress dialog of a transfer: checks its caption and presses Cancel.
void CancelTransfer(TModalScript& AScript, const QString& ACaption) {
    AScript.Expect(
        "progress of \"" + ACaption + "\"",
        [](QWidget* AWidget) { return qobject_cast<QProgressDialog*>(AWidget) != nullptr; },
        [ACaption](QWidget* AWidget) {
            auto* dialog = qobject_cast<QProgressDialog*>(AWidget);
            QCOMPARE(dialog->windowTitle(), ACaption);
            QVERIFY2(dialog->labelText().contains("bytes"), qPrintable(dialog->labelText()));
            QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
        });
}

// Measures how long the interface thread takes to answer a timer that asks every 10 ms.
class TPing {
public:
    TPing() {
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            qint64 gap = FSince.restart();
            FLongest = std::max(FLongest, gap);
            if (gap >= 100) ++FSlow;
            ++FTicks;
        });
        FSince.start();
        FTimer.start(10);
    }
    qint64 Longest() const { return FLongest; }
    int Ticks() const { return FTicks; }
    // The answers that took 100 ms or more.
    int Slow() const { return FSlow; }

private:
    QTimer FTimer;
    QElapsedTimer FSince;
    qint64 FLongest = 0;
    int FTicks = 0;
    int FSlow = 0;
};

QByteArray ReadFile(const QString& APath) {
    QFile file(APath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

}  // namespace

class TransferTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        Sandbox().Reset();
        Sandbox().Emulator().ClearFaults();
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
        PreferSignInWindow(TAuthUIClass::Of<TNimboHeadlessAuth>());
    }

    void cleanup() { Sandbox().Emulator().ClearFaults(); }

    void aCancelledDownloadLeavesTheExistingFileUntouched() {
        TFormFixture fixture;
        fixture.Connect("DropBoxAction");
        QDir folder(fixture.TempPath("downloads"));
        QVERIFY(folder.mkpath("."));
        QString target = folder.filePath("Read me.txt");
        {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("my own notes, not the cloud's\n");
        }
        fixture.Select(fixture.Item("Read me.txt"));
        DelayAnswers("api-content.dropbox.com", "GET");

        TModalScript script;
        script.ExpectFileDialog("SaveDialog", target)
            .Expect(
                "the question whether to replace the file",
                [](QWidget* AWidget) {
                    auto* box = qobject_cast<QMessageBox*>(AWidget);
                    return box != nullptr && box->text().contains("already exists");
                },
                [](QWidget* AWidget) { qobject_cast<QMessageBox*>(AWidget)->button(QMessageBox::Yes)->click(); });
        CancelTransfer(script, "Downloading Read me.txt");
        fixture.Action("DownloadAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));

        QCOMPARE(ReadFile(target), QByteArray("my own notes, not the cloud's\n"));
        QCOMPARE(folder.entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{"Read me.txt"});
        QVERIFY(fixture.ShownFiles().isEmpty());
        QVERIFY(fixture.Form().Connected());
    }

    void theWindowAnswersWhileALargeUploadRuns() {
        TFormFixture fixture;
        fixture.Connect("GDriveAction");
        QString local = fixture.TempPath("Large.bin");
        constexpr qint64 Size = 200 * 1024 * 1024;
        {
            QFile file(local);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray block(1024 * 1024, 'x');
            for (qint64 done = 0; done < Size; done += block.size()) {
                block[0] = static_cast<char>(done / block.size());
                QCOMPARE(file.write(block), qint64(block.size()));
            }
        }

        // Measured from the moment the progress shows (the upload runs) until the command ends. A
        // window that waits for the network misses the timer for seconds; on a busy machine the
        // scheduler alone may hold a ping back now and then, which the 2% allow for.
        std::optional<TPing> ping;
        TModalScript script;
        script.ExpectFileDialog("OpenDialog", local)
            .Expect(
                "the progress of the upload, left to run",
                [](QWidget* AWidget) { return qobject_cast<QProgressDialog*>(AWidget) != nullptr; },
                [&ping](QWidget*) { ping.emplace(); });
        fixture.Action("UploadAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QVERIFY(ping.has_value());
        QVERIFY(ping->Ticks() > 20);
        QString report = QString("%1 of %2 answers took 100 ms or more, the longest %3 ms")
                             .arg(ping->Slow())
                             .arg(ping->Ticks())
                             .arg(ping->Longest());
        QVERIFY2(ping->Slow() * 50 <= ping->Ticks(), qPrintable(report));
        QVERIFY2(ping->Longest() < 1000, qPrintable(report));
        auto uploaded = Sandbox().Emulator().Find(Cloud::GoogleDrive, "Large.bin");
        QVERIFY(uploaded.has_value());
        QCOMPARE(qint64(uploaded->content.size()), Size);
        QVERIFY(fixture.Item("Large.bin") != nullptr);
    }

    void aCancelledUploadChangesNothingInTheTree() {
        TFormFixture fixture;
        fixture.Connect("BoxNetAction");
        QStringList before = fixture.ChildNames(nullptr);
        QString local = fixture.TempPath("Slow upload.txt");
        {
            QFile file(local);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("some bytes\n");
        }
        DelayAnswers("upload.box.com", "POST");

        TModalScript script;
        script.ExpectFileDialog("OpenDialog", local);
        CancelTransfer(script, "Uploading Slow upload.txt");
        fixture.Action("UploadAction")->trigger();
        QVERIFY2(script.Finished(), qPrintable(script.Report()));
        QCOMPARE(fixture.ChildNames(nullptr), before);
        QVERIFY(fixture.Tree()->selectedItems().isEmpty());
    }
};

GUI_TEST_CLASS(TransferTest);

#include "TransferTest.moc"
