// Microsoft Graph v1.0 for OneDrive: drive and user, items by id and by path, listings in pages,
// folders, rename and move, delete, copies watched through a monitor, simple uploads, upload
// sessions and pre-authenticated downloads.

#include "emulator/Graph.h"
#include "emulator/GraphSyntax.h"
#include "emulator/GraphUploads.h"

#include <algorithm>
#include <map>

namespace Nimbo::Emulator {
namespace {

const std::string GraphHost = "graph.microsoft.com";
const std::string SessionHost = "api.onedrive.com";           // upload sessions and copy monitors
const std::string DownloadHost = "public.dm.files.1drv.com";  // pre-authenticated downloads
const std::string GraphBase = "https://" + GraphHost + "/v1.0";
constexpr int DefaultPageSize = 200, MaxPageSize = 1000;
constexpr std::uint64_t MaxSimpleUpload = 250ull << 20;
constexpr std::uint64_t MaxFragment = 60ull << 20;
constexpr std::int64_t QuotaBytes = 5ll << 30;
constexpr auto DownloadLifetime = std::chrono::hours(1);

std::string Uuid() {
    std::string hex = Md5Hex(RandomToken(32));
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20, 12);
}

std::string UpperHex(std::string hex) {
    for (auto& c : hex)
        if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
    return hex;
}

std::string Seconds(TimePoint t) {
    std::string text = Rfc3339Millis(t);
    return text.substr(0, 19) + "Z";
}

// The place an item address names: the item itself, or (path addressing) the folder it would be in
// and its name when it does not exist yet.
struct Target {
    Node* node = nullptr;
    Node* parent = nullptr;
    std::string name;
    bool byPath = false;
};

class Graph final : public GraphDrive {
public:
    Graph(Service& account, std::string cid)
        : account_(account),
          tree_(account.tree),
          cid_(std::move(cid)),
          driveId_(cid_),
          rootGraphId_(UpperHex(cid_) + "!0") {
        using G = Graph;
        const auto Open = RouteTable::Access::Open;
        // Graph paths are brought to one form first (see Canonical): the item's address is resolved
        // beforehand, the route names what is done to it.
        Route("GET", GraphHost, "/me", &G::Me);
        Route("GET", GraphHost, "/drive", &G::Drive);
        Route("GET", GraphHost, "/drives", &G::Drives);
        Route("GET", GraphHost, "/item", &G::GetItem);
        Route("PATCH", GraphHost, "/item", &G::Update);
        Route("DELETE", GraphHost, "/item", &G::Delete);
        Route("GET", GraphHost, "/item/children", &G::List);
        Route("POST", GraphHost, "/item/children", &G::CreateChild);
        Route("GET", GraphHost, "/item/content", &G::Download);
        Route("PUT", GraphHost, "/item/content", &G::PutContent);
        Route("POST", GraphHost, "/item/createUploadSession", &G::CreateSession);
        Route("POST", GraphHost, "/item/copy", &G::Copy);
        Route("PUT", SessionHost, "/rup/{cid}/{session}", &G::PutFragment, Open, MaxFragment);
        Route("GET", SessionHost, "/rup/{cid}/{session}", &G::SessionStatus, Open);
        Route("DELETE", SessionHost, "/rup/{cid}/{session}", &G::CancelSession, Open);
        Route("GET", SessionHost, "/monitor/{monitor}", &G::Monitor, Open);
        Route("GET", DownloadHost, "/y4m/{id}/{name...}", &G::Pickup, Open);
    }

    void Handle(Exchange& ex) override {
        // Every Graph call needs a token; it is checked before the address is looked at, since
        // resolving an upload's address makes the folders it names.
        std::string path = ex.Path();
        if (ex.host == GraphHost && (!Authorized(ex, ex.Method() != "GET") || !Canonical(ex, path))) return;
        auto match = routes_.Find(ex.Method() == "HEAD" ? "GET" : ex.Method(), ex.host, path);  // HEAD: GET's head
        switch (match.outcome) {
            case RouteTable::Outcome::Found:
                ex.params = std::move(match.params);
                return match.route->handler(ex);
            case RouteTable::Outcome::WrongMethod:
                return Error(ex, 405, "invalidRequest",
                             "The '" + ex.Method() + "' method is not supported for this resource.");
            case RouteTable::Outcome::Unknown:
                if (ex.host == GraphHost) return Error(ex, 400, "invalidRequest", "Invalid request");
                return Error(ex, 404, "itemNotFound", "The resource could not be found.");
        }
    }

    void SendError(Exchange& ex, int status, const std::string& message) override {
        std::string code = status == 400   ? "invalidRequest"
                           : status == 401 ? "unauthenticated"
                           : status == 403 ? "accessDenied"
                           : status == 404 ? "itemNotFound"
                           : status == 409 ? "nameAlreadyExists"
                           : status == 413 ? "requestTooLarge"
                           : status == 416 ? "invalidRange"
                           : status == 503 ? "serviceNotAvailable"
                           : status == 507 ? "quotaLimitReached"
                                           : "generalException";
        Error(ex, status, code, message);
    }

