#include "Session.h"

#include <filesystem>
#include <iostream>
#include <sstream>

#include "Nimbo/Connection/HeadlessAuth.h"
#include "Nimbo/Connection/OAuthClient.h"
#include "Nimbo/Connection/SystemBrowserAuth.h"
#include "Nimbo/Connection/platform/Exceptions.h"
#include "SandboxCore.h"
#include "emulator/CloudEmulator.h"

namespace Nimbo::Cli {

using namespace Nimbo::Connection;

namespace {

// "host:443:HOST:PORT" for every host name the emulator answers for.
std::vector<std::string> MappingsTo(const std::string& AConnectTo) {
    const std::size_t colon = AConnectTo.rfind(':');
    const std::string port = colon == std::string::npos ? std::string() : AConnectTo.substr(colon + 1);
    bool valid = colon != std::string::npos && colon > 0 && !port.empty() && port.size() <= 5 &&
                 port.find_first_not_of("0123456789") == std::string::npos && std::stoi(port) > 0 &&
                 std::stoi(port) <= 65535;
    if (!valid) throw EUsageError("--connect-to wants HOST:PORT, not \"" + AConnectTo + "\"");
    std::vector<std::string> mappings;
    for (const std::string& host : Emulator::CloudEmulator::Hosts()) mappings.push_back(host + ":443:" + AConnectTo);
    return mappings;
}

}  // namespace

TRemote::TRemote(const TRemoteKind& AKind, std::unique_ptr<TNimboStorage> AStorage, const TConfigFolder* AConfig,
                 std::string AStateName)
    : FKind(AKind), FStorage(std::move(AStorage)), FConfig(AConfig), FStateName(std::move(AStateName)) {
    if (FConfig == nullptr) return;
    if (std::optional<std::string> bytes = FConfig->Read(FStateName)) {
        std::istringstream stream(*bytes);
        FStorage->LoadState(stream);
    }
    FLoaded = StateBytes();
}

TRemote::~TRemote() {
    try {
        SaveState();
    } catch (const std::exception& E) {
        std::cerr << "nimbo: cannot keep the sign-in of " << FKind.Name << ": " << E.what() << "\n";
    }
}

std::string TRemote::StateBytes() const {
    std::ostringstream stream;
    FStorage->SaveState(stream);
    return stream.str();
}

void TRemote::SaveState() {
    if (FConfig == nullptr) return;
    std::string bytes = StateBytes();
    if (bytes == FLoaded) return;
    FConfig->Write(FStateName, bytes);
    FLoaded = std::move(bytes);
}

TSession::TSession(const TGlobalOptions& AOptions) : FOptions(AOptions) {
    if (FOptions.Sandbox && !FOptions.ConnectTo.empty())
        throw EUsageError("--sandbox and --connect-to cannot be used together");
    if (!FOptions.CaFile.empty() && !std::filesystem::is_regular_file(FOptions.CaFile))
        throw EUsageError("--ca-file: no such file: " + FOptions.CaFile);
    if (FOptions.Sandbox) {
        FSandbox = std::make_unique<Demo::TSandboxCore>(Demo::TSandboxCore::DefaultDataDir());
    } else if (!FOptions.ConnectTo.empty() || !FOptions.CaFile.empty()) {
        THttpTransportSettings settings = THttpTransport::Settings();
        FPreviousTransport = settings;
        if (!FOptions.ConnectTo.empty()) settings.ConnectTo = MappingsTo(FOptions.ConnectTo);
        if (!FOptions.CaFile.empty()) settings.CaFile = FOptions.CaFile;
        THttpTransport::Configure(settings);
    }
    if (FSandbox || !FOptions.ConnectTo.empty()) {
        // The emulator's consent page is answered without a browser.
        TAuthUI::Register(TAuthUIClass::Of<TNimboHeadlessAuth>());
        TNimboHeadlessAuth::SetDecision(THeadlessDecision::Allow);
    } else {
        TAuthUI::Register(TAuthUIClass::Of<TNimboSystemBrowserAuth>());
    }
}

TSession::~TSession() {
    if (FPreviousTransport) THttpTransport::Configure(*FPreviousTransport);
}

std::string TSession::FileStem(const TRemoteKind& AKind) const {
    return FOptions.ConnectTo.empty() ? AKind.Name : AKind.Name + "@" + FOptions.ConnectTo;
}

std::optional<TClientConfig> TSession::StoredClient(const TRemoteKind& AKind) const {
    const std::string name = FileStem(AKind) + ".conf";
    std::optional<std::string> text = FConfig.Read(name);
    if (!text) return std::nullopt;
    return TClientConfig::Parse(*text, (FConfig.Path() / name).string());
}

std::unique_ptr<TNimboStorage> TSession::NewStorage(const TRemoteKind& AKind, const TClientConfig& AClient) const {
    std::unique_ptr<TNimboStorage> storage = AKind.Create();
    storage->SetClientId(AClient.ClientId);
    if (!AClient.Secret.empty()) storage->SetSecret(AClient.Secret);
    // The sandbox's clients take any loopback address: its sign-ins never wait for a fixed port that
    // another program's sign-in holds.
    if (FSandbox && storage->GetRedirectUrl().starts_with("http://127.0.0.1:"))
        storage->SetRedirectUrl(TOAuthClient::LoopbackRedirectUrl);
    return storage;
}

std::unique_ptr<TRemote> TSession::OpenSandbox(const TRemoteKind& AKind) {
    const Demo::TSandboxCore::TCredentials credentials = AKind.PublicClient
                                                             ? Demo::TSandboxCore::PublicCredentials(AKind.Service)
                                                             : Demo::TSandboxCore::Credentials(AKind.Service);
    const TClientConfig client{credentials.ClientId, credentials.Secret};
    const std::string stateName = AKind.Name + "@sandbox.state";
    if (FConfig.Read(stateName)) {
        // The sign-in kept from an earlier run, unless the sandbox has forgotten it since (its
        // accounts were reset): then it is dropped and the sandbox signs in afresh.
        std::unique_ptr<TRemote> remote;
        try {
            remote = std::make_unique<TRemote>(AKind, NewStorage(AKind, client), &FConfig, stateName);
        } catch (const Exception&) {
            // a damaged file: signed in afresh below
        }
        try {
            if (remote) {
                remote->Storage().RefreshAccess();
                remote->Storage().Root().Files([](const TNimboCloudFile&) {});
                return remote;
            }
        } catch (const EHttpProtocolError& E) {
            if (E.ErrorCode() != 400 && E.ErrorCode() != 401) throw;
        }
        remote.reset();
        FConfig.Remove(stateName);
    }
    return std::make_unique<TRemote>(AKind, NewStorage(AKind, client), &FConfig, stateName);
}

std::unique_ptr<TRemote> TSession::Open(const TRemoteKind& AKind) {
    if (FSandbox) return OpenSandbox(AKind);
    std::optional<TClientConfig> client = StoredClient(AKind);
    const std::string stateName = FileStem(AKind) + ".state";
    if (!client || !FConfig.Read(stateName))
        throw ERestError("not signed in to " + AKind.Name + ": run \"nimbo login " + AKind.Name + "\" first");
    return std::make_unique<TRemote>(AKind, NewStorage(AKind, *client), &FConfig, stateName);
}

void TSession::Login(const TRemoteKind& AKind, const TLoginOptions& AOptions) {
    if (FSandbox) {
        // The sandbox signs in by itself: this only proves that it can.
        Open(AKind)->Storage().RefreshAccess();
        return;
    }
    TClientConfig client = StoredClient(AKind).value_or(TClientConfig{});
    if (!AOptions.ClientId.empty()) client = {AOptions.ClientId, AOptions.Secret};
    if (client.ClientId.empty())
        throw EUsageError("login " + AKind.Name + " needs the client of a registered application: --client-id" +
                          (AKind.PublicClient ? "" : " and --client-secret"));
    if (!AKind.PublicClient && client.Secret.empty())
        throw EUsageError("login " + AKind.Name + " needs --client-secret with --client-id");
    if (AOptions.NoBrowser)
        TNimboSystemBrowserAuth::SetCommand(
            {"/bin/sh", "-c", "printf 'Open this address in a browser to sign in:\\n%s\\n' \"$1\" >&2", "nimbo"});

    std::unique_ptr<TNimboStorage> storage = NewStorage(AKind, client);
    storage->RefreshAccess();
    std::ostringstream state;
    storage->SaveState(state);
    FConfig.Write(FileStem(AKind) + ".conf", client.Text());
    FConfig.Write(FileStem(AKind) + ".state", state.str());
}

bool TSession::Logout(const TRemoteKind& AKind) {
    if (FSandbox) return FConfig.Remove(AKind.Name + "@sandbox.state");
    return FConfig.Remove(FileStem(AKind) + ".state");
}

}  // namespace Nimbo::Cli
