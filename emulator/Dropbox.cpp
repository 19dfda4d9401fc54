// Dropbox Core API v1 on api.dropbox.com and api-content.dropbox.com, and its OAuth 2.0 pages on
// www.dropbox.com. Items are addressed by path, case-insensitively. API v2 (DropboxV2.cpp) is
// served beside it on the same account.

#include "emulator/DropboxV2.h"
#include "emulator/Service.h"
#include "emulator/SignInEndpoints.h"

#include <cstdio>
#include <set>

namespace Nimbo::Emulator {
namespace {

const std::string ApiHost = "api.dropbox.com";
const std::string ContentHost = "api-content.dropbox.com";
const std::string WebHost = "www.dropbox.com";
const std::string BareWebHost = "dropbox.com";  // where one official client sends users to sign in
const std::string NotifyHost = "api-notify.dropbox.com";
// Route groups: every API host name shares one set of routes.
const std::string Api = "api", Content = "content", Web = "web", Notify = "notify", Links = "links";
constexpr long long Uid = 576540315;
constexpr long DefaultFileLimit = 10000, MaxFileLimit = 25000;
constexpr std::uint64_t MaxPutBytes = 150u << 20;  // files_put, and each chunk of a chunked upload
constexpr auto ChunkedUploadLifetime = std::chrono::hours(48);
constexpr std::size_t MaxDeltaEntries = 1000;
constexpr std::size_t MaxOperationItems = 10000;

// A chunked upload between its first chunk and its commit.
struct ChunkedUpload {
    std::unique_ptr<BlobWriter> received;  // the chunks so far
    std::optional<BlobRef> committed;      // all of them, once a commit was tried: no more chunks then
    TimePoint expires;

    std::uint64_t Offset() const {
        if (committed) return *committed ? (*committed)->Size() : 0;
        return received ? received->Size() : 0;
    }
    BlobRef Content() {
        if (!committed) {
            committed = received ? received->Finish() : nullptr;
            received.reset();
        }
        return *committed;
    }
};

Json SaveChunked(ChunkedUpload& upload) {
    Json record = {{"received", WriterRecord(upload.received)}, {"expires", TimeRecord(upload.expires)}};
    if (upload.committed) record["committed"] = ContentRecord(*upload.committed);
    return record;
}

ChunkedUpload RestoreChunked(const Json& record, const RecordLoader& loader) {
    ChunkedUpload upload;
    upload.received = loader.Writer(record.at("received"));
    if (record.contains("committed")) {
        upload.committed = loader.Content(record.at("committed"));
        if (!record.at("committed").is_null() && !*upload.committed)
            throw std::runtime_error("the received bytes are gone");
    }
    upload.expires = TimeOf(record.at("expires"));
    return upload;
}

// How an upload treats an item already at its path.
struct PutOptions {
    bool overwrite = true, autorename = true;
    std::optional<std::string> parentRev;
};

std::string SizeText(std::int64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " bytes";
    const char* units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%s", value, units[unit]);
    return text;
}

std::string IconFor(const Node& node) {
    if (node.folder) return "folder";
    if (node.mimeType.rfind("image/", 0) == 0) return "page_white_picture";
    if (node.mimeType == "application/pdf") return "page_white_acrobat";
    if (node.mimeType.rfind("text/", 0) == 0) return "page_white_text";
    return "page_white";
}

class Dropbox final : public Service {
public:
    Dropbox()
        : Service(
              Cloud::Dropbox, "dropbox-root", [](bool) { return "db-" + RandomToken(16); }, "",
              "Emulated Dropbox User") {
        Keep(chunked_);
        using D = Dropbox;
        const auto Open = RouteTable::Access::Open;
        Route("POST", Api, "/1/oauth2/token", &D::Token, Open);
        Route("GET", Api, "/1/account/info", &D::AccountInfo);
        Route("GET", Api, "/1/metadata/{path...}", &D::Metadata);
        Route("POST", Api, "/1/fileops/create_folder", &D::CreateFolder);
        Route("POST", Api, "/1/fileops/delete", &D::Delete);
        Route("POST", Api, "/1/fileops/move", &D::Move);
        Route("POST", Api, "/1/fileops/copy", &D::Copy);
        Route("POST", Api, "/1/delta", &D::Delta);
        Route("POST", Api, "/1/delta/latest_cursor", &D::LatestCursor);
        Route("GET", Content, "/1/files/{path...}", &D::Download);
        for (const char* method : {"PUT", "POST"}) {
            Route(method, Content, "/1/files_put/{path...}", &D::Upload, RouteTable::Access::Token, MaxPutBytes);
            Route(method, Content, "/1/chunked_upload", &D::UploadChunk, RouteTable::Access::Token, MaxPutBytes);
        }
        Route("POST", Content, "/1/commit_chunked_upload/{path...}", &D::CommitChunkedUpload);
        Route("GET", Web, "/1/oauth2/authorize", &D::Authorize, Open);
        Route("POST", Web, "/1/oauth2/authorize", &D::Authorize, Open);
        Route("GET", Web, "/1/oauth2/redirect_receiver", &D::RedirectReceiver, Open);
        v2_.AddRoutes(routes, {Api, Content, Notify, Links});
        // Today's sign-in: the same page, and a token endpoint with expiring tokens and PKCE.
        for (const char* method : {"GET", "POST"}) Route(method, Web, "/oauth2/authorize", &D::Authorize, Open);
        routes.Add(
            "POST", Api, "/oauth2/token", [this](Exchange& ex) { signIn_.Token(ex); }, Open);
        routes.Add(
            "POST", Api, "/2/auth/token/revoke", [this](Exchange& ex) { signIn_.Revoke(ex); }, Open);
    }

