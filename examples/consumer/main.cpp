// list-box-root: signs in to Box and prints the names in the root folder, through the installed Nimbo
// connection library. It runs against the cloud emulator, which it starts as a child process, so it
// needs neither the internet nor a Box account:
//
//   list-box-root [path of cloud-emulator]     (default: cloud-emulator, looked up in PATH)

#include <Nimbo/Connection/AuthUI.h>
#include <Nimbo/Connection/BoxNet.h>
#include <Nimbo/Connection/HeadlessAuth.h>
#include <Nimbo/Connection/Http.h>
#include <Nimbo/Connection/HttpTransport.h>

#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "EmulatorProcess.h"

using namespace Nimbo::Connection;

namespace {

// The emulator's sandbox client for this program. A real program registers with Box and uses its own.
const std::string ClientId = "list-box-root";
const std::string ClientSecret = "list-box-root-secret";
// Where the sign-in page sends the browser back to when the library has no address of its own for
// Box; the sign-in window watches for it. In the sandbox any address will do, as the client below
// accepts every one; a real program gives the one it registered with Box.
const std::string FallbackRedirectUrl = "https://app.box.com/list-box-root/signed-in";

// Connections to Box (and to the emulator's own control address, "localhost") go to the emulator; the
// URLs, Host headers and TLS server names stay the real ones, and the emulator's CA is trusted.
void ReachTheEmulator(const TEmulatorProcess& AEmulator) {
    THttpTransportSettings settings;
    settings.CaFile = AEmulator.CaFile();
    for (const char* host :
         {"api.box.com", "upload.box.com", "app.box.com", "account.box.com", "dl.boxcloud.com", "localhost"})
        settings.ConnectTo.push_back(std::string(host) + ":443:127.0.0.1:" + std::to_string(AEmulator.Port()));
    THttpTransport::Configure(settings);
}

// Emulator only: registers this program's client and puts something in the Box account's root.
void PrepareTheSandbox() {
    THttpClient control("localhost");
    const auto post = [&](const std::string& APath, const std::vector<std::pair<std::string, std::string>>& AFields) {
        THttpRequest::TFormData form = control.Post(APath).BeginForm(true);
        for (const auto& [name, value] : AFields) form = form.Prop(name, value);
        form.EndForm().ValidResponse(200).Execute();
    };
    post("/emulator/clients", {{"service", "box"}, {"client_id", ClientId}, {"client_secret", ClientSecret}});
    post("/emulator/folders", {{"service", "box"}, {"path", "Photos"}});
    post("/emulator/files", {{"service", "box"}, {"path", "Notes.txt"}, {"content", "Hello from the sandbox\n"}});
}

}  // namespace

int main(int argc, char** argv) {
    try {
        TEmulatorProcess emulator(argc > 1 ? argv[1] : "cloud-emulator");
        ReachTheEmulator(emulator);
        PrepareTheSandbox();

        // A sign-in window without a display: it answers the emulator's consent page by itself.
        TAuthUI::Register(TAuthUIClass::Of<TNimboHeadlessAuth>());

        TNimboBoxNet box;
        box.SetClientId(ClientId);
        box.SetSecret(ClientSecret);
        if (box.GetRedirectUrl().empty()) box.SetRedirectUrl(FallbackRedirectUrl);
        for (const TNimboCloudFile& item : box.GetRoot().Files())
            std::cout << (item.GetIsFolder() ? "folder  " : "file    ") << item.GetName() << "\n";
        std::cout << "signed in as " << box.GetUserName() << "\n";
    } catch (const std::exception& error) {
        std::cerr << "list-box-root: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