    std::uint64_t BodyLimit(const std::string& method, const std::string& host,
                            const std::string& path) const override {
        if (host == SessionHost) return method == "PUT" ? MaxFragment : 0;
        bool content = path.size() >= 8 && path.compare(path.size() - 8, 8, "/content") == 0;
        return host == GraphHost && method == "PUT" && content ? MaxSimpleUpload : 0;
    }

    void SendTooLarge(Exchange& ex) override {
        if (ex.host == SessionHost)
            return Error(ex, 413, "invalidRequest", "A fragment must be smaller than 60 MiB.",
                         "maxFragmentSizeExceeded");
        Error(ex, 413, "requestTooLarge", "Files over 250 MB need an upload session.", "maxFileSizeExceeded");
    }

    void Reset() override {
        sessions_.Clear();
        monitors_.Clear();
    }

    void ExpireUploadSessions(TimePoint now) override { sessions_.ExpireAll(now); }

private:
    Service& account_;
    Tree& tree_;
    const std::string cid_, driveId_, rootGraphId_;
    const std::string downloadKey_ = RandomToken(24);  // download addresses end with a restart
    RouteTable routes_;
    Target target_;                      // the item of the Graph call being answered
    bool viaMe_ = true;                  // the call named the drive as /me/drive (links answer the same way)
    UploadSessions sessions_{account_};  // by the last segment of their address
    CopyMonitors monitors_{account_};

    template <class Handler>
    void Route(std::string method, std::string host, std::string_view pattern, Handler handler,
               RouteTable::Access access = RouteTable::Access::Token, std::uint64_t maxBody = 0) {
        routes_.Add(
            std::move(method), std::move(host), pattern, [this, handler](Exchange& ex) { (this->*handler)(ex); },
            access, maxBody);
    }

    // --- errors and access ---

    static void Error(Exchange& ex, int status, const std::string& code, const std::string& message,
                      const std::string& detail = "") {
        Json inner = Json::object();
        if (!detail.empty()) inner["code"] = detail;
        inner["date"] = Seconds(ex.now);
        inner["request-id"] = Uuid();
        std::string clientId = ex.Header("client-request-id");
        inner["client-request-id"] = clientId.empty() ? Uuid() : clientId;
        ex.SendJson(status, {{"error", {{"code", code}, {"message", message}, {"innerError", inner}}}});
    }

    static void NotFound(Exchange& ex) { Error(ex, 404, "itemNotFound", "The resource could not be found."); }

    // Any token of the account works, as long as its scopes allow the call: Graph's own scopes (with
    // or without the resource in front) or Live Connect's.
    bool Authorized(Exchange& ex, bool write) {
        Grant grant;
        const char* problem = nullptr;
        switch (account_.oauth.CheckAccessToken(ex.BearerToken(false), ex.now, &grant)) {
            case TokenCheck::Ok:
                break;
            case TokenCheck::Missing:
                problem = "Access token is empty.";
                break;
            case TokenCheck::Unknown:
                problem = "Invalid authentication token.";
                break;
            case TokenCheck::Expired:
                problem = "Lifetime validation failed, the token is expired.";
                break;
        }
        if (problem) {
            ex.res.set_header("WWW-Authenticate",
                              "Bearer realm=\"\", authorization_uri=\"https://login.microsoftonline.com/common/"
                              "oauth2/authorize\", client_id=\"00000003-0000-0000-c000-000000000000\"");
            Error(ex, 401, "InvalidAuthenticationToken", problem);
            return false;
        }
        if (ex.Path() == "/v1.0/me" || Permits(grant.scope, write)) return true;
        Error(ex, 403, "accessDenied", "Access denied. The token's scopes do not allow this call.");
        return false;
    }

    static bool Permits(const std::string& scopes, bool write) {
        std::string scope;
        for (char c : scopes + " ") {
            if (c != ' ' && c != ',') {
                scope += c;
                continue;
            }
            const std::string resource = "https://graph.microsoft.com/";
            if (scope.rfind(resource, 0) == 0) scope.erase(0, resource.size());
            if (scope == ".default" || scope == "Files.ReadWrite" || scope == "Files.ReadWrite.All" ||
                scope == "wl.skydrive_update")
                return true;
            if (!write && (scope == "Files.Read" || scope == "Files.Read.All" || scope == "wl.skydrive")) return true;
            scope.clear();
        }
        return false;
    }

    // --- addressing ---

    std::string GraphId(const Node& node) const {
        if (node.id == tree_.RootId()) return rootGraphId_;
        auto dot = node.id.find('.', node.id.find('.') + 1);
        return dot == std::string::npos ? node.id : node.id.substr(dot + 1);
    }

