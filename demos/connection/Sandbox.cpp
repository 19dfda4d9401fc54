#include "Sandbox.h"

#include <QStandardPaths>

#include "Nimbo/Connection/BoxNet.h"
#include "Nimbo/Connection/DropBox.h"
#include "Nimbo/Connection/DropBox2.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Nimbo/Connection/GDrive3.h"
#include "Nimbo/Connection/Google.h"
#include "Nimbo/Connection/Microsoft.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/OneDriveGraph.h"
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
    if (dynamic_cast<const TNimboGDrive*>(&AStorage) || dynamic_cast<const TNimboGDrive3*>(&AStorage))
        return Cloud::GoogleDrive;
    if (dynamic_cast<const TNimboDropBox*>(&AStorage) || dynamic_cast<const TNimboDropBox2*>(&AStorage))
        return Cloud::Dropbox;
    if (dynamic_cast<const TNimboOneDrive*>(&AStorage) || dynamic_cast<const TNimboOneDriveGraph*>(&AStorage))
        return Cloud::LiveConnect;
    Assert(dynamic_cast<const TNimboBoxNet*>(&AStorage) != nullptr, "Not a service of the sandbox");
    return Cloud::Box;
}

void TSandbox::PresetService(TNimboStorage& AStorage) const {
    // Microsoft Graph signs native programs in as public clients.
    bool isPublic = dynamic_cast<const TNimboOneDriveGraph*>(&AStorage) != nullptr;
    TCredentials credentials =
        isPublic ? TSandboxCore::PublicCredentials(Cloud::LiveConnect) : Credentials(CloudOf(AStorage));
    AStorage.SetClientId(credentials.ClientId);
    AStorage.SetSecret(credentials.Secret);
    // The sandbox's clients take any loopback port: a sign-in never waits for a fixed one that
    // another program holds.
    if (AStorage.GetRedirectUrl().starts_with("http://127.0.0.1:"))
        AStorage.SetRedirectUrl(TOAuthClient::LoopbackRedirectUrl);
}

void TSandbox::Reset() { FCore.Reset(); }

void TSandbox::Save() const { FCore.Save(); }

}  // namespace Nimbo::Demo