    // The JavaScript client picks api1 ... api30 at random; the later dropboxapi.com names serve v1 too.
    std::vector<std::string> Hosts() const override {
        std::vector<std::string> hosts{ApiHost,
                                       ContentHost,
                                       WebHost,
                                       BareWebHost,
                                       NotifyHost,
                                       "api.dropboxapi.com",
                                       "content.dropboxapi.com",
                                       "notify.dropboxapi.com",
                                       DropboxV2::DownloadHost};
        for (int n = 1; n <= 30; ++n) hosts.push_back("api" + std::to_string(n) + ".dropbox.com");
        return hosts;
    }
    bool NamesIgnoreCase() const override { return true; }

    void SendError(Exchange& ex, int status, const std::string& message) override {
        if (DropboxV2::Serves(ex)) return v2_.SendError(ex, status, message);
        Error(ex, status, message);
    }
    // The front servers refuse uploads over the limit with their own page.
    void SendTooLarge(Exchange& ex) override {
        ex.SendHtml(413,
                    "<html>\r\n<head><title>413 Request Entity Too Large</title></head>\r\n<body>\r\n"
                    "<center><h1>413 Request Entity Too Large</h1></center>\r\n</body>\r\n</html>\r\n");
    }

    void Reset(TimePoint now) override {
        Service::Reset(now);
        chunked_.clear();
        v2_.Reset();
    }

    // Dropbox tokens do not expire and there are no refresh tokens.
    TokenPair IssueTokens(const std::string& clientId, const std::string& scope, TimePoint) override {
        return {oauth.IssueAccessToken({clientId, scope, "", TimePoint::max(), false}), ""};
    }

protected:
    std::string HostGroup(const std::string& host) const override {
        if (host == WebHost || host == BareWebHost) return Web;
        if (host == DropboxV2::DownloadHost) return Links;
        if (host == ContentHost || host == "content.dropboxapi.com") return Content;
        if (host == NotifyHost || host == "notify.dropboxapi.com") return Notify;
        return Api;
    }
    void UnknownRoute(Exchange& ex) override {
        if (DropboxV2::Serves(ex)) return v2_.UnknownRoute(ex);
        if (HostGroup(ex.host) == Web)
            return ex.SendHtml(
                404, "<!DOCTYPE html><html><head><title>Dropbox - 404</title></head><body>Not found</body></html>\n");
        Error(ex, 404, "Unknown API call");
    }

    void MethodNotAllowed(Exchange& ex) override {
        if (DropboxV2::Serves(ex)) return v2_.MethodNotAllowed(ex);
        Service::MethodNotAllowed(ex);
    }

private:
    KeptMap<ChunkedUpload> chunked_{"dropbox1.chunked", SaveChunked, RestoreChunked};  // by upload_id
    DropboxV2 v2_{*this};
    DropboxOAuth2 signIn_{*this, std::to_string(Uid)};

