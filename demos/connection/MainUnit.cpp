#include "MainUnit.h"

#include <algorithm>
#include <sstream>

#include <QDateTime>
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

#include "ErrorDisplay.h"
#include "FileManager.h"
#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/platform/DateTime.h"
#include "TransferProgress.h"
#include "ui_MainUnit.h"

// The pictures live in a resource of the program's static library, which the linker keeps only
// when something refers to it.
static void InitIconResources() { Q_INIT_RESOURCE(Icons); }

namespace Nimbo::Demo {

using namespace Nimbo::Connection;

namespace {

// A blank page on a Box host, where the Box sign-in ends.
const char* const BoxRedirectUrl = "https://app.box.com/nimbo-blank";

// The pictures of the details panel, by whether the item is a folder.
const char* const IMG_STYLES[2] = {":/icons/file.svg", ":/icons/folder.svg"};

std::string ToStd(const QString& AText) { return AText.toUtf8().toStdString(); }
QString FromStd(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

QIcon ItemIcon(const TNimboCloudFile& F) {
    if (F.GetIsFolder()) return QIcon(":/icons/folder.svg");
    QString type = FromStd(F.GetMimeType());
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
QString TypeText(const TNimboCloudFile& F) {
    if (F.GetIsFolder()) return "Folder";
    QString name = FromStd(F.GetMimeType());
    if (name.isEmpty()) return "File";
    QMimeType type = QMimeDatabase().mimeTypeForName(name);
    QString comment = type.isValid() ? type.comment() : QString();
    if (comment.isEmpty()) return name;
    comment[0] = comment[0].toUpper();
    return comment;
}

}  // namespace

void TMainForm::TFileItem::ShowColumns() {
    setText(colName, FromStd(F.GetName()));
    setText(colSize, F.GetIsFolder() ? QString()
                                     : QLocale().formattedDataSize(F.GetSize(), 1, QLocale::DataSizeTraditionalFormat));
    setTextAlignment(colSize, Qt::AlignRight | Qt::AlignVCenter);
    setText(colModified, F.GetHasModifiedAt() ? FormatTime(true, F.GetModifiedAt()) : QString());
    setText(colType, TypeText(F));
}

bool TMainForm::TFileItem::operator<(const QTreeWidgetItem& AOther) const {
    auto* other = dynamic_cast<const TFileItem*>(&AOther);
    if (other == nullptr) return QTreeWidgetItem::operator<(AOther);
    QTreeWidget* tree = treeWidget();
    int column = tree != nullptr ? tree->sortColumn() : colName;
    bool ascending = tree == nullptr || tree->header()->sortIndicatorOrder() == Qt::AscendingOrder;
    if (F.GetIsFolder() != other->F.GetIsFolder()) return F.GetIsFolder() == ascending;
    if (column == colSize && F.GetSize() != other->F.GetSize()) return F.GetSize() < other->F.GetSize();
    if (column == colModified && F.GetModifiedAt() != other->F.GetModifiedAt())
        return F.GetModifiedAt() < other->F.GetModifiedAt();
    if (column == colType) {
        int order = QString::localeAwareCompare(text(colType), other->text(colType));
        if (order != 0) return order < 0;
    }
    int order = QString::compare(text(colName), other->text(colName), Qt::CaseInsensitive);
    return order != 0 ? order < 0 : text(colName) < other->text(colName);
}

TMainForm::TMainForm(TMainFormOptions AOptions, QWidget* AParent)
    : QMainWindow(AParent),
      ui(std::make_unique<Ui::TMainForm>()),
      GDrive(std::make_unique<TNimboGDrive>()),
      DropBox(std::make_unique<TNimboDropBox>()),
      OneDrive(std::make_unique<TNimboOneDrive>()),
      BoxNet(std::make_unique<TNimboBoxNet>()),
      FServices{
          {"GDrive", GDrive.get()}, {"DropBox", DropBox.get()}, {"OneDrive", OneDrive.get()}, {"BoxNet", BoxNet.get()}},
      FOptions(std::move(AOptions)),
      FService(GDrive.get()) {
    InitIconResources();
    ui->setupUi(this);
    BoxNet->SetRedirectUrl(BoxRedirectUrl);

    ServicesMenu = new QMenu(this);
    ServicesMenu->setObjectName("ServicesMenu");
    ServicesMenu->addActions({ui->GDriveAction, ui->DropBoxAction, ui->OneDriveAction, ui->BoxNetAction});

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
    ui->TreeView->sortByColumn(colName, Qt::AscendingOrder);

    OpenDialog = new QFileDialog(this);
    OpenDialog->setObjectName("OpenDialog");
    OpenDialog->setFileMode(QFileDialog::ExistingFile);
    OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
    SaveDialog = new QFileDialog(this);
    SaveDialog->setObjectName("SaveDialog");
    SaveDialog->setFileMode(QFileDialog::AnyFile);
    SaveDialog->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog->setOption(QFileDialog::DontConfirmOverwrite, false);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(500);

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
    statusBar()->addWidget(ResultStatus, 1);
    statusBar()->addWidget(ShowDownloadButton);
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

    const std::pair<QAction*, TNimboStorage*> serviceActions[] = {{ui->GDriveAction, GDrive.get()},
                                                                  {ui->DropBoxAction, DropBox.get()},
                                                                  {ui->OneDriveAction, OneDrive.get()},
                                                                  {ui->BoxNetAction, BoxNet.get()}};
    for (auto [action, storage] : serviceActions)
        connect(action, &QAction::triggered, this,
                [this, storage] { RunCommand([this, storage] { SwitchService(*storage); }); });
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
    connect(Timer1, &QTimer::timeout, this, [this] { Run([this] { Timer1Timer(); }); });
    ui->TreeView->installEventFilter(this);
    ui->TreeView->viewport()->installEventFilter(this);

    FormCreate();
    Timer1->start();
}

TMainForm::~TMainForm() {
    FormDestroy();
    // The tree's items hold cloud items of the services, which go first.
    ui->TreeView->clear();
}

// ---------------------------------------------------------------------------------------------
// Start and end

void TMainForm::FormCreate() {
    ui->StartPanel->raise();
    if (FOptions.PresetService)
        for (const TStoredService& service : FServices) FOptions.PresetService(*service.Storage);
    QString loadError;
    try {
        TOptions::Load(FOptions.SettingsLocation, FServices);
    } catch (const std::exception& error) {
        loadError = QString::fromUtf8(error.what());
    }
    FSavedStates = CurrentStates();
    FService = GDrive.get();
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
    Run([this, &AHandler] {
        try {
            AHandler();
        } catch (const EAbort&) {
            SetResult("Cancelled");
            throw;
        } catch (const std::exception& error) {
            SetResult("Failed: " + ReadableError(error).Message);
            throw;
        }
        if (!FResult.isEmpty()) SetResult(FResult);
    });
    FInCommand = false;
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
    // Taken as written also when the write fails: a failure is shown once per change, not at
    // every tick of the timer; the next change and the end of the program try again.
    FSavedStates = CurrentStates();
    TWindowSettings window{.Geometry = saveGeometry(), .Columns = ui->TreeView->header()->saveState()};
    for (const TStoredService& service : FServices)
        if (service.Storage == FService) window.LastService = service.Prefix;
    TOptions::Save(FOptions.SettingsLocation, FServices, window);
    if (FOptions.AfterSettingsWritten) FOptions.AfterSettingsWritten();
}

// A sign-in or a renewal is written at once: a refresh token may be good for one use only, and
// a program that ended before writing it would leave a spent one in the settings.
void TMainForm::SaveSettingsIfStatesChanged() {
    if (CurrentStates() != FSavedStates) SaveSettings();
}

// ---------------------------------------------------------------------------------------------
// Services

bool TMainForm::HasAuthParams() const { return !FService->GetClientId().empty() && !FService->GetSecret().empty(); }

QString TMainForm::ServiceName() const {
    if (FService == GDrive.get()) return "Google Drive";
    if (FService == DropBox.get()) return "Dropbox";
    if (FService == OneDrive.get()) return "OneDrive";
    return "Box";
}

// The account's name is a courtesy: a service that does not give it leaves it out of the title.
static QString AccountName(TNimboStorage& AStorage) {
    try {
        if (auto* google = dynamic_cast<TNimboGDrive*>(&AStorage)) return FromStd(google->GetUserName());
        if (auto* dropbox = dynamic_cast<TNimboDropBox*>(&AStorage)) return FromStd(dropbox->GetUserName());
        if (auto* onedrive = dynamic_cast<TNimboOneDrive*>(&AStorage)) return FromStd(onedrive->GetUserName());
        if (auto* box = dynamic_cast<TNimboBoxNet*>(&AStorage)) return FromStd(box->GetUserName());
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
    try {
        SpaceStatus->setText(FormatSpace(FService->GetSpace()));
    } catch (const Exception&) {
        SpaceStatus->clear();
    }
}

void TMainForm::SetResult(const QString& AText) {
    ResultStatus->setText(AText);
    ShowDownloadButton->setVisible(!FLastDownload.isEmpty() && AText.startsWith("Downloaded "));
}

void TMainForm::SwitchService(TNimboStorage& AStorage) {
    FService = &AStorage;
    FAccount.clear();
    SetConnected(false);
    if (HasAuthParams() || TOptions::Execute(*FService, this))
        Refresh();
    else
        ui->TreeView->clear();
    UpdateDetails();
}

void TMainForm::Refresh() {
    {
        TTreeBatch batch(ui->TreeView);
        ui->TreeView->clear();
        GetFiles(nullptr);
    }
    FAccount = AccountName(*FService);
    SetConnected(true);
    UpdateSpace();
    UpdateDetails();
    FResult = "Opened " + ServiceName();
}

void TMainForm::SetConnected(bool AValue) {
    FConnected = AValue;
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
    {
        TTreeBatch batch(ui->TreeView);
        for (const QStringList& path : AState.Expanded)
            if (auto* item = dynamic_cast<TFileItem*>(ItemAt(path))) {
                ListIfUnlisted(item);
                item->setExpanded(true);
            }
    }
    if (QTreeWidgetItem* selected = ItemAt(AState.Selected); selected != nullptr && !AState.Selected.isEmpty())
        Select(selected);
    UpdateDetails();
}

void TMainForm::OptionsActionExecute() {
    if (!TOptions::Execute(*FService, this)) return;
    Refresh();
    UpdateDetails();
}

// ---------------------------------------------------------------------------------------------
// The tree

void TMainForm::GetFiles(TFileItem* AParent) {
    TNimboCloudFile F = AParent != nullptr ? AParent->F : FService->GetRoot();
    F.Files([this, AParent](TNimboCloudFile AChild) { AddFile(AParent, AChild); });
}

TMainForm::TFileItem* TMainForm::AddFile(TFileItem* AParent, const TNimboCloudFile& F) {
    auto* item = new TFileItem(F);
    item->ShowColumns();
    item->setIcon(colName, ItemIcon(F));
    if (AParent != nullptr)
        AParent->addChild(item);
    else
        ui->TreeView->addTopLevelItem(item);
    if (F.GetIsFolder()) item->addChild(new TTempItem());
    return item;
}

bool TMainForm::ListIfUnlisted(TFileItem* AItem) {
    if (AItem == nullptr || AItem->childCount() != 1 || AItem->child(0)->type() != TTempItem::Type) return false;
    // The placeholder goes first, so that a pass of the timer during the listing (a sign-in
    // window runs its own event loop) does not list the folder a second time.
    delete AItem->takeChild(0);
    GetFiles(AItem);
    return true;
}

void TMainForm::Timer1Timer() {
    if (FScanning) return;
    FScanning = true;
    struct TReset {
        bool& Flag;
        ~TReset() { Flag = false; }
    } reset{FScanning};
    ScanTree();
}

void TMainForm::ScanTree() {
    int count = ui->TreeView->topLevelItemCount();
    for (int i = 0; i < count && i < ui->TreeView->topLevelItemCount(); ++i) ScanTree(ui->TreeView->topLevelItem(i));
}

void TMainForm::ScanTree(QTreeWidgetItem* AItem) {
    if (AItem->isExpanded() && ListIfUnlisted(dynamic_cast<TFileItem*>(AItem))) return;
    int count = AItem->childCount();
    for (int i = 0; i < count && i < AItem->childCount(); ++i) ScanTree(AItem->child(i));
}

// ---------------------------------------------------------------------------------------------
// Selection and details

TMainForm::TFileItem* TMainForm::SelectedItem() const {
    QList<QTreeWidgetItem*> selected = ui->TreeView->selectedItems();
    return selected.isEmpty() ? nullptr : dynamic_cast<TFileItem*>(selected.first());
}

TNimboCloudFile TMainForm::Selected() const {
    TFileItem* item = SelectedItem();
    return item != nullptr ? item->F : TNimboCloudFile();
}

TMainForm::TFileItem* TMainForm::TargetFolder() const {
    QList<QTreeWidgetItem*> selected = ui->TreeView->selectedItems();
    QTreeWidgetItem* item = selected.isEmpty() ? nullptr : selected.first();
    auto* file = dynamic_cast<TFileItem*>(item);
    if (file != nullptr && file->F.GetIsFolder()) return file;
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
    if (FService == OneDrive.get())
        refused = R"("*:<>?\|)";
    else if (FService == BoxNet.get())
        refused = "\\";
    for (QChar c : refused)
        if (AName.contains(c))
            refuse(ServiceName() + " does not allow the characters " + refused +
                   " in names. Please choose another name.");
    if (AName != AName.trimmed() && FService != GDrive.get())
        refuse(ServiceName() + " does not allow spaces at the start or end of a name.");
}

TMainForm::TFileItem* TMainForm::ClashingChild(TFileItem* AFolder, const QString& AName,
                                               const TFileItem* AExcept) const {
    // Drive tells names apart by their case; the other services do not.
    Qt::CaseSensitivity sensitivity = FService == GDrive.get() ? Qt::CaseSensitive : Qt::CaseInsensitive;
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

TMainForm::TClashAnswer TMainForm::AskAboutClash(const QString& AName, const QString& AFreeName, bool ACanReplace) {
    QMessageBox question(QMessageBox::Question, "Name in use", "\"" + AName + "\" is already in this folder.",
                         QMessageBox::NoButton, this);
    question.setObjectName("ClashQuestion");
    question.setInformativeText(ACanReplace ? "Replace its content, keep both (the new one as \"" + AFreeName +
                                                  "\"), or cancel?"
                                            : "Keep both (the new one as \"" + AFreeName + "\"), or cancel?");
    QPushButton* replace = ACanReplace ? question.addButton("Replace", QMessageBox::DestructiveRole) : nullptr;
    QPushButton* keepBoth = question.addButton("Keep both", QMessageBox::AcceptRole);
    QPushButton* cancel = question.addButton(QMessageBox::Cancel);
    question.setDefaultButton(cancel);
    question.exec();
    if (replace != nullptr && question.clickedButton() == replace) return TClashAnswer::Replace;
    return question.clickedButton() == keepBoth ? TClashAnswer::KeepBoth : TClashAnswer::Cancel;
}

QString TMainForm::TrashNote() const {
    if (FService == GDrive.get()) return "Google Drive keeps no copy: this cannot be undone.";
    if (FService == DropBox.get())
        return "Dropbox keeps deleted items for a while: they can be restored on its website.";
    if (FService == OneDrive.get()) return "OneDrive keeps a copy in its recycle bin.";
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
    if (AKey == Qt::Key_Escape) ClearSelection();
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
    TNimboCloudFile F = Selected();
    auto show = [](QLabel* ALabel, const QString& AText) {
        ALabel->setText(AText);
        ALabel->adjustSize();
    };
    if (F.IsEmpty()) {
        for (QLabel* label : {ui->NameLabel, ui->SizeLabel, ui->MimeTypeLabel, ui->CreatedLabel, ui->ModifiedLabel})
            show(label, QString());
        ui->BigImage->clear();
        return;
    }
    show(ui->NameLabel, FromStd(F.GetName()));
    show(ui->SizeLabel, "Size: " + QString::number(F.GetSize()) + " bytes");
    show(ui->MimeTypeLabel, "Mime type: " + FromStd(F.GetMimeType()));
    show(ui->CreatedLabel, "Created at: " + FormatTime(F.GetHasCreatedAt(), F.GetCreatedAt()));
    show(ui->ModifiedLabel, "Modified at: " + FormatTime(F.GetHasModifiedAt(), F.GetModifiedAt()));
    ui->BigImage->setPixmap(QIcon(IMG_STYLES[F.GetIsFolder()]).pixmap(32, 32));
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
    DownloadActionUpdate();
    UploadActionUpdate();
    NewFolderActionUpdate();
    DeleteActionUpdate();
}

void TMainForm::DownloadActionUpdate() {
    TNimboCloudFile F = Selected();
    ui->DownloadAction->setEnabled(FConnected && !F.IsEmpty() && !F.GetIsFolder());
}

void TMainForm::UploadActionUpdate() { ui->UploadAction->setEnabled(FConnected); }

void TMainForm::NewFolderActionUpdate() { ui->NewFolderAction->setEnabled(FConnected); }

void TMainForm::DeleteActionUpdate() {
    ui->DeleteAction->setEnabled(!Selected().IsEmpty());
    RenameAction->setEnabled(FConnected && !Selected().IsEmpty());
}

void TMainForm::UploadActionExecute() {
    TFileItem* target = TargetFolder();
    if (OpenDialog->exec() != QDialog::Accepted || OpenDialog->selectedFiles().isEmpty()) return;
    QString fileName = OpenDialog->selectedFiles().first();
    QString name = QFileInfo(fileName).fileName();
    CheckName(name);
    if (target != nullptr) {
        TTreeBatch batch(ui->TreeView);
        target->setExpanded(true);
        ListIfUnlisted(target);
    }
    TFileItem* existing = ClashingChild(target, name);
    if (existing != nullptr) {
        QString freeName = FreeName(target, name, false);
        TClashAnswer answer = AskAboutClash(name, freeName, !existing->F.GetIsFolder());
        if (answer == TClashAnswer::Cancel) return;
        if (answer == TClashAnswer::KeepBoth) {
            name = freeName;
            existing = nullptr;
        }
    }
    TNimboCloudFile folder = target != nullptr ? target->F : FService->GetRoot();
    TNimboCloudFile created;
    {
        TTransferProgress progress(this, "Uploading " + name, {.Direction = tdUpload});
        if (existing != nullptr)
            existing->F.Upload(ToStd(fileName));
        else
            created = folder.createFile(ToStd(name), ToStd(fileName));
    }
    if (existing != nullptr) {
        existing->ShowColumns();
        Select(existing);
        FResult = "Replaced \"" + name + "\"";
    } else {
        Select(AddFile(target, created));
        FResult = "Uploaded \"" + name + "\"";
    }
    UpdateSpace();
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
        TTreeBatch batch(ui->TreeView);
        target->setExpanded(true);
        ListIfUnlisted(target);
    }
    if (ClashingChild(target, name) != nullptr) {
        QString freeName = FreeName(target, name, true);
        if (AskAboutClash(name, freeName, false) != TClashAnswer::KeepBoth) return;
        name = freeName;
    }
    TTreeBatch batch(ui->TreeView);
    TNimboCloudFile folder = target != nullptr ? target->F : FService->GetRoot();
    TNimboCloudFile created = folder.CreateFolder(ToStd(name));
    Select(AddFile(target, created));
    FResult = "Created folder \"" + name + "\"";
}

void TMainForm::DownloadActionExecute() {
    TNimboCloudFile F = Selected();
    if (F.IsEmpty()) return;
    QString name = FromStd(F.GetName());
    SaveDialog->setDefaultSuffix(QFileInfo(name).suffix());
    SaveDialog->selectFile(name);
    if (SaveDialog->exec() != QDialog::Accepted || SaveDialog->selectedFiles().isEmpty()) return;
    QString fileName = SaveDialog->selectedFiles().first();
    {
        TTransferProgress progress(this, "Downloading " + name, {.Direction = tdDownload});
        F.Download(ToStd(fileName));
    }
    FResult = "Downloaded \"" + name + "\"";
    FLastDownload = fileName;
}

void TMainForm::DeleteActionExecute() {
    TFileItem* item = SelectedItem();
    if (item == nullptr) return;
    QString name = FromStd(item->F.GetName());
    QMessageBox question(
        QMessageBox::Question, "Delete",
        item->F.GetIsFolder() ? "Delete the folder \"" + name + "\" and everything in it?" : "Delete \"" + name + "\"?",
        QMessageBox::Yes | QMessageBox::Cancel, this);
    question.setObjectName("DeleteConfirmation");
    question.setInformativeText(TrashNote());
    question.button(QMessageBox::Yes)->setText("Delete");
    question.setDefaultButton(QMessageBox::Cancel);
    if (question.exec() != QMessageBox::Yes) return;
    item->F.Delete();
    // Nothing is selected afterwards: the tree would otherwise pass the selection on to a
    // neighbour, which a second Delete key would offer to remove at once.
    ClearSelection();
    delete item;
    UpdateDetails();
    UpdateSpace();
    FResult = "Deleted \"" + name + "\"";
}

void TMainForm::RenameActionExecute() {
    TFileItem* item = SelectedItem();
    if (item == nullptr) return;
    QString old = FromStd(item->F.GetName());
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
        QString freeName = FreeName(folder, name, item->F.GetIsFolder());
        if (AskAboutClash(name, freeName, false) != TClashAnswer::KeepBoth) return;
        name = freeName;
    }
    item->F.Rename(ToStd(name));
    item->ShowColumns();
    UpdateDetails();
    FResult = "Renamed \"" + old + "\" to \"" + name + "\"";
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
