// Runs the tests of the desktop program against the sandbox: gui_tests [TestClass] [Qt Test options].

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include "GuiTestSupport.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Nimbo/Connection/HeadlessAuth.h"
#include "Sandbox.h"

int main(int argc, char** argv) {
    // Settings and sandbox data of the tests stay out of the user's folders.
    QTemporaryDir home;
    if (!home.isValid()) return 1;
    qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
    qputenv("XDG_RUNTIME_DIR", home.path().toUtf8());
    // Without a platform theme the file dialogs are the toolkit's own, which the tests can answer.
    qunsetenv("QT_QPA_PLATFORMTHEME");

    Nimbo::Demo::TSandbox sandbox({});
    GuiTest::SetSandbox(&sandbox);

    Nimbo::Connection::TNimboApplicationArguments appArgs(1, argv, sandbox.BrowserArguments());
    QApplication app(appArgs.Argc(), appArgs.Argv());
    QApplication::setApplicationName("Cloudpane tests");

    Nimbo::Connection::TAuthUI::Register(Nimbo::Connection::TAuthUIClass::Of<Nimbo::Connection::TNimboHeadlessAuth>());

    QString only;
    QStringList testArgs{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (i == 1 && argv[i][0] != '-')
            only = argv[i];
        else
            testArgs << argv[i];
    }
    int failures = 0;
    bool ran = false;
    for (const auto& [name, factory] : GuiTest::TestClasses()) {
        if (!only.isEmpty() && name != only) continue;
        ran = true;
        std::unique_ptr<QObject> test = factory();
        failures += QTest::qExec(test.get(), testArgs);
    }
    if (!ran) {
        std::cerr << "no test class named " << only.toStdString() << "\n";
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
