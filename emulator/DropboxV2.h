#pragma once
// Dropbox API v2, served by the Dropbox service beside v1 on the same account: RPC calls on
// api.dropboxapi.com (JSON in, JSON out), uploads and downloads on content.dropboxapi.com (the
// argument in the Dropbox-API-Arg header or the "arg" query parameter), long polls on
// notify.dropboxapi.com and temporary links on dl.dropboxusercontent.com. Errors come in v2's
// forms: 400 plain text for bad input, 401 JSON for tokens, 409 JSON route errors with ".tag" unions.

#include "emulator/Service.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace Nimbo::Emulator {

class Args;

class DropboxV2 {
public:
    // The Dropbox service's route groups the v2 routes go into.
    struct Groups {
        std::string api, content, notify, download;
    };
    static const std::string DownloadHost;  // where temporary links point
    static const std::string AccountId;     // the account's id, as the sign-in answers it too

    explicit DropboxV2(Service& account);
    void AddRoutes(RouteTable& routes, const Groups& groups);
    void Reset();

    // Whether the request belongs to v2 and is answered in its formats.
    static bool Serves(const Exchange& ex);
    bool Authorized(Exchange& ex);  // else answers the refusal
    void SendError(Exchange& ex, int status, const std::string& message);
    void UnknownRoute(Exchange& ex);
    void MethodNotAllowed(Exchange& ex);

    // Dropbox's content hash: SHA-256 of every 4 MiB block, then SHA-256 of those digests (hex).
    static std::string ContentHash(std::string_view bytes);
    static std::string ContentHash(const BlobRef& content);

    // What a call received and the refusals its handler throws; the dispatcher answers them.
    struct Call {
        Exchange& ex;
        std::string route;  // "files/upload"
        Json arg;
        std::string where = "request body";  // where the argument came from, for error texts
    };
    struct BadInput {  // 400, plain text
        std::string text;
    };
    struct RouteError {  // 409, {"error_summary", "error"}
        Json error;
    };
    struct Download {
        Json result;  // the file's metadata, sent in Dropbox-API-Result
        BlobRef content;
        std::string rev;
    };

private:
    using JsonHandler = Json (DropboxV2::*)(Call&);
    using DownloadHandler = Download (DropboxV2::*)(Call&);
    enum class Style { Rpc, VoidRpc, Upload };

    // A sequential session receives its data in order; a concurrent one in pieces at offsets that
    // are multiples of 4 MiB, put together when it is finished.
    struct UploadSession {
        std::unique_ptr<BlobWriter> received;
        std::optional<BlobRef> assembled;  // once a finish was tried: no more data then
        bool closed = false, concurrent = false;
        std::map<std::uint64_t, BlobRef> pieces;  // a concurrent session's data by offset
        std::optional<std::uint64_t> total;       // a concurrent session's size, known when it closes
        TimePoint expires;
        std::uint64_t Offset() const;
    };
    struct TemporaryLink {
        BlobRef content;
        std::string name;
        TimePoint expires;
    };
    // Where a commit goes and how it treats what is there.
    struct Commit {
        std::string path;
        std::string mode = "add";
        std::string rev;
        bool autorename = false, strict = false;
        std::optional<TimePoint> clientModified;
    };
    // A list_folder cursor: the folder and options, the tree's epoch, the last change the client
    // has and, while the first listing is paged, the last path it got.
    struct Cursor {
        std::string folder;  // lower-case path, "" for the root
        bool recursive = false;
        std::size_t limit = 2000;
        std::uint64_t change = 0;
        std::optional<std::string> listedUpTo;
    };