    static void Error(Exchange& ex, int status, const std::string& message) {
        ex.SendJson(status, {{"error", message}});
    }

    bool Authorized(Exchange& ex) override {
        if (DropboxV2::Serves(ex)) return v2_.Authorized(ex);
        if (oauth.CheckAccessToken(ex.BearerToken(true), ex.now) == TokenCheck::Ok) return true;
        ex.res.set_header("WWW-Authenticate", "Bearer realm=\"Dropbox-API\"");
        Error(ex, 401, "The given OAuth 2 access token doesn't exist or has expired.");
        return false;
    }

    // Splits "<root>/<path>" and normalises the path; answers 400 and returns false when unusable.
    static bool RootedPath(Exchange& ex, const std::string& rooted, std::string& path) {
        auto slash = rooted.find('/');
        std::string root = rooted.substr(0, slash);
        if (root != "dropbox" && root != "sandbox" && root != "auto") {
            Error(ex, 400, "Invalid root parameter: must be 'dropbox' or 'sandbox'");
            return false;
        }
        return NormalPath(ex, slash == std::string::npos ? "" : rooted.substr(slash), path);
    }

    static bool NormalPath(Exchange& ex, const std::string& raw, std::string& path) {
        std::vector<std::string> names;
        if (!SplitPath(raw, names)) {
            Error(ex, 400, "Invalid path: '" + raw + "'");
            return false;
        }
        path.clear();
        for (const auto& name : names) {
            if (auto fault = NameFault(name); !fault.empty()) {
                Error(ex, 400, "Invalid path '" + raw + "': a name " + fault);
                return false;
            }
            path += "/" + name;
        }
        return true;
    }

    static std::string Rev(const Node& node) {
        char text[32];
        std::snprintf(text, sizeof text, "%llx%07llx", static_cast<unsigned long long>(node.order),
                      static_cast<unsigned long long>(node.version + 1));
        return text;
    }

    Json Meta(const Node& node) const {
        bool isRoot = node.id == tree.RootId();
        Json m = {{"size", SizeText(node.folder ? 0 : node.Size())},
                  {"bytes", node.folder ? 0 : node.Size()},
                  {"thumb_exists", false}};
        if (!isRoot) {
            m["rev"] = Rev(node);
            m["modified"] = Rfc1123(node.modified);
            if (!node.folder) m["client_mtime"] = Rfc1123(node.modified);
        }
        m["path"] = isRoot ? "/" : tree.PathOf(node.id);
        m["is_dir"] = node.folder;
        m["icon"] = IconFor(node);
        m["root"] = "dropbox";
        if (!node.folder) m["mime_type"] = node.mimeType;
        if (!isRoot) m["revision"] = node.order * 1000 + node.version + 1;
        return m;
    }

    std::string FolderHash(const Node& folder) const {
        std::string text;
        for (const Node* child : tree.Children(folder.id)) text += child->name + "|" + Rev(*child) + "\n";
        return Md5Hex(text);
    }

    // A true/false parameter of the query (or, with formToo, of a form body as well).
    static bool BoolParam(Exchange& ex, const std::string& key, bool fallback, bool& value, bool formToo = false) {
        bool given = ex.HasQuery(key) || (formToo && ex.HasForm(key));
        if (!given) return value = fallback, true;
        std::string text = ToLower(formToo ? ex.Field(key) : ex.Query(key));
        if (text == "true" || text == "1") return value = true, true;
        if (text == "false" || text == "0") return value = false, true;
        Error(ex, 400, "Invalid value for " + key + ": must be 'true' or 'false'");
        return false;
    }

    static bool ReadPutOptions(Exchange& ex, PutOptions& options, bool formToo) {
        if (!BoolParam(ex, "overwrite", true, options.overwrite, formToo) ||
            !BoolParam(ex, "autorename", true, options.autorename, formToo))
            return false;
        if (ex.HasQuery("parent_rev") || (formToo && ex.HasForm("parent_rev")))
            options.parentRev = formToo ? ex.Field("parent_rev") : ex.Query("parent_rev");
        return true;
    }