    Node* FindGraphId(const std::string& id) {
        if (id == "root" || id == rootGraphId_) return tree_.Find(tree_.RootId());
        if (id.empty() || id.find('.') != std::string::npos) return nullptr;
        if (Node* folder = tree_.Find("folder." + cid_ + "." + id)) return folder;
        return tree_.Find("file." + cid_ + "." + id);
    }

    // Brings a Graph path to the route table's form and resolves the item it names into target_;
    // answers the error and returns false when the path names nothing.
    bool Canonical(Exchange& ex, std::string& path) {
        const std::string version = "/v1.0";
        if (path.rfind(version + "/", 0) != 0)
            return Error(ex, 400, "BadRequest", "Invalid version: the path must begin with /v1.0."), false;
        std::string_view rest = std::string_view(path).substr(version.size());
        if (rest == "/me" || rest == "/me/") return path = "/me", true;
        if (rest == "/me/drives") return path = "/drives", true;
        if (rest.rfind("/me/drive", 0) == 0) {
            viaMe_ = true;
            rest.remove_prefix(9);
        } else if (rest.rfind("/drives/", 0) == 0) {
            viaMe_ = false;
            rest.remove_prefix(8);
            auto end = rest.find('/');
            if (!EqualsIgnoreCase(rest.substr(0, end), driveId_))
                return Error(ex, 404, "itemNotFound", "The drive could not be found."), false;
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        } else {
            path = std::string(rest);
            return true;  // answered as an unknown route
        }
        if (rest.empty() || rest == "/") return path = "/drive", true;
        Address address = ParseAddress(rest);
        if (!address.valid) return Error(ex, 400, "invalidRequest", "Invalid request", "invalidPath"), false;
        target_ = Target{};
        target_.byPath = address.byPath;
        Node* node = FindGraphId(address.base);
        if (!node) return NotFound(ex), false;
        for (std::size_t i = 0; i < address.names.size(); ++i) {
            Node* child = node->folder ? tree_.ChildByName(node->id, address.names[i], true) : nullptr;
            if (!child) {
                // Only uploads name what is not there yet; they make the folders missing on the way.
                bool upload = (ex.Method() == "PUT" && address.action == "/content") ||
                              (ex.Method() == "POST" && address.action == "/createUploadSession");
                if (!upload || !node->folder) return NotFound(ex), false;
                for (std::size_t j = i; j + 1 < address.names.size(); ++j) {
                    if (!ValidGraphName(address.names[j]))
                        return Error(ex, 400, "invalidRequest", "The name '" + address.names[j] + "' is not valid."),
                               false;
                    Node& made = tree_.AddFolder(node->id, address.names[j], ex.now);
                    tree_.Touch(*node, ex.now);
                    node = &made;
                }
                target_.parent = node;
                target_.name = address.names.back();
                path = "/item" + address.action;
                return true;
            }
            node = child;
        }
        target_.node = node;
        path = "/item" + address.action;
        return true;
    }

    // --- answers ---

    std::string DriveLink() const { return viaMe_ ? "/me/drive" : "/drives/" + driveId_; }

    static Json Entity(const std::string& context, Json body) {
        Json answer = {{"@odata.context", GraphBase + "/$metadata#" + context}};
        for (auto& [key, value] : body.items()) answer[key] = std::move(value);
        return answer;
    }

    std::string ETag(const Node& node) const {
        return "\"{" + GraphId(node) + "}," + std::to_string(node.version) + "\"";
    }
    std::string CTag(const Node& node) const {
        return "\"c:{" + GraphId(node) + "}," + std::to_string(node.version) + "\"";
    }

    std::string DownloadUrl(const Node& node, TimePoint now) const {
        auto expires = std::chrono::duration_cast<std::chrono::seconds>((now + DownloadLifetime).time_since_epoch());
        std::string e = std::to_string(expires.count());
        return "https://" + DownloadHost + "/y4m/" + UrlEncode(GraphId(node)) + "/" + UrlEncode(node.name) +
               "?t=" + DownloadTicket(node, e) + "&e=" + e;
    }
    std::string DownloadTicket(const Node& node, const std::string& expires) const {
        return Md5Hex(downloadKey_ + node.id + "/" + std::to_string(node.version) + "/" + expires).substr(0, 24);
    }

    Json Identity() const { return {{"user", {{"displayName", account_.accountName}, {"id", cid_}}}}; }

    std::string PathOf(const Node& folder) const {
        std::string path = tree_.PathOf(folder.id);
        return "/drive/root:" + (path.empty() || path == "/" ? "" : (path.front() == '/' ? path : "/" + path));
    }

