#include "OptionsUnit.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include <QAction>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>

#include "BrowserSignIn.h"
#include "ErrorDisplay.h"
#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/OneDriveGraph.h"
#include "SettingsStore.h"
#include "TokenStore.h"
#include "ui_OptionsUnit.h"

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

const QString ClientIdSuffix = "ClientId";
const QString SecretSuffix = "Secret";
const QString StateSuffix = "State";
const QString WindowGeometryName = "WindowGeometry";
const QString LastServiceName = "LastService";
const QString ColumnsName = "TreeColumns";

std::string ToStd(const QString& AText) { return AText.toUtf8().toStdString(); }
QString FromStd(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

}  // namespace

TOptions::TOptions(const TOptionsServices& AServices, const QString& ACurrent, QWidget* AParent)
    : QDialog(AParent), ui(std::make_unique<Ui::TOptions>()), FCurrent(ACurrent) {
    ui->setupUi(this);
#ifdef Q_OS_WIN
    ui->Label3->setText("Note: Options will be stored in the system registry.");
#else
    ui->Label3->setText("Note: Options will be stored in a settings file only you can read.");
#endif
    FPages.reserve(AServices.size());
    for (const TOptionsService& service : AServices) AddPage(service);
    // Wide enough for every tab's name where the screen allows: no service hides behind a scroll button.
    QScreen* screen = AParent != nullptr ? AParent->screen() : QGuiApplication::primaryScreen();
    int wanted = ui->ServiceTabs->tabBar()->sizeHint().width() + 2 * ui->ContentLayout->contentsMargins().left() + 8;
    if (screen != nullptr) wanted = std::min(wanted, screen->availableGeometry().width() - 40);
    resize(std::max(width(), wanted), minimumHeight());
    for (const TPage& page : FPages)
        if (page.Service.Prefix == ACurrent) {
            ui->ServiceTabs->setCurrentWidget(page.Tab);
            page.ClientId->setFocus();
        }
    connect(ui->OkButton, &QPushButton::clicked, this, &TOptions::OkButtonClick);
}

void TOptions::AddPage(const TOptionsService& AService) {
    TNimboStorage& storage = *AService.Storage;
    auto* tab = new QWidget(ui->ServiceTabs);
    tab->setObjectName(AService.Prefix + "Tab");
    auto* grid = new QGridLayout(tab);
    grid->setContentsMargins(14, 14, 14, 10);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(10);

    auto* clientId = new QLineEdit(FromStd(storage.GetClientId()), tab);
    clientId->setObjectName("ClientId");
    clientId->setMinimumWidth(300);
    auto* clientIdLabel = new QLabel("Client ID:", tab);
    clientIdLabel->setBuddy(clientId);
    grid->addWidget(clientIdLabel, 0, 0);
    grid->addWidget(clientId, 0, 1, 1, 2);

    auto* secret = new QLineEdit(tab);
    secret->setObjectName("Secret");
    secret->setEchoMode(QLineEdit::Password);
    auto* secretLabel = new QLabel("Secret:", tab);
    secretLabel->setBuddy(secret);
    if (NeedsSecret(storage)) {
        secret->setText(FromStd(storage.GetSecret()));
        QAction* showSecret = secret->addAction(QIcon(":/icons/show.svg"), QLineEdit::TrailingPosition);
        showSecret->setObjectName("ShowSecretAction");
        showSecret->setText("Show");
        showSecret->setToolTip("Show the secret");
        showSecret->setCheckable(true);
        connect(showSecret, &QAction::toggled, secret, [secret, showSecret](bool AShown) {
            secret->setEchoMode(AShown ? QLineEdit::Normal : QLineEdit::Password);
            showSecret->setToolTip(AShown ? "Hide the secret" : "Show the secret");
        });
    } else {
        secret->setEnabled(false);
        secret->setEchoMode(QLineEdit::Normal);
        secret->setPlaceholderText("Not needed: Cloudpane signs in as a public client");
    }
    grid->addWidget(secretLabel, 1, 0);
    grid->addWidget(secret, 1, 1, 1, 2);

    auto* test = new QPushButton("Test Connection", tab);
    test->setObjectName("TestButton");
    test->setAutoDefault(false);
    test->setToolTip("Signs in with the values above and asks the service for the account");
    grid->addWidget(test, 2, 2, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);

    ui->ServiceTabs->addTab(tab, AService.Caption);
    FPages.push_back({AService, tab, clientId, secret});
    // FPages does not grow past its reserved size: the page's address stays.
    const TPage* page = &FPages.back();
    connect(test, &QPushButton::clicked, this, [this, page] { TestButtonClick(*page); });
}

