#include "MainUnit.h"

#include <algorithm>
#include <sstream>

#include <QActionGroup>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

#include "BrowserSignIn.h"
#include "ErrorDisplay.h"
#include "FileManager.h"
#include "FileTree.h"
#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/OneDriveGraph.h"
#include "Nimbo/Connection/platform/DateTime.h"
#include "ServiceWorker.h"
#include "TokenStore.h"
#include "TransferProgress.h"
#include "ui_MainUnit.h"

// The pictures live in a resource of the program's static library, which the linker keeps only
// when something refers to it.
static void InitIconResources() { Q_INIT_RESOURCE(Icons); }

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

// The pictures of the details panel, by whether the item is a folder.
const char* const IMG_STYLES[2] = {":/icons/file.svg", ":/icons/folder.svg"};

std::string ToStd(const QString& AText) { return AText.toUtf8().toStdString(); }
QString FromStd(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

QIcon ItemIcon(const TItemView& F) {
    if (F.IsFolder) return QIcon(":/icons/folder.svg");
    const QString& type = F.MimeType;
    if (type.startsWith("text/") || type.endsWith("/json") || type.endsWith("/xml"))
        return QIcon(":/icons/file-text.svg");
    if (type.startsWith("image/")) return QIcon(":/icons/file-image.svg");
    if (type.startsWith("audio/") || type.startsWith("video/")) return QIcon(":/icons/file-media.svg");
    if (type.contains("zip") || type.contains("compressed") || type.contains("tar"))
        return QIcon(":/icons/file-archive.svg");
    return QIcon(":/icons/file.svg");
}

// Holds the tree's painting back while it is changed in several steps.
class TTreeBatch {
public:
    explicit TTreeBatch(QTreeWidget* ATree) : FTree(ATree) { FTree->setUpdatesEnabled(false); }
    ~TTreeBatch() { FTree->setUpdatesEnabled(true); }
    TTreeBatch(const TTreeBatch&) = delete;
    TTreeBatch& operator=(const TTreeBatch&) = delete;

private:
    QTreeWidget* FTree;
};

// The locale's long time format without the time zone, which a bare time of day does not have.
QString LongTimeFormat(const QLocale& ALocale) {
    static const QRegularExpression zone(R"(\s*\(?\bt+\b\)?)");
    return ALocale.timeFormat(QLocale::LongFormat).remove(zone).trimmed();
}

}  // namespace

QDateTime LocalTime(TDateTime AUtc) {
    TDateParts date = DecodeDate(AUtc);
    TTimeParts time = DecodeTime(AUtc);
    return QDateTime(QDate(date.Year, date.Month, date.Day), QTime(time.Hour, time.Minute, time.Second, time.MSec),
                     Qt::UTC)
        .toLocalTime();
}

QString FormatSpace(const TNimboSpace& ASpace) {
    QLocale locale;
    QString used = locale.formattedDataSize(ASpace.Used, 1, QLocale::DataSizeTraditionalFormat);
    if (!ASpace.Total) return used + " used";
    return used + " of " + locale.formattedDataSize(*ASpace.Total, 1, QLocale::DataSizeTraditionalFormat) + " used";
}

QString FormatTime(bool AHas, TDateTime T) {
    if (!AHas) return "unspecified";
    QDateTime local = LocalTime(T);
    QLocale locale;
    QString text = locale.toString(local.date(), QLocale::ShortFormat);
    if (local.time() != QTime(0, 0)) text += " " + locale.toString(local.time(), LongTimeFormat(locale));
    return text;
}

TMainForm::TTempItem::TTempItem() : QTreeWidgetItem(Type) { setText(0, "Loading..."); }

namespace {

enum TColumn { colName, colSize, colModified, colType };

// The kind of the item in words: "Folder", the description of its MIME type, or its MIME type.
QString TypeText(const TItemView& F) {
    if (F.IsFolder) return "Folder";
    const QString& name = F.MimeType;
    if (name.isEmpty()) return "File";
    QMimeType type = QMimeDatabase().mimeTypeForName(name);
    QString comment = type.isValid() ? type.comment() : QString();
    if (comment.isEmpty()) return name;
    comment[0] = comment[0].toUpper();
    return comment;
}

}  // namespace

TItemView TItemView::Of(TNimboCloudFile& F) {
    TItemView view;
    view.Name = FromStd(F.GetName());
    view.IsFolder = F.GetIsFolder();
    view.MimeType = FromStd(F.GetMimeType());
    if (!view.IsFolder) view.Size = F.GetSize();
    view.HasCreated = F.GetHasCreatedAt();
    if (view.HasCreated) view.Created = F.GetCreatedAt();
    view.HasModified = F.GetHasModifiedAt();
    if (view.HasModified) view.Modified = F.GetModifiedAt();
    return view;
}

void TMainForm::TFileItem::ShowColumns() {
    setText(colName, V.Name);
    setText(colSize,
            V.IsFolder ? QString() : QLocale().formattedDataSize(V.Size, 1, QLocale::DataSizeTraditionalFormat));
    setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    setText(colModified, V.HasModified ? FormatTime(true, V.Modified) : QString());
    setText(colType, TypeText(V));
    setIcon(colName, ItemIcon(V));
}

bool TMainForm::TFileItem::operator<(const QTreeWidgetItem& AOther) const {
    auto* other = dynamic_cast<const TFileItem*>(&AOther);
    if (other == nullptr) return QTreeWidgetItem::operator<(AOther);
    QTreeWidget* tree = treeWidget();
    int column = tree != nullptr ? tree->sortColumn() : colName;
    bool ascending = tree == nullptr || tree->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    if (V.IsFolder != other->V.IsFolder) return V.IsFolder == ascending;
    if (column == colSize && V.Size != other->V.Size) return V.Size < other->V.Size;
    if (column == colModified && V.Modified != other->V.Modified) return V.Modified < other->V.Modified;
    if (column == colType) {
        int order = QString::localeAwareCompare(text(colType), other->text(colType));
        if (order != 0) return order < 0;
    }
    int order = QString::compare(text(colName), other->text(colName), Qt::CaseInsensitive);
    return order != 0 ? order < 0 : text(colName) < other->text(colName);
}