    Json Item(const Node& node, TimePoint now) const {
        const bool root = node.id == tree_.RootId();
        Json item = Json::object();
        if (!node.folder) item["@microsoft.graph.downloadUrl"] = DownloadUrl(node, now);
        item["createdDateTime"] = Rfc3339Millis(node.created);
        item["cTag"] = CTag(node);
        item["eTag"] = ETag(node);
        item["id"] = GraphId(node);
        item["lastModifiedDateTime"] = Rfc3339Millis(node.modified);
        item["name"] = root ? "root" : node.name;
        item["size"] = node.folder ? tree_.TotalSize(node.id) : node.Size();
        item["webUrl"] = root ? "https://onedrive.live.com/?cid=" + cid_
                              : "https://onedrive.live.com/redir?resid=" + UrlEncode(GraphId(node));
        item["createdBy"] = Identity();
        item["lastModifiedBy"] = Identity();
        Json parent = {{"driveId", driveId_}, {"driveType", "personal"}};
        if (!root)
            if (const Node* up = tree_.Find(node.parentId)) {
                parent["id"] = GraphId(*up);
                parent["name"] = up->id == tree_.RootId() ? "root" : up->name;
                parent["path"] = PathOf(*up);
            }
        item["parentReference"] = parent;
        if (node.folder) {
            item["folder"] = {{"childCount", tree_.Children(node.id).size()}};
        } else {
            item["file"] = {{"hashes",
                             {{"quickXorHash", node.content ? node.content->QuickXor() : EmptyQuickXor()},
                              {"sha1Hash", UpperHex(node.Sha1())},
                              {"sha256Hash", UpperHex(node.content ? node.content->Sha256() : EmptySha256())}}},
                            {"mimeType", node.mimeType.empty() ? "application/octet-stream" : node.mimeType}};
        }
        item["fileSystemInfo"] = {
            {"createdDateTime", Rfc3339Millis(node.contentCreated.value_or(node.created))},
            {"lastModifiedDateTime", Rfc3339Millis(node.contentModified.value_or(node.modified))}};
        if (!node.description.empty()) item["description"] = node.description;
        if (root) item["root"] = Json::object();
        return item;
    }

    void SendItem(Exchange& ex, int status, const Node& node) const {
        ex.SendJson(status, Entity("drives('" + driveId_ + "')/items/$entity", Item(node, ex.now)));
    }

    // The properties $select names (a comma-separated list); everything when there is none.
    // --- user and drive ---

    void Me(Exchange& ex) {
        const std::string& name = account_.accountName;
        auto space = name.find(' ');
        ex.SendJson(200, Entity("users/$entity", {{"businessPhones", Json::array()},
                                                  {"displayName", name},
                                                  {"givenName", name.substr(0, space)},
                                                  {"jobTitle", nullptr},
                                                  {"mail", nullptr},
                                                  {"mobilePhone", nullptr},
                                                  {"officeLocation", nullptr},
                                                  {"preferredLanguage", nullptr},
                                                  {"surname", space == std::string::npos ? "" : name.substr(space + 1)},
                                                  {"userPrincipalName", "emulated.user@outlook.com"},
                                                  {"id", cid_}}));
    }

    Json DriveResource() const {
        std::int64_t used = tree_.TotalSize(tree_.RootId()), files = 0;
        for (const auto& [order, node] : tree_.InOrder()) files += node->folder ? 0 : 1;
        double share = static_cast<double>(used) / static_cast<double>(QuotaBytes);
        std::string state = share >= 1 ? "exceeded" : share >= 0.98 ? "critical" : share >= 0.9 ? "nearing" : "normal";
        return {{"id", driveId_},
                {"driveType", "personal"},
                {"owner", Identity()},
                {"quota",
                 {{"deleted", 0},
                  {"remaining", std::max<std::int64_t>(0, QuotaBytes - used)},
                  {"state", state},
                  {"total", QuotaBytes},
                  {"used", used},
                  {"fileCount", files}}}};
    }

    void Drive(Exchange& ex) { ex.SendJson(200, Entity("drives/$entity", DriveResource())); }
    void Drives(Exchange& ex) { ex.SendJson(200, Entity("drives", {{"value", Json::array({DriveResource()})}})); }

    // Whether what is stored fits the quota once `added` bytes replace `removed`; answers 507 if not.
    bool Fits(Exchange& ex, std::int64_t added, std::int64_t removed) {
        if (tree_.TotalSize(tree_.RootId()) - removed + added <= QuotaBytes) return true;
        Error(ex, 507, "quotaLimitReached", "Insufficient Space Available");
        return false;
    }

    // --- items ---

    // The item of a call that needs one to exist.
    Node* Existing(Exchange& ex) {
        if (!target_.node) NotFound(ex);
        return target_.node;
    }

    // If-Match: the call goes ahead only while the item is as the client saw it.
    bool Unchanged(Exchange& ex, const Node& node) {
        std::string tag = ex.Header("If-Match");
        if (tag.empty() || tag == "*" || tag == ETag(node) || tag == CTag(node)) return true;
        Error(ex, 412, "resourceModified", "ETag does not match current item's value", "entityTagDoesNotMatch");
        return false;
    }

    void GetItem(Exchange& ex) {
        Node* node = Existing(ex);
        if (!node) return;
        ex.SendJson(200, Selected(Entity("drives('" + driveId_ + "')/items/$entity", Item(*node, ex.now)),
                                  SelectList(ex.Query("$select"))));
    }

