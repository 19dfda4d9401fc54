#include "Sandbox.h"

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

TSandbox::TSandbox(const std::filesystem::path& ADataDir) : FCore(ADataDir) {
    TNimboAuthBrowser::TrustCertificateAuthority(FCore.Emulator().CaPem());
}

TSandbox::~TSandbox() { TNimboAuthBrowser::TrustCertificateAuthority({}); }

std::vector<std::string> TSandbox::BrowserArguments() const {
    return TNimboAuthBrowser::HostMappingArguments(Emulator::CloudEmulator::Hosts(), FCore.Emulator().Port());
}

std::filesystem::path TSandbox::DefaultDataDir() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return std::filesystem::path(base.toStdString()) / TSandboxCore::DataDirName;
}

TSandbox::TCredentials TSandbox::Credentials(Cloud ACloud) { return TSandboxCore::Credentials(ACloud); }

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

void TSandbox::Reset() { FCore.Reset(); }

void TSandbox::Save() const { FCore.Save(); }

}  // namespace Nimbo::Demo