TMainForm::TMainForm(TMainFormOptions AOptions, QWidget* AParent)
    : QMainWindow(AParent), ui(std::make_unique<Ui::TMainForm>()), FOptions(std::move(AOptions)) {
    InitIconResources();
    ui->setupUi(this);

    auto newAction = [this](const char* AName) {
        auto* action = new QAction(this);
        action->setObjectName(AName);
        return action;
    };
    // The settings' order: the older interfaces as earlier versions kept them, then today's.
    AddService("GDrive", TServiceKind::Google, std::make_unique<TNimboGDrive>(), ui->GDriveAction);
    AddService("DropBox", TServiceKind::Dropbox, std::make_unique<TNimboDropBox>(), ui->DropBoxAction);
    AddService("OneDrive", TServiceKind::OneDrive, std::make_unique<TNimboOneDrive>(), ui->OneDriveAction);
    AddService("BoxNet", TServiceKind::Box, std::make_unique<TNimboBoxNet>(), ui->BoxNetAction);
    AddService("GDrive3", TServiceKind::Google, std::make_unique<TNimboGDrive3>(), newAction("GDrive3Action"));
    AddService("DropBox2", TServiceKind::Dropbox, std::make_unique<TNimboDropBox2>(), newAction("DropBox2Action"));
    AddService("OneDriveGraph", TServiceKind::OneDrive, std::make_unique<TNimboOneDriveGraph>(),
               newAction("OneDriveGraphAction"));
    FService = FEntries[4].Storage.get();

    const std::pair<const char*, const char*> texts[] = {{"GDrive3Action", "Google Drive"},
                                                         {"DropBox2Action", "Dropbox"},
                                                         {"OneDriveGraphAction", "OneDrive"},
                                                         {"BoxNetAction", "Box"},
                                                         {"GDriveAction", "Google Drive (Drive API v2)"},
                                                         {"DropBoxAction", "Dropbox (API v1)"},
                                                         {"OneDriveAction", "OneDrive (Live Connect)"}};
    ServicesMenu = new QMenu(this);
    ServicesMenu->setObjectName("ServicesMenu");
    LegacyMenu = new QMenu("Legacy interfaces", this);
    LegacyMenu->setObjectName("LegacyMenu");
    auto* choices = new QActionGroup(this);
    for (auto [name, text] : texts) {
        QAction* action = nullptr;
        for (const TServiceEntry& entry : FEntries)
            if (entry.Action->objectName() == name) action = entry.Action;
        action->setText(text);
        action->setCheckable(true);
        choices->addAction(action);
        (QString(text).contains('(') ? LegacyMenu : ServicesMenu)->addAction(action);
    }
    ServicesMenu->addMenu(LegacyMenu);
    ServicesMenu->addSeparator();
    SignOutAction = newAction("SignOutAction");
    SignOutAction->setText("Sign out");
    ServicesMenu->addAction(SignOutAction);

    RenameAction = new QAction("Rename", this);
    RenameAction->setObjectName("RenameAction");
    ContextMenu = new QMenu(this);
    ContextMenu->setObjectName("ContextMenu");
    ContextMenu->addActions({ui->DownloadAction, ui->UploadAction, ui->NewFolderAction});
    ContextMenu->addSeparator();
    ContextMenu->addActions({RenameAction, ui->DeleteAction});
    ContextMenu->addSeparator();
    ContextMenu->addAction(ui->RefreshAction);
    ui->TreeView->setContextMenuPolicy(Qt::CustomContextMenu);
    ui->TreeView->setColumnCount(4);
    ui->TreeView->setHeaderLabels({"Name", "Size", "Modified", "Type"});
    ui->TreeView->setHeaderHidden(false);
    ui->TreeView->setColumnWidth(colName, 220);
    ui->TreeView->setColumnWidth(colSize, 80);
    ui->TreeView->setColumnWidth(colModified, 165);
    ui->TreeView->setSortingEnabled(true);
    ui->TreeView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ui->TreeView->sortByColumn(colName, Qt::AscendingOrder);

    OpenDialog = new QFileDialog(this);
    OpenDialog->setObjectName("OpenDialog");
    OpenDialog->setFileMode(QFileDialog::ExistingFiles);
    OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
    SaveDialog = new QFileDialog(this);
    SaveDialog->setObjectName("SaveDialog");
    SaveDialog->setFileMode(QFileDialog::AnyFile);
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setOption(QFileDialog::DontConfirmOverwrite, false);

    ResultStatus = new QLabel(this);
    ResultStatus->setObjectName("ResultStatus");
    ServiceStatus = new QLabel(this);
    ServiceStatus->setObjectName("ServiceStatus");
    SpaceStatus = new QLabel(this);
    SpaceStatus->setObjectName("SpaceStatus");
    ShowDownloadButton = new QToolButton(this);
    ShowDownloadButton->setObjectName("ShowDownloadButton");
    ShowDownloadButton->setText("Show in folder");
    ShowDownloadButton->setAutoRaise(true);
    ShowDownloadButton->hide();
    CancelListingButton = new QToolButton(this);
    CancelListingButton->setObjectName("CancelListingButton");
    CancelListingButton->setText("Cancel listing");
    CancelListingButton->setAutoRaise(true);
    CancelListingButton->hide();
    statusBar()->addWidget(ResultStatus, 1);
    statusBar()->addWidget(ShowDownloadButton);
    statusBar()->addWidget(CancelListingButton);
    statusBar()->addPermanentWidget(ServiceStatus);
    statusBar()->addPermanentWidget(SpaceStatus);

    ui->Splitter->setStretchFactor(0, 1);
    ui->Splitter->setStretchFactor(1, 0);
    ui->Splitter->setSizes({648 - 208 - 5, 208});
    ui->RefreshButton->setDefaultAction(ui->RefreshAction);
    ui->OptionsButton->setDefaultAction(ui->OptionsAction);
    ui->DownloadButton->setDefaultAction(ui->DownloadAction);
    ui->UploadButton->setDefaultAction(ui->UploadAction);
    ui->NewFolderButton->setDefaultAction(ui->NewFolderAction);
    ui->DeleteButton->setDefaultAction(ui->DeleteAction);

    for (const TServiceEntry& entry : FEntries)
        connect(entry.Action, &QAction::triggered, this,
                [this, storage = entry.Storage.get()] { RunCommand([this, storage] { SwitchService(*storage); }); });
    auto handle = [this](QAction* AAction, void (TMainForm::*AHandler)()) {
        connect(AAction, &QAction::triggered, this,
                [this, AHandler] { RunCommand([this, AHandler] { (this->*AHandler)(); }); });
    };
    handle(ui->RefreshAction, &TMainForm::RefreshActionExecute);
    handle(ui->OptionsAction, &TMainForm::OptionsActionExecute);
    handle(ui->DownloadAction, &TMainForm::DownloadActionExecute);
    handle(ui->UploadAction, &TMainForm::UploadActionExecute);
    handle(ui->NewFolderAction, &TMainForm::NewFolderActionExecute);
    handle(ui->DeleteAction, &TMainForm::DeleteActionExecute);
    handle(RenameAction, &TMainForm::RenameActionExecute);
    handle(SignOutAction, &TMainForm::SignOutActionExecute);
    connect(ui->TreeView, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& APosition) { Run([this, APosition] { TreeViewContextMenu(APosition); }); });
    connect(ShowDownloadButton, &QToolButton::clicked, this, [this] {
        Run([this] {
            if (FOptions.ShowFile)
                FOptions.ShowFile(FLastDownload);
            else
                ShowInFileManager(FLastDownload);
        });
    });
    connect(ui->ServicesButtton, &QToolButton::clicked, this, [this] { Run([this] { ServicesButttonClick(); }); });
    connect(ui->TreeView, &QTreeWidget::itemSelectionChanged, this, [this] { Run([this] { TreeViewChange(); }); });
    connect(CancelListingButton, &QToolButton::clicked, this, [this] { CancelListing(); });
    connect(ui->TreeView, &QTreeWidget::itemExpanded, this, [this] { ListExpanded(); });
    connect(ui->TreeView, &TFileTree::ItemsDropped, this,
            [this](const QList<QStringList>& APaths, QTreeWidgetItem* ATarget) {
                if (FConnected) RunCommand([this, APaths, ATarget] { MoveItems(APaths, DropFolder(ATarget)); });
            });
    connect(ui->TreeView, &TFileTree::FilesDropped, this, [this](const QStringList& AFiles, QTreeWidgetItem* ATarget) {
        if (FConnected) RunCommand([this, AFiles, ATarget] { UploadFiles(AFiles, DropFolder(ATarget)); });
    });
    ui->TreeView->installEventFilter(this);
    ui->TreeView->viewport()->installEventFilter(this);

    FormCreate();
}