    // Children in creation order; the skip token names the last one the previous page held, so a
    // page never repeats or skips an item when others come and go meanwhile.
    void List(Exchange& ex) {
        Node* folder = Existing(ex);
        if (!folder) return;
        if (!folder->folder) return Error(ex, 400, "invalidRequest", "The item is not a folder.");
        int top = DefaultPageSize;
        if (ex.HasQuery("$top")) {
            auto asked = Digits(ex.Query("$top"));
            if (!asked || *asked == 0)
                return Error(ex, 400, "invalidRequest", "Invalid value for $top: '" + ex.Query("$top") + "'.");
            top = static_cast<int>(std::min<std::uint64_t>(*asked, MaxPageSize));
        }
        std::uint64_t after = 0;
        if (ex.HasQuery("$skiptoken")) {
            auto order = SkipOrder(ex.Query("$skiptoken"));
            if (!order) return Error(ex, 400, "invalidRequest", "The $skiptoken is not valid.");
            after = *order;
        }
        const auto select = SelectList(ex.Query("$select"));
        Json values = Json::array();
        const Node* last = nullptr;
        bool more = false;
        for (const Node* child : tree_.Children(folder->id)) {
            if (child->order <= after) continue;
            if (static_cast<int>(values.size()) == top) {
                more = true;
                break;
            }
            values.push_back(Selected(Item(*child, ex.now), select));
            last = child;
        }
        Json answer = {{"@odata.context", GraphBase + "/$metadata#drives('" + driveId_ + "')/items('" +
                                              GraphId(*folder) + "')/children"}};
        if (more) {
            std::string link = GraphBase + DriveLink() + "/items/" + UrlEncode(GraphId(*folder)) +
                               "/children?$top=" + std::to_string(top);
            if (ex.HasQuery("$select")) link += "&$select=" + UrlEncode(ex.Query("$select"));
            answer["@odata.nextLink"] = link + "&$skiptoken=" + SkipToken(last->order);
        }
        answer["value"] = std::move(values);
        ex.SendJson(200, answer);
    }

    static std::optional<std::string> ConflictBehaviour(Exchange& ex, const Json* body, const std::string& fallback) {
        const std::string key = "@microsoft.graph.conflictBehavior";
        std::string value = fallback;
        if (ex.HasQuery(key)) value = ex.Query(key);
        if (body && body->contains(key)) {
            if (!(*body)[key].is_string()) return std::nullopt;
            value = (*body)[key].get<std::string>();
        }
        if (value != "fail" && value != "replace" && value != "rename") return std::nullopt;
        return value;
    }

    // Settles a clash with an item of the same name in `folder` by the conflict behaviour: the name
    // to use (the clashing item removed for replace), or nullopt after answering 409. `self` is the
    // item being named, which never clashes with itself.
    std::optional<std::string> Settle(Exchange& ex, const Node& folder, const std::string& name,
                                      const std::string& behaviour, const Node* self = nullptr) {
        Node* existing = tree_.ChildByName(folder.id, name, true);
        if (!existing || existing == self) return name;
        if (behaviour == "rename") {
            int n = 1;
            while (tree_.ChildByName(folder.id, NumberedName(name, n), true)) ++n;
            return NumberedName(name, n);
        }
        if (behaviour == "replace" && existing->id != tree_.RootId() &&
            !(self && tree_.IsInside(self->id, existing->id))) {
            tree_.Remove(existing->id);
            return name;
        }
        Error(ex, 409, "nameAlreadyExists", "An item with the same name already exists under the parent.");
        return std::nullopt;
    }

    std::optional<Json> JsonBody(Exchange& ex, bool optional) {
        if (optional && ex.body.empty() && ex.BodySize() == 0) return Json::object();
        auto body = ParseJsonObject(ex.body);
        if (!body) Error(ex, 400, "invalidRequest", "The request body is not a valid JSON object.");
        return body;
    }

    void CreateChild(Exchange& ex) {
        Node* parent = Existing(ex);
        if (!parent) return;
        if (!parent->folder) return Error(ex, 400, "invalidRequest", "Items can only be created in a folder.");
        auto body = JsonBody(ex, false);
        if (!body) return;
        const Json name = body->value("name", Json());
        if (!name.is_string() || !ValidGraphName(name.get<std::string>()))
            return Error(ex, 400, "invalidRequest", "The name of the new item is missing or not valid.");
        if (!body->contains("folder") || !(*body)["folder"].is_object())
            return Error(ex, 400, "invalidRequest", "Only folders are created here; files are uploaded.");
        auto behaviour = ConflictBehaviour(ex, &*body, "fail");
        if (!behaviour) return Error(ex, 400, "invalidRequest", "Invalid @microsoft.graph.conflictBehavior.");
        auto finalName = Settle(ex, *parent, name.get<std::string>(), *behaviour);
        if (!finalName) return;
        Node& folder = tree_.AddFolder(parent->id, *finalName, ex.now);
        if (body->contains("description") && (*body)["description"].is_string())
            folder.description = (*body)["description"].get<std::string>();
        tree_.Touch(*parent, ex.now);
        SendItem(ex, 201, folder);
    }

