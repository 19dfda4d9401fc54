// Box Content API 2.0 on api.box.com, uploads on upload.box.com, downloads on dl.boxcloud.com, and
// Box OAuth 2.0 on app.box.com (also the older www.box.com and the newer account.box.com). Items
// are addressed by numeric ids; the root folder is "0"; names ignore case.

#include "emulator/Service.h"

#include <algorithm>
#include <random>
#include <tuple>

namespace Nimbo::Emulator {
namespace {

const std::string ApiHost = "api.box.com";
const std::string UploadHost = "upload.box.com";
const std::string AppHost = "app.box.com";
const std::string LegacyWebHost = "www.box.com";
const std::string AccountHost = "account.box.com";
const std::string DownloadHost = "dl.boxcloud.com";
// A blank page on the app host: the redirect target the desktop program registers for Box.
const std::string BlankPagePath = "/nimbo-blank";
const std::string HelpUrl = "http://developers.box.com/docs/#errors";
const std::string UserId = "208493521";
constexpr int TimeOffsetMinutes = -8 * 60;  // Box writes Pacific times
constexpr std::size_t DefaultLimit = 100, MaxLimit = 1000, MaxOffset = 300000, MaxTrashOffset = 10000;
constexpr std::size_t MaxDescriptionLength = 256;
constexpr std::int64_t SpaceAmount = 10LL << 30;
constexpr auto TrashLifetime = std::chrono::hours(24 * 30);
constexpr auto CodeLifetime = std::chrono::seconds(30);
constexpr auto RefreshLifetime = std::chrono::hours(24 * 60);
constexpr auto DownloadLifetime = std::chrono::minutes(15);
constexpr std::int64_t MaxUploadSize = 16106127360;  // the account's max_upload_size, any upload
constexpr std::int64_t MinChunkedFileSize = 20000000;
constexpr std::uint64_t PartSize = 8u << 20;
constexpr auto SessionLifetime = std::chrono::hours(24 * 7);
constexpr std::size_t DefaultPartsLimit = 100;
// Route groups of the web hosts.
const std::string Web = "web", Account = "account";
const Json DefaultOrder = Json::array({{{"by", "type"}, {"direction", "ASC"}}, {{"by", "name"}, {"direction", "ASC"}}});

// Box's own answers escape "/" inside strings ("http:\/\/..."); clients must not mind either way.
std::string BoxJsonText(const Json& body) {
    std::string text = JsonText(body), escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// Access tokens live about an hour; the real lifetimes vary, so clients must read expires_in.
int AccessTokenSeconds() {
    thread_local std::mt19937 random{std::random_device{}()};
    return 3600 + std::uniform_int_distribution<int>(0, 599)(random);
}

// "" when the name is acceptable, otherwise the error code Box answers with.
std::string NameProblem(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || !NameFault(name, std::string::npos).empty() ||
        name.back() == ' ' || name.find_first_of("/\\") != std::string::npos)
        return "item_name_invalid";
    if (!NameFault(name, 255).empty()) return "item_name_too_long";
    return "";
}

struct DownloadTicket {
    std::string fileId;
    std::uint64_t version;
    TimePoint expires;
};

struct SessionPart {
    std::string id;
    std::uint64_t offset;
    BlobRef content;
};

// A chunked upload session, for a new file (folderId) or a new version (fileId).
struct UploadSession {
    std::string folderId, fileId, fileName;
    std::int64_t fileSize;
    std::map<std::uint64_t, SessionPart> parts;  // by offset
    TimePoint expires;
    bool committing = false;  // its parts are being put together
    std::uint64_t TotalParts() const { return (static_cast<std::uint64_t>(fileSize) + PartSize - 1) / PartSize; }
};

// The SHA-1 of a "Digest: sha=<base64>" header (other digests beside it ignored), as hex; empty
// when there is none.
std::string DigestSha1(const std::string& header) {
    for (std::size_t start = 0; start < header.size();) {
        auto comma = std::min(header.find(',', start), header.size());
        std::string item = header.substr(start, comma - start);
        item.erase(0, item.find_first_not_of(' '));
        if (item.size() > 4 && EqualsIgnoreCase(item.substr(0, 4), "sha=")) {
            try {
                std::string raw = Base64Decode(item.substr(4));
                return raw.size() == 20 ? HexOf(raw) : "";
            } catch (const std::invalid_argument&) {
                return "";
            }
        }
        start = comma + 1;
    }
    return "";
}

std::string UpperHex(std::size_t length) {
    std::string hex = Md5Hex(RandomToken(32)).substr(0, length);
    for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

class Box final : public Service {
public:
    Box()
        : Service(
              Cloud::Box, "0", [this](bool) { return NewId(); }, "", "Emulated Box User") {
        Keep(nextNumber_);
        Keep(tickets_);
        Keep(sessions_);
        using B = Box;
        const auto Open = RouteTable::Access::Open;
        for (const std::string& group : {Web, Account})
            for (const char* method : {"GET", "POST"})
                Route(method, group, "/api/oauth2/authorize", &B::Authorize, Open);
        for (const char* method : {"GET", "POST"}) {
            Route(method, Web, "/api/oauth2/token", &B::Token, Open);
            Route(method, ApiHost, "/oauth2/token", &B::Token, Open);
        }
        Route("POST", ApiHost, "/oauth2/revoke", &B::Revoke, Open);
        Route("GET", Web, BlankPagePath, &B::BlankPage, Open);

        Route("GET", ApiHost, "/2.0/users/me", &B::Me);
        Route("POST", ApiHost, "/2.0/folders", &B::CreateFolder);
        Route("GET", ApiHost, "/2.0/folders/trash/items", &B::TrashItems);
        Route("OPTIONS", ApiHost, "/2.0/files/content", &B::PreflightNew);
        Route("OPTIONS", ApiHost, "/2.0/files/{id}/content", &B::PreflightVersion);
        Route("GET", ApiHost, "/2.0/files/{id}/content", &B::Download);
        Route("GET", ApiHost, "/2.0/folders/{id}/items", &B::Items);
        for (const auto& [kind, folder] : {std::pair<std::string, bool>{"folders", true}, {"files", false}}) {
            const std::string item = "/2.0/" + kind + "/{id}";
            auto on = [this, folder = folder](void (B::*handler)(Exchange&, bool)) {
                return [this, handler, folder](Exchange& ex) { (this->*handler)(ex, folder); };
            };
            routes.Add("GET", ApiHost, item, on(&B::GetItem));
            routes.Add("PUT", ApiHost, item, on(&B::UpdateItem));
            routes.Add("DELETE", ApiHost, item, on(&B::TrashItem));
            routes.Add("POST", ApiHost, item, on(&B::RestoreItem));
            routes.Add("POST", ApiHost, item + "/copy", on(&B::CopyItem));
            routes.Add("GET", ApiHost, item + "/trash", on(&B::GetTrashedItem));
            routes.Add("DELETE", ApiHost, item + "/trash", on(&B::PurgeItem));
        }
        Route("GET", DownloadHost, "/d/1/{ticket}/download", &B::ServeDownload, Open);

        const std::string files = "/api/2.0/files", sessions = files + "/upload_sessions";
        Route("POST", UploadHost, files + "/content", &B::UploadNew);
        Route("POST", UploadHost, files + "/{id}/content", &B::UploadVersion);
        Route("POST", UploadHost, sessions, &B::CreateSession);
        Route("POST", UploadHost, files + "/{id}/upload_sessions", &B::CreateVersionSession);
        Route("PUT", UploadHost, sessions + "/{session}", &B::UploadPart);
        Route("GET", UploadHost, sessions + "/{session}", &B::SessionStatus);
        Route("DELETE", UploadHost, sessions + "/{session}", &B::AbortSession);
        Route("GET", UploadHost, sessions + "/{session}/parts", &B::ListParts);
        Route("POST", UploadHost, sessions + "/{session}/commit", &B::CommitSession);
    }

    std::vector<std::string> Hosts() const override {
        return {ApiHost, UploadHost, AppHost, LegacyWebHost, AccountHost, DownloadHost};
    }
    bool NamesIgnoreCase() const override { return true; }

    void SendError(Exchange& ex, int status, const std::string& message) override {
        std::string code = status == 400   ? "bad_request"
                           : status == 404 ? "not_found"
                           : status == 405 ? "method_not_allowed"
                           : status == 413 ? "request_entity_too_large"
                           : status >= 500 ? "internal_server_error"
                                           : "forbidden";
        Error(ex, status, code, message);
    }

    void Reset(TimePoint now) override {
        Service::Reset(now);
        tickets_.clear();
        sessions_.clear();
    }

    // Refresh tokens last 60 days (or one use).
    TokenPair IssueTokens(const std::string& clientId, const std::string& scope, TimePoint now) override {
        Grant grant{clientId, scope, "", now + std::chrono::hours(1), false};
        return {oauth.IssueAccessToken(grant), oauth.IssueRefreshToken(grant, now + RefreshLifetime)};
    }

protected:
    std::string HostGroup(const std::string& host) const override {
        if (host == AppHost || host == LegacyWebHost) return Web;
        if (host == AccountHost) return Account;
        return host;
    }
    void UnknownRoute(Exchange& ex) override {
        if (ex.host == DownloadHost) return ex.SendText(404, "Not Found\n");
        if (HostGroup(ex.host) != ex.host)
            return ex.SendHtml(404,
                               "<!DOCTYPE html>\n<html><head><title>Box | 404 Page Not Found</title></head><body>Not "
                               "found</body></html>\n");
        NotFound(ex);
    }
    void MethodNotAllowed(Exchange& ex) override {
        if (HostGroup(ex.host) != ex.host || ex.host == DownloadHost) return UnknownRoute(ex);
        Error(ex, 405, "method_not_allowed", "Method Not Allowed");
    }

private:
    KeptValue<std::uint64_t> nextNumber_{"box.next-id", 100000000001};  // ids are never used twice
    KeptMap<DownloadTicket> tickets_{"box.download", SaveTicket, RestoreTicket};
    KeptMap<UploadSession> sessions_{"box.upload", SaveSession, RestoreSession};  // by id

    std::string NewId() {
        std::string id;
        do id = std::to_string(nextNumber_.Change()++);
        while (tree.Find(id));
        return id;
    }

    static Json SaveTicket(DownloadTicket& ticket) {
        return {{"fileId", ticket.fileId}, {"version", ticket.version}, {"expires", TimeRecord(ticket.expires)}};
    }
    static DownloadTicket RestoreTicket(const Json& record, const RecordLoader&) {
        return {record.at("fileId").get<std::string>(), record.at("version").get<std::uint64_t>(),
                TimeOf(record.at("expires"))};
    }
    // A session being put together when it is stored is one again when it is put back.
    static Json SaveSession(UploadSession& session) {
        Json parts = Json::array();
        for (const auto& [offset, part] : session.parts)
            parts.push_back({{"id", part.id}, {"offset", part.offset}, {"content", ContentRecord(part.content)}});
        return {{"folderId", session.folderId}, {"fileId", session.fileId},  {"fileName", session.fileName},
                {"fileSize", session.fileSize}, {"parts", std::move(parts)}, {"expires", TimeRecord(session.expires)}};
    }
    static UploadSession RestoreSession(const Json& record, const RecordLoader& loader) {
        UploadSession session{record.at("folderId").get<std::string>(),
                              record.at("fileId").get<std::string>(),
                              record.at("fileName").get<std::string>(),
                              record.at("fileSize").get<std::int64_t>(),
                              {},
                              TimeOf(record.at("expires"))};
        for (const auto& part : record.at("parts")) {
            BlobRef content = loader.Content(part.at("content"));
            if (!content) throw std::runtime_error("the bytes of part " + part.value("id", "") + " are gone");
            const auto offset = part.at("offset").get<std::uint64_t>();
            session.parts[offset] = {part.at("id").get<std::string>(), offset, std::move(content)};
        }
        return session;
    }

    static void Send(Exchange& ex, int status, const Json& body) {
        ex.SendText(status, BoxJsonText(body), "application/json");
    }

    static void Error(Exchange& ex, int status, const std::string& code, const std::string& message,
                      const Json& contextInfo = nullptr) {
        Json body = {{"type", "error"}, {"status", status}, {"code", code}};
        if (!contextInfo.is_null()) body["context_info"] = contextInfo;
        body["help_url"] = HelpUrl;
        body["message"] = message;
        body["request_id"] = ToLower(RandomToken(16));
        Send(ex, status, body);
    }

    // A 400 or 404 that names the parameter at fault, as Box's validation answers do.
    static void ParameterError(Exchange& ex, int status, const std::string& reason, const std::string& name,
                               const std::string& message) {
        Error(ex, status, status == 404 ? "not_found" : "bad_request", status == 404 ? "Not Found" : "Bad Request",
              {{"errors", Json::array({{{"reason", reason}, {"name", name}, {"message", message}}})}});
    }

    static void NotFound(Exchange& ex) { Error(ex, 404, "not_found", "Not Found"); }

    // Box answers a bad token with an empty body and the reason in WWW-Authenticate.
    bool Authorized(Exchange& ex) override {
        TokenCheck check = oauth.CheckAccessToken(ex.BearerToken(false), ex.now);
        if (check == TokenCheck::Ok) return true;
        ex.res.set_header("WWW-Authenticate", check == TokenCheck::Missing
                                                  ? "Bearer realm=\"Service\""
                                                  : "Bearer realm=\"Service\", error=\"invalid_token\", "
                                                    "error_description=\"The access token provided is invalid.\"");
        ex.SendEmpty(401);
        return false;
    }

    // The item of the route's {id}: a folder or a file as asked, not in the trash; answers 404
    // and returns nullptr for anything else. An item in the trash answers `trashed`, except to the
    // calls that answer as if it were gone (asTrashed false: downloading, deleting again).
    Node* Item(Exchange& ex, bool folder, bool asTrashed = true) {
        Node* node = tree.Find(ex.Param("id"));
        if (!node || node->folder != folder || (node->trashed && !asTrashed)) return NotFound(ex), nullptr;
        if (node->trashed) return Trashed(ex), nullptr;
        return node;
    }

    // The same for the calls on items in the trash: the item must have been put there itself.
    Node* TrashedItem(Exchange& ex, bool folder) {
        Node* node = tree.Find(ex.Param("id"));
        if (!node || node->folder != folder) return NotFound(ex), nullptr;
        if (!node->explicitlyTrashed) return Error(ex, 404, "not_trashed", "Item is not trashed"), nullptr;
        return node;
    }

    static void Trashed(Exchange& ex) { Error(ex, 404, "trashed", "Item is trashed"); }

    // --- objects ---

    static std::string Time(TimePoint t) { return Iso8601WithOffset(t, TimeOffsetMinutes); }
    bool IsRoot(const Node& node) const { return node.id == tree.RootId(); }
    std::string Name(const Node& node) const { return IsRoot(node) ? "All Files" : node.name; }

    static std::string VersionId(const Node& node) {
        return std::to_string(std::stoull(node.id) * 100000 + node.version % 100000);
    }

    Json Mini(const Node& node) const {
        bool root = IsRoot(node);
        Json m = {{"type", node.folder ? "folder" : "file"},
                  {"id", node.id},
                  {"sequence_id", root ? Json(nullptr) : Json(std::to_string(node.version))},
                  {"etag", root ? Json(nullptr) : Json(std::to_string(node.version))}};
        if (!node.folder) {
            const std::string& sha1 = node.Sha1();
            m["file_version"] = {{"type", "file_version"}, {"id", VersionId(node)}, {"sha1", sha1}};
            m["sha1"] = sha1;
        }
        m["name"] = Name(node);
        return m;
    }

    Json User() const {
        return {{"type", "user"}, {"id", UserId}, {"name", accountName}, {"login", "user@example.com"}};
    }

    Json Full(const Node& node, bool withItems) const {
        bool root = IsRoot(node);
        Json f = Mini(node);
        auto time = [&](TimePoint t) { return root ? Json(nullptr) : Json(Time(t)); };
        f["description"] = node.description;
        f["size"] = tree.TotalSize(node.id);
        Json path = Json::array();
        if (!root)
            for (const Node* ancestor : tree.Ancestors(node.id)) path.push_back(Mini(*ancestor));
        if (node.explicitlyTrashed)  // the trash stands in for the folders above
            path = Json::array(
                {{{"type", "folder"}, {"id", "1"}, {"sequence_id", nullptr}, {"etag", nullptr}, {"name", "Trash"}}});
        f["path_collection"] = {{"total_count", path.size()}, {"entries", path}};
        f["created_at"] = time(node.created);
        f["modified_at"] = time(node.modified);
        f["trashed_at"] = node.trashed ? Json(Time(node.trashedAt)) : Json(nullptr);
        f["purged_at"] = node.trashed ? Json(Time(node.trashedAt + TrashLifetime)) : Json(nullptr);
        f["content_created_at"] = time(node.contentCreated.value_or(node.created));
        f["content_modified_at"] = time(node.contentModified.value_or(node.modified));
        f["created_by"] = root ? Json({{"type", "user"}, {"id", ""}, {"name", ""}, {"login", ""}}) : User();
        f["modified_by"] = f["created_by"];
        f["owned_by"] = User();
        f["shared_link"] = nullptr;
        f["parent"] = root ? Json(nullptr) : Mini(*tree.Find(node.parentId));
        f["item_status"] = node.trashed ? "trashed" : "active";
        if (node.folder && withItems) {
            auto children = SortedChildren(node);
            Json entries = Json::array();
            for (std::size_t i = 0; i < children.size() && i < DefaultLimit; ++i) entries.push_back(Mini(*children[i]));
            f["item_collection"] = {{"total_count", children.size()},
                                    {"entries", entries},
                                    {"offset", 0},
                                    {"limit", DefaultLimit},
                                    {"order", DefaultOrder}};
        }
        return f;
    }

    // With a "fields" query an object has its mini keys and the fields asked for, nothing else.
    static Json Selected(const Exchange& ex, const Json& full) {
        if (!ex.HasQuery("fields")) return full;
        std::vector<std::string> asked{"type", "id", "sequence_id", "etag", "name", "sha1", "file_version"};
        std::string fields = ex.Query("fields") + ",";
        for (std::size_t start = 0, comma; (comma = fields.find(',', start)) != std::string::npos; start = comma + 1)
            asked.push_back(fields.substr(start, comma - start));
        Json out = Json::object();
        for (const auto& [key, value] : full.items())
            if (std::find(asked.begin(), asked.end(), key) != asked.end()) out[key] = value;
        return out;
    }

    // Where an item stands in a listing: folders first, then by name without regard to case, as
    // the "order" of a listing says (the id settles the rest).
    struct SortKey {
        bool file;
        std::string name, id;
        bool operator<(const SortKey& other) const {
            return std::tie(file, name, id) < std::tie(other.file, other.name, other.id);
        }
    };
    static SortKey KeyOf(const Node& node) { return {!node.folder, ToLower(node.name), node.id}; }

    static void Sort(std::vector<const Node*>& items) {
        std::sort(items.begin(), items.end(), [](const Node* a, const Node* b) { return KeyOf(*a) < KeyOf(*b); });
    }

    // A folder's items in listing order, without what is in the trash.
    std::vector<const Node*> SortedChildren(const Node& folder) const {
        std::vector<const Node*> children;
        for (const Node* child : tree.Children(folder.id))
            if (!child->trashed) children.push_back(child);
        Sort(children);
        return children;
    }

    // Markers are the listing key of the last item a page held, in an opaque wrapping.
    static std::string MarkerOf(const Node& node) {
        SortKey key = KeyOf(node);
        return Base64Encode(Json({key.file, key.name, key.id}).dump());
    }
    static std::optional<SortKey> KeyOfMarker(const std::string& marker) {
        std::string text;
        try {
            text = Base64Decode(marker);
        } catch (const std::invalid_argument&) {
            return std::nullopt;
        }
        Json key = Json::parse(text, nullptr, false);
        if (!key.is_array() || key.size() != 3 || !key[0].is_boolean() || !key[1].is_string() || !key[2].is_string())
            return std::nullopt;
        return SortKey{key[0].get<bool>(), key[1].get<std::string>(), key[2].get<std::string>()};
    }

    // --- api.box.com ---

    void Me(Exchange& ex) {
        Json me = User();
        me.update({{"created_at", Time(tree.Root().created)},
                   {"modified_at", Time(tree.Root().modified)},
                   {"language", "en"},
                   {"timezone", "America/Los_Angeles"},
                   {"space_amount", SpaceAmount},
                   {"space_used", tree.TotalSize(tree.RootId())},
                   {"max_upload_size", MaxUploadSize},
                   {"status", "active"},
                   {"job_title", ""},
                   {"phone", ""},
                   {"address", ""},
                   {"avatar_url", "https://" + AppHost + "/api/avatar/large/" + UserId}});
        Send(ex, 200, me);
    }

    static bool Number(Exchange& ex, const std::string& key, std::size_t fallback, std::size_t minimum,
                       std::size_t& value) {
        value = fallback;
        if (!ex.HasQuery(key)) return true;
        const std::string text = ex.Query(key);
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(text) < minimum) {
            ParameterError(
                ex, 400, "invalid_parameter", key,
                "Invalid value '" + text + "'. '" + key + "' must be a number of at least " + std::to_string(minimum));
            return false;
        }
        value = std::stoul(text);
        return true;
    }

    void GetItem(Exchange& ex, bool folder) {
        if (Node* node = Item(ex, folder)) Send(ex, 200, Selected(ex, Full(*node, folder)));
    }

    void Items(Exchange& ex) {
        if (const Node* folder = Item(ex, true)) SendPage(ex, SortedChildren(*folder), MaxOffset);
    }

    void TrashItems(Exchange& ex) {
        std::vector<const Node*> items = tree.Trashed();
        Sort(items);
        SendPage(ex, items, MaxTrashOffset);
    }

    // One page of a listing in listing order: by offset with the total count, or with
    // usemarker=true by marker, the next page's marker in next_marker (null on the last).
    void SendPage(Exchange& ex, const std::vector<const Node*>& items, std::size_t maxOffset) {
        const bool markers = ex.Query("usemarker") == "true";
        std::size_t limit, offset = 0;
        if (!Number(ex, "limit", DefaultLimit, 1, limit)) return;
        limit = std::min(limit, MaxLimit);
        if (!markers && ex.HasQuery("marker"))
            return ParameterError(ex, 400, "invalid_parameter", "marker", "'marker' needs 'usemarker=true'");
        if (markers && ex.HasQuery("offset"))
            return ParameterError(ex, 400, "invalid_parameter", "offset", "'offset' cannot be used with 'usemarker'");
        if (!markers) {
            if (!Number(ex, "offset", 0, 0, offset)) return;
            if (offset > maxOffset)
                return ParameterError(ex, 400, "invalid_parameter", "offset",
                                      "Invalid value '" + ex.Query("offset") +
                                          "'. The offset must not exceed the maximum offset of " +
                                          std::to_string(maxOffset));
        } else if (const std::string marker = ex.Query("marker"); !marker.empty() && marker != "0") {
            auto key = KeyOfMarker(marker);
            if (!key) return ParameterError(ex, 400, "invalid_parameter", "marker", "Invalid value '" + marker + "'.");
            offset = static_cast<std::size_t>(
                std::upper_bound(items.begin(), items.end(), *key,
                                 [](const SortKey& k, const Node* n) { return k < KeyOf(*n); }) -
                items.begin());
        }
        Json entries = Json::array();
        for (std::size_t i = offset; i < items.size() && i < offset + limit; ++i)
            entries.push_back(ex.HasQuery("fields") ? Selected(ex, Full(*items[i], false)) : Mini(*items[i]));
        if (!markers)
            return Send(ex, 200,
                        {{"total_count", items.size()},
                         {"entries", entries},
                         {"offset", offset},
                         {"limit", limit},
                         {"order", DefaultOrder}});
        bool more = offset + limit < items.size();
        Send(ex, 200,
             {{"entries", entries},
              {"limit", limit},
              {"next_marker", more ? Json(MarkerOf(*items[offset + limit - 1])) : Json()}});
    }

    bool EtagMatches(Exchange& ex, const Node& node) {
        if (!ex.req.has_header("If-Match") || ex.Header("If-Match") == std::to_string(node.version)) return true;
        Error(ex, 412, "precondition_failed",
              "The resource has been modified. Please retrieve the resource again and retry");
        return false;
    }

    static void RootRefused(Exchange& ex) {
        Error(ex, 403, "access_denied_insufficient_permissions", "Access denied - insufficient permission");
    }

    // DELETE: into the trash, with what is below.
    void TrashItem(Exchange& ex, bool folder) {
        Node* node = Item(ex, folder, false);
        if (!node) return;
        if (IsRoot(*node)) return RootRefused(ex);
        if (!EtagMatches(ex, *node)) return;
        if (folder && !SortedChildren(*node).empty() && ex.Query("recursive") != "true")
            return Error(ex, 400, "folder_not_empty", "Cannot delete - folder not empty");
        tree.Trash(*node, true, ex.now);
        ex.SendEmpty(204);
    }

    void GetTrashedItem(Exchange& ex, bool folder) {
        if (Node* node = TrashedItem(ex, folder)) Send(ex, 200, Selected(ex, Full(*node, false)));
    }

    void PurgeItem(Exchange& ex, bool folder) {
        if (Node* node = TrashedItem(ex, folder)) {
            tree.Remove(node->id);
            ex.SendEmpty(204);
        }
    }

    // POST on an item in the trash: back to its folder, or to the parent given when that folder is
    // in the trash itself; optionally under another name.
    void RestoreItem(Exchange& ex, bool folder) {
        Node* node = TrashedItem(ex, folder);
        if (!node) return;
        auto body = ex.BodySize() == 0 ? std::optional<Json>(Json::object()) : ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        Node* target = tree.Find(node->parentId);
        if (!target || target->trashed) {
            const std::string parentId = (*body)["parent"].is_object() ? StringField((*body)["parent"], "id") : "";
            if (parentId.empty())
                return ParameterError(ex, 400, "missing_parameter", "parent",
                                      "The item's folder is gone: 'parent' is required");
            if (!(target = ParentFolder(ex, parentId))) return;
        }
        std::string name = StringField(body, "name");
        if (name.empty()) name = node->name;
        if (!UsableName(ex, name)) return;
        if (Node* existing = tree.ChildByName(target->id, name, true)) return NameInUse(ex, *existing, folder);
        tree.Trash(*node, false, ex.now);
        if (name != node->name) tree.Rename(*node, name);
        if (target->id != node->parentId) tree.Move(*node, target->id);
        Send(ex, 201, Full(*node, folder));
    }

    // PUT: rename, move, description, and for files content_modified_at.
    void UpdateItem(Exchange& ex, bool folder) {
        Node* node = Item(ex, folder);
        if (!node || !EtagMatches(ex, *node)) return;
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        const Json &nameValue = body->value("name", Json()), &description = body->value("description", Json());
        const Json& parent = body->value("parent", Json());
        if (!nameValue.is_null() && !nameValue.is_string())
            return ParameterError(ex, 400, "invalid_parameter", "name", "'name' must be a string");
        if (!description.is_null() &&
            (!description.is_string() || description.get<std::string>().size() > MaxDescriptionLength))
            return ParameterError(ex, 400, "invalid_parameter", "description",
                                  "'description' must be a text of at most 256 characters");
        if (!parent.is_null() && (!parent.is_object() || StringField(parent, "id").empty()))
            return ParameterError(ex, 400, "invalid_parameter", "parent", "'parent' must name a folder id");
        std::optional<TimePoint> contentModified;
        if (!folder && !ContentDate(ex, *body, "content_modified_at", contentModified)) return;
        const std::string name = nameValue.is_string() ? nameValue.get<std::string>() : node->name;
        if (IsRoot(*node) && (name != node->name || !parent.is_null())) return RootRefused(ex);
        Node* target = parent.is_null() ? tree.Find(node->parentId) : ParentFolder(ex, StringField(parent, "id"));
        if (!target || !UsableName(ex, name)) return;
        if (folder && (target->id == node->id || tree.IsInside(target->id, node->id)))
            return Error(ex, 400, "cyclical_folder_structure", "Folder move creates cyclical folder structure");
        if (Node* existing = tree.ChildByName(target->id, name, true); existing && existing != node)
            return NameInUse(ex, *existing, folder);
        if (name != node->name) tree.Rename(*node, name);
        if (target->id != node->parentId) tree.Move(*node, target->id);
        if (description.is_string()) node->description = description.get<std::string>();
        if (contentModified) node->contentModified = contentModified;
        tree.Touch(*node, ex.now);
        Send(ex, 200, Selected(ex, Full(*node, folder)));
    }

    // POST .../copy: into the parent given, under the same or a new name; contents are shared.
    void CopyItem(Exchange& ex, bool folder) {
        Node* node = Item(ex, folder);
        if (!node) return;
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        const std::string parentId = (*body)["parent"].is_object() ? StringField((*body)["parent"], "id") : "";
        if (parentId.empty()) return ParameterError(ex, 400, "missing_parameter", "parent", "'parent' is required");
        if (IsRoot(*node))
            return Error(ex, 500, "internal_server_error", "Internal Server Error");  // as Box answers it
        Node* target = ParentFolder(ex, parentId);
        if (!target) return;
        if (folder && (target->id == node->id || tree.IsInside(target->id, node->id)))
            return Error(ex, 400, "cyclical_folder_structure", "Folder copy creates cyclical folder structure");
        std::string name = StringField(body, "name");
        if (name.empty()) name = node->name;
        if (!UsableName(ex, name)) return;
        if (Node* existing = tree.ChildByName(target->id, name, true)) return NameInUse(ex, *existing, folder);
        Send(ex, 201, Full(tree.Copy(*node, target->id, name, ex.now), folder));
    }

    // 409 with the item in the way: one object for uploads, a list for new folders.
    void NameInUse(Exchange& ex, const Node& existing, bool asList) {
        Json conflict = Mini(existing);
        Error(ex, 409, "item_name_in_use", "Item with the same name already exists",
              {{"conflicts", asList ? Json::array({conflict}) : conflict}});
    }

    bool UsableName(Exchange& ex, const std::string& name) {
        std::string problem = NameProblem(name);
        if (problem.empty()) return true;
        Error(ex, 400, problem, problem == "item_name_too_long" ? "Item name too long" : "Item name invalid");
        return false;
    }

    Node* ParentFolder(Exchange& ex, const std::string& id, const std::string& parameter = "parent") {
        Node* parent = tree.Find(id);
        if (parent && parent->folder && parent->trashed) return Trashed(ex), nullptr;
        if (parent && parent->folder) return parent;
        ParameterError(ex, 404, "invalid_parameter", parameter,
                       "Invalid value '" + id + "'. '" + parameter + "' with value '" + id + "' not found");
        return nullptr;
    }

    // An RFC 3339 date of a JSON object, left unset when absent; answers 400 for anything else.
    static bool ContentDate(Exchange& ex, const Json& object, const std::string& key, std::optional<TimePoint>& date) {
        if (!object.contains(key) || object[key].is_null()) return true;
        if (object[key].is_string()) date = ParseRfc3339(object[key].get<std::string>());
        if (!date)
            ParameterError(ex, 400, "invalid_parameter", key,
                           "Invalid value for '" + key + "': an RFC 3339 date is expected");
        return date.has_value();
    }

    void CreateFolder(Exchange& ex) {
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        const Json name = body->value("name", Json()), parent = body->value("parent", Json());
        if (!name.is_string()) return ParameterError(ex, 400, "missing_parameter", "name", "'name' is required");
        if (!parent.is_object() || !parent.contains("id") || !parent["id"].is_string())
            return ParameterError(ex, 400, "missing_parameter", "parent", "'parent' is required");
        Node* folder = ParentFolder(ex, parent["id"].get<std::string>());
        if (!folder || !UsableName(ex, name.get<std::string>())) return;
        if (Node* existing = tree.ChildByName(folder->id, name.get<std::string>(), true))
            return NameInUse(ex, *existing, true);
        Node& created = tree.AddFolder(folder->id, name.get<std::string>(), ex.now);
        Send(ex, 201, Full(created, true));
    }

    // --- downloads ---

    void Download(Exchange& ex) {
        const Node* file = Item(ex, false, false);
        if (!file) return;
        const Node& node = *file;
        if (ex.HasQuery("version") && ex.Query("version") != VersionId(node)) return NotFound(ex);
        for (auto it = tickets_.begin(); it != tickets_.end();)
            it = ex.now >= it->second.expires ? tickets_.erase(it) : std::next(it);
        std::string ticket = RandomToken(48);
        tickets_[ticket] = {node.id, node.version, ex.now + DownloadLifetime};
        ex.Redirect("https://" + DownloadHost + "/d/1/" + ticket + "/download");
    }

    // dl.boxcloud.com/d/1/<ticket>/download: no token needed, byte ranges answered.
    void ServeDownload(Exchange& ex) {
        const Node* node = nullptr;
        auto it = tickets_.find(ex.Param("ticket"));
        if (it != tickets_.end() && ex.now < it->second.expires) node = tree.Find(it->second.fileId);
        if (node && (node->version != it->second.version || node->trashed)) node = nullptr;
        if (!node) return UnknownRoute(ex);
        ex.res.set_header("Content-Disposition", "attachment;filename=\"" + node->name + "\"");
        ex.SendContent(node->content, node->mimeType);
    }

    // --- upload.box.com ---

    struct UploadForm {
        const BodyPart* file = nullptr;
        Json attributes = Json::object();  // the attributes part, or the older form's fields in its shape
        std::optional<TimePoint> contentCreated, contentModified;
    };

    static std::string Sha1Of(const BodyPart& part) {
        const BlobRef content = part.Content();
        return content ? content->Sha1() : EmptySha1();  // no blob for empty content
    }

    // Reads the multipart body; answers the error and returns nullopt when it is unusable.
    std::optional<UploadForm> ReadUploadForm(Exchange& ex) {
        UploadForm form;
        bool attributesPart = false;
        for (const BodyPart& part : ex.parts) {
            if (!part.fileName.empty() && !form.file) {
                form.file = &part;
            } else if (part.name == "attributes") {
                if (form.file)
                    return Error(ex, 400, "metadata_after_file_contents", "Metadata after file contents"), std::nullopt;
                auto attributes = ParseJsonObject(part.Text());
                if (!attributes)
                    return ParameterError(ex, 400, "invalid_parameter", "attributes", "Could not parse JSON"),
                           std::nullopt;
                form.attributes = *attributes;
                attributesPart = true;
            } else if (!attributesPart && part.name == "parent_id") {
                form.attributes["parent"] = {{"id", part.Text()}};
            } else if (!attributesPart && (part.name == "content_created_at" || part.name == "content_modified_at")) {
                form.attributes[part.name] = part.Text();
            }
        }
        if (!form.file) return Error(ex, 400, "bad_request", "API upload did not contain a file part"), std::nullopt;
        // The optional Content-MD5 header holds the file's SHA-1 (hex), despite its name.
        if (const std::string digest = ex.Header("Content-MD5");
            !digest.empty() && ToLower(digest) != Sha1Of(*form.file))
            return Error(ex, 400, "bad_digest", "The specified Content-MD5 did not match what we received"),
                   std::nullopt;
        if (!ContentDate(ex, form.attributes, "content_created_at", form.contentCreated) ||
            !ContentDate(ex, form.attributes, "content_modified_at", form.contentModified))
            return std::nullopt;
        return form;
    }

    void SendUploaded(Exchange& ex, const Node& node) {
        Send(ex, 201, {{"total_count", 1}, {"entries", Json::array({Full(node, false)})}});
    }

    // Every upload, direct or in parts, is held to the account's largest file and its space (less
    // what the content it replaces takes).
    bool SizeAllowed(Exchange& ex, std::int64_t size, const Node* replaced = nullptr) {
        if (size > MaxUploadSize)
            return Error(ex, 403, "file_size_limit_exceeded", "File size exceeds the folder owner's file size limit"),
                   false;
        if (tree.TotalSize(tree.RootId()) - (replaced ? replaced->Size() : 0) + size > SpaceAmount)
            return Error(ex, 403, "storage_limit_exceeded", "Account storage limit reached"), false;
        return true;
    }

    // The checks a new file's name and place get before any byte is kept.
    bool NewFileAllowed(Exchange& ex, const Node& parent, const std::string& name) {
        if (!UsableName(ex, name)) return false;
        if (Node* existing = tree.ChildByName(parent.id, name, true)) return NameInUse(ex, *existing, false), false;
        return true;
    }
    // And a new version's new name, if it has one.
    bool RenameAllowed(Exchange& ex, const Node& node, const std::string& name) {
        if (name.empty() || name == node.name) return true;
        if (!UsableName(ex, name)) return false;
        Node* existing = tree.ChildByName(node.parentId, name, true);
        if (existing && existing != &node) return NameInUse(ex, *existing, false), false;
        return true;
    }

    static std::string StringField(const std::optional<Json>& object, const std::string& key) {
        if (!object || !object->contains(key) || !(*object)[key].is_string()) return "";
        return (*object)[key].get<std::string>();
    }

    // A new file with its content dates (the upload time where the client gave none).
    Node& AddFile(const Node& parent, const std::string& name, BlobRef content, const std::string& mime,
                  std::optional<TimePoint> contentCreated, std::optional<TimePoint> contentModified, TimePoint now) {
        Node& node = tree.AddFile(parent.id, name, std::move(content), mime, now);
        node.contentCreated = contentCreated;
        node.contentModified = contentModified;
        return node;
    }

    void UploadNew(Exchange& ex) {
        auto form = ReadUploadForm(ex);
        if (!form) return;
        std::string name = StringField(form->attributes, "name");
        if (name.empty()) name = form->file->fileName;
        const std::string parentId =
            form->attributes["parent"].is_object() ? StringField(form->attributes["parent"], "id") : "";
        if (parentId.empty()) return ParameterError(ex, 400, "missing_parameter", "parent", "'parent' is required");
        Node* parent = ParentFolder(ex, parentId);
        if (!parent || !NewFileAllowed(ex, *parent, name) ||
            !SizeAllowed(ex, static_cast<std::int64_t>(form->file->Size())))
            return;
        std::string mime = form->file->contentType.empty() || form->file->contentType == "application/octet-stream"
                               ? MimeTypeFor(name)
                               : form->file->contentType;
        SendUploaded(ex, AddFile(*parent, name, form->file->Content(), mime, form->contentCreated,
                                 form->contentModified, ex.now));
    }

    void UploadVersion(Exchange& ex) {
        Node* file = Item(ex, false);
        if (!file || !EtagMatches(ex, *file)) return;
        auto form = ReadUploadForm(ex);
        if (!form) return;
        std::string name = StringField(form->attributes, "name");
        if (!RenameAllowed(ex, *file, name) || !SizeAllowed(ex, static_cast<std::int64_t>(form->file->Size()), file))
            return;
        if (!name.empty()) tree.Rename(*file, name);
        file->contentModified = form->contentModified;
        tree.SetContent(*file, form->file->Content(), ex.now);
        SendUploaded(ex, *file);
    }

    // --- the upload pre-check (on the API host) ---

    void SendUploadUrl(Exchange& ex, const std::string& path) {
        Send(ex, 200,
             {{"upload_url", "https://" + UploadHost + "/api/2.0/files" + path + "?upload_session_id=" + UpperHex(32)},
              {"upload_token", nullptr}});
    }

    // The size a pre-check names, if any: answers the error and returns false when it breaks a rule.
    bool PreflightSize(Exchange& ex, const Json& body, const Node* replaced) {
        if (!body.contains("size")) return true;
        if (!body["size"].is_number_integer() || body["size"].get<std::int64_t>() < 0)
            return ParameterError(ex, 400, "invalid_parameter", "size", "'size' must be a number of bytes"), false;
        return SizeAllowed(ex, body["size"].get<std::int64_t>(), replaced);
    }

    // OPTIONS /files/content: would this upload be taken? The same checks as the upload itself.
    void PreflightNew(Exchange& ex) {
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        const std::string name = StringField(body, "name");
        const std::string parentId = (*body)["parent"].is_object() ? StringField((*body)["parent"], "id") : "";
        if (name.empty()) return ParameterError(ex, 400, "missing_parameter", "name", "'name' is required");
        if (parentId.empty()) return ParameterError(ex, 400, "missing_parameter", "parent", "'parent' is required");
        Node* parent = ParentFolder(ex, parentId);
        if (parent && NewFileAllowed(ex, *parent, name) && PreflightSize(ex, *body, nullptr))
            SendUploadUrl(ex, "/content");
    }

    void PreflightVersion(Exchange& ex) {
        Node* file = Item(ex, false);
        if (!file) return;
        auto body = ex.BodySize() == 0 ? std::optional<Json>(Json::object()) : ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        if (RenameAllowed(ex, *file, StringField(body, "name")) && PreflightSize(ex, *body, file))
            SendUploadUrl(ex, "/" + file->id + "/content");
    }

    // --- chunked upload sessions ---

    static std::string ExpiresText(TimePoint t) { return Rfc3339Millis(t).substr(0, 19) + "Z"; }

    static Json SessionObject(const std::string& id, const UploadSession& session) {
        const std::string base = "https://" + UploadHost + "/api/2.0/files/upload_sessions/" + id;
        return {{"total_parts", session.TotalParts()},
                {"part_size", PartSize},
                {"session_endpoints",
                 {{"list_parts", base + "/parts"},
                  {"commit", base + "/commit"},
                  {"log_event", base + "/log"},
                  {"upload_part", base},
                  {"status", base},
                  {"abort", base}}},
                {"session_expires_at", ExpiresText(session.expires)},
                {"id", id},
                {"type", "upload_session"},
                {"num_parts_processed", session.parts.size()}};
    }

    static Json PartObject(const SessionPart& part) {
        return {{"part_id", part.id},
                {"offset", part.offset},
                {"size", part.content->Size()},
                {"sha1", part.content->Sha1()}};
    }

    // The file size a session is asked for: answers the error and returns false outside the rules.
    bool SessionSize(Exchange& ex, const Json& body, std::int64_t& size, const Node* replaced) {
        if (!body.contains("file_size") || !body["file_size"].is_number_integer())
            return ParameterError(ex, 400, "missing_parameter", "file_size", "'file_size' is required"), false;
        size = body["file_size"].get<std::int64_t>();
        if (size < MinChunkedFileSize)
            return Error(ex, 400, "file_size_too_small",
                         "File size is less than minimum allowed for this API: " + std::to_string(MinChunkedFileSize)),
                   false;
        return SizeAllowed(ex, size, replaced);
    }

    void OpenSession(Exchange& ex, UploadSession session) {
        for (auto it = sessions_.begin(); it != sessions_.end();)
            it = ex.now >= it->second.expires ? sessions_.erase(it) : std::next(it);
        std::string id;
        do id = UpperHex(32);
        while (sessions_.count(id));
        session.expires = ex.now + SessionLifetime;
        Send(ex, 201, SessionObject(id, sessions_[id] = std::move(session)));
    }

    void CreateSession(Exchange& ex) {
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        const std::string folderId = StringField(body, "folder_id"), name = StringField(body, "file_name");
        if (folderId.empty())
            return ParameterError(ex, 400, "missing_parameter", "folder_id", "'folder_id' is required");
        if (name.empty()) return ParameterError(ex, 400, "missing_parameter", "file_name", "'file_name' is required");
        std::int64_t size;
        Node* folder = ParentFolder(ex, folderId, "folder_id");
        if (!folder || !NewFileAllowed(ex, *folder, name) || !SessionSize(ex, *body, size, nullptr)) return;
        OpenSession(ex, {folder->id, "", name, size, {}, {}});
    }

    void CreateVersionSession(Exchange& ex) {
        Node* file = Item(ex, false);
        if (!file) return;
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        const std::string name = StringField(body, "file_name");
        std::int64_t size;
        if (!RenameAllowed(ex, *file, name) || !SessionSize(ex, *body, size, file)) return;
        OpenSession(ex, {"", file->id, name, size, {}, {}});
    }

    // The session of the route; answers the error and returns nullptr when there is none to use.
    UploadSession* SessionOf(Exchange& ex) {
        const std::string id = ex.Param("session");
        if (id.size() != 32 || id.find_first_not_of("0123456789ABCDEF") != std::string::npos)
            return Error(ex, 400, "invalid_upload_session_id", "The upload session id is not valid"), nullptr;
        auto it = sessions_.find(id);
        if (it == sessions_.end()) return Error(ex, 404, "not_found", "Upload session not found"), nullptr;
        if (ex.now >= it->second.expires) {
            sessions_.erase(it);
            return Error(ex, 410, "session_expired", "The upload session has expired"), nullptr;
        }
        return &it->second;
    }

    // PUT of one part: exactly part_size bytes at a multiple of it (the last part the rest), its
    // SHA-1 in Digest. Parts do not change once stored; sending the same part again is harmless.
    void UploadPart(Exchange& ex) {
        UploadSession* session = SessionOf(ex);
        if (!session) return;
        auto range = ParseContentRange(ex.Header("Content-Range"));
        if (!range || !range->bytes || !range->total)
            return Error(ex, 400, "bad_request",
                         "A part needs a Content-Range of the form bytes <first>-<last>/<total>");
        const auto [first, last] = *range->bytes;
        const auto size = static_cast<std::uint64_t>(session->fileSize);
        if (*range->total != size || first % PartSize != 0 || last + 1 != std::min(first + PartSize, size))
            return Error(ex, 416, "requested_range_not_satisfiable",
                         "Parts are " + std::to_string(PartSize) +
                             " bytes at multiples of that, the last one the rest of " + std::to_string(size) +
                             " bytes");
        if (ex.BodySize() != last - first + 1)
            return Error(ex, 400, "bad_request", "The body does not hold the bytes of the Content-Range");
        const std::string digest = DigestSha1(ex.Header("Digest"));
        if (digest.empty())
            return Error(ex, 400, "bad_request", "A part needs a Digest header: sha=<base64 SHA-1 of the part>");
        BlobRef content = ex.Content();
        if (digest != content->Sha1())
            return Error(ex, 412, "precondition_failed", "The Digest does not match the part's content");
        if (auto it = session->parts.find(first); it != session->parts.end()) {
            if (it->second.content->Sha1() != content->Sha1())
                return Error(ex, 409, "range_overlaps_existing_part", "Part overlaps with previously uploaded parts");
            return Send(ex, 200, {{"part", PartObject(it->second)}});
        }
        std::string partId;
        do partId = UpperHex(8);
        while (std::any_of(session->parts.begin(), session->parts.end(),
                           [&](const auto& p) { return p.second.id == partId; }));
        SessionPart& part = session->parts[first] = {partId, first, std::move(content)};
        Send(ex, 200, {{"part", PartObject(part)}});
    }

    void SessionStatus(Exchange& ex) {
        if (UploadSession* session = SessionOf(ex)) Send(ex, 200, SessionObject(ex.Param("session"), *session));
    }

    void AbortSession(Exchange& ex) {
        if (!SessionOf(ex)) return;
        sessions_.erase(ex.Param("session"));
        ex.SendEmpty(204);
    }

    void ListParts(Exchange& ex) {
        UploadSession* session = SessionOf(ex);
        std::size_t limit, offset;
        if (!session || !Number(ex, "limit", DefaultPartsLimit, 1, limit) || !Number(ex, "offset", 0, 0, offset))
            return;
        limit = std::min(limit, MaxLimit);
        Json entries = Json::array();
        std::size_t index = 0;
        for (const auto& [at, part] : session->parts)
            if (index++ >= offset && entries.size() < limit) entries.push_back(PartObject(part));
        Send(ex, 200,
             {{"total_count", session->parts.size()},
              {"limit", limit},
              {"offset", offset},
              {"order", Json::array({{{"by", "type"}, {"direction", "ASC"}}})},
              {"entries", entries}});
    }

    // Whether the parts list of a commit names exactly the parts stored, and they make the whole file.
    static bool PartsMatch(const Json& listed, const UploadSession& session) {
        if (!listed.is_array() || listed.size() != session.parts.size() || session.parts.size() != session.TotalParts())
            return false;
        for (const Json& entry : listed) {
            if (!entry.is_object() || !entry.value("offset", Json()).is_number_unsigned()) return false;
            auto it = session.parts.find(entry["offset"].get<std::uint64_t>());
            if (it == session.parts.end() || entry.value("part_id", Json()) != it->second.id ||
                entry.value("size", Json()) != it->second.content->Size() ||
                (entry.contains("sha1") && entry["sha1"] != it->second.content->Sha1()))
                return false;
        }
        return true;
    }

    // The parts put together, checked against the whole file's Digest, become the file or its new
    // version; the session ends. The parts are joined without holding up other requests; a commit
    // asked for meanwhile is told to come back, as Box tells it while it processes parts.
    void CommitSession(Exchange& ex) {
        UploadSession* session = SessionOf(ex);
        if (!session) return;
        if (session->committing) {
            ex.res.set_header("Retry-After", "1");
            return ex.SendEmpty(202);
        }
        const std::string digest = DigestSha1(ex.Header("Digest"));
        if (digest.empty())
            return Error(ex, 400, "bad_request", "A commit needs a Digest header: sha=<base64 SHA-1 of the file>");
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
        if (!PartsMatch(body->value("parts", Json()), *session))
            return Error(ex, 400, "parts_mismatch", "The parts listed do not match the parts uploaded");
        std::optional<Json> attributes;
        if (body->contains("attributes") && (*body)["attributes"].is_object()) attributes = (*body)["attributes"];
        std::string name = StringField(attributes, "name");
        if (name.empty()) name = session->fileName;
        std::optional<TimePoint> contentCreated, contentModified;
        if (attributes && (!ContentDate(ex, *attributes, "content_created_at", contentCreated) ||
                           !ContentDate(ex, *attributes, "content_modified_at", contentModified)))
            return;

        const std::string id = ex.Param("session");
        std::vector<BlobRef> pieces;
        for (const auto& [at, part] : session->parts) pieces.push_back(part.content);
        session->committing = true;
        BlobRef content;
        try {
            ex.WithoutLock([&] {
                auto writer = blobs->Writer();
                for (const BlobRef& piece : pieces) writer->Copy(piece->Path(), 0, piece->Size());
                content = writer->Finish();
            });
        } catch (...) {
            if (auto it = sessions_.find(id); it != sessions_.end()) it->second.committing = false;
            throw;
        }
        auto it = sessions_.find(id);
        if (it == sessions_.end()) return Error(ex, 404, "not_found", "Upload session not found");  // aborted meanwhile
        session = &it->second;
        session->committing = false;
        if (content->Sha1() != digest)
            return Error(ex, 412, "precondition_failed", "The Digest does not match the file's content");
        Node* node;
        if (session->fileId.empty()) {
            Node* folder = ParentFolder(ex, session->folderId, "folder_id");
            if (!folder || !NewFileAllowed(ex, *folder, name)) return;
            node =
                &AddFile(*folder, name, std::move(content), MimeTypeFor(name), contentCreated, contentModified, ex.now);
        } else {
            node = tree.Find(session->fileId);
            if (!node) return NotFound(ex);
            if (node->trashed) return Trashed(ex);
            if (!EtagMatches(ex, *node) || !RenameAllowed(ex, *node, name)) return;
            if (!name.empty() && name != node->name) tree.Rename(*node, name);  // no name given: it stays
            node->contentModified = contentModified;
            tree.SetContent(*node, std::move(content), ex.now);
        }
        sessions_.erase(it);
        SendUploaded(ex, *node);
    }

    void BlankPage(Exchange& ex) {
        ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><title></title></head><body></body></html>\n");
    }

    // --- OAuth 2.0 on app.box.com ---

    static bool SecureRedirect(const std::string& uri) {
        return ToLower(uri.substr(0, 8)) == "https://" || IsLoopbackRedirect(uri);
    }

    void Authorize(Exchange& ex) {
        // redirect_uri may be left out when the application registered exactly one.
        std::string redirect = ex.Field("redirect_uri");
        if (const OAuthClient* known = oauth.Client(ex.Field("client_id"));
            known && redirect.empty() && known->redirectUris.size() == 1)
            redirect = known->redirectUris.front();
        // Loopback addresses match on any port; everything else exactly. Box has no PKCE.
        const OAuthClient* client = AuthorizingClient(ex, redirect, true, "", LoopbackPorts::Any);
        if (!client) return;
        std::string problem = ex.Field("response_type") != "code"
                                  ? "unsupported_response_type: Box signs in with response_type=code"
                              : !SecureRedirect(redirect) ? "invalid_request: The redirect_uri must use https"
                                                          : "";
        if (!problem.empty())
            return ex.SendHtml(400, "<!DOCTYPE html>\n<html><head><title>Box | Error</title></head><body><p>" +
                                        HtmlEscape(problem) + "</p></body></html>\n");
        SignInDecision decision = Consent(ex);
        if (decision == SignInDecision::Ask) return SendSignInForm(ex, "Box", client->id, "");
        std::vector<std::pair<std::string, std::string>> answer;
        if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
        if (decision == SignInDecision::Allow) {
            answer.emplace_back("code", oauth.IssueCode({client->id, "", redirect, ex.now + CodeLifetime, false}));
        } else {
            answer.insert(answer.begin(),
                          {{"error", "access_denied"},
                           {"error_description", DenyReason(ex, "The user denied access to your application")}});
        }
        ex.Redirect(AppendQuery(redirect, answer));
    }

    // Refresh tokens last 60 days and work once.
    const TokenRules& Rules() const override {
        static const TokenRules rules{
            .postOnly = true,
            .rotateRefreshTokens = true,
            .notPost = "The token endpoint takes POST requests",
            .noGrantType = "Invalid grant_type parameter or parameter missing",
            .badGrantType = "Invalid grant_type parameter or parameter missing",
            .badClient = "The client credentials are invalid",
            .codeExpired = {"invalid_grant", "The authorization code has expired"},
            .codeUnknown = {"invalid_grant", "Auth code doesn't exist or is invalid for the client"},
            .codeOtherRedirect = {"invalid_grant", "The redirect_uri does not match the authorization request"},
            .refreshUnknown = {"invalid_grant", "Invalid refresh token"},
            .refreshSpent = {"invalid_grant", "Refresh token has expired"},
            .refreshExpired = {"invalid_grant", "Refresh token has expired"},
        };
        return rules;
    }

    // Ends an access or refresh token of the client; a token it does not know is ended already.
    void Revoke(Exchange& ex) {
        const OAuthClient* client = oauth.Client(ex.Form("client_id"));
        if (!client || ex.Form("client_secret").empty() || ex.Form("client_secret") != client->secret)
            return SendTokenError(ex, 400, {"invalid_client", "The client credentials are invalid"});
        const std::string token = ex.Form("token");
        Grant grant;  // an access token's, expired ones included (nothing is before the earliest time), or a refresh
                      // token's
        if (oauth.CheckAccessToken(token, TimePoint::min(), &grant) != TokenCheck::Ok)
            if (const Grant* refresh = oauth.RefreshToken(token)) grant = *refresh;
        if (grant.clientId == client->id) oauth.Revoke(token);
        ex.SendEmpty(200);
    }

    void SendTokens(Exchange& ex, Grant grant, bool) override {
        int seconds = AccessTokenSeconds();
        grant.expires = ex.now + std::chrono::seconds(seconds);
        Send(ex, 200,
             {{"access_token", oauth.IssueAccessToken(grant)},
              {"expires_in", seconds},
              {"restricted_to", Json::array()},
              {"refresh_token", oauth.IssueRefreshToken(grant, ex.now + RefreshLifetime)},
              {"token_type", "bearer"}});
    }

    void SendTokenError(Exchange& ex, int status, const OAuthError& error) override {
        Send(ex, status, {{"error", error.error}, {"error_description", error.description}});
    }
};

}  // namespace

std::unique_ptr<Service> MakeBox() { return std::make_unique<Box>(); }

}  // namespace Nimbo::Emulator
