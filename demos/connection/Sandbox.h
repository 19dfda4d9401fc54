#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "SandboxCore.h"
#include "emulator/CloudEmulator.h"

namespace Nimbo::Connection {
class TNimboStorage;
}

namespace Nimbo::Demo {

// The program's sandbox: the cloud emulator runs inside the program on a free loopback port, the
// HTTPS transport and the embedded browser reach it under the services' real host names, and each
// service has sandbox credentials and a few folders and files. Everything else is the real code.
class TSandbox {
public:
    using TCredentials = TSandboxCore::TCredentials;

    // Starts the emulator with its state in ADataDir (made and seeded on first use; empty: kept in
    // memory and seeded now) and maps the transport to it. std::runtime_error when another program
    // works on that folder.
    explicit TSandbox(const std::filesystem::path& ADataDir);
    // Stops the emulator, saving its state, and gives the transport and the browser their previous
    // settings back.
    ~TSandbox();

    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;

    // Where the sandbox keeps the emulator's state between runs.
    static std::filesystem::path DefaultDataDir();

    static TCredentials Credentials(Emulator::Cloud ACloud);
    // The emulated service that a storage component talks to.
    static Emulator::Cloud CloudOf(const Connection::TNimboStorage& AStorage);

    Emulator::CloudEmulator& Emulator() { return FCore.Emulator(); }
    // The Chromium arguments that send the embedded browser to the emulator for the services' hosts
    // (given to the application after "--webEngineArgs"); its certificates are trusted already.
    std::vector<std::string> BrowserArguments() const;

    // Gives the service its sandbox client identifier and secret.
    void PresetService(Connection::TNimboStorage& AStorage) const;
    // Every service back to its seeded folders and files, with the sandbox clients registered.
    void Reset();
    // Writes the emulator's state to its data folder (nothing without one).
    void Save() const;

private:
    TSandboxCore FCore;
};

}  // namespace Nimbo::Demo
