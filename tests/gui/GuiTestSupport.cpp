#include "GuiTestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QDropEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>

#include "Nimbo/Connection/AuthUI.h"

namespace GuiTest {

using namespace Nimbo::Connection;
using namespace Nimbo::Demo;

namespace {

TSandbox* GSandbox = nullptr;

std::vector<std::pair<QString, TTestFactory>>& Classes() {
    static std::vector<std::pair<QString, TTestFactory>> classes;
    return classes;
}

QString Describe(QWidget* AWidget) {
    QString text = AWidget->metaObject()->className() + QString(" \"") + AWidget->objectName() + "\"";
    if (auto* box = qobject_cast<QMessageBox*>(AWidget)) text += ": " + box->text();
    return text;
}

// The modal window in front. The toolkit's own answer can be empty while a window that hosts the
// embedded browser is up; the one visible modal window is then the answer.
QWidget* ActiveModal() {
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    QWidget* found = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible() || widget->windowModality() == Qt::NonModal) continue;
        if (found != nullptr) return nullptr;
        found = widget;
    }
    return found;
}

void CloseModal(QWidget* AWidget) {
    if (auto* dialog = qobject_cast<QDialog*>(AWidget))
        dialog->reject();
    else
        AWidget->close();
}

}  // namespace

TSandbox& Sandbox() { return *GSandbox; }
void SetSandbox(TSandbox* ASandbox) { GSandbox = ASandbox; }

bool RegisterTestClass(const char* AName, TTestFactory AFactory) {
    Classes().emplace_back(AName, std::move(AFactory));
    return true;
}

const std::vector<std::pair<QString, TTestFactory>>& TestClasses() { return Classes(); }

// ---------------------------------------------------------------------------------------------
// TModalScript

TModalScript::TModalScript() {
    FTimer.setInterval(20);
    connect(&FTimer, &QTimer::timeout, this, &TModalScript::Tick);
    FTimer.start();
}

TModalScript::~TModalScript() {
    if (FAnswered) FAnswered->removeEventFilter(this);
}

TModalScript& TModalScript::Expect(QString ADescription, TMatch AMatch, TAct AAct) {
    FSteps.push_back({std::move(ADescription), std::move(AMatch), std::move(AAct)});
    return *this;
}

TModalScript& TModalScript::ExpectWindow(const QString& AObjectName, TAct AAct) {
    return Expect(
        AObjectName, [AObjectName](QWidget* AWidget) { return AWidget->objectName() == AObjectName; }, std::move(AAct));
}

TModalScript& TModalScript::ExpectError(const QString& AText) {
    return Expect(
        "error display with \"" + AText + "\"",
        [AText](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            return box != nullptr && box->objectName() == "ErrorMessageBox" && box->text().contains(AText);
        },
        [this](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            FErrors << box->text();
            box->accept();
        });
}

TModalScript& TModalScript::ExpectFileDialog(const QString& AObjectName, const QString& AFileName) {
    return ExpectWindow(AObjectName, [AFileName](QWidget* AWidget) {
        auto* dialog = qobject_cast<QFileDialog*>(AWidget);
        if (AFileName.isEmpty()) return dialog->reject();
        // Typed as a user would, so that the dialog's own checks (overwriting, existence) run.
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(AFileName);
        static_cast<QDialog*>(dialog)->accept();
    });
}

TModalScript& TModalScript::ExpectOptions(const QString& AClientId, const QString& ASecret, bool AConfirm) {
    return ExpectWindow("TOptions", [AClientId, ASecret, AConfirm](QWidget* AWidget) {
        QWidget* tab = OptionsTab(AWidget);
        tab->findChild<QLineEdit*>("ClientId")->setText(AClientId);
        tab->findChild<QLineEdit*>("Secret")->setText(ASecret);
        QTest::mouseClick(AWidget->findChild<QPushButton*>(AConfirm ? "OkButton" : "CancelButton"), Qt::LeftButton);
    });
}