    // Uploads need their length up front.
    static bool LengthGiven(Exchange& ex) {
        if (!ex.req.has_header("Transfer-Encoding")) return true;
        Error(ex, 411, "Uploads need a Content-Length; chunked transfer coding is not accepted");
        return false;
    }

    void NotFound(Exchange& ex, const std::string& path) { Error(ex, 404, "Path '" + path + "' not found"); }

    void Metadata(Exchange& ex) {
        const std::string rooted = ex.Param("path");
        std::string path;
        bool list = true;
        if (!RootedPath(ex, rooted, path) || !BoolParam(ex, "list", true, list)) return;
        long limit = DefaultFileLimit;
        if (ex.HasQuery("file_limit")) {
            try {
                limit = std::stol(ex.Query("file_limit"));
            } catch (const std::exception&) {
                return Error(ex, 400, "Invalid value for file_limit");
            }
            if (limit < 1) return Error(ex, 400, "Invalid value for file_limit");
            limit = std::min(limit, MaxFileLimit);
        }
        Node* node = tree.FindPath(path, true);
        if (!node) return NotFound(ex, path.empty() ? "/" : path);
        Json m = Meta(*node);
        if (node->folder && list) {
            auto children = tree.Children(node->id);
            if (static_cast<long>(children.size()) > limit)
                return Error(ex, 406,
                             "Too many entries: this folder holds more than " + std::to_string(limit) + " entries.");
            std::string hash = FolderHash(*node);
            if (ex.HasQuery("hash") && ex.Query("hash") == hash) return ex.SendEmpty(304);
            Json contents = Json::array();
            for (const Node* child : children) contents.push_back(Meta(*child));
            Json answer = {{"hash", hash}};
            answer.update(m);
            answer["contents"] = contents;
            return ex.SendJson(200, answer);
        }
        ex.SendJson(200, m);
    }

    void Download(Exchange& ex) {
        const std::string rooted = ex.Param("path");
        std::string path;
        if (!RootedPath(ex, rooted, path)) return;
        Node* node = tree.FindPath(path, true);
        if (!node || node->folder) return NotFound(ex, path.empty() ? "/" : path);
        ex.res.set_header("x-dropbox-metadata", JsonText(Meta(*node)));
        ex.SendContent(node->content, node->mimeType);
    }

    static bool Ignored(const std::string& name) {
        std::string lower = ToLower(name);
        return lower == "thumbs.db" || lower == ".ds_store" || lower == "desktop.ini" || lower == "icon\r" ||
               lower == ".dropbox" || lower == ".dropbox.attr";
    }

    void Upload(Exchange& ex) {
        std::string path;
        PutOptions options;
        if (!LengthGiven(ex) || !RootedPath(ex, ex.Param("path"), path) || !ReadPutOptions(ex, options, false)) return;
        Store(ex, path, ex.Content(), options);
    }

    // Stores a file at the path as files_put and commit_chunked_upload do: missing folders made, an
    // item in the way replaced, renamed around or refused as the options say. Answers either way;
    // true when stored.
    bool Store(Exchange& ex, const std::string& path, const BlobRef& content, const PutOptions& options) {
        if (path.empty()) return Error(ex, 400, "Must provide a file name in the path"), false;
        auto slash = path.rfind('/');
        std::string parentPath = path.substr(0, slash), name = path.substr(slash + 1);
        if (Ignored(name))
            return Error(ex, 400, "File '" + path + "' is on the ignored file list, so it was not saved"), false;
        Node* parent = tree.FindPath(parentPath, true);
        if (!parent) {
            try {
                parent = &tree.EnsureFolders(parentPath, true, ex.now);
            } catch (const std::invalid_argument&) {
                return Error(ex, 400, "Cannot upload to '" + path + "': a file is in the way"), false;
            }
        } else if (!parent->folder) {
            return Error(ex, 400, "Cannot upload to '" + path + "': a file is in the way"), false;
        }
        std::string mime = MimeTypeFor(name);
        Node* existing = tree.ChildByName(parent->id, name, true);
        if (existing && !existing->folder) {
            bool parentRevStale = options.parentRev && *options.parentRev != Rev(*existing);
            if (SameBytes(existing->content, content) && !parentRevStale)
                return ex.SendJson(200, Meta(*existing)), true;
            if (options.overwrite && !parentRevStale) {
                tree.SetContent(*existing, content, ex.now);
                return ex.SendJson(200, Meta(*existing)), true;
            }
        }
        if (existing) {
            if (!options.autorename)
                return Error(ex, 409, "Conflict: an item already exists at '" + tree.PathOf(existing->id) + "'"), false;
            for (int n = 1;; ++n) {
                std::string candidate = NumberedName(name, n);
                if (!tree.ChildByName(parent->id, candidate, true)) {
                    name = candidate;
                    break;
                }
            }
        }
        Node& node = tree.AddFile(parent->id, name, content, mime, ex.now);
        ex.SendJson(200, Meta(node));
        return true;
    }