TMainForm::~TMainForm() {
    FormDestroy();
    // The tree's items hold cloud items of the services, which go first; the workers before them.
    ui->TreeView->clear();
    for (TServiceEntry& entry : FEntries) entry.Worker.reset();
}

void TMainForm::AddService(const QString& APrefix, TServiceKind AKind, std::unique_ptr<TNimboStorage> AStorage,
                           QAction* AAction) {
    auto worker = std::make_unique<TServiceWorker>(APrefix + " network");
    FServices.push_back({APrefix, AStorage.get()});
    FEntries.push_back({APrefix, AKind, std::move(AStorage), std::move(worker), AAction});
}

const TMainForm::TServiceEntry& TMainForm::Current() const {
    for (const TServiceEntry& entry : FEntries)
        if (entry.Storage.get() == FService) return entry;
    throw EAssertionFailed("The current service is not one of the window's");
}

// ---------------------------------------------------------------------------------------------
// Start and end

void TMainForm::FormCreate() {
    FTokens = std::make_unique<TTokenStore>(FOptions.SettingsLocation, FOptions.UseKeychain);
    ui->StartPanel->raise();
    if (FOptions.PresetService)
        for (const TStoredService& service : FServices) FOptions.PresetService(*service.Storage);
    QString loadError;
    try {
        TOptions::Load(FOptions.SettingsLocation, FServices, FTokens.get());
    } catch (const std::exception& error) {
        loadError = QString::fromUtf8(error.what());
    }
    FSavedStates = CurrentStates();
    TWindowSettings window = TOptions::LoadWindow(FOptions.SettingsLocation);
    if (!window.Geometry.isEmpty()) restoreGeometry(window.Geometry);
    if (!window.Columns.isEmpty()) ui->TreeView->header()->restoreState(window.Columns);
    for (const TStoredService& service : FServices)
        if (service.Prefix == window.LastService) FService = service.Storage;
    SetConnected(false);
    UpdateDetails();
    UpdateActions();
    // Shown once the window is up, so that the message has a window to stand in front of.
    if (!loadError.isEmpty()) QTimer::singleShot(0, this, [loadError] { ShowErrorMessage(loadError); });
}

void TMainForm::FormDestroy() {
    RunHandler([this] { SaveSettings(); });
}

// ---------------------------------------------------------------------------------------------
// Settings

void TMainForm::Run(const std::function<void()>& AHandler) {
    RunHandler(AHandler);
    RunHandler([this] { SaveSettingsIfStatesChanged(); });
    UpdateActions();
}

// Commands do not nest: a click that reaches the window while a command waits for the network or
// for a sign-in is dropped.
void TMainForm::RunCommand(const std::function<void()>& AHandler) {
    if (FInCommand) return;
    FInCommand = true;
    FResult.clear();
    // A sign-in cancelled before this command (one the options dialog tested) is not this one's.
    TBrowserSignIn::TakeCancelled();
    Run([this, &AHandler] {
        try {
            AHandler();
        } catch (const EAbort&) {
            if (TBrowserSignIn::TakeCancelled())
                SignInCancelled();
            else
                SetResult("Cancelled");
            throw;
        } catch (const std::exception& error) {
            SetResult("Failed: " + ReadableError(error).Message);
            throw;
        }
        if (!FResult.isEmpty()) SetResult(FResult);
    });
    FInCommand = false;
    if (std::exchange(FListPending, false)) QTimer::singleShot(0, this, [this] { ListExpanded(); });
}

std::vector<std::string> TMainForm::CurrentStates() const {
    std::vector<std::string> states;
    for (const TStoredService& service : FServices) {
        std::ostringstream stream;
        service.Storage->SaveState(stream);
        states.push_back(std::move(stream).str());
    }
    return states;
}

void TMainForm::SaveSettings() {
    // The keychain answers through the event loop, where another handler may want to save too.
    if (FSaving) return;
    FSaving = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FSaving};
    // Taken as written also when the write fails: a failure is shown once per change, not after
    // every command; the next change and the end of the program try again.
    FSavedStates = CurrentStates();
    TWindowSettings window{.Geometry = saveGeometry(), .Columns = ui->TreeView->header()->saveState()};
    for (const TStoredService& service : FServices)
        if (service.Storage == FService) window.LastService = service.Prefix;
    TOptions::Save(FOptions.SettingsLocation, FServices, window, FTokens.get());
    if (FOptions.AfterSettingsWritten) FOptions.AfterSettingsWritten();
}

// A sign-in or a renewal is written at once: a refresh token may be good for one use only, and
// a program that ended before writing it would leave a spent one in the settings.
void TMainForm::SaveSettingsIfStatesChanged() {
    // A job on a worker may be renewing a sign-in; its command looks again when it ends.
    if (AnyWorkerBusy()) return;
    if (CurrentStates() != FSavedStates) SaveSettings();
}

// ---------------------------------------------------------------------------------------------
// Services

bool TMainForm::HasAuthParams() const {
    return !FService->GetClientId().empty() && (!FService->GetSecret().empty() || !TOptions::NeedsSecret(*FService));
}

QString TMainForm::ServiceName() const {
    switch (Kind()) {
        case TServiceKind::Google:
            return "Google Drive";
        case TServiceKind::Dropbox:
            return "Dropbox";
        case TServiceKind::OneDrive:
            return "OneDrive";
        case TServiceKind::Box:
            break;
    }
    return "Box";
}

// The account's name is a courtesy: a service that does not give it leaves it out of the title.
static QString AccountName(TNimboStorage& AStorage) {
    try {
        if (auto* google = dynamic_cast<TNimboGDrive*>(&AStorage)) return FromStd(google->GetUserName());
        if (auto* dropbox = dynamic_cast<TNimboDropBox*>(&AStorage)) return FromStd(dropbox->GetUserName());
        if (auto* onedrive = dynamic_cast<TNimboOneDrive*>(&AStorage)) return FromStd(onedrive->GetUserName());
        if (auto* box = dynamic_cast<TNimboBoxNet*>(&AStorage)) return FromStd(box->GetUserName());
        if (auto* google = dynamic_cast<TNimboGDrive3*>(&AStorage)) return FromStd(google->GetUserName());
        if (auto* dropbox = dynamic_cast<TNimboDropBox2*>(&AStorage)) return FromStd(dropbox->GetUserName());
        if (auto* onedrive = dynamic_cast<TNimboOneDriveGraph*>(&AStorage)) return FromStd(onedrive->GetUserName());
    } catch (const Exception&) {}
    return {};
}

void TMainForm::UpdateTitle() {
    QString title = "Cloudpane";
    QString service = ServiceName();
    if (FConnected) {
        title += " - " + service;
        if (!FAccount.isEmpty()) title += " - " + FAccount;
        service += FAccount.isEmpty() ? QString() : " - " + FAccount;
    } else {
        service += " - not connected";
    }
    setWindowTitle(title);
    ServiceStatus->setText(service);
    if (!FConnected) SpaceStatus->clear();
}

// Space is a courtesy as well: a service that cannot tell it leaves the field empty.
void TMainForm::UpdateSpace() {
    std::optional<TNimboSpace> space;
    TNimboStorage* service = FService;
    try {
        Call([&space, service] { space = service->GetSpace(); });
    } catch (const EAbort&) {
        throw;
    } catch (const Exception&) {}
    if (space)
        SpaceStatus->setText(FormatSpace(*space));
    else
        SpaceStatus->clear();
}