TOptions::~TOptions() = default;

QString TOptions::DisplayName(const TNimboStorage& AStorage) {
    if (dynamic_cast<const TNimboGDrive*>(&AStorage)) return "Google Drive";
    if (dynamic_cast<const TNimboDropBox*>(&AStorage)) return "Dropbox";
    if (dynamic_cast<const TNimboOneDrive*>(&AStorage)) return "One Drive";
    if (dynamic_cast<const TNimboBoxNet*>(&AStorage)) return "Box";
    if (dynamic_cast<const TNimboGDrive3*>(&AStorage)) return "Google Drive";
    if (dynamic_cast<const TNimboDropBox2*>(&AStorage)) return "Dropbox";
    if (dynamic_cast<const TNimboOneDriveGraph*>(&AStorage)) return "OneDrive";
    Assert(false);
    return {};
}

bool TOptions::NeedsSecret(const TNimboStorage& AStorage) {
    return dynamic_cast<const TNimboOneDriveGraph*>(&AStorage) == nullptr;
}

QString TOptions::Trimmed(const QString& AText) {
    qsizetype first = 0, last = AText.size();
    while (first < last && AText[first].unicode() <= 32) ++first;
    while (last > first && AText[last - 1].unicode() <= 32) --last;
    return AText.mid(first, last - first);
}

void TOptions::DoLoad(TSettingsKey& ARegistry, const QString& APrefix, TNimboStorage& AStorage,
                      const TTokenStore* AStore) {
    // The credentials come first: changing them signs the service out, and the saved state is
    // accepted only for the client identifier it was saved with.
    if (ARegistry.ValueExists(APrefix + ClientIdSuffix))
        AStorage.SetClientId(ToStd(ARegistry.ReadString(APrefix + ClientIdSuffix)));
    if (ARegistry.ValueExists(APrefix + SecretSuffix))
        AStorage.SetSecret(ToStd(ARegistry.ReadString(APrefix + SecretSuffix)));
    std::optional<QByteArray> state;
    if (AStore != nullptr && AStore->InKeychain()) {
        // A sign-in in the file was written after any in the keychain (saving to the keychain
        // takes it out of the file): an earlier version's, or one from a run without a keychain.
        // It moves to the keychain.
        if (ARegistry.ValueExists(APrefix + StateSuffix)) {
            state = ARegistry.ReadBinary(APrefix + StateSuffix);
            AStore->Write(APrefix, *state);
            ARegistry.Remove(APrefix + StateSuffix);
        } else {
            state = AStore->Read(APrefix);
        }
    } else if (ARegistry.ValueExists(APrefix + StateSuffix)) {
        state = ARegistry.ReadBinary(APrefix + StateSuffix);
    }
    if (state) {
        std::istringstream stream(std::string(state->constData(), static_cast<std::size_t>(state->size())));
        AStorage.LoadState(stream);
    }
}

