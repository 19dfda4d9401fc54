#include "OptionsUnit.h"

#include <optional>
#include <sstream>

#include <QAction>
#include <QMessageBox>

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

TOptions::TOptions(TNimboStorage& AStorage, QWidget* AParent)
    : QDialog(AParent), ui(std::make_unique<Ui::TOptions>()), FStorage(&AStorage) {
    ui->setupUi(this);
    ui->Secret->setEchoMode(QLineEdit::Password);
    QAction* showSecret = ui->Secret->addAction(QIcon(":/icons/show.svg"), QLineEdit::TrailingPosition);
    showSecret->setObjectName("ShowSecretAction");
    showSecret->setText("Show");
    showSecret->setToolTip("Show the secret");
    showSecret->setCheckable(true);
    connect(showSecret, &QAction::toggled, this, [this, showSecret](bool AShown) {
        ui->Secret->setEchoMode(AShown ? QLineEdit::Normal : QLineEdit::Password);
        showSecret->setToolTip(AShown ? "Hide the secret" : "Show the secret");
    });
#ifdef Q_OS_WIN
    ui->Label3->setText("Note: Options will be stored in the system registry.");
#else
    ui->Label3->setText("Note: Options will be stored in a settings file only you can read.");
#endif
    connect(ui->OkButton, &QPushButton::clicked, this, &TOptions::OkButtonClick);
    connect(ui->TestButton, &QPushButton::clicked, this, &TOptions::TestButtonClick);
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

bool TOptions::Execute(TNimboStorage& AStorage, QWidget* AParent, TNetworkRun ARun, const TTokenStore* AStore) {
    TOptions dialog(AStorage, AParent);
    if (AStore != nullptr) dialog.ui->Label3->setText("Note: " + AStore->Description());
    dialog.FRun = std::move(ARun);
    dialog.ui->ClientId->setText(FromStd(AStorage.GetClientId()));
    dialog.ui->Secret->setText(FromStd(AStorage.GetSecret()));
    dialog.ui->ServiceName->setText(DisplayName(AStorage));
    if (dialog.exec() != QDialog::Accepted) return false;
    AStorage.SetClientId(ToStd(Trimmed(dialog.ui->ClientId->text())));
    AStorage.SetSecret(ToStd(Trimmed(dialog.ui->Secret->text())));
    return true;
}

void TOptions::OkButtonClick() {
    RunHandler([this] {
        if (Trimmed(ui->ClientId->text()).isEmpty()) throw ERestError("Please provide valid ClientID and Secret");
        if (Trimmed(ui->Secret->text()).isEmpty() && NeedsSecret(*FStorage))
            throw ERestError("Please provide valid ClientID and Secret");
        accept();
    });
}

// Tests the identifier and secret the service holds (the typed ones apply with Ok).
void TOptions::TestButtonClick() {
    if (!RunHandler([this] {
            TNimboStorage* storage = FStorage;
            auto test = [storage] { storage->RefreshAccess(); };
            if (FRun)
                FRun(test);
            else
                test();
        }))
        return;
    QMessageBox box(QMessageBox::Information, windowTitle(),
                    DisplayName(*FStorage) + " answered: the connection works.", QMessageBox::Ok, this);
    box.setObjectName("TestResultBox");
    box.exec();
}

}  // namespace Nimbo::Demo