    Service& account_;
    // Kept among the account's records.
    static Json SaveSession(UploadSession& session);
    static UploadSession RestoreSession(const Json& record, const RecordLoader& loader);
    static Json SaveLink(TemporaryLink& link);
    static TemporaryLink RestoreLink(const Json& record, const RecordLoader& loader);
    KeptMap<UploadSession> sessions_{"dropbox2.upload", SaveSession, RestoreSession};  // by session id
    KeptMap<Json> batchJobs_{"dropbox2.batch", [](Json& result) { return result; },
                             [](const Json& record, const RecordLoader&) { return record; }};  // by async job id
    KeptMap<TemporaryLink> links_{"dropbox2.link", SaveLink, RestoreLink};                     // by link token
    struct CachedHash {
        std::weak_ptr<const Blob> blob;
        std::string hash;
    };
    std::map<std::string, CachedHash> hashes_;  // content hashes by stored content name

    // Dispatch: argument reading and checking, and the one place answers and errors are written.
    RouteTable::Handler Calls(Style style, JsonHandler handler);
    RouteTable::Handler Downloads(DownloadHandler handler);
    void Answer(Call& call, const std::function<void()>& run);
    static std::string RouteOf(const Exchange& ex);
    static void Stamp(Exchange& ex);
    static void SendJson(Exchange& ex, int status, const Json& body);
    static void SendText(Exchange& ex, int status, const std::string& text);
    static Json ArgOfBody(const Exchange& ex, Style style);
    static Json ArgOfHeader(const Exchange& ex, std::string& where);

    // Items.
    Node* Resolve(const std::string& path);  // "/a/b", "id:…", "id:…/rest"; "" is the root
    std::string Rev(const Node& node) const;
    Node* ByRev(const std::string& rev);
    const std::string& HashOf(const BlobRef& content);
    void Remember(Exchange& ex, const BlobRef& content);  // hashes large contents with the emulator unlocked
    Json Metadata(const Node& node, bool tagged);
    static Json Deleted(const std::string& path);
    // Makes the folders above a path; throws the write conflict when a file is in the way.
    Node& ParentFor(const std::string& path, TimePoint now);
    std::string FreeName(const std::string& parentId, const std::string& name, bool conflictedCopy);
    Node& Write(Exchange& ex, const Commit& commit, const BlobRef& content,
                const std::function<RouteError(const Json&)>& failed);
    std::size_t CountItems(const Node& node) const;

    // Listing.
    std::string CursorText(const Cursor& cursor) const;
    std::optional<Cursor> ParseCursor(const std::string& text) const;  // nullopt: no cursor at all
    bool CursorReset(const std::string& text, Cursor& cursor) const;   // true: must start again
    Json Page(Cursor cursor);
    bool HasChanges(const Cursor& cursor) const;
    Cursor CursorFor(Call& call);

    // Routes.
    Json ListFolder(Call& call);
    Json ListFolderContinue(Call& call);
    Json LatestCursor(Call& call);
    Json Longpoll(Call& call);
    Json GetMetadata(Call& call);
    Json CreateFolder(Call& call);
    Json Delete(Call& call);
    Json Move(Call& call);
    Json Copy(Call& call);
    Json Upload(Call& call);
    Json SessionStart(Call& call);
    Json SessionAppend(Call& call);
    Json SessionFinish(Call& call);
    Json FinishBatch(Call& call);
    Json FinishBatchAsync(Call& call);
    Json FinishBatchCheck(Call& call);
    Json TemporaryLinkFor(Call& call);
    Json CurrentAccount(Call& call);
    Json SpaceUsage(Call& call);
    Download DownloadFile(Call& call);
    void ServeLink(Exchange& ex);

    // Upload sessions.
    static Commit ReadCommit(Args args);
    // The whole content of a session being finished; throws the lookup error (via `failed`) when
    // a concurrent one misses data.
    BlobRef Assemble(UploadSession& session, const std::function<RouteError(const Json&)>& failed);
    void AppendPiece(Call& call, UploadSession& session, std::uint64_t offset, bool close);
    // The content_hash of the data this call sent, when it gives one.
    void CheckChunkHash(Call& call, Args& args);
    UploadSession& Lookup(Args& cursor, TimePoint now, bool finishing,
                          const std::function<RouteError(const Json&)>& failed);
    Json FinishEntry(Exchange& ex, const Json& entry);
};

}  // namespace Nimbo::Emulator