void TOptions::DoSave(TSettingsKey& ARegistry, const QString& APrefix, const TNimboStorage& AStorage,
                      const TTokenStore* AStore) {
    ARegistry.WriteString(APrefix + ClientIdSuffix, FromStd(AStorage.GetClientId()));
    ARegistry.WriteString(APrefix + SecretSuffix, FromStd(AStorage.GetSecret()));
    std::ostringstream stream;
    AStorage.SaveState(stream);
    std::string state = std::move(stream).str();
    QByteArray bytes(state.data(), static_cast<qsizetype>(state.size()));
    if (AStore != nullptr && AStore->InKeychain()) {
        AStore->Write(APrefix, bytes);
        ARegistry.Remove(APrefix + StateSuffix);
    } else {
        ARegistry.WriteBinary(APrefix + StateSuffix, bytes);
    }
}

void TOptions::Load(const QString& ALocation, const TStoredServices& AServices, const TTokenStore* AStore) {
    TSettingsKey registry(ALocation);
    if (!registry.Open()) return;
    QStringList refused;
    for (const TStoredService& service : AServices) {
        try {
            DoLoad(registry, service.Prefix, *service.Storage, AStore);
        } catch (const std::exception& error) {
            refused << DisplayName(*service.Storage) + ": " + QString::fromUtf8(error.what());
        }
    }
    // Sign-ins that moved to the keychain leave the file at once.
    if (registry.HasRemovals()) registry.Commit();
    if (!refused.isEmpty())
        throw ERestError(ToStd("The saved settings of these services could not be loaded:\n" + refused.join('\n')));
}

void TOptions::Save(const QString& ALocation, const TStoredServices& AServices, const TTokenStore* AStore) {
    TSettingsKey registry(ALocation);
    for (const TStoredService& service : AServices) DoSave(registry, service.Prefix, *service.Storage, AStore);
    registry.Commit();
}

void TOptions::Save(const QString& ALocation, const TStoredServices& AServices, const TWindowSettings& AWindow,
                    const TTokenStore* AStore) {
    TSettingsKey registry(ALocation);
    for (const TStoredService& service : AServices) DoSave(registry, service.Prefix, *service.Storage, AStore);
    registry.WriteBinary(WindowGeometryName, AWindow.Geometry);
    registry.WriteBinary(ColumnsName, AWindow.Columns);
    registry.WriteString(LastServiceName, AWindow.LastService);
    registry.Commit();
}

TWindowSettings TOptions::LoadWindow(const QString& ALocation) {
    TWindowSettings window;
    TSettingsKey registry(ALocation);
    try {
        if (!registry.Open()) return window;
        if (registry.ValueExists(WindowGeometryName)) window.Geometry = registry.ReadBinary(WindowGeometryName);
        if (registry.ValueExists(ColumnsName)) window.Columns = registry.ReadBinary(ColumnsName);
        if (registry.ValueExists(LastServiceName)) window.LastService = registry.ReadString(LastServiceName);
    } catch (const std::exception&) {
        // The window starts as new; the services' own values report what is wrong with the file.
    }
    return window;
}

std::unique_ptr<TNimboStorage> TOptions::NewLike(const TNimboStorage& AStorage) {
    std::unique_ptr<TNimboStorage> storage;
    if (dynamic_cast<const TNimboGDrive*>(&AStorage)) storage = std::make_unique<TNimboGDrive>();
    if (dynamic_cast<const TNimboDropBox*>(&AStorage)) storage = std::make_unique<TNimboDropBox>();
    if (dynamic_cast<const TNimboOneDrive*>(&AStorage)) storage = std::make_unique<TNimboOneDrive>();
    if (dynamic_cast<const TNimboBoxNet*>(&AStorage)) storage = std::make_unique<TNimboBoxNet>();
    if (dynamic_cast<const TNimboGDrive3*>(&AStorage)) storage = std::make_unique<TNimboGDrive3>();
    if (dynamic_cast<const TNimboDropBox2*>(&AStorage)) storage = std::make_unique<TNimboDropBox2>();
    if (dynamic_cast<const TNimboOneDriveGraph*>(&AStorage)) storage = std::make_unique<TNimboOneDriveGraph>();
    Assert(storage != nullptr);
    storage->SetRedirectUrl(AStorage.GetRedirectUrl());
    return storage;
}

