// The desktop program: browse and manage the files of four cloud storage services.
//
//   cloudpane             against the real services
//   cloudpane --sandbox   against the cloud emulator started inside the program

#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>

#include "BrowserSignIn.h"
#include "ErrorDisplay.h"
#include "MainUnit.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Sandbox.h"
#include "SettingsStore.h"

namespace {

// The toolkit's last line: an error that escapes an event handler is shown, and the program goes on.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* AReceiver, QEvent* AEvent) override {
        bool handled = false;
        Nimbo::Demo::RunHandler([&] { handled = QApplication::notify(AReceiver, AEvent); });
        return handled;
    }
};

// Loopback sign-ins go to the user's own browser, before the embedded window that serves the others.
void PreferSystemBrowser() {
    using namespace Nimbo::Connection;
    std::vector<TAuthUIClass> classes = TAuthUI::RegisteredClasses();
    for (const TAuthUIClass& registered : classes) TAuthUI::Unregister(registered);
    TAuthUI::Register(TAuthUIClass::Of<Nimbo::Demo::TBrowserSignIn>());
    for (const TAuthUIClass& registered : classes) TAuthUI::Register(registered);
}

void Usage(std::ostream& AOut) {
    AOut << "usage: cloudpane [--sandbox]\n"
            "       cloudpane --help | --version\n"
            "  --sandbox  run against the cloud emulator inside the program, with sandbox accounts and\n"
            "             settings kept apart from the real ones\n";
}

}  // namespace

int main(int argc, char** argv) {
    bool sandboxMode = false;
    std::vector<char*> args{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--sandbox") == 0) {
            sandboxMode = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(std::cout);
            return 0;
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::cout << "cloudpane " << NIMBO_VERSION << "\n";
            return 0;
        } else {
            args.push_back(argv[i]);  // the toolkit's own options
        }
    }

    // The emulator starts before the toolkit: the embedded browser takes its host mappings from
    // the command line of the application.
    std::unique_ptr<Nimbo::Demo::TSandbox> sandbox;
    std::vector<std::string> browserArgs;
    if (sandboxMode) {
        try {
            sandbox = std::make_unique<Nimbo::Demo::TSandbox>(Nimbo::Demo::TSandbox::DefaultDataDir());
        } catch (const std::exception& error) {
            std::cerr << "cloudpane: cannot start the sandbox: " << error.what() << "\n";
            return 1;
        }
        browserArgs = sandbox->BrowserArguments();
    }
    Nimbo::Connection::TNimboApplicationArguments appArgs(static_cast<int>(args.size()), args.data(), browserArgs);

    TApplication app(appArgs.Argc(), appArgs.Argv());
    TApplication::setApplicationName("Cloudpane");
    TApplication::setApplicationDisplayName(sandboxMode ? "Cloudpane (sandbox)" : "Cloudpane");
    TApplication::setOrganizationName("Velmor Labs");
    TApplication::setApplicationVersion(NIMBO_VERSION);
    TApplication::setDesktopFileName("cloudpane");

    // In the sandbox the embedded window takes the browser's place on the same loopback sign-in.
    if (!sandbox) PreferSystemBrowser();
    Nimbo::Demo::TMainFormOptions options{.SettingsLocation = Nimbo::Demo::TSettingsKey::DefaultLocation(sandboxMode)};
    if (sandbox) {
        // The sandbox's sign-ins open only the emulator inside the program: they stay in the
        // sandbox's own settings file, out of the user's keychain.
        options.UseKeychain = false;
        options.PresetService = [&sandbox](Nimbo::Connection::TNimboStorage& AStorage) {
            sandbox->PresetService(AStorage);
        };
        options.AfterSettingsWritten = [&sandbox] { sandbox->Save(); };
    }
    int result;
    {
        Nimbo::Demo::TMainForm form(std::move(options));
        form.show();
        result = app.exec();
    }
    return result;
}