void TMainForm::SetResult(const QString& AText) {
    ResultStatus->setText(AText);
    ShowDownloadButton->setVisible(!FLastDownload.isEmpty() && AText.startsWith("Downloaded "));
}

void TMainForm::SwitchService(TNimboStorage& AStorage) {
    FService = &AStorage;
    FAccount.clear();
    SetConnected(false);
    if (HasAuthParams() || ExecuteOptions())
        Refresh();
    else
        ui->TreeView->clear();
    UpdateDetails();
}

void TMainForm::Refresh() {
    ui->TreeView->clear();
    GetFiles(nullptr);
    TNimboStorage* service = FService;
    QString account;
    Call([&account, service] { account = AccountName(*service); });
    FAccount = account;
    SetConnected(true);
    UpdateSpace();
    UpdateDetails();
    FResult = "Opened " + ServiceName();
}

void TMainForm::SetConnected(bool AValue) {
    FConnected = AValue;
    Current().Action->setChecked(true);
    SignOutAction->setText("Sign out of " + ServiceName());
    ui->StartPanel->setVisible(!AValue);
    if (!AValue) ui->StartPanel->raise();
    UpdateTitle();
}

void TMainForm::ServicesButttonClick() {
    ServicesMenu->popup(ui->ServicesButtton->mapToGlobal(ui->ServicesButtton->rect().bottomLeft()));
}

void TMainForm::RefreshActionExecute() {
    TTreeState state = FConnected ? SaveTreeState() : TTreeState{};
    SwitchService(*FService);
    if (FConnected) RestoreTreeState(state);
}

namespace {

QStringList NamesFromTop(const QTreeWidgetItem* AItem) {
    QStringList names;
    for (; AItem != nullptr; AItem = AItem->parent()) names.prepend(AItem->text(0));
    return names;
}

void CollectExpanded(const QTreeWidgetItem* AItem, std::vector<QStringList>& APaths) {
    if (!AItem->isExpanded() || AItem->type() != TMainForm::TFileItem::Type) return;
    APaths.push_back(NamesFromTop(AItem));
    for (int i = 0; i < AItem->childCount(); ++i) CollectExpanded(AItem->child(i), APaths);
}

}  // namespace

TMainForm::TTreeState TMainForm::SaveTreeState() const {
    TTreeState state;
    for (int i = 0; i < ui->TreeView->topLevelItemCount(); ++i)
        CollectExpanded(ui->TreeView->topLevelItem(i), state.Expanded);
    if (TFileItem* selected = SelectedItem()) state.Selected = NamesFromTop(selected);
    return state;
}

QTreeWidgetItem* TMainForm::ItemAt(const QStringList& APath) const {
    QTreeWidgetItem* found = nullptr;
    for (const QString& name : APath) {
        QTreeWidgetItem* next = nullptr;
        int count = found != nullptr ? found->childCount() : ui->TreeView->topLevelItemCount();
        for (int i = 0; i < count && next == nullptr; ++i) {
            QTreeWidgetItem* child = found != nullptr ? found->child(i) : ui->TreeView->topLevelItem(i);
            if (child->type() == TFileItem::Type && child->text(0) == name) next = child;
        }
        if (next == nullptr) return nullptr;
        found = next;
    }
    return found;
}

// Parents come before their children in AState.Expanded, so each folder is listed before its
// expanded children are looked for.
void TMainForm::RestoreTreeState(const TTreeState& AState) {
    ExpandAgain(AState.Expanded);
    if (QTreeWidgetItem* selected = ItemAt(AState.Selected); selected != nullptr && !AState.Selected.isEmpty())
        Select(selected);
    UpdateDetails();
}

void TMainForm::ExpandAgain(const std::vector<QStringList>& APaths) {
    for (const QStringList& path : APaths)
        if (auto* item = dynamic_cast<TFileItem*>(ItemAt(path))) {
            ListIfUnlisted(item);
            item->setExpanded(true);
        }
}

TOptionsServices TMainForm::OptionsServices() const {
    TOptionsServices services;
    QList<QAction*> actions = ServicesMenu->actions() + LegacyMenu->actions();
    for (QAction* action : actions)
        for (const TServiceEntry& entry : FEntries)
            if (entry.Action == action)
                services.push_back({.Prefix = entry.Prefix,
                                    .Caption = action->text(),
                                    .Storage = entry.Storage.get(),
                                    .Run = [worker = entry.Worker.get()](const std::function<void()>& AWork) {
                                        worker->Call(AWork);
                                    }});
    return services;
}

// What the dialog saved is written at once, every service's values.
bool TMainForm::ExecuteOptions() {
    if (!TOptions::Execute(OptionsServices(), Current().Prefix, this, FTokens.get())) return false;
    SaveSettings();
    return true;
}

void TMainForm::OptionsActionExecute() {
    if (!ExecuteOptions()) return;
    Refresh();
    UpdateDetails();
}

// ---------------------------------------------------------------------------------------------
// The tree

TServiceWorker& TMainForm::Worker() const { return *Current().Worker; }

bool TMainForm::AnyWorkerBusy() const {
    return std::any_of(FEntries.begin(), FEntries.end(), [](const auto& AEntry) { return AEntry.Worker->Busy(); });
}

void TMainForm::Call(const std::function<void()>& AJob, THttpProgressHandler AProgress) {
    Worker().Call(AJob, std::move(AProgress));
}

void TMainForm::GetFiles(TFileItem* AParent) {
    std::vector<std::pair<TNimboCloudFile, TItemView>> children;
    TNimboCloudFile folder = AParent != nullptr ? AParent->F : TNimboCloudFile();
    TNimboStorage* service = FService;
    Call([&children, &folder, service] {
        if (folder.IsEmpty()) folder = service->GetRoot();
        folder.Files([&children](TNimboCloudFile AChild) {
            TItemView view = TItemView::Of(AChild);
            children.emplace_back(std::move(AChild), std::move(view));
        });
    });
    TTreeBatch batch(ui->TreeView);
    for (const auto& [child, view] : children) AddFile(AParent, child, view);
}

TMainForm::TFileItem* TMainForm::AddFile(TFileItem* AParent, const TNimboCloudFile& F, const TItemView& AView) {
    auto* item = new TFileItem(F, AView);
    item->ShowColumns();
    if (AParent != nullptr)
        AParent->addChild(item);
    else
        ui->TreeView->addTopLevelItem(item);
    if (AView.IsFolder) item->addChild(new TTempItem());
    return item;
}

// The placeholder stays until the listing has come: a folder whose listing failed or was cancelled
// is listed again when it is next expanded.
bool TMainForm::ListIfUnlisted(TFileItem* AItem) {
    if (AItem == nullptr || AItem->childCount() != 1 || AItem->child(0)->type() != TTempItem::Type) return false;
    QTreeWidgetItem* placeholder = AItem->child(0);
    try {
        GetFiles(AItem);
    } catch (...) {
        AItem->setExpanded(false);
        throw;
    }
    delete placeholder;
    return true;
}

