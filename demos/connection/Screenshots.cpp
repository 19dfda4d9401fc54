// Takes pictures of the program's windows in sandbox mode: the main window connected with a folder
// expanded and a file selected, the question Delete asks, the question about a name in use, the
// options dialog, and the sign-in window on the emulator's sign-in page. Run it with a display (scripts/screenshots
// starts it under Xvfb):
//
//   cloudpane-screenshots OUTPUT_FOLDER

#include <functional>
#include <iostream>
#include <memory>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "MainUnit.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Sandbox.h"

namespace {

using namespace Nimbo::Demo;
using Nimbo::Connection::TNimboAuthDialogFMX;

// Calls ACheck every 100 ms until it answers true, then runs AThen once; gives up after 20 s.
void WhenReady(std::function<bool()> ACheck, std::function<void()> AThen, int ATries = 200) {
    QTimer::singleShot(100, [ACheck, AThen, ATries] {
        if (ACheck())
            AThen();
        else if (ATries > 0)
            WhenReady(ACheck, AThen, ATries - 1);
        else {
            std::cerr << "cloudpane-screenshots: a window did not get ready in time\n";
            QApplication::exit(1);
        }
    });
}

bool Save(const QPixmap& APicture, const QString& AFileName) {
    if (APicture.isNull() || !APicture.save(AFileName)) {
        std::cerr << "cloudpane-screenshots: cannot write " << AFileName.toStdString() << "\n";
        QApplication::exit(1);
        return false;
    }
    std::cout << AFileName.toStdString() << "\n";
    return true;
}

TNimboAuthDialogFMX* SignInWindow() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* form = qobject_cast<TNimboAuthDialogFMX*>(widget); form && form->isVisible()) return form;
    return nullptr;
}

QTreeWidgetItem* TopLevelItem(QTreeWidget* ATree, const QString& AName) {
    for (int i = 0; i < ATree->topLevelItemCount(); ++i)
        if (ATree->topLevelItem(i)->text(0) == AName) return ATree->topLevelItem(i);
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: cloudpane-screenshots OUTPUT_FOLDER\n";
        return 2;
    }
    QString output = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    if (!QDir().mkpath(output)) {
        std::cerr << "cloudpane-screenshots: cannot make " << argv[1] << "\n";
        return 1;
    }
    // A sandbox of its own, so that the pictures always show the seeded accounts.
    QTemporaryDir home;
    std::unique_ptr<TSandbox> sandbox = std::make_unique<TSandbox>(std::filesystem::path());
    Nimbo::Connection::TNimboApplicationArguments appArgs(1, argv, sandbox->BrowserArguments());
    QApplication app(appArgs.Argc(), appArgs.Argv());
    QApplication::setApplicationDisplayName("Cloudpane (sandbox)");

    TMainForm form(
        {.SettingsLocation = home.filePath("Cloudpane.conf"),
         .PresetService = [&sandbox](Nimbo::Connection::TNimboStorage& AStorage) { sandbox->PresetService(AStorage); },
         .ShowFile = [](const QString&) {},
         .UseKeychain = false});
    form.move(40, 40);
    form.resize(900, 520);
    form.show();
    auto* tree = form.findChild<QTreeWidget*>("TreeView");

    auto optionsShot = [&] {
        WhenReady([] { return QApplication::activeModalWidget() != nullptr; },
                  [&] {
                      QWidget* options = QApplication::activeModalWidget();
                      QTimer::singleShot(300, [&, options] {
                          Save(options->grab(), output + "/options.png");
                          static_cast<QDialog*>(options)->reject();
                          QTimer::singleShot(200, &app, &QApplication::quit);
                      });
                  });
        form.findChild<QAction*>("OptionsAction")->trigger();
    };

    // An upload of a local "Welcome.txt" next to the selected one.
    auto clashShot = [&] {
        QString local = home.filePath("Welcome.txt");
        QFile file(local);
        if (!file.open(QIODevice::WriteOnly) || file.write("a newer welcome\n") < 0) {
            std::cerr << "cloudpane-screenshots: cannot write " << local.toStdString() << "\n";
            QApplication::exit(1);
            return;
        }
        file.close();
        WhenReady([] { return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr; },
                  [&, local] {
                      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                      dialog->findChild<QLineEdit*>("fileNameEdit")->setText(local);
                      static_cast<QDialog*>(dialog)->accept();
                      WhenReady(
                          [] {
                              QWidget* modal = QApplication::activeModalWidget();
                              return modal != nullptr && modal->objectName() == "ClashQuestion";
                          },
                          [&] {
                              QWidget* question = QApplication::activeModalWidget();
                              QTimer::singleShot(300, [&, question] {
                                  Save(question->grab(), output + "/name-in-use.png");
                                  static_cast<QMessageBox*>(question)->button(QMessageBox::Cancel)->click();
                                  QTimer::singleShot(200, optionsShot);
                              });
                          });
                  });
        form.findChild<QAction*>("UploadAction")->trigger();
    };

    auto confirmationShot = [&] {
        WhenReady([] { return QApplication::activeModalWidget() != nullptr; },
                  [&] {
                      QWidget* question = QApplication::activeModalWidget();
                      QTimer::singleShot(300, [&, question] {
                          Save(question->grab(), output + "/delete-confirmation.png");
                          static_cast<QDialog*>(question)->reject();
                          QTimer::singleShot(200, clashShot);
                      });
                  });
        form.findChild<QAction*>("DeleteAction")->trigger();
    };

    auto mainShot = [&] {
        QTreeWidgetItem* documents = TopLevelItem(tree, "Documents");
        documents->setExpanded(true);
        WhenReady([documents] { return documents->childCount() > 1; },
                  [&, documents] {
                      for (int i = 0; i < documents->childCount(); ++i)
                          if (documents->child(i)->text(0) == "Welcome.txt") tree->setCurrentItem(documents->child(i));
                      QTimer::singleShot(300, [&] {
                          if (Save(form.grab(), output + "/main-window.png")) confirmationShot();
                      });
                  });
    };

    // The sign-in page: photographed once it is up, then answered as a user would.
    QTimer::singleShot(0, [&] {
        WhenReady(
            [] {
                TNimboAuthDialogFMX* window = SignInWindow();
                return window != nullptr && !window->Browser()->title().isEmpty() &&
                       !window->Browser()->page()->isLoading();
            },
            [&] {
                QTimer::singleShot(1000, [&] {
                    TNimboAuthDialogFMX* window = SignInWindow();
                    if (!Save(window->grab(), output + "/sign-in.png")) return;
                    window->Browser()->page()->runJavaScript("document.getElementById('allow').click()");
                    WhenReady([&form] { return form.Connected(); }, mainShot);
                });
            });
        form.findChild<QAction*>("GDrive3Action")->trigger();
    });
    int result = app.exec();
    return result;
}
