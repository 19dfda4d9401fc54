#pragma once
// A local HTTPS emulator of Google Drive v2 and v3, Dropbox v1, Live Connect v5.0 and Box 2.0, with their
// OAuth 2.0 sign-in pages. One loopback listener serves every service, chosen by the Host header;
// clients keep the real URLs and map the hosts to 127.0.0.1:Port() (libcurl CURLOPT_CONNECT_TO,
// see ConnectToMappings) and trust the emulator's CA (CaCertPath).
//
// Headless sign-in: add "emulator_decision=allow" (or "deny", optionally with
// "emulator_deny_reason=<text>") to the authorization URL, or POST the page's form with the field
// "decision" set to "allow" or "deny". SetSignInDecision makes the page answer without asking.

#include "emulator/Types.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace Nimbo::Emulator {

class CloudEmulator {
public:
    explicit CloudEmulator(EmulatorOptions options = {});
    ~CloudEmulator();
    CloudEmulator(const CloudEmulator&) = delete;
    CloudEmulator& operator=(const CloudEmulator&) = delete;

    void Start();  // throws std::runtime_error when the port cannot be bound
    void Stop();
    bool Running() const;
    std::uint16_t Port() const;

    const std::string& CaPem() const;
    std::filesystem::path CaCertPath() const;  // a file holding CaPem()

    static std::vector<std::string> Hosts();             // every host name the emulator serves
    std::vector<std::string> ConnectToMappings() const;  // "host:443:127.0.0.1:PORT" per host

    // State of the services.
    void Reset(Cloud cloud);  // empty tree, default account, no clients, no tokens
    void ResetAll();
    void SetAccountName(Cloud cloud, const std::string& displayName);
    // Paths are "/"-separated names from the root ("Docs/a.txt"). Missing folders are made.
    std::string AddFolder(Cloud cloud, const std::string& path);
    std::string AddFile(Cloud cloud, const std::string& path, const std::string& content,
                        const std::string& mimeType = "");
    // Many files at once, cheaper than one by one: their contents reach the disk together and the
    // files are stored in one transaction. Their ids in order. A path that cannot be used throws
    // std::invalid_argument naming it; the files before it are added.
    std::vector<std::string> AddFiles(Cloud cloud, const std::vector<NewFile>& files);
    // Items in the trash are not found by path, nor listed.
    std::optional<ItemInfo> Find(Cloud cloud, const std::string& path) const;
    std::vector<ItemInfo> Children(Cloud cloud, const std::string& path) const;
    // Every answered change is stored before it is answered (in the data folder's state.db, or a
    // temporary one without a data folder). Save folds the database's log into its file.
    void Save() const;
    bool StartedFresh() const;  // nothing was stored in the data folder when the emulator was made

    // OAuth. An empty secret registers a public client: it sends no secret and must use PKCE (Box
    // has none: std::invalid_argument). Redirect addresses over http must be on a loopback host.
    void RegisterClient(Cloud cloud, const std::string& clientId, const std::string& secret,
                        std::vector<std::string> redirectUris = {});
    // Tokens as a finished sign-in would give them: Google Drive and Box an hour's access token and a
    // refresh token; Dropbox a token that does not expire and no refresh token; Live Connect an hour's
    // token for the scope (empty: wl.signin wl.basic wl.offline_access wl.skydrive wl.skydrive_update)
    // and a refresh token only with wl.offline_access.
    TokenPair IssueTokens(Cloud cloud, const std::string& clientId, const std::string& scope = "");
    void ExpireAccessTokens(Cloud cloud);
    void RevokeRefreshTokens(Cloud cloud);
    void ExpireUploadSessions(Cloud cloud);  // Live Connect: the upload sessions of its Microsoft Graph interface
    void SetSignInDecision(SignInDecision decision);
    // How long upload sessions started from now on live (until the next reset of everything: then
    // as the options say).
    void SetUploadSessionLifetime(std::chrono::milliseconds lifetime);

    // Requests and faults.
    std::vector<RecordedRequest> Requests() const;
    void ClearRequests();
    // Throws std::invalid_argument for a status that is not a final HTTP status (200-599).
    void InjectFault(const Route& route, const Fault& fault, int times = 1);
    void ClearFaults();

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Nimbo::Emulator
