#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QDateTime>
#include <QMainWindow>
#include <QTreeWidgetItem>

#include "Nimbo/Connection/Storage.h"
#include "OptionsUnit.h"

class QFileDialog;
class QLabel;
class QMenu;
class QToolButton;
class QTimer;

namespace Ui {
class TMainForm;
}

namespace Nimbo::Demo {

class TServiceWorker;
class TTokenStore;

// The kind of cloud a service of the window is, whichever interface it speaks: its rules for names,
// what Delete does, its name for people.
enum class TServiceKind { Google, Dropbox, OneDrive, Box };

// What the window shows of a cloud item, read from it on its service's worker.
struct TItemView {
    QString Name;
    bool IsFolder = false;
    qint64 Size = 0;
    QString MimeType;
    bool HasCreated = false;
    Connection::TDateTime Created = 0;
    bool HasModified = false;
    Connection::TDateTime Modified = 0;

    static TItemView Of(Connection::TNimboCloudFile& F);
};

struct TMainFormOptions {
    // Where the settings live (TSettingsKey::DefaultLocation).
    QString SettingsLocation = {};
    // Gives a service its preset credentials before the settings are read; may be empty.
    std::function<void(Connection::TNimboStorage&)> PresetService = {};
    // Runs after the settings have been written; may be empty.
    std::function<void()> AfterSettingsWritten = {};
    // Shows a downloaded file in the system's file manager; ShowInFileManager when empty.
    std::function<void(const QString&)> ShowFile = {};
    // Keeps the sign-ins in the system keychain where a Secret Service runs.
    bool UseKeychain = true;
};

// The program's window: one storage component per cloud service, each with its worker thread for
// the network, the folder tree of the current service (folders are listed when first expanded), the
// details of the selected item and the commands on it.
class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    // A tree item bound to one cloud item: the item itself is handed to the service's worker only,
    // the window reads what it shows from V.
    class TFileItem : public QTreeWidgetItem {
    public:
        static constexpr int Type = QTreeWidgetItem::UserType + 1;
        TFileItem(Connection::TNimboCloudFile AFile, TItemView AView)
            : QTreeWidgetItem(Type), F(std::move(AFile)), V(std::move(AView)) {}
        Connection::TNimboCloudFile F;
        TItemView V;
        // Folders come first in either order; then the sort column's value, then the name.
        bool operator<(const QTreeWidgetItem& AOther) const override;
        // The columns: Name, Size, Modified, Type.
        void ShowColumns();
    };
    // The "Loading..." child of a folder that has not been listed yet.
    class TTempItem : public QTreeWidgetItem {
    public:
        static constexpr int Type = QTreeWidgetItem::UserType + 2;
        TTempItem();
    };

    explicit TMainForm(TMainFormOptions AOptions, QWidget* AParent = nullptr);
    ~TMainForm() override;

