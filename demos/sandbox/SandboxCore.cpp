#include "SandboxCore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

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

// The emulator's state holds the sandbox accounts' tokens: the folder is its owner's only.
void MakePrivateFolder(const std::filesystem::path& AFolder) {
    std::filesystem::create_directories(AFolder);
    std::filesystem::permissions(AFolder, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

Emulator::EmulatorOptions OptionsFor(const std::filesystem::path& ADataDir) {
    Emulator::EmulatorOptions options;
    options.dataDir = ADataDir;
    return options;
}

}  // namespace

TFolderLock::TFolderLock(const std::filesystem::path& AFolder) {
    if (AFolder.empty()) return;
    MakePrivateFolder(AFolder);
    const std::filesystem::path file = AFolder / FileName;
    FDescriptor = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (FDescriptor < 0)
        throw std::runtime_error("cannot open the lock file " + file.string() + ": " + std::strerror(errno));
    if (::flock(FDescriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(FDescriptor);
        FDescriptor = -1;
        if (error == EWOULDBLOCK)
            throw std::runtime_error("the sandbox in " + AFolder.string() +
                                     " is in use by another program; close it and try again");
        throw std::runtime_error("cannot lock " + file.string() + ": " + std::strerror(error));
    }
}

TFolderLock::~TFolderLock() {
    if (FDescriptor >= 0) ::close(FDescriptor);  // closing releases the lock
}

TSandboxCore::TSandboxCore(const std::filesystem::path& ADataDir)
    : FLock(ADataDir), FEmulator(OptionsFor(ADataDir)), FPreviousTransport(THttpTransport::Settings()) {
    bool fresh = ADataDir.empty() || FEmulator.StartedFresh();
    // The emulator writes answers in this process: a client that hangs up (a cancelled transfer)
    // must end that answer, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    FEmulator.Start();
    THttpTransportSettings settings = FPreviousTransport;
    settings.CaFile = FEmulator.CaCertPath().string();
    settings.ConnectTo = FEmulator.ConnectToMappings();
    THttpTransport::Configure(settings);
    RegisterClients();
    if (fresh) {
        Seed();
        Save();
    }
}

TSandboxCore::~TSandboxCore() {
    FEmulator.Stop();
    THttpTransport::Configure(FPreviousTransport);
}

std::filesystem::path TSandboxCore::DefaultDataDir() {
    std::filesystem::path base;
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome != nullptr && std::filesystem::path(dataHome).is_absolute()) {
        base = dataHome;
    } else {
        const char* home = std::getenv("HOME");
        base = std::filesystem::path(home != nullptr ? home : "") / ".local" / "share";
    }
    return base / DataDirName;
}

TSandboxCore::TCredentials TSandboxCore::Credentials(Cloud ACloud) {
    std::string name = Emulator::CloudName(ACloud);
    return {.ClientId = "sandbox-" + name + "-client", .Secret = "sandbox-" + name + "-secret"};
}

TSandboxCore::TCredentials TSandboxCore::PublicCredentials(Cloud ACloud) {
    return {.ClientId = "sandbox-" + std::string(Emulator::CloudName(ACloud)) + "-public-client", .Secret = {}};
}

void TSandboxCore::Reset() {
    FEmulator.ResetAll();
    RegisterClients();
    Seed();
}

void TSandboxCore::Save() const { FEmulator.Save(); }

void TSandboxCore::RegisterClients() {
    for (Cloud cloud : Emulator::AllClouds) {
        TCredentials credentials = Credentials(cloud);
        FEmulator.RegisterClient(cloud, credentials.ClientId, credentials.Secret);
        FEmulator.SetAccountName(cloud, "Sandbox User");
    }
    // Microsoft Graph signs in native programs as public clients.
    FEmulator.RegisterClient(Cloud::LiveConnect, PublicCredentials(Cloud::LiveConnect).ClientId, "");
}

void TSandboxCore::Seed() {
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
