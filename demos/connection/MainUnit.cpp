#include "MainUnit.h"

#include <algorithm>
#include <sstream>

#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QTimer>

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

QString FormatTime(bool AHas, TDateTime T) {
    if (!AHas) return "unspecified";
    TDateParts date = DecodeDate(T);
    TTimeParts time = DecodeTime(T);
    QLocale locale;
    QString text = locale.toString(QDate(date.Year, date.Month, date.Day), QLocale::ShortFormat);
    if (time.Hour != 0 || time.Minute != 0 || time.Second != 0 || time.MSec != 0)
        text += " " + locale.toString(QTime(time.Hour, time.Minute, time.Second, time.MSec), LongTimeFormat(locale));
    return text;
}

TMainForm::TTempItem::TTempItem() : QTreeWidgetItem(Type) { setText(0, "Loading..."); }

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
    Run(AHandler);
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
    TOptions::Save(FOptions.SettingsLocation, FServices);
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

void TMainForm::SwitchService(TNimboStorage& AStorage) {
    FService = &AStorage;
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
    SetConnected(true);
    UpdateDetails();
}

void TMainForm::SetConnected(bool AValue) {
    FConnected = AValue;
    ui->StartPanel->setVisible(!AValue);
    if (!AValue) ui->StartPanel->raise();
}

void TMainForm::ServicesButttonClick() {
    ServicesMenu->popup(ui->ServicesButtton->mapToGlobal(ui->ServicesButtton->rect().bottomLeft()));
}

void TMainForm::RefreshActionExecute() { SwitchService(*FService); }

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
    item->setText(0, FromStd(F.GetName()));
    item->setIcon(0, ItemIcon(F));
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
    TFileItem* item = SelectedItem();
    return item != nullptr && item->F.GetIsFolder() ? item : nullptr;
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

void TMainForm::UploadActionUpdate() {
    TNimboCloudFile F = Selected();
    ui->UploadAction->setEnabled(FConnected && (F.IsEmpty() || F.GetIsFolder()));
}

void TMainForm::NewFolderActionUpdate() {
    TNimboCloudFile F = Selected();
    ui->NewFolderAction->setEnabled(FConnected && (F.IsEmpty() || F.GetIsFolder()));
}

void TMainForm::DeleteActionUpdate() { ui->DeleteAction->setEnabled(!Selected().IsEmpty()); }

void TMainForm::UploadActionExecute() {
    TFileItem* target = TargetFolder();
    if (OpenDialog->exec() != QDialog::Accepted || OpenDialog->selectedFiles().isEmpty()) return;
    QString fileName = OpenDialog->selectedFiles().first();
    TTreeBatch batch(ui->TreeView);
    if (target != nullptr) {
        target->setExpanded(true);
        ListIfUnlisted(target);
    }
    TNimboCloudFile folder = target != nullptr ? target->F : FService->GetRoot();
    QString name = QFileInfo(fileName).fileName();
    TNimboCloudFile created;
    {
        TTransferProgress progress(this, "Uploading " + name, {.Direction = tdUpload});
        created = folder.createFile(ToStd(name), ToStd(fileName));
    }
    Select(AddFile(target, created));
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
    TTreeBatch batch(ui->TreeView);
    if (target != nullptr) target->setExpanded(true);
    TNimboCloudFile folder = target != nullptr ? target->F : FService->GetRoot();
    Assert(!name.isEmpty());
    if (target != nullptr) ListIfUnlisted(target);
    TNimboCloudFile created = folder.CreateFolder(ToStd(name));
    Select(AddFile(target, created));
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
    if (FOptions.ShowFile)
        FOptions.ShowFile(fileName);
    else
        ShowInFileManager(fileName);
}

void TMainForm::DeleteActionExecute() {
    TFileItem* item = SelectedItem();
    if (item == nullptr) return;
    item->F.Delete();
    // Nothing is selected afterwards: the tree would otherwise pass the selection on to a
    // neighbour, which a second Delete (there is no confirmation) would remove as well.
    ClearSelection();
    delete item;
    UpdateDetails();
}

}  // namespace Nimbo::Demo
