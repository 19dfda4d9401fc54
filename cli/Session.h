#pragma once

#include <memory>
#include <string>

#include "Config.h"
#include "Nimbo/Connection/HttpTransport.h"
#include "Remote.h"

namespace Nimbo::Demo {
class TSandboxCore;
}

namespace Nimbo::Cli {

// Where the program's requests go and how it talks about them.
struct TGlobalOptions {
    bool Sandbox = false;   // the emulator inside the program, with the sandbox accounts
    std::string ConnectTo;  // "HOST:PORT" of an emulator elsewhere; empty: the real services
    std::string CaFile;     // trusted besides the system's CAs
    bool Quiet = false;
    bool Verbose = false;
    bool Progress = false;  // a progress line even when stderr is no terminal
};

// One remote's storage, signed in as the configuration (or the sandbox) says, for the length of a
// command. Its sign-in state is written back when a renewal changed it.
class TRemote {
public:
    TRemote(const TRemoteKind& AKind, std::unique_ptr<Connection::TNimboStorage> AStorage, const TConfigFolder* AConfig,
            std::string AStateName);
    ~TRemote();

    TRemote(const TRemote&) = delete;
    TRemote& operator=(const TRemote&) = delete;

    const TRemoteKind& Kind() const { return FKind; }
    Connection::TNimboStorage& Storage() { return *FStorage; }
    // Writes the sign-in state when it differs from what was loaded (nothing in the sandbox).
    void SaveState();

private:
    std::string StateBytes() const;

    const TRemoteKind& FKind;
    std::unique_ptr<Connection::TNimboStorage> FStorage;
    const TConfigFolder* FConfig;  // null: the state is not kept
    std::string FStateName;
    std::string FLoaded;
};

// The services one run of the program reaches: the sandbox, an emulator elsewhere, or the real ones.
class TSession {
public:
    // EUsageError for a malformed --connect-to or a missing --ca-file; std::runtime_error when the
    // sandbox cannot start (its folder in use by another program, for one).
    explicit TSession(const TGlobalOptions& AOptions);
    ~TSession();

    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // The remote's storage with its client and sign-in state; ERestError when it was never signed in
    // (outside the sandbox).
    std::unique_ptr<TRemote> Open(const TRemoteKind& AKind);

    struct TLoginOptions {
        std::string ClientId;  // empty: the one stored by an earlier login
        std::string Secret;
        bool NoBrowser = false;  // print the address to open instead of opening a browser
    };
    // Signs in afresh and stores the client and the sign-in state.
    void Login(const TRemoteKind& AKind, const TLoginOptions& AOptions);
    // Whether there was a sign-in to forget.
    bool Logout(const TRemoteKind& AKind);

    bool IsSandbox() const { return FSandbox != nullptr; }

private:
    // The names of the remote's files in the configuration folder.
    std::string FileStem(const TRemoteKind& AKind) const;
    std::unique_ptr<Connection::TNimboStorage> NewStorage(const TRemoteKind& AKind, const TClientConfig& AClient) const;
    std::optional<TClientConfig> StoredClient(const TRemoteKind& AKind) const;
    // The sandbox signs in by itself; its sign-in is kept between runs all the same, so that the
    // sandbox's accounts do not collect a token for every run.
    std::unique_ptr<TRemote> OpenSandbox(const TRemoteKind& AKind);

    TGlobalOptions FOptions;
    TConfigFolder FConfig;
    std::unique_ptr<Demo::TSandboxCore> FSandbox;
    std::optional<Connection::THttpTransportSettings> FPreviousTransport;
};

}  // namespace Nimbo::Cli
