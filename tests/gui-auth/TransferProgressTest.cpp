#include <gmock/gmock.h>

#include <QElapsedTimer>
#include <QLocale>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "GuiAuthTestSupport.h"
#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/LocalFile.h"
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

TEST_F(TransferProgress, CancelledDownloadEndsAtOnceAndLeavesTheLocalFileAsItWas) {
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

    for (const std::optional<std::string>& existing :
         {std::optional<std::string>("the user's own bytes"), std::optional<std::string>()}) {
        const std::string name = existing ? "over an existing file" : "to a new file";
        const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) / "transfer-progress";
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        const std::filesystem::path target = folder / "slow.bin";
        if (existing) std::ofstream(target, std::ios::binary) << *existing;
        Emulator().InjectFault(downloads, slowAnswer);

        // A window with a timer, like the main window's listing timer: it must not tick inside the transfer.
        QWidget mainWindow;
        QTimer listingTimer(&mainWindow);
        int ticks = 0;
        QObject::connect(&listingTimer, &QTimer::timeout, [&] { ++ticks; });
        listingTimer.start(10);

        TCancelPresser user;
        QElapsedTimer clock;
        clock.start();
        {
            TTransferProgress progress(&mainWindow, "Downloading slow.bin");
            THttpClient http(downloadHost);
            EXPECT_THROW(ReplaceLocalFile(target.string(),
                                          [&](std::ostream& AFile) {
                                              http.Get("/docs/securesc/emulator/" + id + "?e=download&gd=true")
                                                  .Header("Authorization", "Bearer " + token)
                                                  .Execute(AFile);
                                          }),
                         EAbort)
                << name;
        }
        EXPECT_LT(clock.elapsed(), std::chrono::milliseconds(ServerDelay).count())
            << name << ": the exchange waited for the server";
        EXPECT_EQ(user.Pressed, 1) << name;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, existing ? std::vector<std::string>{"slow.bin"} : std::vector<std::string>{}) << name;
        if (existing) {
            std::ifstream in(target, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), *existing) << name;
        }
        EXPECT_EQ(ticks, 0) << name << ": another window's timer ran inside the transfer";
        EXPECT_TRUE(QTest::qWaitFor([&] { return ticks > 0; }))
            << name << ": the timer stayed blocked after the transfer";
        Emulator().ClearFaults();
    }
}

TEST_F(TransferProgress, CancelledUploadChangesNothing) {
    Emulator().ResetAll();
    Emulator().RegisterClient(Cloud::Dropbox, "progress-client", "progress-secret");
    const std::string token = Emulator().IssueTokens(Cloud::Dropbox, "progress-client").accessToken;
    const std::string content(8 * 1024 * 1024, 'u');
    THttpClient http("api-content.dropbox.com");
    const auto upload = [&] {
        http.Put("/1/files_put/dropbox/upload.bin")
            .Header("Authorization", "Bearer " + token)
            .Data(content.data(), static_cast<int>(content.size()))
            .Execute();
    };
    {
        TCancelPresser user;
        TTransferProgress progress(nullptr, "Uploading upload.bin", {.Direction = tdUpload, .ShowAfter = 0ms});
        EXPECT_THROW(upload(), EAbort);
        EXPECT_EQ(user.Pressed, 1);
    }
    EXPECT_FALSE(Emulator().Find(Cloud::Dropbox, "upload.bin"));

    upload();  // the same request, not cancelled, does store the file
    EXPECT_TRUE(Emulator().Find(Cloud::Dropbox, "upload.bin"));
}
