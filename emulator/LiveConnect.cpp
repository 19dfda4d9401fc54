// Live Connect v5.0 (SkyDrive, later OneDrive) on apis.live.net, its file storage host, and the
// Windows Live OAuth 2.0 pages on login.live.com. Items are addressed by id; names ignore case.

#include "emulator/Graph.h"
#include "emulator/Service.h"
#include "emulator/SignInEndpoints.h"

#include <algorithm>
#include <set>

namespace Nimbo::Emulator {
namespace {

const std::string ApiHost = "apis.live.net";
const std::string BetaApiHost = "beta.apis.live.net";
const std::string LoginHost = "login.live.com";
const std::string StorageHost = "storage.live.com";
const std::string DesktopRedirect = "https://login.live.com/oauth20_desktop.srf";
const std::string Cid = "e0a1c0de5eed1e55";              // the account's user id
const std::string ResourcePrefix = "E0A1C0DE5EED1E55!";  // what item ids end with, before their number
const std::string RootId = "folder." + Cid;
const std::string DefaultScopes = "wl.signin wl.basic wl.offline_access wl.skydrive wl.skydrive_update";
constexpr std::size_t MaxUploadBytes = 100u << 20;
constexpr int TokenSeconds = 3600;
constexpr auto CodeLifetime = std::chrono::minutes(5);

const std::set<std::string> KnownScopes = {"wl.basic",
                                           "wl.offline_access",
                                           "wl.signin",
                                           "wl.birthday",
                                           "wl.calendars",
                                           "wl.calendars_update",
                                           "wl.contacts_birthday",
                                           "wl.contacts_create",
                                           "wl.contacts_calendars",
                                           "wl.contacts_photos",
                                           "wl.contacts_skydrive",
                                           "wl.emails",
                                           "wl.events_create",
                                           "wl.imap",
                                           "wl.phone_numbers",
                                           "wl.photos",
                                           "wl.postal_addresses",
                                           "wl.skydrive",
                                           "wl.skydrive_update",
                                           "wl.work_profile",
                                           "wl.applications",
                                           "wl.applications_create"};

// Scope lists come separated by spaces or commas; answers use spaces.
std::vector<std::string> SplitScopes(const std::string& text) {
    std::vector<std::string> scopes;
    std::string current;
    for (char c : text + " ") {
        if (c == ' ' || c == ',') {
            if (!current.empty() && std::find(scopes.begin(), scopes.end(), current) == scopes.end())
                scopes.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return scopes;
}

std::string JoinScopes(const std::vector<std::string>& scopes) {
    std::string text;
    for (const auto& scope : scopes) text += (text.empty() ? "" : " ") + scope;
    return text;
}

bool HasScope(const std::string& granted, const std::string& scope) {
    auto scopes = SplitScopes(granted);
    return std::find(scopes.begin(), scopes.end(), scope) != scopes.end();
}

// Names the service refuses: empty, "." and "..", characters Windows forbids, not UTF-8, control
// characters, over 255 characters.
bool ValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && NameFault(name).empty() &&
           name.find_first_of("/\\:*?\"<>|") == std::string::npos && name.back() != ' ' && name.back() != '.';
}

std::string Base64Url(const std::string& bytes) {
    std::string text = Base64Encode(bytes);
    for (auto& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
    text.erase(text.find_last_not_of('=') + 1);
    return text;
}

class LiveConnect final : public Service {
public:
    LiveConnect()
        : Service(
              Cloud::LiveConnect, RootId, [this](bool folder) { return NewId(folder); }, "EwA", "Emulated Live User") {
        using L = LiveConnect;
        const auto Open = RouteTable::Access::Open;
        Route("GET", ApiHost, "/v5.0/me", &L::Me);
        Route("GET", ApiHost, "/v5.0/me/skydrive/quota", &L::Quota);
        // Item calls, on an id or on the root's alias. MOVE and COPY come as POST with method= (the
        // HTTP layer takes no other verbs).
        auto on = [this](bool write, void (L::*call)(Exchange&, Node&)) {
            return [this, write, call](Exchange& ex) { OnItem(ex, write, call); };
        };
        for (const std::string item : {"/v5.0/{id}", "/v5.0/me/skydrive"}) {
            routes.Add("GET", ApiHost, item, on(false, &L::GetItem));
            routes.Add("POST", ApiHost, item, on(true, &L::CreateFolder));
            routes.Add("PUT", ApiHost, item, on(true, &L::Update));
            routes.Add("DELETE", ApiHost, item, on(true, &L::Delete));
            routes.Add("MOVE", ApiHost, item, on(true, &L::Move));
            routes.Add("COPY", ApiHost, item, on(true, &L::Copy));
            routes.Add("GET", ApiHost, item + "/files", on(false, &L::List));
            routes.Add("POST", ApiHost, item + "/files", on(true, &L::UploadForm));
            routes.Add("PUT", ApiHost, item + "/files", on(true, &L::UploadNameless));
            routes.Add("PUT", ApiHost, item + "/files/{name...}", on(true, &L::Upload));
            routes.Add("GET", ApiHost, item + "/content", on(false, &L::Download));
            routes.Add("PUT", ApiHost, item + "/content", on(true, &L::Replace));
        }
        for (const char* method : {"GET", "POST"}) {
            Route(method, LoginHost, "/oauth20_authorize.srf", &L::Authorize, Open);
            Route(method, LoginHost, "/oauth20_token.srf", &L::Token, Open);
        }
        Route("GET", LoginHost, "/oauth20_desktop.srf", &L::BlankPage, Open);  // where desktop sign-ins end
        Route("GET", LoginHost, "/oauth20_logout.srf", &L::Logout, Open);
        Route("GET", StorageHost, "/items/{id}/{name...}", &L::Storage, Open);
        // The identity platform's sign-in: the same account, clients and tokens.
        const std::string identity = "/{tenant}/oauth2/v2.0/";
        for (const char* method : {"GET", "POST"}) {
            routes.Add(
                method, MicrosoftIdentity::Host, identity + "authorize",
                [this](Exchange& ex) { identity_.Authorize(ex); }, Open);
            routes.Add(
                method, MicrosoftIdentity::Host, identity + "token", [this](Exchange& ex) { identity_.Token(ex); },
                Open);
        }
    }

    // Microsoft Graph serves the same account on hosts of its own.
    std::vector<std::string> Hosts() const override {
        std::vector<std::string> hosts = {ApiHost, BetaApiHost, LoginHost, StorageHost, MicrosoftIdentity::Host};
        for (const auto& host : GraphDrive::Hosts()) hosts.push_back(host);
        return hosts;
    }
    bool NamesIgnoreCase() const override { return true; }

    void Reset(TimePoint now) override {
        Service::Reset(now);
        graph_->Reset();
    }
    void ExpireUploadSessions(TimePoint now) override { graph_->ExpireUploadSessions(now); }

    // Uploads (into a folder's files, or a file's content) carry at most 100 MB.
    std::uint64_t BodyLimit(const std::string& method, const std::string& host,
                            const std::string& path) const override {
        if (GraphDrive::Serves(host)) return graph_->BodyLimit(method, host, path);
        bool upload = path.find("/files") != std::string::npos || path.find("/content") != std::string::npos;
        return (host == ApiHost || host == BetaApiHost) && upload ? MaxUploadBytes : 0;
    }
    void SendTooLarge(Exchange& ex) override {
        if (GraphDrive::Serves(ex.host)) return graph_->SendTooLarge(ex);
        Error(ex, 413, "request_entity_too_large", "The request entity body has exceeded the maximum size.");
    }

    void SendError(Exchange& ex, int status, const std::string& message) override {
        if (GraphDrive::Serves(ex.host)) return graph_->SendError(ex, status, message);
        std::string code = status == 400   ? "request_body_invalid"
                           : status == 401 ? "request_token_invalid"
                           : status == 404 ? "resource_not_found"
                           : status == 413 ? "request_entity_too_large"
                           : status >= 500 ? "server_internal_error"
                                           : "request_invalid";
        Error(ex, status, code, message);
    }

    // An empty scope stands for everything the storage adapters ask for. A refresh token comes only
    // with wl.offline_access, as from the token endpoint.
    TokenPair IssueTokens(const std::string& clientId, const std::string& scope, TimePoint now) override {
        Grant grant{clientId, JoinScopes(SplitScopes(scope.empty() ? DefaultScopes : scope)), "",
                    now + std::chrono::seconds(TokenSeconds), false};
        return {oauth.IssueAccessToken(grant),
                HasScope(grant.scope, "wl.offline_access") ? oauth.IssueRefreshToken(grant) : ""};
    }

    void Handle(Exchange& ex) override {
        if (GraphDrive::Serves(ex.host)) return graph_->Handle(ex);
        Service::Handle(ex);
        if (ex.Query("suppress_response_codes") == "true" && ex.res.status >= 400) ex.res.status = 200;
    }

protected:
    std::string HostGroup(const std::string& host) const override { return host == BetaApiHost ? ApiHost : host; }
    // Clients that cannot send every verb name it in the query.
    std::string RequestMethod(const Exchange& ex) const override {
        return ex.HasQuery("method") ? ToUpper(ex.Query("method")) : ex.Method();
    }
    void UnknownRoute(Exchange& ex) override {
        if (ex.host == LoginHost || ex.host == MicrosoftIdentity::Host)
            return ex.SendHtml(
                404,
                "<!DOCTYPE html>\n<html><head><title>Page not found</title></head><body>Not found</body></html>\n");
        if (ex.host == StorageHost)
            return ex.SendText(404,
                               "The resource you are looking for has been removed, had its name changed, or is "
                               "temporarily unavailable.\n");
        Error(ex, 400, "request_url_invalid", "The URL '" + ex.Path() + "' isn't supported.");
    }
    void MethodNotAllowed(Exchange& ex) override {
        if (ex.host == LoginHost || ex.host == StorageHost || ex.host == MicrosoftIdentity::Host)
            return UnknownRoute(ex);
        MethodNotAllowed(ex, RequestMethod(ex));
    }
    bool Authorized(Exchange& ex) override {
        Grant grant;
        return Authorized(ex, grant);
    }

private:
    std::uint64_t nextNumber_ = 101;
    MicrosoftIdentity identity_{*this};
    const std::string storageKey_ = RandomToken(24);  // download links end with a restart
    std::unique_ptr<GraphDrive> graph_ = MakeGraphDrive(*this, Cid);

    std::string NewId(bool folder) {
        for (;;) {
            std::string number = std::to_string(nextNumber_++);
            if (!tree.Find("folder." + Cid + "." + ResourcePrefix + number) &&
                !tree.Find("file." + Cid + "." + ResourcePrefix + number))
                return (folder ? "folder." : "file.") + Cid + "." + ResourcePrefix + number;
        }
    }

    // The route's item ({id}, the root for me/skydrive) for a call reading or writing it.
    void OnItem(Exchange& ex, bool write, void (LiveConnect::*call)(Exchange&, Node&)) {
        Grant grant;
        Authorized(ex, grant);
        const std::string id = ex.Param("id").empty() ? RootId : ex.Param("id");
        Node* node = tree.Find(id);
        if (!node) return NotFound(ex, id);
        if (write ? MayWrite(ex, grant) : MayRead(ex, grant)) (this->*call)(ex, *node);
    }

    static std::string ToUpper(std::string text) {
        for (auto& c : text)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return text;
    }

    static void Send(Exchange& ex, int status, const Json& body) {
        ex.SendJson(status, body, ex.Query("pretty") != "false");
    }

    static void Error(Exchange& ex, int status, const std::string& code, const std::string& message) {
        Send(ex, status, {{"error", {{"code", code}, {"message", message}}}});
    }

    static void NotFound(Exchange& ex, const std::string& id) {
        Error(ex, 404, "resource_not_found", "The resource '" + id + "' doesn't exist.");
    }

    static void MethodNotAllowed(Exchange& ex, const std::string& method) {
        Error(ex, 405, "request_method_invalid", "The provided HTTP method '" + method + "' is not allowed.");
    }

    // --- apis.live.net ---

    using Service::Authorized;  // the route table's check stays reachable beside this one
    bool Authorized(Exchange& ex, Grant& grant) {
        switch (oauth.CheckAccessToken(ex.BearerToken(true), ex.now, &grant)) {
            case TokenCheck::Ok:
                return true;
            case TokenCheck::Missing:
                Error(ex, 401, "request_token_missing", "The request doesn't include an access token.");
                break;
            case TokenCheck::Unknown:
                Error(ex, 401, "request_token_invalid", "The access token isn't valid.");
                break;
            case TokenCheck::Expired:
                Error(ex, 401, "request_token_expired", "The access token that was provided has expired.");
                break;
        }
        return false;
    }

    // Answers 403 unless the grant holds one of the scopes.
    static bool Permitted(Exchange& ex, const Grant& grant, std::initializer_list<const char*> anyOf) {
        std::string names;
        for (const char* scope : anyOf) {
            if (HasScope(grant.scope, scope)) return true;
            names += (names.empty() ? "" : ", ") + std::string(scope);
        }
        Error(ex, 403, "request_token_unauthorized",
              "The provided access token does not have access to this resource. An access token with one of the "
              "following scopes is required: " +
                  names + ".");
        return false;
    }
    // Tokens of the identity platform grant the same through Graph's file scopes.
    static bool MayRead(Exchange& ex, const Grant& g) {
        return GraphScopesAllow(g.scope, false) || Permitted(ex, g, {"wl.skydrive", "wl.skydrive_update"});
    }
    static bool MayWrite(Exchange& ex, const Grant& g) {
        return GraphScopesAllow(g.scope, true) || Permitted(ex, g, {"wl.skydrive_update"});
    }

    static bool IsRoot(const Node& node) { return node.id == RootId; }

    static std::string ResourceId(const Node& node) {
        auto bang = node.id.find(ResourcePrefix);
        return bang == std::string::npos ? "" : node.id.substr(bang);
    }

    std::string Link(const Node& node) const {
        if (IsRoot(node)) return "https://skydrive.live.com?cid=" + Cid;
        const Node* parent = tree.Find(node.parentId);
        std::string parentResource = parent && !IsRoot(*parent) ? ResourceId(*parent) : ResourcePrefix + "0";
        return "https://skydrive.live.com/redir.aspx?cid=" + Cid + "&page=view&resid=" + ResourceId(node) +
               "&parid=" + parentResource;
    }

    // The direct download address: valid until the file changes or the emulator restarts.
    std::string Source(const Node& node) const {
        return "https://" + StorageHost + "/items/" + UrlEncode(node.id) + "/" + UrlEncode(node.name) +
               "?t=" + SourceTicket(node);
    }
    std::string SourceTicket(const Node& node) const {
        return Md5Hex(storageKey_ + node.id + "/" + std::to_string(node.version)).substr(0, 20);
    }

    Json Object(const Node& node) const {
        bool root = IsRoot(node);
        auto nullable = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
        Json o = {{"id", node.id},
                  {"from", {{"name", accountName}, {"id", Cid}}},
                  {"name", root ? "SkyDrive" : node.name},
                  {"description", nullable(node.description)},
                  {"parent_id", root ? Json(nullptr) : Json(node.parentId)}};
        if (!node.folder || root) o["size"] = node.folder ? 0 : node.Size();
        o["upload_location"] = "https://" + ApiHost + "/v5.0/" + node.id + (node.folder ? "/files/" : "/content/");
        if (!node.folder) {
            o["comments_count"] = 0;
            o["comments_enabled"] = true;
        }
        o["is_embeddable"] = !root;
        if (node.folder) o["count"] = tree.Children(node.id).size();
        if (!node.folder) o["source"] = Source(node);
        o["link"] = Link(node);
        o["type"] = node.folder ? "folder" : "file";
        o["shared_with"] = {{"access", "Just me"}};
        o["created_time"] = root ? Json(nullptr) : Json(Iso8601NoColon(node.created));
        o["updated_time"] = Iso8601NoColon(node.modified);
        o["client_updated_time"] = Iso8601NoColon(node.modified);
        return o;
    }

    void Me(Exchange& ex) {
        Grant grant;
        Authorized(ex, grant);
        if (!HasGraphScope(grant.scope, "User.Read") && !Permitted(ex, grant, {"wl.basic"})) return;
        auto space = accountName.find(' ');
        Json me = {{"id", Cid},
                   {"name", accountName},
                   {"first_name", accountName.substr(0, space)},
                   {"last_name", space == std::string::npos ? "" : accountName.substr(space + 1)},
                   {"link", "https://profile.live.com/cid-" + Cid + "/"},
                   {"gender", nullptr},
                   {"locale", "en_US"},
                   {"updated_time", Iso8601NoColon(tree.Root().modified)}};
        if (HasScope(grant.scope, "wl.emails"))
            me["emails"] = {{"preferred", "user@example.com"},
                            {"account", "user@example.com"},
                            {"personal", nullptr},
                            {"business", nullptr},
                            {"other", nullptr}};
        Send(ex, 200, me);
    }

    void Quota(Exchange& ex) {
        Grant grant;
        Authorized(ex, grant);
        if (!MayRead(ex, grant)) return;
        constexpr std::int64_t quota = 7LL << 30;
        Send(ex, 200, {{"quota", quota}, {"available", quota - tree.TotalSize(RootId)}});
    }

    // --- listing ---

    static bool Count(Exchange& ex, const std::string& key, std::size_t minimum, std::optional<std::size_t>& value) {
        if (!ex.HasQuery(key)) return true;
        const std::string text = ex.Query(key);
        bool digits = !text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(text) < minimum) {
            Error(ex, 400, "request_parameter_invalid",
                  "The value of input parameter '" + key + "' isn't valid: '" + text + "'.");
            return false;
        }
        value = std::stoul(text);
        return true;
    }

    static bool Passes(const Node& node, const std::string& filter) {
        auto kind = [&](const char* prefix) { return !node.folder && node.mimeType.rfind(prefix, 0) == 0; };
        if (filter == "all") return true;
        if (filter == "folders") return node.folder;
        if (filter == "photos") return kind("image/");
        if (filter == "videos") return kind("video/");
        if (filter == "audio") return kind("audio/");
        return false;  // albums: there are none
    }

    void GetItem(Exchange& ex, Node& node) { Send(ex, 200, Object(node)); }

    void List(Exchange& ex, Node& folder) {
        if (!folder.folder)
            return Error(ex, 400, "request_url_invalid",
                         "The URL contains the path 'files', which isn't supported for a file.");
        std::string filter = ex.HasQuery("filter") ? ex.Query("filter") : "all";
        std::string sortBy = ex.HasQuery("sort_by") ? ex.Query("sort_by") : "default";
        std::string sortOrder = ex.HasQuery("sort_order") ? ex.Query("sort_order") : "ascending";
        const std::set<std::string> filters{"all", "folders", "photos", "videos", "audio", "albums"},
            sorts{"default", "name", "updated", "size", "created"}, orders{"ascending", "descending"};
        for (const auto& [key, value, allowed] :
             {std::tuple{"filter", filter, &filters}, std::tuple{"sort_by", sortBy, &sorts},
              std::tuple{"sort_order", sortOrder, &orders}})
            if (!allowed->count(value))
                return Error(ex, 400, "request_parameter_invalid",
                             "The value of input parameter '" + std::string(key) + "' isn't valid: '" + value + "'.");
        std::optional<std::size_t> limit, offset;
        if (!Count(ex, "limit", 1, limit) || !Count(ex, "offset", 0, offset)) return;

        std::vector<const Node*> items;
        for (const Node* child : tree.Children(folder.id))
            if (Passes(*child, filter)) items.push_back(child);
        Sort(items, sortBy, sortOrder == "descending");

        std::size_t first = std::min(offset.value_or(0), items.size());
        std::size_t end = limit ? std::min(items.size(), first + *limit) : items.size();
        Json data = Json::array();
        for (std::size_t i = first; i < end; ++i) data.push_back(Object(*items[i]));
        Json paging = Json::object();
        if (limit) {
            std::vector<std::pair<std::string, std::string>> kept;
            for (const char* key : {"filter", "sort_by", "sort_order"})
                if (ex.HasQuery(key)) kept.emplace_back(key, ex.Query(key));
            auto page = [&](std::size_t at) {
                auto pairs = kept;
                pairs.emplace_back("limit", std::to_string(*limit));
                pairs.emplace_back("offset", std::to_string(at));
                return AppendQuery("https://" + ApiHost + "/v5.0/" + folder.id + "/files", pairs);
            };
            if (first > 0) paging["previous"] = page(first > *limit ? first - *limit : 0);
            if (end < items.size()) paging["next"] = page(end);
        }
        Send(ex, 200, {{"data", data}, {"paging", paging}});
    }

    static void Sort(std::vector<const Node*>& items, const std::string& by, bool descending) {
        if (by == "default" && !descending) return;  // creation order
        auto key = [&](const Node* a, const Node* b) {
            if (by == "name") return ToLower(a->name) < ToLower(b->name);
            if (by == "updated") return a->modified < b->modified;
            if (by == "created") return a->created < b->created;
            if (by == "size") return a->Size() < b->Size();
            return a->order < b->order;
        };
        std::stable_sort(items.begin(), items.end(),
                         [&](const Node* a, const Node* b) { return descending ? key(b, a) : key(a, b); });
    }

    // --- uploads and downloads ---

    Json Stored(const Node& node) const { return {{"id", node.id}, {"name", node.name}, {"source", Source(node)}}; }

    // PUT <folder>/files/<name> and the form upload: overwrite decides what happens to an item of the
    // same name ("true" or absent: replace a file, "false": refuse, "ChooseNewName": keep both).
    void UploadInto(Exchange& ex, Node& folder, std::string name, const BlobRef& content) {
        if (!folder.folder)
            return Error(ex, 400, "request_url_invalid",
                         "The URL contains the path 'files', which isn't supported for a file.");
        if (!ValidName(name))
            return Error(ex, 400, "request_parameter_invalid", "The name '" + name + "' isn't valid.");
        std::string overwrite = ToLower(ex.HasQuery("overwrite") ? ex.Query("overwrite") : "true");
        if (overwrite != "true" && overwrite != "false" && overwrite != "choosenewname")
            return Error(ex, 400, "request_parameter_invalid",
                         "The value of input parameter 'overwrite' isn't valid: '" + ex.Query("overwrite") + "'.");
        Node* existing = tree.ChildByName(folder.id, name, true);
        if (existing && overwrite == "choosenewname") {
            int n = 1;
            while (tree.ChildByName(folder.id, NumberedName(name, n), true)) ++n;
            name = NumberedName(name, n);
            existing = nullptr;
        }
        if (existing && (overwrite == "false" || existing->folder))
            return Error(ex, 409, "resource_already_exists", "The resource '" + existing->name + "' already exists.");
        if (existing) {
            existing->mimeType = MimeTypeFor(existing->name);
            tree.SetContent(*existing, content, ex.now);
            return Send(ex, 200, Stored(*existing));
        }
        Node& node = tree.AddFile(folder.id, name, content, MimeTypeFor(name), ex.now);
        Touch(folder.id, ex.now);
        Send(ex, 201, Stored(node));
    }

    void Upload(Exchange& ex, Node& folder) { UploadInto(ex, folder, ex.Param("name"), ex.Content()); }
    void UploadNameless(Exchange& ex, Node& folder) { UploadInto(ex, folder, "", ex.Content()); }

    void UploadForm(Exchange& ex, Node& folder) {
        auto part =
            std::find_if(ex.parts.begin(), ex.parts.end(), [](const BodyPart& p) { return !p.fileName.empty(); });
        if (part == ex.parts.end())
            return Error(ex, 400, "request_body_invalid",
                         "The request entity body isn't a multipart form with a file.");
        UploadInto(ex, folder, part->fileName, part->Content());
    }

    void Replace(Exchange& ex, Node& node) {
        if (node.folder)
            return Error(ex, 400, "request_url_invalid",
                         "The URL contains the path 'content', which isn't supported for a folder.");
        tree.SetContent(node, ex.Content(), ex.now);
        Send(ex, 200, Stored(node));
    }

    void Download(Exchange& ex, Node& node) {
        if (node.folder)
            return Error(ex, 400, "request_url_invalid",
                         "The URL contains the path 'content', which isn't supported for a folder.");
        std::string location = Source(node) + (ex.Query("download") == "true" ? "&download=true" : "");
        if (ex.Query("suppress_redirects") == "true") return Send(ex, 200, {{"location", location}});
        ex.Redirect(location);
    }

    // storage.live.com/items/<id>/<name>?t=<ticket>: no token needed, byte ranges answered.
    void Storage(Exchange& ex) {
        const Node* node = tree.Find(ex.Param("id"));
        if (!node || node->folder || ex.Query("t") != SourceTicket(*node)) return UnknownRoute(ex);
        if (ex.Query("download") == "true")
            ex.res.set_header("Content-Disposition", "attachment; filename=\"" + node->name + "\"");
        ex.SendContent(node->content, node->mimeType);
    }

    // --- folders and deletion ---

    void Touch(const std::string& folderId, TimePoint now) {
        if (Node* folder = tree.Find(folderId)) tree.Touch(*folder, now);
    }

    void CreateFolder(Exchange& ex, Node& parent) {
        if (!parent.folder) return Error(ex, 400, "request_url_invalid", "Items can only be created in a folder.");
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "request_body_invalid", "The request entity body isn't a valid JSON object.");
        const Json name = body->value("name", Json()), description = body->value("description", Json(""));
        if (!name.is_string() || !ValidName(name.get<std::string>()))
            return Error(ex, 400, "request_body_invalid", "The value of input parameter 'name' isn't valid.");
        if (!description.is_string() && !description.is_null())
            return Error(ex, 400, "request_body_invalid", "The value of input parameter 'description' isn't valid.");
        if (Node* existing = tree.ChildByName(parent.id, name.get<std::string>(), true))
            return Error(ex, 409, "resource_already_exists", "The resource '" + existing->name + "' already exists.");
        Node& folder = tree.AddFolder(parent.id, name.get<std::string>(), ex.now);
        if (description.is_string()) folder.description = description.get<std::string>();
        Touch(parent.id, ex.now);
        Send(ex, 201, Object(folder));
    }

    // PUT on an item changes its name and description; the answer is the whole item.
    void Update(Exchange& ex, Node& node) {
        auto body = ParseJsonObject(ex.body);
        if (!body) return Error(ex, 400, "request_body_invalid", "The request entity body isn't a valid JSON object.");
        const Json name = body->value("name", Json(node.name)), description = body->value("description", Json());
        if (!name.is_string() || !ValidName(name.get<std::string>()))
            return Error(ex, 400, "request_body_invalid", "The value of input parameter 'name' isn't valid.");
        if (!description.is_string() && !description.is_null())
            return Error(ex, 400, "request_body_invalid", "The value of input parameter 'description' isn't valid.");
        if (IsRoot(node) && name.get<std::string>() != node.name)
            return Error(ex, 400, "request_parameter_invalid", "The root folder cannot be renamed.");
        Node* existing = IsRoot(node) ? nullptr : tree.ChildByName(node.parentId, name.get<std::string>(), true);
        if (existing && existing != &node)
            return Error(ex, 409, "resource_already_exists", "The resource '" + existing->name + "' already exists.");
        if (name.get<std::string>() != node.name) tree.Rename(node, name.get<std::string>());
        if (description.is_string()) node.description = description.get<std::string>();
        tree.Touch(node, ex.now);
        Send(ex, 200, Object(node));
    }

    void Delete(Exchange& ex, Node& node) {
        if (IsRoot(node)) return MethodNotAllowed(ex, "DELETE");
        std::string parentId = node.parentId;
        tree.Remove(node.id);
        Touch(parentId, ex.now);
        ex.SendEmpty(204);
    }

    // The folder a MOVE or COPY body names as its destination; answers the error and returns nullptr
    // when there is none to put the item into.
    Node* Destination(Exchange& ex, const Node& node) {
        if (IsRoot(node))
            return Error(ex, 400, "request_parameter_invalid", "The root folder cannot be moved or copied."), nullptr;
        auto body = ParseJsonObject(ex.body);
        if (!body)
            return Error(ex, 400, "request_body_invalid", "The request entity body isn't a valid JSON object."),
                   nullptr;
        const Json& destination = body->value("destination", Json());
        if (!destination.is_string())
            return Error(ex, 400, "request_body_invalid", "The input parameter 'destination' is required."), nullptr;
        std::string id = destination.get<std::string>() == "me/skydrive" ? RootId : destination.get<std::string>();
        Node* folder = tree.Find(id);
        if (!folder) return NotFound(ex, id), nullptr;
        if (!folder->folder)
            return Error(ex, 400, "request_parameter_invalid",
                         "The value of input parameter 'destination' isn't a folder."),
                   nullptr;
        if (folder->id == node.id || tree.IsInside(folder->id, node.id))
            return Error(ex, 400, "request_parameter_invalid", "A folder cannot be put inside itself."), nullptr;
        Node* existing = tree.ChildByName(folder->id, node.name, true);
        if (existing && existing != &node)
            return Error(ex, 409, "resource_already_exists", "The resource '" + existing->name + "' already exists."),
                   nullptr;
        return folder;
    }

    // MOVE keeps the item's id; the answer is the item at its new place.
    void Move(Exchange& ex, Node& node) {
        Node* folder = Destination(ex, node);
        if (!folder) return;
        if (folder->id != node.parentId) {
            Touch(node.parentId, ex.now);
            tree.Move(node, folder->id);
            Touch(folder->id, ex.now);
        }
        Send(ex, 201, Object(node));
    }

    // COPY is for files; the copy shares the content.
    void Copy(Exchange& ex, Node& node) {
        if (node.folder) return Error(ex, 400, "request_parameter_invalid", "Folders cannot be copied.");
        Node* folder = Destination(ex, node);
        if (!folder) return;
        if (folder->id == node.parentId)
            return Error(ex, 409, "resource_already_exists", "The resource '" + node.name + "' already exists.");
        Node& copy = tree.Copy(node, folder->id, node.name, ex.now);
        Touch(folder->id, ex.now);
        Send(ex, 201, Object(copy));
    }

    // --- login.live.com ---

    void BlankPage(Exchange& ex) {
        ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><title></title></head><body></body></html>\n");
    }

    void Logout(Exchange& ex) {
        if (ex.Query("redirect_uri") == DesktopRedirect) return ex.Redirect(DesktopRedirect);
        ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><title>Signed out</title></head><body></body></html>\n");
    }

    // The scope text of an authorization request, or an OAuth error code and description.
    static bool ReadScopes(const std::string& text, std::string& scope, std::string& error, std::string& description) {
        auto scopes = SplitScopes(text);
        if (scopes.empty()) {
            error = "invalid_request", description = "The provided request must include a 'scope' input parameter.";
            return false;
        }
        for (const auto& s : scopes)
            if (!KnownScopes.count(s)) {
                error = "invalid_scope",
                description = "The provided value for the input parameter 'scope' is not valid.";
                return false;
            }
        scope = JoinScopes(scopes);
        return true;
    }

    void Authorize(Exchange& ex) {
        std::string redirect = ex.Field("redirect_uri"), type = ex.Field("response_type");
        const OAuthClient* client = AuthorizingClient(ex, redirect, true, DesktopRedirect);
        if (!client) return;
        std::vector<std::pair<std::string, std::string>> answer;
        std::string scope, error, description;
        if (!ReadScopes(ex.Field("scope"), scope, error, description)) {
            answer = {{"error", error}, {"error_description", description}};
        } else {
            SignInDecision decision = Consent(ex);
            if (decision == SignInDecision::Ask) return SendSignInForm(ex, "Microsoft account", client->id, scope);
            if (decision == SignInDecision::Deny) {
                answer = {
                    {"error", "access_denied"},
                    {"error_description",
                     DenyReason(ex, "The user has denied access to the scope requested by the client application.")}};
            } else if (type == "token") {
                Grant grant{client->id, scope, redirect, ex.now + std::chrono::seconds(TokenSeconds), false};
                answer = {{"access_token", oauth.IssueAccessToken(grant)},
                          {"token_type", "bearer"},
                          {"expires_in", std::to_string(TokenSeconds)},
                          {"scope", scope}};
            } else {
                answer = {{"code", oauth.IssueCode({client->id, scope, redirect, ex.now + CodeLifetime, false})}};
            }
        }
        if (redirect == DesktopRedirect) answer.emplace_back("lc", "1033");
        if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
        if (type == "token" && answer.front().first == "access_token") {
            return ex.Redirect(WithFragment(redirect, answer));
        }
        ex.Redirect(AppendQuery(redirect, answer));
    }

    // A JWT-shaped sign-in token naming the user and the application.
    std::string AuthenticationToken(const Grant& grant, TimePoint now) const {
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
        Json header = {{"alg", "HS256"}, {"kid", "1"}, {"typ", "JWT"}};
        Json claims = {{"ver", 1},
                       {"iss", "urn:windows:liveid"},
                       {"exp", seconds + TokenSeconds},
                       {"uid", Cid},
                       {"aud", "emulator.local"},
                       {"urn:microsoft:appuri", "appid://" + grant.clientId},
                       {"urn:microsoft:appid", grant.clientId}};
        return Base64Url(JsonText(header)) + "." + Base64Url(JsonText(claims)) + "." + Base64Url(RandomToken(32));
    }

    const TokenRules& Rules() const override {
        static const std::string lost =
            "The user could not be authenticated or the grant is expired. The user must first sign in and if needed "
            "grant the "
            "client application access to the requested scope.";
        static const TokenRules rules{
            .postOnly = true,
            .notPost = "The token endpoint takes POST requests.",
            .noGrantType = "The provided request must include a 'grant_type' input parameter.",
            .badGrantType = "The provided value for the input parameter 'grant_type' is not valid.",
            .unknownClient = "The client does not exist. Register the application before signing in.",
            .badClient = "The client secret is missing or does not match the client.",
            .noCode = "The provided request must include a 'code' input parameter.",
            .noRedirect = "The provided request must include a 'redirect_uri' input parameter.",
            .noRefreshToken = "The provided request must include a 'refresh_token' input parameter.",
            .codeExpired = {"invalid_grant", "The provided value for the 'code' parameter has expired."},
            .codeUnknown = {"invalid_grant", "The provided value for the 'code' parameter is not valid."},
            .codeOtherRedirect = {"invalid_request",
                                  "The provided value for the input parameter 'redirect_uri' is not valid."},
            .refreshUnknown = {"invalid_grant", lost},
            .refreshSpent = {"invalid_grant", lost},
            .refreshExpired = {"invalid_grant", lost},
        };
        return rules;
    }

    // Desktop applications may leave the secret out; everyone else must send the right one.
    bool SecretRequired(const Exchange& ex) const override { return ex.Form("redirect_uri") != DesktopRedirect; }

    // A refresh may ask for fewer scopes than were granted, never for others.
    bool NarrowGrant(Exchange& ex, Grant& grant) override {
        if (!ex.HasForm("scope") || ex.Form("scope").empty()) return true;
        auto asked = SplitScopes(ex.Form("scope"));
        for (const auto& scope : asked)
            if (!HasScope(grant.scope, scope))
                return SendTokenError(
                           ex, 400,
                           {"invalid_scope", "The provided value for the input parameter 'scope' is not valid."}),
                       false;
        grant.scope = JoinScopes(asked);
        return true;
    }

    void SendTokens(Exchange& ex, Grant grant, bool) override {
        grant.expires = ex.now + std::chrono::seconds(TokenSeconds);
        Json answer = {{"token_type", "bearer"},
                       {"expires_in", TokenSeconds},
                       {"scope", grant.scope},
                       {"access_token", oauth.IssueAccessToken(grant)}};
        if (HasScope(grant.scope, "wl.offline_access")) answer["refresh_token"] = oauth.IssueRefreshToken(grant);
        if (HasScope(grant.scope, "wl.signin")) answer["authentication_token"] = AuthenticationToken(grant, ex.now);
        ex.res.set_header("Cache-Control", "no-store");
        ex.SendJson(200, answer);
    }
};

}  // namespace

std::unique_ptr<Service> MakeLiveConnect() { return std::make_unique<LiveConnect>(); }

}  // namespace Nimbo::Emulator