void TMainForm::ListExpanded() {
    if (FInCommand) {
        FListPending = true;
        return;
    }
    if (!FConnected) return;
    RunCommand([this] {
        FListing = true;
        CancelListingButton->show();
        struct TReset {
            TMainForm* Form;
            ~TReset() {
                Form->FListing = false;
                Form->CancelListingButton->hide();
            }
        } reset{this};
        for (int i = 0; i < ui->TreeView->topLevelItemCount(); ++i) ListExpanded(ui->TreeView->topLevelItem(i));
    });
}

// Folders expanded while a listing runs are listed by the next pass.
bool TMainForm::ListExpanded(QTreeWidgetItem* AItem) {
    if (AItem->isExpanded() && ListIfUnlisted(dynamic_cast<TFileItem*>(AItem))) return true;
    bool listed = false;
    for (int i = 0; i < AItem->childCount(); ++i) listed = ListExpanded(AItem->child(i)) || listed;
    return listed;
}

void TMainForm::CancelListing() {
    if (FListing) Worker().Cancel();
}

// ---------------------------------------------------------------------------------------------
// Selection and details

TMainForm::TFileItem* TMainForm::SelectedItem() const {
    QList<QTreeWidgetItem*> selected = ui->TreeView->selectedItems();
    return selected.isEmpty() ? nullptr : dynamic_cast<TFileItem*>(selected.first());
}

std::vector<TMainForm::TFileItem*> TMainForm::SelectedItems() const {
    std::vector<TFileItem*> items;
    for (QTreeWidgetItem* item : ui->TreeView->selectedItems()) {
        auto* file = dynamic_cast<TFileItem*>(item);
        if (file == nullptr) continue;
        bool inside = false;
        for (QTreeWidgetItem* up = item->parent(); up != nullptr && !inside; up = up->parent())
            inside = up->isSelected();
        if (!inside) items.push_back(file);
    }
    return items;
}

TNimboCloudFile TMainForm::Selected() const {
    TFileItem* item = SelectedItem();
    return item != nullptr ? item->F : TNimboCloudFile();
}

TMainForm::TFileItem* TMainForm::TargetFolder() const {
    QList<QTreeWidgetItem*> selected = ui->TreeView->selectedItems();
    QTreeWidgetItem* item = selected.isEmpty() ? nullptr : selected.first();
    auto* file = dynamic_cast<TFileItem*>(item);
    if (file != nullptr && file->V.IsFolder) return file;
    return item != nullptr ? dynamic_cast<TFileItem*>(item->parent()) : nullptr;
}

void TMainForm::CheckName(const QString& AName) const {
    auto refuse = [&AName](const QString& AReason) {
        throw ERestError(ToStd("The name \"" + AName + "\" cannot be used: " + AReason));
    };
    if (AName.trimmed().isEmpty()) throw ERestError("Please enter a name: an item's name cannot be empty.");
    if (AName.contains('/')) refuse("\"/\" separates folders. Please choose a name without it.");
    if (AName == "." || AName == "..") refuse("it stands for a folder itself. Please choose another name.");
    QString refused;
    if (Kind() == TServiceKind::OneDrive)
        refused = R"("*:<>?\|)";
    else if (Kind() == TServiceKind::Box)
        refused = "\\";
    for (QChar c : refused)
        if (AName.contains(c))
            refuse(ServiceName() + " does not allow the characters " + refused +
                   " in names. Please choose another name.");
    if (AName != AName.trimmed() && Kind() != TServiceKind::Google)
        refuse(ServiceName() + " does not allow spaces at the start or end of a name.");
}

TMainForm::TFileItem* TMainForm::ClashingChild(TFileItem* AFolder, const QString& AName,
                                               const TFileItem* AExcept) const {
    // Drive tells names apart by their case; the other services do not.
    Qt::CaseSensitivity sensitivity = Kind() == TServiceKind::Google ? Qt::CaseSensitive : Qt::CaseInsensitive;
    int count = AFolder != nullptr ? AFolder->childCount() : ui->TreeView->topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        auto* child = dynamic_cast<TFileItem*>(AFolder != nullptr ? AFolder->child(i) : ui->TreeView->topLevelItem(i));
        if (child != nullptr && child != AExcept && QString::compare(child->text(0), AName, sensitivity) == 0)
            return child;
    }
    return nullptr;
}

QString TMainForm::FreeName(TFileItem* AFolder, const QString& AName, bool AIsFolder) const {
    qsizetype dot = AIsFolder ? -1 : AName.lastIndexOf('.');
    QString stem = dot > 0 ? AName.left(dot) : AName;
    QString extension = dot > 0 ? AName.mid(dot) : QString();
    for (int number = 2;; ++number) {
        QString name = stem + " (" + QString::number(number) + ")" + extension;
        if (ClashingChild(AFolder, name) == nullptr) return name;
    }
}

TMainForm::TClashAnswer TMainForm::AskAboutClash(const QString& AName, const QString& AFreeName, bool ACanReplace,
                                                 bool ASeveral) {
    QMessageBox question(QMessageBox::Question, "Name in use", "\"" + AName + "\" is already in this folder.",
                         QMessageBox::NoButton, this);
    question.setObjectName("ClashQuestion");
    const QString refuse = ASeveral ? "skip this one" : "cancel";
    question.setInformativeText(ACanReplace ? "Replace its content, keep both (the new one as \"" + AFreeName +
                                                  "\"), or " + refuse + "?"
                                            : "Keep both (the new one as \"" + AFreeName + "\"), or " + refuse + "?");
    QPushButton* replace = ACanReplace ? question.addButton("Replace", QMessageBox::DestructiveRole) : nullptr;
    QPushButton* keepBoth = question.addButton("Keep both", QMessageBox::AcceptRole);
    QPushButton* cancel =
        ASeveral ? question.addButton("Skip", QMessageBox::RejectRole) : question.addButton(QMessageBox::Cancel);
    question.setDefaultButton(cancel);
    question.setEscapeButton(cancel);
    question.exec();
    if (replace != nullptr && question.clickedButton() == replace) return TClashAnswer::Replace;
    return question.clickedButton() == keepBoth ? TClashAnswer::KeepBoth : TClashAnswer::Cancel;
}

QString TMainForm::TrashNote() const {
    if (Kind() == TServiceKind::Google) return "Google Drive keeps no copy: this cannot be undone.";
    if (Kind() == TServiceKind::Dropbox)
        return "Dropbox keeps deleted items for a while: they can be restored on its website.";
    if (Kind() == TServiceKind::OneDrive) return "OneDrive keeps a copy in its recycle bin.";
    return "Box keeps a copy in its trash.";
}

void TMainForm::ClearSelection() {
    ui->TreeView->clearSelection();
    ui->TreeView->setCurrentItem(nullptr);
}

void TMainForm::Select(QTreeWidgetItem* AItem) {
    ui->TreeView->setCurrentItem(AItem);
    AItem->setSelected(true);
    ui->TreeView->scrollToItem(AItem);
}

void TMainForm::TreeViewChange() { UpdateDetails(); }

void TMainForm::TreeViewClick(const QPoint& APosition) {
    if (ui->TreeView->itemAt(APosition) == nullptr) ClearSelection();
}

void TMainForm::TreeViewKeyDown(int AKey) {
    if (AKey != Qt::Key_Escape) return;
    if (FListing)
        CancelListing();
    else
        ClearSelection();
}