    // Sets the file's own dates from a fileSystemInfo object; answers 400 for dates it cannot read.
    static bool ApplyFileSystemInfo(Exchange& ex, const Json& info, std::optional<TimePoint>& created,
                                    std::optional<TimePoint>& modified) {
        if (!info.is_object()) return Error(ex, 400, "invalidRequest", "fileSystemInfo must be an object."), false;
        for (auto [key, slot] :
             {std::pair{"createdDateTime", &created}, std::pair{"lastModifiedDateTime", &modified}}) {
            if (!info.contains(key)) continue;
            auto time = info[key].is_string() ? ParseRfc3339(info[key].get<std::string>()) : std::nullopt;
            if (!time) return Error(ex, 400, "invalidRequest", std::string("Invalid ") + key + "."), false;
            *slot = time;
        }
        return true;
    }

    // PATCH: rename, move by parentReference, the file's own dates, the description.
    void Update(Exchange& ex) {
        Node* node = Existing(ex);
        if (!node || !Unchanged(ex, *node)) return;
        auto body = JsonBody(ex, false);
        if (!body) return;
        const bool root = node->id == tree_.RootId();
        std::string name = node->name;
        if (body->contains("name")) {
            const Json& given = (*body)["name"];
            if (!given.is_string() || !ValidGraphName(given.get<std::string>()))
                return Error(ex, 400, "invalidRequest", "The new name is not valid.");
            name = given.get<std::string>();
        }
        Node* parent = tree_.Find(node->parentId);
        if (body->contains("parentReference")) {
            parent = Destination(ex, *node, (*body)["parentReference"]);
            if (!parent) return;
        }
        if (root && (name != node->name || parent != tree_.Find(node->parentId)))
            return Error(ex, 400, "invalidRequest", "The root cannot be renamed or moved.");
        std::optional<TimePoint> created = node->contentCreated, modified = node->contentModified;
        if (body->contains("fileSystemInfo") && !ApplyFileSystemInfo(ex, (*body)["fileSystemInfo"], created, modified))
            return;
        if (body->contains("description") && !(*body)["description"].is_string())
            return Error(ex, 400, "invalidRequest", "The description must be text.");
        if (!root) {
            auto behaviour = ConflictBehaviour(ex, &*body, "fail");
            if (!behaviour) return Error(ex, 400, "invalidRequest", "Invalid @microsoft.graph.conflictBehavior.");
            auto finalName = Settle(ex, *parent, name, *behaviour, node);
            if (!finalName) return;
            if (parent->id != node->parentId) {
                if (Node* old = tree_.Find(node->parentId)) tree_.Touch(*old, ex.now);
                tree_.Move(*node, parent->id);
                tree_.Touch(*parent, ex.now);
            }
            if (*finalName != node->name) tree_.Rename(*node, *finalName);
        }
        node->contentCreated = created, node->contentModified = modified;
        if (body->contains("description")) node->description = (*body)["description"].get<std::string>();
        tree_.Touch(*node, ex.now);
        SendItem(ex, 200, *node);
    }

    // The folder a parentReference names (by id, or by path "/drive/root:/a"); answers the error and
    // returns nullptr when the item cannot go there.
    Node* Destination(Exchange& ex, const Node& node, const Json& reference) {
        if (!reference.is_object())
            return Error(ex, 400, "invalidRequest", "parentReference must be an object."), nullptr;
        if (reference.contains("driveId") &&
            (!reference["driveId"].is_string() || !EqualsIgnoreCase(reference["driveId"].get<std::string>(), driveId_)))
            return Error(ex, 400, "invalidRequest", "Items cannot be moved or copied to another drive."), nullptr;
        Node* folder = nullptr;
        if (reference.contains("id") && reference["id"].is_string()) {
            std::string id = reference["id"].get<std::string>();
            if (id == "root")
                return Error(ex, 400, "invalidRequest", "parentReference.id must be an item id, not 'root'."), nullptr;
            folder = FindGraphId(id);
        } else if (reference.contains("path") && reference["path"].is_string()) {
            std::string path = reference["path"].get<std::string>();
            const std::string prefix = "/drive/root:";
            if (path.rfind(prefix, 0) != 0)
                return Error(ex, 400, "invalidRequest", "parentReference.path is not valid."), nullptr;
            folder = tree_.FindPath(path.substr(prefix.size()), true);
        } else {
            return Error(ex, 400, "invalidRequest", "parentReference needs an id or a path."), nullptr;
        }
        if (!folder) return NotFound(ex), nullptr;
        if (!folder->folder) return Error(ex, 400, "invalidRequest", "The destination is not a folder."), nullptr;
        if (folder->id == node.id || tree_.IsInside(folder->id, node.id))
            return Error(ex, 400, "invalidRequest", "A folder cannot be put inside itself."), nullptr;
        return folder;
    }