    // --- chunked uploads ---

    static Json UploadState(const std::string& id, const ChunkedUpload& upload) {
        return {{"upload_id", id}, {"offset", upload.Offset()}, {"expires", Rfc1123(upload.expires)}};
    }

    // One chunk: without upload_id the first (offset 0) of a new upload, else the next at the offset
    // the upload has reached. A wrong offset is ignored and answered with the right one.
    void UploadChunk(Exchange& ex) {
        if (!LengthGiven(ex)) return;
        std::uint64_t offset = 0;
        if (ex.HasQuery("offset")) {
            auto given = Digits(ex.Query("offset"));
            if (!given) return Error(ex, 400, "Invalid value for offset: '" + ex.Query("offset") + "'");
            offset = *given;
        }
        std::string id = ex.Query("upload_id");
        if (id.empty()) {
            if (offset != 0) return Error(ex, 400, "A new upload starts at offset 0, not " + std::to_string(offset));
            for (auto it = chunked_.begin(); it != chunked_.end();)
                it = ex.now >= it->second.expires ? chunked_.erase(it) : std::next(it);
            id = RandomToken(22);
            chunked_[id].expires = ex.now + ChunkedUploadLifetime;
        }
        auto it = chunked_.find(id);
        if (it == chunked_.end() || ex.now >= it->second.expires)
            return Error(ex, 404, "Upload id '" + id + "' not found or expired");
        ChunkedUpload& upload = it->second;
        if (upload.committed)
            return Error(ex, 400, "Upload id '" + id + "' has been committed; it takes no more chunks");
        if (offset != upload.Offset()) {
            Json answer = {{"error", "Submitted input out of alignment: got [" + std::to_string(offset) +
                                         "] expected [" + std::to_string(upload.Offset()) + "]"}};
            answer.update(UploadState(id, upload));
            return ex.SendJson(400, answer);
        }
        ex.spool->AppendTo(upload.received, 0);
        ex.SendJson(200, UploadState(id, upload));
    }

    void CommitChunkedUpload(Exchange& ex) {
        std::string path;
        PutOptions options;
        if (!RootedPath(ex, ex.Param("path"), path) || !ReadPutOptions(ex, options, true)) return;
        const std::string id = ex.Field("upload_id");
        if (id.empty()) return Error(ex, 400, "Missing parameter 'upload_id'");
        auto it = chunked_.find(id);
        if (it == chunked_.end() || ex.now >= it->second.expires)
            return Error(ex, 400, "Invalid upload_id '" + id + "'");
        if (Store(ex, path, it->second.Content(), options)) chunked_.erase(it);
    }

    // The "root" field and a path field of the file operations, from the form or the query.
    bool FormPath(Exchange& ex, std::string& path, const std::string& key = "path") {
        auto given = [&](const std::string& field) { return ex.HasForm(field) || ex.HasQuery(field); };
        if (!given("root")) return Error(ex, 400, "Missing parameter 'root'"), false;
        if (!given(key)) return Error(ex, 400, "Missing parameter '" + key + "'"), false;
        std::string root = ex.Field("root");
        if (root != "dropbox" && root != "sandbox" && root != "auto")
            return Error(ex, 400, "Invalid root parameter: must be 'dropbox' or 'sandbox'"), false;
        return NormalPath(ex, ex.Field(key), path);
    }

    std::size_t CountItems(const Node& node) const {
        std::size_t count = 1;
        for (const Node* child : tree.Children(node.id)) count += CountItems(*child);
        return count;
    }