bool TMainForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == ui->TreeView->viewport() && AEvent->type() == QEvent::MouseButtonPress) {
        QPoint position = static_cast<QMouseEvent*>(AEvent)->position().toPoint();
        Run([this, position] { TreeViewClick(position); });
    } else if (AWatched == ui->TreeView && AEvent->type() == QEvent::KeyPress) {
        int key = static_cast<QKeyEvent*>(AEvent)->key();
        if (key == Qt::Key_Escape) {
            Run([this, key] { TreeViewKeyDown(key); });
            return true;
        }
        if (key == Qt::Key_Delete || key == Qt::Key_F2) {
            QAction* action = key == Qt::Key_Delete ? ui->DeleteAction : RenameAction;
            if (action->isEnabled()) action->trigger();
            return true;
        }
    }
    return QMainWindow::eventFilter(AWatched, AEvent);
}

void TMainForm::UpdateDetails() {
    TFileItem* item = SelectedItem();
    auto show = [](QLabel* ALabel, const QString& AText) {
        ALabel->setText(AText);
        ALabel->adjustSize();
    };
    if (item == nullptr) {
        for (QLabel* label : {ui->NameLabel, ui->SizeLabel, ui->MimeTypeLabel, ui->CreatedLabel, ui->ModifiedLabel})
            show(label, QString());
        ui->BigImage->clear();
        return;
    }
    const TItemView& F = item->V;
    show(ui->NameLabel, F.Name);
    show(ui->SizeLabel, "Size: " + QString::number(F.Size) + " bytes");
    show(ui->MimeTypeLabel, "Mime type: " + F.MimeType);
    show(ui->CreatedLabel, "Created at: " + FormatTime(F.HasCreated, F.Created));
    show(ui->ModifiedLabel, "Modified at: " + FormatTime(F.HasModified, F.Modified));
    ui->BigImage->setPixmap(QIcon(IMG_STYLES[F.IsFolder]).pixmap(32, 32));
    FitDetailsPanel();
}

// Widens the details panel (never narrows it) so that its labels show whole, as long as the tree
// keeps a useful width.
void TMainForm::FitDetailsPanel() {
    constexpr int MinimumTreeWidth = 200;
    int needed = 0;
    for (QLabel* label : {ui->NameLabel, ui->SizeLabel, ui->MimeTypeLabel, ui->CreatedLabel, ui->ModifiedLabel})
        needed = std::max(needed, label->geometry().right() + 1 + label->x());
    QList<int> sizes = ui->Splitter->sizes();
    int total = sizes.value(0) + sizes.value(1);
    int panel = std::min(needed, total - MinimumTreeWidth);
    if (panel > sizes.value(1)) ui->Splitter->setSizes({total - panel, panel});
}

// ---------------------------------------------------------------------------------------------
// Actions

void TMainForm::UpdateActions() {
    // The sign-in state is the worker's while a job runs.
    if (!AnyWorkerBusy()) SignOutAction->setEnabled(!FService->GetToken().empty() || !FService->GetRefresh().empty());
    DownloadActionUpdate();
    UploadActionUpdate();
    NewFolderActionUpdate();
    DeleteActionUpdate();
}

void TMainForm::DownloadActionUpdate() {
    std::vector<TFileItem*> items = SelectedItems();
    ui->DownloadAction->setEnabled(
        FConnected && !items.empty() &&
        std::none_of(items.begin(), items.end(), [](TFileItem* A) { return A->V.IsFolder; }));
}

void TMainForm::UploadActionUpdate() { ui->UploadAction->setEnabled(FConnected); }

void TMainForm::NewFolderActionUpdate() { ui->NewFolderAction->setEnabled(FConnected); }

void TMainForm::DeleteActionUpdate() {
    ui->DeleteAction->setEnabled(SelectedItem() != nullptr);
    RenameAction->setEnabled(FConnected && SelectedItems().size() == 1);
}

void TMainForm::UploadActionExecute() {
    TFileItem* target = TargetFolder();
    if (OpenDialog->exec() != QDialog::Accepted || OpenDialog->selectedFiles().isEmpty()) return;
    UploadFiles(OpenDialog->selectedFiles(), target);
}

// One file's failure is noted and the others go on; a transfer the user cancelled ends them all.
// The end reports what was not uploaded, and why, in one message.
void TMainForm::UploadFiles(const QStringList& AFiles, TFileItem* ATarget) {
    if (AFiles.size() == 1) {
        if (!QFileInfo(AFiles.first()).isFile())
            throw ERestError(ToStd("\"" + AFiles.first() + "\" is not a file: only files can be uploaded."));
        UploadFile(AFiles.first(), ATarget, false);
        return;
    }
    QStringList failed;
    int done = 0;
    bool cancelled = false;
    for (const QString& file : AFiles) {
        QString name = QFileInfo(file).fileName();
        if (cancelled) {
            failed << name + ": not started, the upload was cancelled.";
            continue;
        }
        try {
            if (!QFileInfo(file).isFile()) throw ERestError("It is not a file: only files can be uploaded.");
            if (UploadFile(file, ATarget, true))
                ++done;
            else
                failed << name + ": skipped, the name is in use.";
        } catch (const EAbort&) {
            cancelled = true;
            failed << name + ": cancelled.";
        } catch (const std::exception& error) {
            failed << name + ": " + ReadableError(error).Message;
        }
    }
    FResult = "Uploaded " + QString::number(done) + " of " + QString::number(AFiles.size()) + " files" +
              (cancelled ? " (cancelled)" : "");
    if (failed.isEmpty() || cancelled) return;
    ShowFailures(
        "Upload", "UploadReport",
        QString::number(failed.size()) + (failed.size() == 1 ? " file was" : " files were") + " not uploaded:", failed);
}

void TMainForm::ShowFailures(const QString& ATitle, const QString& AObjectName, const QString& AHeadline,
                             const QStringList& AFailures) {
    QMessageBox report(QMessageBox::Warning, ATitle, AHeadline, QMessageBox::Ok, this);
    report.setObjectName(AObjectName);
    report.setInformativeText(AFailures.join('\n'));
    report.exec();
}