    Connection::TNimboStorage& Service() const { return *FService; }
    bool Connected() const { return FConnected; }
    // True while a service's worker runs a job.
    bool Busy() const { return AnyWorkerBusy(); }
    // The services in the settings' order (the older interfaces' first, as earlier versions kept
    // them), with their value-name prefixes.
    const TStoredServices& Services() const { return FServices; }
    // Where the sign-ins are kept.
    const TTokenStore& Tokens() const { return *FTokens; }
    // The cloud item of the selected tree item; empty when nothing (or a placeholder) is selected.
    Connection::TNimboCloudFile Selected() const;
    // The name of the current service as people know it ("Google Drive", "Dropbox", "OneDrive", "Box").
    QString ServiceName() const;

private:
    // Signs the service out and empties the window of its account.
    void ForgetSignIn();
    // One message listing what failed of several items and why.
    void ShowFailures(const QString& ATitle, const QString& AObjectName, const QString& AHeadline,
                      const QStringList& AFailures);
    // Event handlers.
    void FormCreate();
    void FormDestroy();
    void ServicesButttonClick();
    void TreeViewChange();
    void TreeViewClick(const QPoint& APosition);
    void TreeViewKeyDown(int AKey);
    void RefreshActionExecute();
    void OptionsActionExecute();
    // The services as the Services menu lists them, for the options dialog.
    TOptionsServices OptionsServices() const;
    // Shows the options dialog on the current service's tab; true when the user saved.
    bool ExecuteOptions();
    void DownloadActionExecute();
    void UploadActionExecute();
    // Uploads the local files into ATarget (none: the root), each after the clash question where
    // its name is taken; false from UploadFile when the user cancelled (or, one of several, skipped) it.
    void UploadFiles(const QStringList& AFiles, TFileItem* ATarget);
    bool UploadFile(const QString& AFileName, TFileItem* ATarget, bool ASeveral);
    TFileItem* DropFolder(QTreeWidgetItem* AItem) const;
    // Moves the items at APaths into ATarget (none: the root) on the service, then in the tree; false
    // from MoveItem when the user cancelled (or, one of several, skipped) it at the clash question.
    void MoveItems(const QList<QStringList>& APaths, TFileItem* ATarget);
    bool MoveItem(TFileItem* AItem, TFileItem* ATarget, bool ASeveral);
    static void CheckNotIntoItself(const TFileItem* AItem, const TFileItem* ATarget);
    void ListAgain(TFileItem* AFolder, bool AExpanded);
    // The selected items, without those inside a selected folder.
    std::vector<TFileItem*> SelectedItems() const;
    void DownloadSeveral(const std::vector<TFileItem*>& AItems);
    void DeleteSeveral(const std::vector<TFileItem*>& AItems);
    void NewFolderActionExecute();
    void DeleteActionExecute();
    void RenameActionExecute();
    void SignOutActionExecute();
    void SignInCancelled();
    void TreeViewContextMenu(const QPoint& APosition);
    void DownloadActionUpdate();
    void UploadActionUpdate();
    void NewFolderActionUpdate();
    void DeleteActionUpdate();

    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

    bool HasAuthParams() const;
    void SwitchService(Connection::TNimboStorage& AStorage);
    void Refresh();
    // The worker of the current service.
    TServiceWorker& Worker() const;
    bool AnyWorkerBusy() const;
    // Runs AJob on the current service's worker (see TServiceWorker::Call).
    void Call(const std::function<void()>& AJob, Connection::THttpProgressHandler AProgress = {});
    // The children of AParent (none: the root), read on the worker, added to the tree.
    void GetFiles(TFileItem* AParent);
    TFileItem* AddFile(TFileItem* AParent, const Connection::TNimboCloudFile& F, const TItemView& AView);
    // Lists the expanded folders that have not been listed yet (a command runs it when it ends).
    void ListExpanded();
    bool ListExpanded(QTreeWidgetItem* AItem);
    void CancelListing();
    // The tree's expanded folders and selection, by the names from the top, to bring back after a
    // new listing; what is gone since is left out.
    struct TTreeState {
        std::vector<QStringList> Expanded;
        QStringList Selected;
    };
    TTreeState SaveTreeState() const;
    void RestoreTreeState(const TTreeState& AState);
    // Lists and opens the folders at APaths (names from the top, parents first) that are there.
    void ExpandAgain(const std::vector<QStringList>& APaths);
    QTreeWidgetItem* ItemAt(const QStringList& APath) const;
    // Lists a folder whose only child is its placeholder; false when it has been listed already.
    bool ListIfUnlisted(TFileItem* AItem);
    void SetConnected(bool AValue);
    // The title and the status bar, from the service, its account and space, and the last result.
    void UpdateTitle();
    void UpdateSpace();
    void SetResult(const QString& AText);
    void UpdateDetails();
    void FitDetailsPanel();
    void UpdateActions();
    void ClearSelection();
    void Select(QTreeWidgetItem* AItem);
    TFileItem* SelectedItem() const;
    // The folder that Upload and New Folder work on: the selected folder, the folder of the selected
    // file, or none for the root.
    TFileItem* TargetFolder() const;
    // Raises ERestError saying what is wrong with AName as an item's name on the current service.
    void CheckName(const QString& AName) const;
    // Whether the current service keeps what Delete removes, in a sentence.
    QString TrashNote() const;
    // The listed child of AFolder (none: the root) that AName would clash with on the current
    // service, other than AExcept; null when there is none.
    TFileItem* ClashingChild(TFileItem* AFolder, const QString& AName, const TFileItem* AExcept = nullptr) const;
    // AName with " (2)", " (3)" ... before its extension: the first that clashes with nothing in AFolder.
    QString FreeName(TFileItem* AFolder, const QString& AName, bool AIsFolder) const;
    enum class TClashAnswer { Replace, KeepBoth, Cancel };
    // Asks what to do about a name that is taken; Replace is offered only when ACanReplace. One item
    // of several is skipped instead of cancelled (TClashAnswer::Cancel all the same).
    TClashAnswer AskAboutClash(const QString& AName, const QString& AFreeName, bool ACanReplace, bool ASeveral = false);

