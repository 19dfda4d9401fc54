#pragma once

#include <filesystem>
#include <string>

#include "Nimbo/Connection/HttpTransport.h"
#include "emulator/CloudEmulator.h"

namespace Nimbo::Demo {

// Holds an exclusive lock on a folder for as long as it lives, so that two processes never work
// on the same sandbox data at once. The lock goes with the process, however it ends.
class TFolderLock {
public:
    // Makes the folder when it is missing; std::runtime_error naming the folder when another process
    // holds the lock or the lock file cannot be opened. An empty path locks nothing.
    explicit TFolderLock(const std::filesystem::path& AFolder);
    ~TFolderLock();

    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;

    static constexpr const char* FileName = "sandbox.lock";

private:
    int FDescriptor = -1;
};

// The part of the programs' sandbox that needs no toolkit: the cloud emulator on a free loopback
// port with its state in a data folder, the HTTPS transport mapped to it under the services' real
// host names, the sandbox clients registered and, on first use, a few folders and files seeded.
class TSandboxCore {
public:
    struct TCredentials {
        std::string ClientId;
        std::string Secret;  // empty for a public client
    };

    // Takes the data folder's lock, then starts the emulator with its state in ADataDir (made and
    // seeded on first use; empty: kept in memory and seeded now) and maps the transport to it.
    explicit TSandboxCore(const std::filesystem::path& ADataDir);
    // Stops the emulator, saving its state, and gives the transport its previous settings back.
    ~TSandboxCore();

    TSandboxCore(const TSandboxCore&) = delete;
    TSandboxCore& operator=(const TSandboxCore&) = delete;

    // Where the sandbox keeps the emulator's state between runs: the user's data folder
    // ($XDG_DATA_HOME, else ~/.local/share) followed by DataDirName.
    static std::filesystem::path DefaultDataDir();
    static constexpr const char* DataDirName = "Velmor Labs/Nimbokit 2017/Cumulo/Cloudpane Sandbox";

    // The confidential client of each service.
    static TCredentials Credentials(Emulator::Cloud ACloud);
    // A client without a secret (signing in with PKCE alone), for the interfaces that sign in that
    // way; registered for the services that allow such clients.
    static TCredentials PublicCredentials(Emulator::Cloud ACloud);

    Emulator::CloudEmulator& Emulator() { return FEmulator; }
    const Emulator::CloudEmulator& Emulator() const { return FEmulator; }

    // Every service back to its seeded folders and files, with the sandbox clients registered.
    void Reset();
    // Writes the emulator's state to its data folder (nothing without one).
    void Save() const;

private:
    void RegisterClients();
    void Seed();

    TFolderLock FLock;
    Emulator::CloudEmulator FEmulator;
    Connection::THttpTransportSettings FPreviousTransport;
};

}  // namespace Nimbo::Demo