TModalScript& TModalScript::ExpectFolderName(const QString& AName, bool AAccept) {
    return ExpectWindow("NewFolderDialog", [AName, AAccept](QWidget* AWidget) {
        auto* dialog = qobject_cast<QInputDialog*>(AWidget);
        QVERIFY(dialog != nullptr);
        QCOMPARE(dialog->windowTitle(), QString("New Folder"));
        QCOMPARE(dialog->labelText(), QString("Enter folder name"));
        QCOMPARE(dialog->textValue(), QString("NewFolder"));
        dialog->setTextValue(AName);
        AAccept ? dialog->accept() : dialog->reject();
    });
}

TModalScript& TModalScript::ExpectDeleteConfirmation(bool AConfirm) {
    return ExpectWindow("DeleteConfirmation", [this, AConfirm](QWidget* AWidget) {
        auto* box = qobject_cast<QMessageBox*>(AWidget);
        QVERIFY(box != nullptr);
        FQuestions << box->text() + "\n" + box->informativeText();
        QCOMPARE(box->defaultButton(), box->button(QMessageBox::Cancel));
        box->button(AConfirm ? QMessageBox::Yes : QMessageBox::Cancel)->click();
    });
}

QString TModalScript::Report() const {
    QStringList lines = FProblems;
    for (std::size_t i = FNext; i < FSteps.size(); ++i) lines << "never shown: " + FSteps[i].Description;
    return lines.join("; ");
}

void TModalScript::Tick() {
    QWidget* modal = ActiveModal();
    if (modal == nullptr || FPending || !modal->isVisible() || modal == FAnswered) return;
    FPending = true;
    // The answer runs from the event loop, not from inside this tick: it may open windows of its
    // own, which later ticks answer.
    QTimer::singleShot(0, this, [this, modal = QPointer<QWidget>(modal)] {
        FPending = false;
        if (modal == nullptr || ActiveModal() != modal) return;
        if (FAnswered) FAnswered->removeEventFilter(this);
        FAnswered = modal;
        modal->installEventFilter(this);
        if (FNext < FSteps.size() && FSteps[FNext].Match(modal)) {
            TStep& step = FSteps[FNext++];
            step.Act(modal);
        } else {
            FProblems << "unexpected " + Describe(modal) +
                             (FNext < FSteps.size() ? " instead of " + FSteps[FNext].Description : QString());
            CloseModal(modal);
        }
    });
}