bool TOptions::Execute(const TOptionsServices& AServices, const QString& ACurrent, QWidget* AParent,
                       const TTokenStore* AStore) {
    TOptions dialog(AServices, ACurrent, AParent);
    if (AStore != nullptr) dialog.ui->Label3->setText("Note: " + AStore->Description());
    if (dialog.exec() != QDialog::Accepted) return false;
    // Only changed values are set: a new client identifier or secret signs the service out.
    for (const TPage& page : dialog.FPages) {
        TNimboStorage& storage = *page.Service.Storage;
        std::string clientId = ToStd(Trimmed(page.ClientId->text()));
        if (clientId != storage.GetClientId()) storage.SetClientId(clientId);
        std::string secret = ToStd(Trimmed(page.Secret->text()));
        if (NeedsSecret(storage) && secret != storage.GetSecret()) storage.SetSecret(secret);
    }
    return true;
}

bool TOptions::Edited(const TPage& APage) {
    const TNimboStorage& storage = *APage.Service.Storage;
    return ToStd(Trimmed(APage.ClientId->text())) != storage.GetClientId() ||
           (NeedsSecret(storage) && ToStd(Trimmed(APage.Secret->text())) != storage.GetSecret());
}

// The service being opened needs its values; any other is set up with both or left without.
void TOptions::OkButtonClick() {
    RunHandler([this] {
        for (const TPage& page : FPages) {
            bool needsSecret = NeedsSecret(*page.Service.Storage);
            bool hasClientId = !Trimmed(page.ClientId->text()).isEmpty();
            bool hasSecret = !Trimmed(page.Secret->text()).isEmpty();
            bool complete = hasClientId && (hasSecret || !needsSecret);
            bool blank = !hasClientId && (!hasSecret || !needsSecret);
            if (complete || (blank && page.Service.Prefix != FCurrent)) continue;
            ui->ServiceTabs->setCurrentWidget(page.Tab);
            if (page.Service.Prefix == FCurrent) throw ERestError("Please provide valid ClientID and Secret");
            throw ERestError(
                ToStd(page.Service.Caption + ": please give both the client ID and the secret, or leave both empty."));
        }
        accept();
    });
}

// Tests the values of the tab: those the service holds on the service itself (its sign-in serves),
// typed ones on a new component of its kind, which signs in with them and is then let go.
void TOptions::TestButtonClick(const TPage& APage) {
    TNimboStorage* storage = APage.Service.Storage;
    if (Trimmed(APage.ClientId->text()).isEmpty() ||
        (NeedsSecret(*storage) && Trimmed(APage.Secret->text()).isEmpty())) {
        ShowErrorMessage(NeedsSecret(*storage) ? "Please enter the client ID and the secret first."
                                               : "Please enter the client ID first.",
                         "The test signs in to " + APage.Service.Caption + " with them.");
        return;
    }
    std::unique_ptr<TNimboStorage> typed;
    if (Edited(APage)) {
        typed = NewLike(*storage);
        typed->SetClientId(ToStd(Trimmed(APage.ClientId->text())));
        if (NeedsSecret(*storage)) typed->SetSecret(ToStd(Trimmed(APage.Secret->text())));
        storage = typed.get();
    }
    bool passed = RunHandler([&APage, storage] {
        auto test = [storage] { storage->RefreshAccess(); };
        if (APage.Service.Run)
            APage.Service.Run(test);
        else
            test();
    });
    // A sign-in the user cancelled here ends here: the window goes on as it was.
    TBrowserSignIn::TakeCancelled();
    if (!passed) return;
    QMessageBox box(QMessageBox::Information, windowTitle(), DisplayName(*storage) + " answered: the connection works.",
                    QMessageBox::Ok, this);
    box.setObjectName("TestResultBox");
    box.exec();
}

}  // namespace Nimbo::Demo