    void Delete(Exchange& ex) {
        Node* node = Existing(ex);
        if (!node || !Unchanged(ex, *node)) return;
        if (node->id == tree_.RootId()) return Error(ex, 403, "accessDenied", "The root cannot be deleted.");
        std::string parentId = node->parentId;
        tree_.Remove(node->id);
        if (Node* parent = tree_.Find(parentId)) tree_.Touch(*parent, ex.now);
        ex.SendEmpty(204);
    }

    // The copy is made at once and watched through a monitor (see CopyMonitors).
    void Copy(Exchange& ex) {
        Node* node = Existing(ex);
        if (!node) return;
        if (node->id == tree_.RootId()) return Error(ex, 400, "invalidRequest", "The root cannot be copied.");
        auto body = JsonBody(ex, true);
        if (!body) return;
        Node* parent = tree_.Find(node->parentId);
        if (body->contains("parentReference")) {
            parent = Destination(ex, *node, (*body)["parentReference"]);
            if (!parent) return;
        }
        std::string name = node->name;
        if (body->contains("name")) {
            const Json& given = (*body)["name"];
            if (!given.is_string() || !ValidGraphName(given.get<std::string>()))
                return Error(ex, 400, "invalidRequest", "The name of the copy is not valid.");
            name = given.get<std::string>();
        }
        auto behaviour = ConflictBehaviour(ex, &*body, "fail");
        if (!behaviour) return Error(ex, 400, "invalidRequest", "Invalid @microsoft.graph.conflictBehavior.");
        if (!Fits(ex, tree_.TotalSize(node->id), 0)) return;
        auto finalName = Settle(ex, *parent, name, *behaviour, node);
        if (!finalName) return;
        if (*finalName == node->name && parent->id == node->parentId)
            return Error(ex, 409, "nameAlreadyExists", "An item with the same name already exists under the parent.");
        Node& copy = tree_.Copy(*node, parent->id, *finalName, ex.now);
        tree_.Touch(*parent, ex.now);
        std::string monitor = monitors_.Start(copy.id, ex.now);
        ex.res.set_header("Location", "https://" + SessionHost + "/monitor/" + monitor);
        ex.SendEmpty(202);
    }

    void Monitor(Exchange& ex) {
        auto answer = monitors_.Poll(ex.Param("monitor"), [this](const std::string& id) -> std::optional<std::string> {
            const Node* copy = tree_.Find(id);
            return copy ? std::optional(GraphId(*copy)) : std::nullopt;
        });
        if (!answer) return NotFound(ex);
        ex.SendJson(answer->first, answer->second);
    }

    // --- contents ---

    void Download(Exchange& ex) {
        Node* node = Existing(ex);
        if (!node) return;
        if (node->folder) return Error(ex, 400, "invalidRequest", "A folder has no content to download.");
        ex.Redirect(DownloadUrl(*node, ex.now));
    }

    // The pre-authenticated address: no token, valid for the item's current content for an hour.
    void Pickup(Exchange& ex) {
        Node* node = FindGraphId(ex.Param("id"));
        auto expires = Digits(ex.Query("e"));
        auto now = std::chrono::duration_cast<std::chrono::seconds>(ex.now.time_since_epoch()).count();
        if (!node || node->folder || !expires || static_cast<std::int64_t>(*expires) < now ||
            ex.Query("t") != DownloadTicket(*node, ex.Query("e")))
            return Error(ex, 404, "itemNotFound", "The download address is not valid or has expired.");
        ex.SendContent(node->content, node->mimeType.empty() ? "application/octet-stream" : node->mimeType);
    }

    // Stores content at the target: a new file (201) or a new version of the file there (200).
    void Store(Exchange& ex, BlobRef content, const std::string& behaviour,
               std::optional<TimePoint> created = std::nullopt, std::optional<TimePoint> modified = std::nullopt) {
        const std::int64_t size = content ? static_cast<std::int64_t>(content->Size()) : 0;
        Node* node = target_.node;
        if (node && node->folder) return Error(ex, 400, "invalidRequest", "A folder cannot have content.");
        if (!node) {
            Node* parent = target_.parent;
            if (!ValidGraphName(target_.name))
                return Error(ex, 400, "invalidRequest", "The name '" + target_.name + "' is not valid.");
            if (!Fits(ex, size, 0)) return;
            auto name = Settle(ex, *parent, target_.name, behaviour);
            if (!name) return;
            Node& made = tree_.AddFile(parent->id, *name, std::move(content), MimeTypeFor(*name), ex.now);
            made.contentCreated = created, made.contentModified = modified;
            tree_.Touch(*parent, ex.now);
            return SendItem(ex, 201, made);
        }
        if (target_.byPath && behaviour != "replace") {
            // fail and rename apply to a file named by its path, not to one named by its id
            target_ = Target{nullptr, tree_.Find(node->parentId), node->name, true};
            return Store(ex, std::move(content), behaviour, created, modified);
        }
        if (!Unchanged(ex, *node) || !Fits(ex, size, node->Size())) return;
        tree_.SetContent(*node, std::move(content), ex.now);
        node->contentCreated = created.has_value() ? created : node->contentCreated;
        node->contentModified = modified;
        SendItem(ex, 200, *node);
    }

