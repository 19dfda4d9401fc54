#include "Sandbox.h"

#include <csignal>

#include <QStandardPaths>

#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Demo {

using namespace Nimbo::Connection;
using Emulator::Cloud;

namespace {

const char* const SampleSvg =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"64\" height=\"40\">"
    "<rect width=\"64\" height=\"40\" fill=\"#f6a04d\"/><circle cx=\"32\" cy=\"40\" r=\"14\" fill=\"#ffd65c\"/>"
    "</svg>\n";

std::string ServiceTitle(Cloud ACloud) {
    switch (ACloud) {
        case Cloud::GoogleDrive:
            return "Google Drive";
        case Cloud::Dropbox:
            return "Dropbox";
        case Cloud::LiveConnect:
            return "OneDrive";
        case Cloud::Box:
            return "Box";
    }
    return {};
}

Emulator::EmulatorOptions OptionsFor(const std::filesystem::path& ADataDir) {
    // The emulator's state holds the sandbox accounts' tokens: the folder is its owner's only.
    if (!ADataDir.empty()) {
        std::filesystem::create_directories(ADataDir);
        std::filesystem::permissions(ADataDir, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
    }
    Emulator::EmulatorOptions options;
    options.dataDir = ADataDir;
    return options;
}

}  // namespace

TSandbox::TSandbox(const std::filesystem::path& ADataDir)
    : FEmulator(OptionsFor(ADataDir)), FPreviousTransport(THttpTransport::Settings()) {
    bool fresh = ADataDir.empty() || !std::filesystem::exists(ADataDir / "state.json");
    // The emulator writes answers in this process: a client that hangs up (a cancelled transfer)
    // must end that answer, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    FEmulator.Start();
    THttpTransportSettings settings = FPreviousTransport;
    settings.CaFile = FEmulator.CaCertPath().string();
    settings.ConnectTo = FEmulator.ConnectToMappings();
    THttpTransport::Configure(settings);
    TNimboAuthBrowser::TrustCertificateAuthority(FEmulator.CaPem());
    RegisterClients();
    if (fresh) {
        Seed();
        Save();
    }
}

TSandbox::~TSandbox() {
    FEmulator.Stop();
    THttpTransport::Configure(FPreviousTransport);
    TNimboAuthBrowser::TrustCertificateAuthority({});
}

std::vector<std::string> TSandbox::BrowserArguments() const {
    return TNimboAuthBrowser::HostMappingArguments(Emulator::CloudEmulator::Hosts(), FEmulator.Port());
}

std::filesystem::path TSandbox::DefaultDataDir() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return std::filesystem::path(base.toStdString()) / "Velmor Labs" / "Nimbokit 2017" / "Cumulo" / "Cloudpane Sandbox";
}

TSandbox::TCredentials TSandbox::Credentials(Cloud ACloud) {
    std::string name = Emulator::CloudName(ACloud);
    return {.ClientId = "sandbox-" + name + "-client", .Secret = "sandbox-" + name + "-secret"};
}

Cloud TSandbox::CloudOf(const TNimboStorage& AStorage) {
    if (dynamic_cast<const TNimboGDrive*>(&AStorage)) return Cloud::GoogleDrive;
    if (dynamic_cast<const TNimboDropBox*>(&AStorage)) return Cloud::Dropbox;
    if (dynamic_cast<const TNimboOneDrive*>(&AStorage)) return Cloud::LiveConnect;
    Assert(dynamic_cast<const TNimboBoxNet*>(&AStorage) != nullptr, "Not a service of the sandbox");
    return Cloud::Box;
}

void TSandbox::PresetService(TNimboStorage& AStorage) const {
    TCredentials credentials = Credentials(CloudOf(AStorage));
    AStorage.SetClientId(credentials.ClientId);
    AStorage.SetSecret(credentials.Secret);
}

void TSandbox::Reset() {
    FEmulator.ResetAll();
    RegisterClients();
    Seed();
}

void TSandbox::Save() const { FEmulator.Save(); }

void TSandbox::RegisterClients() {
    for (Cloud cloud : Emulator::AllClouds) {
        TCredentials credentials = Credentials(cloud);
        FEmulator.RegisterClient(cloud, credentials.ClientId, credentials.Secret);
        FEmulator.SetAccountName(cloud, "Sandbox User");
    }
}

void TSandbox::Seed() {
    for (Cloud cloud : Emulator::AllClouds) {
        std::string title = ServiceTitle(cloud);
        FEmulator.AddFolder(cloud, "Documents");
        FEmulator.AddFile(
            cloud, "Documents/Welcome.txt",
            "Welcome to the " + title + " sandbox.\nEverything here lives in the emulator inside the program.\n",
            "text/plain");
        FEmulator.AddFile(cloud, "Documents/Budget 2017.csv", "Month,Amount\nJanuary,1200\nFebruary,980\n", "text/csv");
        FEmulator.AddFolder(cloud, "Photos/Holidays");
        FEmulator.AddFile(cloud, "Photos/Sunset.svg", SampleSvg, "image/svg+xml");
        FEmulator.AddFolder(cloud, "Projects/Cloudpane");
        FEmulator.AddFile(cloud, "Projects/Cloudpane/Plan.md", "# Plan\n\n- list\n- upload\n- download\n",
                          "text/markdown");
        FEmulator.AddFile(cloud, "Read me.txt", "Files of the " + title + " sandbox account.\n", "text/plain");
    }
}

}  // namespace Nimbo::Demo