    // Runs an event handler: errors go to the error display; a changed sign-in state is written
    // to the settings at once; the actions are brought up to date.
    void Run(const std::function<void()>& AHandler);
    void RunCommand(const std::function<void()>& AHandler);
    void SaveSettings();
    void SaveSettingsIfStatesChanged();
    std::vector<std::string> CurrentStates() const;

    std::unique_ptr<Ui::TMainForm> ui;
    QMenu* ServicesMenu;
    QMenu* ContextMenu;
    QAction* RenameAction;
    QFileDialog* OpenDialog;
    QFileDialog* SaveDialog;
    // Ends the listing that runs; shown while one does.
    QToolButton* CancelListingButton;
    QLabel* ResultStatus;
    QLabel* ServiceStatus;
    QLabel* SpaceStatus;
    // Shows the file downloaded last in the file manager; visible after a download only.
    QToolButton* ShowDownloadButton;
    QString FLastDownload;

    // One service of the window: its component, its worker and the action that opens it.
    struct TServiceEntry {
        QString Prefix;
        TServiceKind Kind;
        std::unique_ptr<Connection::TNimboStorage> Storage;
        std::unique_ptr<TServiceWorker> Worker;
        QAction* Action;
    };
    std::vector<TServiceEntry> FEntries;  // in the order of FServices
    TStoredServices FServices;
    const TServiceEntry& Current() const;
    TServiceKind Kind() const { return Current().Kind; }
    void AddService(const QString& APrefix, TServiceKind AKind, std::unique_ptr<Connection::TNimboStorage> AStorage,
                    QAction* AAction);
    QMenu* LegacyMenu;
    QAction* SignOutAction;

    TMainFormOptions FOptions;
    std::unique_ptr<TTokenStore> FTokens;
    bool FSaving = false;
    Connection::TNimboStorage* FService = nullptr;
    bool FConnected = false;
    bool FInCommand = false;
    // A folder was expanded while a command ran: listed when it ends.
    bool FListPending = false;
    bool FListing = false;
    QString FAccount;
    // What the command that runs reports when it ends well; empty: nothing to report.
    QString FResult;
    // The sign-in states as the settings hold them, to notice sign-ins and renewals.
    std::vector<std::string> FSavedStates;
};

// "1.5 MB of 15 GB used", or "1.5 MB used" where the service sets no limit.
QString FormatSpace(const Connection::TNimboSpace& ASpace);
// A UTC time of the library as the local time it was.
QDateTime LocalTime(Connection::TDateTime AUtc);
// "unspecified" without a time, else the local time in the locale's short date and long time (no
// time at midnight).
QString FormatTime(bool AHas, Connection::TDateTime T);

}  // namespace Nimbo::Demo