    void PutContent(Exchange& ex) {
        auto behaviour = ConflictBehaviour(ex, nullptr, "replace");
        if (!behaviour) return Error(ex, 400, "invalidRequest", "Invalid @microsoft.graph.conflictBehavior.");
        if (!target_.node && !target_.parent) return NotFound(ex);
        Store(ex, ex.Content(), *behaviour);
    }

    void CreateSession(Exchange& ex) {
        if (!target_.node && !target_.parent) return NotFound(ex);
        if (target_.node && target_.node->folder)
            return Error(ex, 400, "invalidRequest", "A folder cannot have content.");
        auto body = JsonBody(ex, true);
        if (!body) return;
        Json item = body->value("item", Json::object());
        if (!item.is_object()) return Error(ex, 400, "invalidRequest", "item must be an object.");
        auto behaviour = ConflictBehaviour(ex, &item, "replace");
        if (!behaviour) return Error(ex, 400, "invalidRequest", "Invalid @microsoft.graph.conflictBehavior.");
        UploadSession session;
        if (item.contains("fileSystemInfo") &&
            !ApplyFileSystemInfo(ex, item["fileSystemInfo"], session.contentCreated, session.contentModified))
            return;
        session.conflict = *behaviour;
        if (target_.node && !target_.byPath) {
            session.fileId = target_.node->id;
        } else {
            session.parentId = target_.node ? target_.node->parentId : target_.parent->id;
            session.name = target_.node ? target_.node->name : target_.name;
            if (!ValidGraphName(session.name))
                return Error(ex, 400, "invalidRequest", "The name '" + session.name + "' is not valid.");
            if (target_.node && *behaviour == "fail")
                return Error(ex, 409, "nameAlreadyExists",
                             "An item with the same name already exists under the parent.");
        }
        std::string id = sessions_.Open(std::move(session), ex.now);
        const UploadSession& opened = *sessions_.Find(id, ex.now);
        ex.SendJson(200, Entity("microsoft.graph.uploadSession",
                                {{"uploadUrl", "https://" + SessionHost + "/rup/" + cid_ + "/" + id},
                                 {"expirationDateTime", Rfc3339Millis(opened.expires)},
                                 {"nextExpectedRanges", Json::array({"0-"})}}));
    }

    UploadSession* OpenSession(Exchange& ex) {
        UploadSession* session = ex.Param("cid") == cid_ ? sessions_.Find(ex.Param("session"), ex.now) : nullptr;
        if (!session) Error(ex, 404, "itemNotFound", "The upload session was not found or has expired.");
        return session;
    }

    void SessionStatus(Exchange& ex) {
        if (UploadSession* session = OpenSession(ex)) ex.SendJson(200, UploadSessions::State(*session));
    }

    void CancelSession(Exchange& ex) {
        if (!OpenSession(ex)) return;
        sessions_.Drop(ex.Param("session"));
        ex.SendEmpty(204);
    }

    // One fragment; the upload address carries its own authority. Clients are told to send no
    // Authorization header, but personal accounts take fragments that carry one (a widely used sync
    // tool sends it), so it is ignored.
    void PutFragment(Exchange& ex) {
        UploadSession* session = OpenSession(ex);
        if (!session) return;
        bool final = false;
        if (auto refusal = UploadSessions::Append(*session, ex, final))
            return Error(ex, refusal->status, refusal->code, refusal->message, refusal->detail);
        if (!final) return ex.SendJson(202, UploadSessions::State(*session));
        FinishSession(ex, ex.Param("session"));
    }

    void FinishSession(Exchange& ex, const std::string& id) {
        UploadSession session = sessions_.Take(id);
        BlobRef content = session.received ? session.received->Finish() : nullptr;
        target_ = Target{};
        if (!session.fileId.empty()) {
            target_.node = tree_.Find(session.fileId);
            if (!target_.node) return NotFound(ex);
        } else {
            target_.parent = tree_.Find(session.parentId);
            if (!target_.parent) return NotFound(ex);
            target_.node = tree_.ChildByName(session.parentId, session.name, true);
            target_.name = session.name;
            target_.byPath = true;
        }
        Store(ex, std::move(content), session.conflict, session.contentCreated, session.contentModified);
    }
};

}  // namespace

std::vector<std::string> GraphDrive::Hosts() { return {GraphHost, SessionHost, DownloadHost}; }

bool GraphDrive::Serves(const std::string& host) {
    return host == GraphHost || host == SessionHost || host == DownloadHost;
}

std::unique_ptr<GraphDrive> MakeGraphDrive(Service& account, const std::string& cid) {
    return std::make_unique<Graph>(account, cid);
}

}  // namespace Nimbo::Emulator
