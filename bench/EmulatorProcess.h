#pragma once

// The emulator as the benchmarks use it: a cloud-emulator process of its own on a free loopback port,
// its data in a temporary folder, and the bench's own HTTPS calls to it (seeding through the admin
// interface, reading the request log, reading an item's record) on one reused connection.

#include <curl/curl.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace Bench {

// A new temporary folder, removed with everything in it on destruction.
class TWorkDir {
public:
    TWorkDir();
    ~TWorkDir();
    TWorkDir(const TWorkDir&) = delete;
    TWorkDir& operator=(const TWorkDir&) = delete;
    std::filesystem::path operator/(const std::string& AName) const { return FPath / AName; }

private:
    std::filesystem::path FPath;
};

// A cloud-emulator process with its data folder, log and CA file in AWork; stopped on destruction.
class TEmulatorProcess {
public:
    // Request bodies up to AMaxBody bytes are taken. It listens on APort, or on a free port when 0.
    TEmulatorProcess(const std::string& AProgram, const TWorkDir& AWork, std::uint64_t AMaxBody, int APort = 0);
    ~TEmulatorProcess();
    TEmulatorProcess(const TEmulatorProcess&) = delete;
    TEmulatorProcess& operator=(const TEmulatorProcess&) = delete;

    int Port() const { return FPort; }
    std::string CaFile() const { return FCaFile.string(); }

    // After changes the emulator folds its database's log into the database in the background, and
    // the system writes content to disk. Waits until the emulator has used no CPU for a while, so that
    // no measured run overlaps that work.
    void Settle() const;

private:
    long CpuTicks() const;
    void WaitForPort();
    void Stop();

    std::filesystem::path FLog, FCaFile, FData;
    pid_t FPid = 0;
    int FPort = 0;
};

// HTTPS calls over one connection, kept while it is fresh, with the emulator's host mappings and CA.
class TClient {
public:
    TClient(const std::string& ACaFile, const std::vector<std::string>& AConnectTo);
    ~TClient();
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    // The answer's body; std::runtime_error for a failure or a status outside 200-299.
    std::string Call(const std::string& AMethod, const std::string& AUrl, const std::string& ABody = {},
                     const std::vector<std::string>& AHeaders = {});
    std::string Escape(const std::string& AText);

private:
    CURL* FHandle;
    curl_slist* FConnectTo = nullptr;
};

// The emulator's admin interface (https://localhost/emulator/...).
class TAdmin {
public:
    explicit TAdmin(TClient& AClient) : FClient(AClient) {}

    // A form POST to the call; its JSON answer.
    nlohmann::json Post(const std::string& ACall, const std::vector<std::pair<std::string, std::string>>& AFields);
    nlohmann::json Requests();
    void ClearRequests();

private:
    static std::string Url(const std::string& ACall) { return "https://localhost/emulator/" + ACall; }
    TClient& FClient;
};

}  // namespace Bench