    // What move and copy share: the source, and the folder the destination goes into (made when
    // missing); answers the error and returns false when the operation cannot go on.
    bool Operation(Exchange& ex, Node*& source, Node*& parent, std::string& name, std::string& target) {
        std::string from;
        if (ex.HasForm("from_copy_ref") || ex.HasQuery("from_copy_ref"))
            return Error(ex, 400, "Copy references are not supported here; give from_path"), false;
        if (!FormPath(ex, from, "from_path") || !FormPath(ex, target, "to_path")) return false;
        if (from.empty()) return Error(ex, 403, "The root folder cannot be moved or copied"), false;
        if (target.empty()) return Error(ex, 403, "A file with that name already exists at path '/'"), false;
        source = tree.FindPath(from, true);
        if (!source) return NotFound(ex, from), false;
        if (CountItems(*source) > MaxOperationItems)
            return Error(ex, 406, "Too many files would be involved in the operation for it to complete successfully."),
                   false;
        Node* existing = tree.FindPath(target, true);
        if (existing && existing != source)
            return Error(ex, 403, "A file with that name already exists at path '" + target + "'"), false;
        if (source->folder && ToLower(target + "/").rfind(ToLower(from + "/"), 0) == 0 &&
            ToLower(target) != ToLower(from))
            return Error(ex, 403, "You cannot move a folder into itself"), false;
        auto slash = target.rfind('/');
        name = target.substr(slash + 1);
        try {
            parent = &tree.EnsureFolders(target.substr(0, slash), true, ex.now);
        } catch (const std::invalid_argument&) {
            return Error(ex, 403, "Cannot put an item at '" + target + "': a file is in the way"), false;
        }
        return true;
    }

    void Move(Exchange& ex) {
        Node *source, *parent;
        std::string name, target;
        if (!Operation(ex, source, parent, name, target)) return;
        if (name != source->name) tree.Rename(*source, name);
        if (parent->id != source->parentId) tree.Move(*source, parent->id);
        ex.SendJson(200, Meta(*source));
    }

    void Copy(Exchange& ex) {
        Node *source, *parent;
        std::string name, target;
        if (!Operation(ex, source, parent, name, target)) return;
        if (tree.FindPath(target, true) == source)
            return Error(ex, 403, "A file with that name already exists at path '" + target + "'");
        ex.SendJson(200, Meta(tree.Copy(*source, parent->id, name, ex.now)));
    }

    // --- delta ---

    // A delta cursor: the tree's epoch and the last change the client has, or while a full listing
    // (reset) is being paged, the change it started at and the last item it got.
    struct DeltaCursor {
        std::uint64_t change = 0;
        std::optional<std::uint64_t> listedUpTo;
    };

    std::string CursorText(const DeltaCursor& cursor) const {
        Json text = {{"epoch", tree.Epoch()}, {"change", cursor.change}};
        if (cursor.listedUpTo) text["listed"] = *cursor.listedUpTo;
        return Base64Encode(text.dump());
    }

    // nullopt for text that is no cursor; a cursor of another epoch, or older than the changes kept,
    // starts a full listing again.
    std::optional<DeltaCursor> ParseCursor(const std::string& text) const {
        Json json;
        try {
            json = Json::parse(Base64Decode(text), nullptr, false);
        } catch (const std::invalid_argument&) {
            return std::nullopt;
        }
        if (!json.is_object() || !json.value("epoch", Json()).is_string() ||
            !json.value("change", Json()).is_number_unsigned())
            return std::nullopt;
        DeltaCursor cursor{json["change"].get<std::uint64_t>(), std::nullopt};
        if (json.contains("listed")) {
            if (!json["listed"].is_number_unsigned()) return std::nullopt;
            cursor.listedUpTo = json["listed"].get<std::uint64_t>();
        }
        const auto& changes = tree.Changes();
        bool lost = !changes.empty() && cursor.change + 1 < changes.front().sequence && !cursor.listedUpTo;
        if (json["epoch"] != tree.Epoch() || lost || cursor.change > tree.LastChange())
            return DeltaCursor{tree.LastChange(), 0};
        return cursor;
    }

