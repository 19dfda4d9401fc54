#include <gmock/gmock.h>

#include <QElapsedTimer>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <sstream>

#include "GuiAuthTestSupport.h"
#include "Nimbo/Connection/Http.h"
#include "TransferProgress.h"

using namespace Nimbo::Connection;
using namespace GuiAuthTest;
using namespace std::chrono_literals;
using Nimbo::Emulator::Cloud;

namespace {

// Presses Cancel on every progress dialog as soon as it has appeared.
class TCancelPresser : public QObject {
public:
    TCancelPresser() { qApp->installEventFilter(this); }
    ~TCancelPresser() override { qApp->removeEventFilter(this); }
    int Pressed = 0;

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override {
        auto* dialog = qobject_cast<QProgressDialog*>(AWatched);
        if (dialog && AEvent->type() == QEvent::Show && !AEvent->spontaneous())
            QMetaObject::invokeMethod(
                dialog,
                [this, dialog] {
                    ++Pressed;
                    QTest::mouseClick(dialog->findChild<QPushButton*>(), Qt::LeftButton);
                },
                Qt::QueuedConnection);
        return false;
    }
};

class TransferProgress : public testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
};

}  // namespace

TEST_F(TransferProgress, AppearsOnlyOnceTheTransferHasLastedAWhile) {
    TTransferProgress quick(nullptr, "Downloading a.bin", {.Direction = tdDownload, .ShowAfter = 1h});
    for (int i = 1; i <= 100; ++i) EXPECT_TRUE(quick.Update({.DownloadDone = i, .DownloadTotal = 100}));
    EXPECT_EQ(quick.Dialog(), nullptr);
}

TEST_F(TransferProgress, ShowsBytesDoneAndTotalOfItsDirection) {
    TTransferProgress progress(nullptr, "Uploading a.bin", {.Direction = tdUpload, .ShowAfter = 0ms});
    EXPECT_TRUE(progress.Update({.UploadDone = 512, .UploadTotal = 2048, .DownloadDone = 7, .DownloadTotal = 9}));
    QProgressDialog* dialog = progress.Dialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::ApplicationModal);
    EXPECT_EQ(dialog->labelText(), "Uploading a.bin\n512 of 2,048 bytes");
    EXPECT_EQ(dialog->value() * 4, dialog->maximum());

    QTest::qWait(50);  // the dialog refreshes a few times a second, not on every report
    EXPECT_TRUE(progress.Update({.UploadDone = 1536, .UploadTotal = 0}));
    EXPECT_EQ(dialog->labelText(), "Uploading a.bin\n1,536 bytes");
    EXPECT_EQ(dialog->maximum(), 0) << "an unknown total shows a busy bar";
}

TEST_F(TransferProgress, CancelEndsTheDownloadAtOnceWithTheSilentAbort) {
    Emulator().ResetAll();
    Emulator().RegisterClient(Cloud::GoogleDrive, "progress-client", "progress-secret");
    const std::string token = Emulator().IssueTokens(Cloud::GoogleDrive, "progress-client").accessToken;
    const std::string id = Emulator().AddFile(Cloud::GoogleDrive, "slow.bin", std::string(64 * 1024, 'x'));
    const std::string downloadHost = "doc-0s-00-docs.googleusercontent.com";
    constexpr auto ServerDelay = 8s;
    Nimbo::Emulator::Route downloads;
    downloads.host = downloadHost;
    Nimbo::Emulator::Fault slowAnswer;
    slowAnswer.delay = ServerDelay;
    Emulator().InjectFault(downloads, slowAnswer);

    // A window with a timer, like the main window's listing timer: it must not tick inside the transfer.
    QWidget mainWindow;
    QTimer listingTimer(&mainWindow);
    int ticks = 0;
    QObject::connect(&listingTimer, &QTimer::timeout, [&] { ++ticks; });
    listingTimer.start(10);

    TCancelPresser user;
    std::ostringstream file;
    QElapsedTimer clock;
    clock.start();
    {
        TTransferProgress progress(&mainWindow, "Downloading slow.bin");
        THttpClient http(downloadHost);
        EXPECT_THROW(http.Get("/docs/securesc/emulator/" + id + "?e=download&gd=true")
                         .Header("Authorization", "Bearer " + token)
                         .Execute(file),
                     EAbort);
    }
    EXPECT_LT(clock.elapsed(), std::chrono::milliseconds(ServerDelay).count()) << "the exchange waited for the server";
    EXPECT_EQ(user.Pressed, 1);
    EXPECT_TRUE(file.str().empty());
    EXPECT_EQ(ticks, 0) << "another window's timer ran inside the transfer";
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 0; })) << "the timer stayed blocked after the transfer";
    Emulator().ClearFaults();
}
