#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QByteArray>
#include <QDialog>
#include <QString>

class QLineEdit;

#include "Nimbo/Connection/Storage.h"

namespace Ui {
class TOptions;
}

namespace Nimbo::Demo {

class TSettingsKey;
class TTokenStore;

// A service as the settings store keeps it: the prefix of its value names and its component.
struct TStoredService {
    QString Prefix;
    Connection::TNimboStorage* Storage;
};
using TStoredServices = std::vector<TStoredService>;

// Runs a piece of network work where the program does it (the service's worker), and returns when
// it has ended; empty: right here.
using TNetworkRun = std::function<void(const std::function<void()>&)>;

// A service as the options dialog shows it: a tab named as the Services menu names the service,
// and where the service's network work runs.
struct TOptionsService {
    QString Prefix;
    QString Caption;
    Connection::TNimboStorage* Storage;
    TNetworkRun Run = {};
};
using TOptionsServices = std::vector<TOptionsService>;

// What the main window keeps of itself between runs.
struct TWindowSettings {
    QByteArray Geometry{};  // QWidget::saveGeometry; empty when none was saved
    QByteArray Columns{};   // QHeaderView::saveState of the tree's columns; empty when none was saved
    QString LastService{};  // the value-name prefix of the service open last; empty when none
};

// The options dialog of every service, a tab each (client identifier and secret), and the only code
// that reads and writes the settings store.
class TOptions : public QDialog {
    Q_OBJECT

public:
    ~TOptions() override;

    // Reads each service's client identifier, secret and saved state from the settings at
    // ALocation. Every service is loaded on its own: when saved states are refused, the other
    // services are still loaded and then one ERestError names each refused service and why.
    // With AStore in the keychain, the saved states come from there; one found only in the settings
    // file (an earlier version's) moves to the keychain and leaves the file.
    static void Load(const QString& ALocation, const TStoredServices& AServices, const TTokenStore* AStore = nullptr);
    // Writes the three values of each service; EFileError (settings unchanged) on failure.
    // With AStore in the keychain, the saved states go there and none stays in the file.
    static void Save(const QString& ALocation, const TStoredServices& AServices, const TTokenStore* AStore = nullptr);
    // The same, with the window's own values.
    static void Save(const QString& ALocation, const TStoredServices& AServices, const TWindowSettings& AWindow,
                     const TTokenStore* AStore = nullptr);
    // The window's values; empty ones where the settings have none or hold another kind of value.
    static TWindowSettings LoadWindow(const QString& ALocation);
    // Shows the dialog with a tab for each of AServices, the one with the prefix ACurrent in front;
    // that one must be given its values, every other one both or neither. True when the user saved:
    // every service then holds the trimmed values of its tab (a service whose values changed is
    // signed out). AStore (when given) tells where the sign-ins are kept.
    static bool Execute(const TOptionsServices& AServices, const QString& ACurrent, QWidget* AParent = nullptr,
                        const TTokenStore* AStore = nullptr);

    // The saved state goes to and comes from AStore when it is in the keychain, else the settings.
    static void DoLoad(TSettingsKey& ARegistry, const QString& APrefix, Connection::TNimboStorage& AStorage,
                       const TTokenStore* AStore = nullptr);
    static void DoSave(TSettingsKey& ARegistry, const QString& APrefix, const Connection::TNimboStorage& AStorage,
                       const TTokenStore* AStore = nullptr);

    // The caption of a service's class ("Google Drive", "Dropbox", "One Drive", "Box").
    static QString DisplayName(const Connection::TNimboStorage& AStorage);
    // False for a service that signs in as a public client, without a secret.
    static bool NeedsSecret(const Connection::TNimboStorage& AStorage);
    // AText without leading and trailing blanks (spaces and control characters).
    static QString Trimmed(const QString& AText);
    // A new, signed-out component of AStorage's class with its redirect address.
    static std::unique_ptr<Connection::TNimboStorage> NewLike(const Connection::TNimboStorage& AStorage);

private:
    // The fields of one service's tab.
    struct TPage {
        TOptionsService Service;
        QWidget* Tab;
        QLineEdit* ClientId;
        QLineEdit* Secret;
    };

    TOptions(const TOptionsServices& AServices, const QString& ACurrent, QWidget* AParent);
    void AddPage(const TOptionsService& AService);
    void OkButtonClick();
    void TestButtonClick(const TPage& APage);
    // True when the tab's values are not those its service holds.
    static bool Edited(const TPage& APage);

    std::unique_ptr<Ui::TOptions> ui;
    std::vector<TPage> FPages;
    QString FCurrent;
};

}  // namespace Nimbo::Demo