    static bool Under(const std::string& lowerPath, const std::string& lowerPrefix) {
        return lowerPrefix.empty() || lowerPath == lowerPrefix || lowerPath.rfind(lowerPrefix + "/", 0) == 0;
    }

    Json DeltaEntry(const std::string& path) {
        Node* node = tree.FindPath(path, true);
        return Json::array({ToLower(path), node ? Meta(*node) : Json()});
    }

    // POST /1/delta: without a cursor (or when the changes since it are no longer kept) a full
    // listing with reset, then the paths changed since, each with its metadata or null, in pages.
    void Delta(Exchange& ex) {
        std::string prefix;
        if ((ex.HasForm("path_prefix") || ex.HasQuery("path_prefix")) &&
            !NormalPath(ex, ex.Field("path_prefix"), prefix))
            return;
        prefix = ToLower(prefix);
        DeltaCursor cursor{tree.LastChange(), 0};
        if (const std::string text = ex.Field("cursor"); !text.empty()) {
            auto parsed = ParseCursor(text);
            if (!parsed) return Error(ex, 400, "Invalid cursor");
            cursor = *parsed;
        }
        const bool reset = cursor.listedUpTo == std::optional<std::uint64_t>(0);
        Json entries = Json::array();
        bool more = false;
        if (cursor.listedUpTo) {
            const auto& all = tree.InOrder();
            for (auto it = all.upper_bound(*cursor.listedUpTo); it != all.end(); ++it) {
                if (it->second->id == tree.RootId() || it->second->trashed) continue;
                std::string path = tree.PathOf(it->second->id);
                if (!Under(ToLower(path), prefix)) continue;
                if (entries.size() == MaxDeltaEntries) {
                    more = true;
                    break;
                }
                entries.push_back(DeltaEntry(path));
                cursor.listedUpTo = it->first;
            }
            if (!more) cursor.listedUpTo.reset();  // listed: from now on the changes since it began
        } else {
            std::set<std::string> seen;
            for (const auto& change : tree.Changes()) {
                if (change.sequence <= cursor.change) continue;
                std::string lower = ToLower(change.path);
                if (!Under(lower, prefix) || !seen.insert(lower).second) continue;
                if (entries.size() == MaxDeltaEntries) {
                    more = true;
                    break;
                }
                entries.push_back(DeltaEntry(change.path));
                cursor.change = change.sequence;
            }
            if (!more) cursor.change = tree.LastChange();
        }
        ex.SendJson(200, {{"reset", reset}, {"cursor", CursorText(cursor)}, {"has_more", more}, {"entries", entries}});
    }

    void LatestCursor(Exchange& ex) { ex.SendJson(200, {{"cursor", CursorText({tree.LastChange(), std::nullopt})}}); }

    void CreateFolder(Exchange& ex) {
        std::string path;
        if (!FormPath(ex, path)) return;
        if (path.empty() || tree.FindPath(path, true)) {
            return Error(ex, 403,
                         "Cannot create folder '" + path.substr(path.rfind('/') + 1) +
                             "' because a file or folder already exists at path '" + (path.empty() ? "/" : path) + "'");
        }
        try {
            Node& node = tree.EnsureFolders(path, true, ex.now);
            ex.SendJson(200, Meta(node));
        } catch (const std::invalid_argument&) {
            Error(ex, 403, "Cannot create folder '" + path + "': a file is in the way");
        }
    }

    void Delete(Exchange& ex) {
        std::string path;
        if (!FormPath(ex, path)) return;
        if (path.empty()) return Error(ex, 403, "Cannot delete the root folder");
        Node* node = tree.FindPath(path, true);
        if (!node) return NotFound(ex, path);
        Json m = Meta(*node);
        m["is_deleted"] = true;
        m["bytes"] = 0;
        m["size"] = "0 bytes";
        tree.Remove(node->id);
        ex.SendJson(200, m);
    }