bool TMainForm::UploadFile(const QString& AFileName, TFileItem* ATarget, bool ASeveral) {
    TFileItem* target = ATarget;
    const QString& fileName = AFileName;
    QString name = QFileInfo(fileName).fileName();
    CheckName(name);
    if (target != nullptr) {
        ListIfUnlisted(target);
        target->setExpanded(true);
    }
    TFileItem* existing = ClashingChild(target, name);
    if (existing != nullptr) {
        QString freeName = FreeName(target, name, false);
        TClashAnswer answer = AskAboutClash(name, freeName, !existing->V.IsFolder, ASeveral);
        if (answer == TClashAnswer::Cancel) return false;
        if (answer == TClashAnswer::KeepBoth) {
            name = freeName;
            existing = nullptr;
        }
    }
    TNimboCloudFile folder = target != nullptr ? target->F : TNimboCloudFile();
    TNimboCloudFile replaced = existing != nullptr ? existing->F : TNimboCloudFile();
    TNimboCloudFile created;
    TItemView view;
    {
        TTransferProgress progress(this, "Uploading " + name, {.Direction = tdUpload});
        TNimboStorage* service = FService;
        Call(
            [&, service] {
                if (!replaced.IsEmpty()) {
                    replaced.Upload(ToStd(fileName));
                    view = TItemView::Of(replaced);
                    return;
                }
                if (folder.IsEmpty()) folder = service->GetRoot();
                created = folder.createFile(ToStd(name), ToStd(fileName));
                view = TItemView::Of(created);
            },
            progress.ThreadHandler());
    }
    if (existing != nullptr) {
        existing->V = view;
        existing->ShowColumns();
        Select(existing);
        FResult = "Replaced \"" + name + "\"";
    } else {
        Select(AddFile(target, created, view));
        FResult = "Uploaded \"" + name + "\"";
    }
    UpdateSpace();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Dropping on the tree

// The folder a drop on AItem goes into: the item itself when it is a folder, else its folder
// (none: the root).
TMainForm::TFileItem* TMainForm::DropFolder(QTreeWidgetItem* AItem) const {
    auto* file = dynamic_cast<TFileItem*>(AItem);
    if (file != nullptr && file->V.IsFolder) return file;
    return AItem != nullptr ? dynamic_cast<TFileItem*>(AItem->parent()) : nullptr;
}

// One item's failure (a clash answered Skip, a folder dropped into itself, a refusal from the
// service) is noted and the others go on; the end reports what was not moved, and why, in one message.
void TMainForm::MoveItems(const QList<QStringList>& APaths, TFileItem* ATarget) {
    // Items already in ATarget stay where they are; leaving them out also keeps a row that a
    // Replace removes from being visited later.
    // An item inside a dragged folder goes with it; moving it again would take it out of there.
    std::vector<TFileItem*> dragged;
    for (const QStringList& path : APaths)
        if (auto* item = dynamic_cast<TFileItem*>(ItemAt(path))) dragged.push_back(item);
    auto insideDragged = [&dragged](const TFileItem* AItem) {
        for (const QTreeWidgetItem* up = AItem->parent(); up != nullptr; up = up->parent())
            if (std::find(dragged.begin(), dragged.end(), up) != dragged.end()) return true;
        return false;
    };
    std::vector<TFileItem*> items;
    for (TFileItem* item : dragged)
        if (item->parent() != ATarget && !insideDragged(item)) items.push_back(item);
    if (items.empty()) return;
    if (items.size() == 1) CheckNotIntoItself(items.front(), ATarget);
    if (ATarget != nullptr) {
        ListIfUnlisted(ATarget);
        ATarget->setExpanded(true);
    }
    if (items.size() == 1) {
        if (MoveItem(items.front(), ATarget, false)) FResult = "Moved \"" + items.front()->V.Name + "\"";
        return;
    }
    QStringList failed;
    int moved = 0;
    for (TFileItem* item : items) {
        QString name = item->V.Name;
        try {
            CheckNotIntoItself(item, ATarget);
            if (MoveItem(item, ATarget, true))
                ++moved;
            else
                failed << name + ": skipped, the name is in use.";
        } catch (const std::exception& error) {
            failed << name + ": " + ReadableError(error).Message;
        }
    }
    FResult = "Moved " + QString::number(moved) + " of " + QString::number(items.size()) + " items";
    if (failed.isEmpty()) return;
    ShowFailures(
        "Move", "MoveReport",
        QString::number(failed.size()) + (failed.size() == 1 ? " item was" : " items were") + " not moved:", failed);
}

// A folder cannot go into itself or below itself.
void TMainForm::CheckNotIntoItself(const TFileItem* AItem, const TFileItem* ATarget) {
    for (const QTreeWidgetItem* up = ATarget; up != nullptr; up = up->parent())
        if (up == AItem) throw ERestError(ToStd("\"" + AItem->V.Name + "\" cannot be moved into itself."));
}

bool TMainForm::MoveItem(TFileItem* AItem, TFileItem* ATarget, bool ASeveral) {
    QString name = AItem->V.Name;
    TFileItem* existing = ClashingChild(ATarget, name);
    TNimboCloudFile replaced;
    QString newName;
    if (existing != nullptr) {
        QString freeName = FreeName(ATarget, name, AItem->V.IsFolder);
        TClashAnswer answer = AskAboutClash(name, freeName, !AItem->V.IsFolder && !existing->V.IsFolder, ASeveral);
        if (answer == TClashAnswer::Cancel) return false;
        if (answer == TClashAnswer::KeepBoth)
            newName = freeName;
        else
            replaced = existing->F;
    }
    TNimboCloudFile F = AItem->F;
    TNimboCloudFile folder = ATarget != nullptr ? ATarget->F : TNimboCloudFile();
    TNimboStorage* service = FService;
    TItemView view;
    bool replacedGone = false;
    bool renamed = false;
    try {
        Call([&, service] {
            if (folder.IsEmpty()) folder = service->GetRoot();
            if (!replaced.IsEmpty()) {
                replaced.Delete();
                replacedGone = true;
            }
            if (!newName.isEmpty()) {
                F.Rename(ToStd(newName));
                renamed = true;
                view = TItemView::Of(F);
            }
            F.Move(folder);
            view = TItemView::Of(F);
        });
    } catch (...) {
        // What the service did before it failed shows in the tree: the replaced item is gone, the
        // moved one keeps its new name where it was.
        if (replacedGone) delete existing;
        if (renamed) {
            AItem->V = view;
            AItem->ShowColumns();
        }
        throw;
    }
    if (replacedGone) delete existing;
    bool selected = AItem->isSelected();
    bool expanded = AItem->isExpanded();
    if (QTreeWidgetItem* parent = AItem->parent())
        parent->removeChild(AItem);
    else
        ui->TreeView->takeTopLevelItem(ui->TreeView->indexOfTopLevelItem(AItem));
    AItem->V = view;
    AItem->ShowColumns();
    if (ATarget != nullptr)
        ATarget->addChild(AItem);
    else
        ui->TreeView->addTopLevelItem(AItem);
    if (selected) AItem->setSelected(true);
    ListAgain(AItem, expanded);
    return true;
}

// What is below a folder that was renamed or moved is read again from the service: where it
// addresses items by their path, the items listed before still point where the folder was. The
// folders that were open below it are opened again.
void TMainForm::ListAgain(TFileItem* AFolder, bool AExpanded) {
    if (!AFolder->V.IsFolder) return;
    std::vector<QStringList> openBelow;
    for (int i = 0; i < AFolder->childCount(); ++i) CollectExpanded(AFolder->child(i), openBelow);
    if (AFolder->childCount() != 1 || AFolder->child(0)->type() != TTempItem::Type) {
        qDeleteAll(AFolder->takeChildren());
        AFolder->addChild(new TTempItem());
    }
    if (!AExpanded) return;
    ListIfUnlisted(AFolder);
    AFolder->setExpanded(true);
    ExpandAgain(openBelow);
}

void TMainForm::NewFolderActionExecute() {
    TFileItem* target = TargetFolder();
    QInputDialog dialog(this);
    dialog.setObjectName("NewFolderDialog");
    dialog.setWindowTitle("New Folder");
    dialog.setLabelText("Enter folder name");
    dialog.setTextValue("NewFolder");
    if (dialog.exec() != QDialog::Accepted) return;
    QString name = dialog.textValue();
    CheckName(name);
    if (target != nullptr) {
        ListIfUnlisted(target);
        target->setExpanded(true);
    }
    if (ClashingChild(target, name) != nullptr) {
        QString freeName = FreeName(target, name, true);
        if (AskAboutClash(name, freeName, false) != TClashAnswer::KeepBoth) return;
        name = freeName;
    }
    TNimboCloudFile folder = target != nullptr ? target->F : TNimboCloudFile();
    TNimboCloudFile created;
    TItemView view;
    TNimboStorage* service = FService;
    Call([&, service] {
        if (folder.IsEmpty()) folder = service->GetRoot();
        created = folder.CreateFolder(ToStd(name));
        view = TItemView::Of(created);
    });
    Select(AddFile(target, created, view));
    FResult = "Created folder \"" + name + "\"";
}

void TMainForm::DownloadActionExecute() {
    std::vector<TFileItem*> items = SelectedItems();
    if (items.size() > 1) return DownloadSeveral(items);
    TFileItem* item = SelectedItem();
    if (item == nullptr) return;
    TNimboCloudFile F = item->F;
    QString name = item->V.Name;
    SaveDialog->setDefaultSuffix(QFileInfo(name).suffix());
    SaveDialog->selectFile(name);
    if (SaveDialog->exec() != QDialog::Accepted || SaveDialog->selectedFiles().isEmpty()) return;
    QString fileName = SaveDialog->selectedFiles().first();
    {
        TTransferProgress progress(this, "Downloading " + name, {.Direction = tdDownload});
        Call([&F, &fileName] { F.Download(ToStd(fileName)); }, progress.ThreadHandler());
    }
    FResult = "Downloaded \"" + name + "\"";
    FLastDownload = fileName;
}

// Several files go into one folder; a name that is there already gets a number, so that nothing
// local is overwritten without a question.
void TMainForm::DownloadSeveral(const std::vector<TFileItem*>& AItems) {
    QFileDialog dialog(this);
    dialog.setObjectName("FolderDialog");
    dialog.setWindowTitle("Download " + QString::number(AItems.size()) + " files into");
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    QDir folder(dialog.selectedFiles().first());
    int done = 0;
    for (TFileItem* item : AItems) {
        QString name = item->V.Name;
        QString target = folder.filePath(name);
        qsizetype dot = name.lastIndexOf('.');
        for (int number = 2; QFileInfo::exists(target); ++number)
            target = folder.filePath(dot > 0 ? name.left(dot) + " (" + QString::number(number) + ")" + name.mid(dot)
                                             : name + " (" + QString::number(number) + ")");
        TNimboCloudFile F = item->F;
        TTransferProgress progress(this, "Downloading " + name, {.Direction = tdDownload});
        Call([&F, &target] { F.Download(ToStd(target)); }, progress.ThreadHandler());
        ++done;
        FLastDownload = target;
    }
    FResult = "Downloaded " + QString::number(done) + " files";
}

void TMainForm::DeleteActionExecute() {
    std::vector<TFileItem*> items = SelectedItems();
    if (items.size() > 1) return DeleteSeveral(items);
    TFileItem* item = SelectedItem();
    if (item == nullptr) return;
    QString name = item->V.Name;
    QMessageBox question(
        QMessageBox::Question, "Delete",
        item->V.IsFolder ? "Delete the folder \"" + name + "\" and everything in it?" : "Delete \"" + name + "\"?",
        QMessageBox::Yes | QMessageBox::Cancel, this);
    question.setObjectName("DeleteConfirmation");
    question.setInformativeText(TrashNote());
    question.button(QMessageBox::Yes)->setText("Delete");
    question.setDefaultButton(QMessageBox::Cancel);
    if (question.exec() != QMessageBox::Yes) return;
    TNimboCloudFile F = item->F;
    Call([&F] { F.Delete(); });
    // Nothing is selected afterwards: the tree would otherwise pass the selection on to a
    // neighbour, which a second Delete key would offer to remove at once.
    ClearSelection();
    delete item;
    UpdateDetails();
    UpdateSpace();
    FResult = "Deleted \"" + name + "\"";
}

void TMainForm::DeleteSeveral(const std::vector<TFileItem*>& AItems) {
    QStringList names;
    for (TFileItem* item : AItems)
        names << "\"" + item->V.Name + "\"" + (item->V.IsFolder ? " and everything in it" : "");
    QMessageBox question(QMessageBox::Question, "Delete", "Delete these " + QString::number(AItems.size()) + " items?",
                         QMessageBox::Yes | QMessageBox::Cancel, this);
    question.setObjectName("DeleteConfirmation");
    question.setInformativeText(names.join("\n") + "\n\n" + TrashNote());
    question.button(QMessageBox::Yes)->setText("Delete");
    question.setDefaultButton(QMessageBox::Cancel);
    if (question.exec() != QMessageBox::Yes) return;
    ClearSelection();
    int done = 0;
    QStringList failed;
    // Each item leaves the tree as soon as the service has removed it, and one that fails stays
    // while the others go on: the tree stays true to what is left.
    for (TFileItem* item : AItems) {
        QString name = item->V.Name;
        try {
            TNimboCloudFile F = item->F;
            Call([&F] { F.Delete(); });
            delete item;
            ++done;
        } catch (const std::exception& error) {
            failed << name + ": " + ReadableError(error).Message;
        }
    }
    UpdateDetails();
    UpdateSpace();
    FResult = "Deleted " + QString::number(done) + " of " + QString::number(AItems.size()) + " items";
    if (failed.isEmpty()) return;
    ShowFailures(
        "Delete", "DeleteReport",
        QString::number(failed.size()) + (failed.size() == 1 ? " item was" : " items were") + " not deleted:", failed);
}

void TMainForm::RenameActionExecute() {
    TFileItem* item = SelectedItem();
    if (item == nullptr) return;
    QString old = item->V.Name;
    QInputDialog dialog(this);
    dialog.setObjectName("RenameDialog");
    dialog.setWindowTitle("Rename");
    dialog.setLabelText("New name for \"" + old + "\"");
    dialog.setTextValue(old);
    if (dialog.exec() != QDialog::Accepted) return;
    QString name = dialog.textValue();
    if (name == old) return;
    CheckName(name);
    auto* folder = dynamic_cast<TFileItem*>(item->parent());
    // A change of case only is no clash where the service ignores case.
    if (ClashingChild(folder, name, item) != nullptr) {
        QString freeName = FreeName(folder, name, item->V.IsFolder);
        if (AskAboutClash(name, freeName, false) != TClashAnswer::KeepBoth) return;
        name = freeName;
    }
    TNimboCloudFile F = item->F;
    TItemView view;
    Call([&F, &name, &view] {
        F.Rename(ToStd(name));
        view = TItemView::Of(F);
    });
    item->V = view;
    item->ShowColumns();
    ListAgain(item, item->isExpanded());
    UpdateDetails();
    FResult = "Renamed \"" + old + "\" to \"" + name + "\"";
}

void TMainForm::SignOutActionExecute() {
    ForgetSignIn();
    FResult = "Signed out of " + ServiceName();
}

void TMainForm::ForgetSignIn() {
    FService->SignOut();
    FAccount.clear();
    ClearSelection();
    ui->TreeView->clear();
    SetConnected(false);
    UpdateDetails();
}

// A sign-in the user gave up on leaves nothing of the service's previous one.
void TMainForm::SignInCancelled() {
    ForgetSignIn();
    SetResult("Sign-in cancelled: not signed in to " + ServiceName());
}

void TMainForm::TreeViewContextMenu(const QPoint& APosition) {
    QTreeWidgetItem* item = ui->TreeView->itemAt(APosition);
    if (item == nullptr)
        ClearSelection();
    else
        Select(item);
    UpdateActions();
    ContextMenu->popup(ui->TreeView->viewport()->mapToGlobal(APosition));
}

}  // namespace Nimbo::Demo