bool TModalScript::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AWatched == FAnswered && AEvent->type() == QEvent::Hide) {
        FAnswered->removeEventFilter(this);
        FAnswered = nullptr;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// TFormFixture

namespace {
bool GKeychainInForms = false;
}  // namespace

void SetKeychainInForms(bool AValue) { GKeychainInForms = AValue; }

TFormFixture::TFormFixture(bool APresetCredentials) { Reopen(APresetCredentials); }

TFormFixture::~TFormFixture() { Close(); }

void TFormFixture::Close() { FForm.reset(); }

void TFormFixture::Reopen(bool APresetCredentials) {
    Close();
    TMainFormOptions options{.SettingsLocation = SettingsFile(),
                             .ShowFile = [this](const QString& AFile) { FShown << AFile; },
                             .UseKeychain = GKeychainInForms};
    if (APresetCredentials) options.PresetService = [](TNimboStorage& AStorage) { Sandbox().PresetService(AStorage); };
    FForm = std::make_unique<TMainForm>(std::move(options));
    FForm->show();
    QVERIFY(QTest::qWaitForWindowExposed(FForm.get()));
}

QAction* TFormFixture::Action(const char* AName) { return FForm->findChild<QAction*>(AName); }
QTreeWidget* TFormFixture::Tree() { return FForm->findChild<QTreeWidget*>("TreeView"); }
QWidget* TFormFixture::StartPanel() { return FForm->findChild<QWidget*>("StartPanel"); }
QLabel* TFormFixture::Label(const char* AName) { return FForm->findChild<QLabel*>(AName); }

void TFormFixture::Connect(const char* AServiceAction) {
    TModalScript script;
    Action(AServiceAction)->trigger();
    QVERIFY2(script.Finished(), qPrintable(script.Report()));
    QVERIFY(FForm->Connected());
}

QTreeWidgetItem* TFormFixture::Item(const QString& APath) {
    QTreeWidgetItem* found = nullptr;
    for (const QString& name : APath.split('/')) {
        QTreeWidgetItem* next = nullptr;
        int count = found != nullptr ? found->childCount() : Tree()->topLevelItemCount();
        for (int i = 0; i < count && next == nullptr; ++i) {
            QTreeWidgetItem* child = found != nullptr ? found->child(i) : Tree()->topLevelItem(i);
            if (child->text(0) == name) next = child;
        }
        if (next == nullptr) return nullptr;
        found = next;
    }
    return found;
}

QStringList TFormFixture::ChildNames(QTreeWidgetItem* AItem) {
    QStringList names;
    int count = AItem != nullptr ? AItem->childCount() : Tree()->topLevelItemCount();
    for (int i = 0; i < count; ++i) names << (AItem != nullptr ? AItem->child(i) : Tree()->topLevelItem(i))->text(0);
    return names;
}

void TFormFixture::Select(QTreeWidgetItem* AItem) {
    Tree()->setCurrentItem(AItem);
    AItem->setSelected(true);
}

// ---------------------------------------------------------------------------------------------

QStringList EmulatorChildren(Cloud ACloud, const std::string& APath) {
    QStringList names;
    for (const auto& item : Sandbox().Emulator().Children(ACloud, APath)) names << QString::fromStdString(item.name);
    return names;
}

int RequestCount() { return static_cast<int>(Sandbox().Emulator().Requests().size()); }

QWidget* OptionsTab(QWidget* AOptions, const QString& APrefix) {
    auto* tabs = AOptions->findChild<QTabWidget*>("ServiceTabs");
    if (APrefix.isEmpty()) return tabs->currentWidget();
    QWidget* tab = tabs->findChild<QWidget*>(APrefix + "Tab");
    tabs->setCurrentWidget(tab);
    return tab;
}

void PreferSignInWindow(const TAuthUIClass& AClass) {
    std::vector<TAuthUIClass> classes = TAuthUI::RegisteredClasses();
    for (const TAuthUIClass& registered : classes) TAuthUI::Unregister(registered);
    TAuthUI::Register(AClass);
    for (const TAuthUIClass& registered : classes) TAuthUI::Register(registered);
}

// What dragging AItems would carry, as the tree's model gives it.
QMimeData* DragData(QTreeWidget* ATree, const QList<QTreeWidgetItem*>& AItems) {
    QModelIndexList indexes;
    for (QTreeWidgetItem* item : AItems) {
        QTreeWidgetItem* parent = item->parent();
        QModelIndex parentIndex;
        if (parent != nullptr) parentIndex = ATree->model()->index(ATree->indexOfTopLevelItem(parent), 0);
        int row = parent != nullptr ? parent->indexOfChild(item) : ATree->indexOfTopLevelItem(item);
        indexes << ATree->model()->index(row, 0, parentIndex);
    }
    return ATree->model()->mimeData(indexes);
}

// Drops AData on ATarget (null: the empty space below the items); true when the tree took it.
bool Drop(QTreeWidget* ATree, QMimeData* AData, QTreeWidgetItem* ATarget) {
    ATree->scrollToItem(ATarget != nullptr ? ATarget : ATree->topLevelItem(0));
    QPoint at =
        ATarget != nullptr ? ATree->visualItemRect(ATarget).center() : QPoint(10, ATree->viewport()->height() - 5);
    // The drag enters first: the application hands the drop to the widget that took the enter.
    QDragEnterEvent enter(at, Qt::MoveAction | Qt::CopyAction, AData, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(ATree->viewport(), &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(at, Qt::MoveAction | Qt::CopyAction, AData, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(ATree->viewport(), &drop);
    return drop.isAccepted();
}

}  // namespace GuiTest