    void AccountInfo(Exchange& ex) {
        auto space = accountName.find(' ');
        std::string given = accountName.substr(0, space),
                    surname = space == std::string::npos ? "" : accountName.substr(space + 1);
        std::int64_t used = tree.TotalSize(tree.RootId());
        ex.SendJson(200, {{"referral_link", "https://db.tt/emulated"},
                          {"display_name", accountName},
                          {"uid", Uid},
                          {"locale", "en"},
                          {"email_verified", true},
                          {"team", nullptr},
                          {"quota_info", {{"datastores", 0}, {"shared", 0}, {"quota", 2147483648LL}, {"normal", used}}},
                          {"is_paired", false},
                          {"country", "US"},
                          {"name_details", {{"familiar_name", given}, {"surname", surname}, {"given_name", given}}},
                          {"email", "user@example.com"}});
    }

    // www.dropbox.com

    void RedirectReceiver(Exchange& ex) {
        ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><title>Dropbox</title></head><body></body></html>\n");
    }

    void Authorize(Exchange& ex) {
        std::string redirect = ex.Field("redirect_uri"), type = ex.Field("response_type");
        const OAuthClient* client = AuthorizingClient(ex, redirect, type == "token");
        if (!client) return;
        Grant grant{client->id, ex.Field("scope"), redirect, ex.now + std::chrono::minutes(10), false};
        const std::string accessType = ex.Field("token_access_type");
        grant.offline = accessType == "offline";
        std::string problem = ReadPkce(ex, grant);
        if (!accessType.empty() && accessType != "offline" && accessType != "online" && accessType != "legacy")
            problem = "token_access_type must be offline, online or legacy";
        if (!problem.empty())
            return ex.SendHtml(400, "<!DOCTYPE html>\n<html><head><title>Dropbox - Error</title></head><body><p>" +
                                        HtmlEscape("invalid_request: " + problem) + "</p></body></html>\n");
        SignInDecision decision = Consent(ex);
        if (decision == SignInDecision::Ask) return SendSignInForm(ex, "Dropbox", client->id, "");
        std::vector<std::pair<std::string, std::string>> answer;
        if (decision == SignInDecision::Deny) {
            answer = {{"error", "access_denied"},
                      {"error_description",
                       DenyReason(ex, "The user chose not to give your app access to their Dropbox account.")}};
        } else if (type == "token") {
            answer = {{"access_token", oauth.IssueAccessToken({client->id, "", "", TimePoint::max(), false})},
                      {"token_type", "bearer"},
                      {"uid", std::to_string(Uid)}};
        } else {
            answer = {{"code", oauth.IssueCode(grant)}};
        }
        if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
        if (redirect.empty()) {
            bool allowed = decision == SignInDecision::Allow;
            std::string code = allowed ? answer.front().second : "";
            return ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><title>" +
                                        std::string(allowed ? "API Request Authorized" : "Access denied") +
                                        "</title></head><body><p>" +
                                        (allowed ? "Enter this code into " + HtmlEscape(client->id) +
                                                       " to finish the process: "
                                                       "<input id=\"code\" readonly value=\"" +
                                                       HtmlEscape(code) + "\">"
                                                 : std::string("You chose not to link the app.")) +
                                        "</p></body></html>\n");
        }
        if (type == "token") {
            return ex.Redirect(WithFragment(redirect, answer));
        }
        ex.Redirect(AppendQuery(redirect, answer));
    }

    // Codes only: v1 tokens do not expire and there are no refresh tokens.
    const TokenRules& Rules() const override {
        static const TokenRules rules{
            .refreshGrant = false,
            .noGrantType = "No grant_type given",
            .badGrantType = "grant_type must be 'authorization_code'",
            .badClient = "Invalid client_id or client_secret",
            .codeUnknown = {"invalid_grant", "code doesn't exist or has expired"},
            .codeOtherRedirect = {"invalid_grant", "redirect_uri mismatch"},
        };
        return rules;
    }

    void SendTokens(Exchange& ex, Grant grant, bool) override {
        grant.expires = TimePoint::max();
        ex.SendJson(
            200,
            {{"access_token", oauth.IssueAccessToken(grant)}, {"token_type", "bearer"}, {"uid", std::to_string(Uid)}});
    }

    void SendTokenError(Exchange& ex, int status, const OAuthError& error) override {
        ex.SendJson(status, {{"error_description", error.description}, {"error", error.error}});
    }
};

}  // namespace

std::unique_ptr<Service> MakeDropbox() { return std::make_unique<Dropbox>(); }

}  // namespace Nimbo::Emulator
