// Google Drive v2 on www.googleapis.com, its download host, and Google's OAuth 2.0 on
// accounts.google.com.

#include "emulator/DriveQuery.h"
#include "emulator/GoogleDriveV3.h"
#include "emulator/ResumableUploads.h"
#include "emulator/Service.h"

namespace Nimbo::Emulator {
namespace {

const std::string ApiHost = "www.googleapis.com";
const std::string AccountsHost = "accounts.google.com";
const std::string OAuthHost = "oauth2.googleapis.com";  // the token and revoke endpoints Google's clients use today
const std::string DownloadHost = "doc-0s-00-docs.googleusercontent.com";
const std::string FolderMime = "application/vnd.google-apps.folder";
const std::string OobRedirect = "urn:ietf:wg:oauth:2.0:oob";
const std::string UserEmail = "user@example.com";
constexpr std::size_t MaxTitleLength = 32767;
constexpr int DefaultPageSize = 100, MaxPageSize = 1000;
constexpr std::uint64_t MaxUploadBytes = 5120ULL << 30;  // every upload type, whole file

class GoogleDrive final : public Service {
    // Out-of-band sign-ins waiting to be shown: the approval page's ticket to its answer.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> approvals_;
    ResumableUploads uploads_{MaxUploadBytes, *this, "drive2.upload"};
    GoogleDriveV3 v3_{*this, routes};  // the same account through Drive v3

public:
    GoogleDrive()
        : Service(
              Cloud::GoogleDrive, "0AEmuRootFolderUk9PVA", [](bool) { return "0B" + RandomToken(26); }, "ya29.",
              "Emulated Google User") {
        using G = GoogleDrive;
        const auto Open = RouteTable::Access::Open;
        Route("GET", ApiHost, "/drive/v2/files", &G::List);
        Route("POST", ApiHost, "/drive/v2/files", &G::Insert);
        Route("GET", ApiHost, "/drive/v2/files/{id}", &G::Get);
        Route("PUT", ApiHost, "/drive/v2/files/{id}", &G::Update);
        Route("PATCH", ApiHost, "/drive/v2/files/{id}", &G::Update);
        Route("DELETE", ApiHost, "/drive/v2/files/trash", &G::EmptyTrash);
        Route("DELETE", ApiHost, "/drive/v2/files/{id}", &G::Delete);
        Route("POST", ApiHost, "/drive/v2/files/{id}/copy", &G::Copy);
        Route("POST", ApiHost, "/drive/v2/files/{id}/trash", &G::Trash);
        Route("POST", ApiHost, "/drive/v2/files/{id}/untrash", &G::Untrash);
        Route("GET", ApiHost, "/drive/v2/files/{id}/children", &G::ChildrenList);
        Route("GET", ApiHost, "/drive/v2/files/{id}/parents", &G::ParentsList);
        // Uploads: uploadType media, multipart or resumable; the chunks of a resumable upload come to the
        // address it started with, plus upload_id, by PUT (or POST).
        for (const char* method : {"POST", "PUT"}) {
            Route(method, ApiHost, "/upload/drive/v2/files", &G::UploadNew, RouteTable::Access::Token, MaxUploadBytes);
            Route(method, ApiHost, "/upload/drive/v2/files/{id}", &G::UploadContent, RouteTable::Access::Token,
                  MaxUploadBytes);
        }
        Route("GET", ApiHost, "/drive/v2/about", &G::About);
        Route("GET", DownloadHost, "/docs/securesc/emulator/{id}", &G::Download);
        for (const char* method : {"GET", "POST"}) {
            Route(method, AccountsHost, "/o/oauth2/auth", &G::Authorize, Open);
            Route(method, AccountsHost, "/o/oauth2/v2/auth", &G::Authorize, Open);
        }
        Route("GET", AccountsHost, "/o/oauth2/approval/v2", &G::Approval, Open);
        Route("POST", AccountsHost, "/o/oauth2/token", &G::Token, Open);
        Route("POST", OAuthHost, "/token", &G::Token, Open);
        Route("GET", AccountsHost, "/o/oauth2/revoke", &G::Revoke, Open);
        Route("POST", AccountsHost, "/o/oauth2/revoke", &G::Revoke, Open);
        Route("POST", OAuthHost, "/revoke", &G::Revoke, Open);
    }

    std::vector<std::string> Hosts() const override { return {ApiHost, AccountsHost, OAuthHost, DownloadHost}; }

    void SendError(Exchange& ex, int status, const std::string& message) override {
        std::string reason = status == 400   ? "badRequest"
                             : status == 401 ? "authError"
                             : status == 404 ? "notFound"
                             : status == 413 ? "uploadTooLarge"
                             : status >= 500 ? "backendError"
                                             : "forbidden";
        Error(ex, status, reason, message);
    }

    void Reset(TimePoint now) override {
        Service::Reset(now);
        approvals_.clear();
        uploads_.Clear();
        v3_.Reset();
    }

protected:
    void UnknownRoute(Exchange& ex) override {
        if (ex.host == AccountsHost || ex.host == OAuthHost)
            return ex.SendHtml(
                404, "<!DOCTYPE html><html><head><title>Error 404 (Not Found)</title></head><body>404</body></html>\n");
        Error(ex, 404, "notFound", "Not Found");
    }
    void MethodNotAllowed(Exchange& ex) override {
        if (ex.host == AccountsHost || ex.host == OAuthHost) return UnknownRoute(ex);
        Error(ex, 405, "httpMethodNotAllowed", "Method Not Allowed");
    }

private:
    static void Error(Exchange& ex, int status, const std::string& reason, const std::string& message,
                      const std::string& location = "", const std::string& locationType = "parameter") {
        if (IsDriveV3Path(ex.Path()))
            return ex.SendJson(status, DriveV3ErrorBody(status, reason, message, location, locationType), true);
        Json item = {{"domain", "global"}, {"reason", reason}, {"message", message}};
        if (!location.empty()) {
            item["locationType"] = locationType;
            item["location"] = location;
        }
        ex.SendJson(status, {{"error", {{"errors", Json::array({item})}, {"code", status}, {"message", message}}}},
                    true);
    }

    static void NotFound(Exchange& ex, const std::string& id) {
        Error(ex, 404, "notFound", "File not found: " + id + ".", "fileId");
    }

    bool Authorized(Exchange& ex) override {
        auto token = ex.BearerToken(true);
        auto check = oauth.CheckAccessToken(token, ex.now);
        if (check == TokenCheck::Ok) return true;
        ex.res.set_header("WWW-Authenticate", "Bearer realm=\"https://accounts.google.com/\", error=invalid_token");
        if (check == TokenCheck::Missing)
            Error(ex, 401, "required", "Login Required", "Authorization", "header");
        else
            Error(ex, 401, "authError", "Invalid Credentials", "Authorization", "header");
        return false;
    }

    Node* Resolve(const std::string& id) { return tree.Find(id == "root" ? tree.RootId() : id); }

    Json Resource(const Node& node) const {
        const std::string api = "https://" + ApiHost + "/drive/v2/files/";
        bool isRoot = node.id == tree.RootId();
        Json parents = ParentReferences(node);
        Json r = {{"kind", "drive#file"},
                  {"id", node.id},
                  {"etag", "\"emu" + std::to_string(node.order) + "/" + std::to_string(node.version) + "\""},
                  {"selfLink", api + node.id},
                  {"alternateLink", "https://drive.google.com/file/d/" + node.id + "/view"},
                  {"title", isRoot ? "My Drive" : node.name},
                  {"mimeType", node.folder ? FolderMime : node.mimeType},
                  {"labels",
                   {{"starred", false},
                    {"hidden", false},
                    {"trashed", node.trashed},
                    {"restricted", false},
                    {"viewed", true}}},
                  {"explicitlyTrashed", node.explicitlyTrashed},
                  {"createdDate", Rfc3339Millis(node.created)},
                  {"modifiedDate", Rfc3339Millis(node.modified)},
                  {"modifiedByMeDate", Rfc3339Millis(node.modified)},
                  {"parents", parents}};
        if (!node.folder) {
            r["downloadUrl"] = "https://" + DownloadHost + "/docs/securesc/emulator/" + node.id + "?e=download&gd=true";
            r["originalFilename"] = node.name;
            if (auto dot = node.name.rfind('.'); dot != std::string::npos && dot + 1 < node.name.size())
                r["fileExtension"] = node.name.substr(dot + 1);
            r["md5Checksum"] = node.Md5();
            r["fileSize"] = std::to_string(node.Size());
        }
        if (!node.description.empty()) r["description"] = node.description;
        r["quotaBytesUsed"] = std::to_string(node.folder ? 0 : node.Size());
        r["ownerNames"] = Json::array({accountName});
        r["lastModifyingUserName"] = accountName;
        r["editable"] = true;
        r["copyable"] = !node.folder;
        r["writersCanShare"] = true;
        r["shared"] = false;
        r["appDataContents"] = false;
        r["version"] = std::to_string(node.version + 1);
        return r;
    }

    Json ParentReferences(const Node& node) const {
        const std::string api = "https://" + ApiHost + "/drive/v2/files/";
        Json parents = Json::array();
        if (node.id != tree.RootId())
            parents.push_back({{"kind", "drive#parentReference"},
                               {"id", node.parentId},
                               {"selfLink", api + node.id + "/parents/" + node.parentId},
                               {"parentLink", api + node.parentId},
                               {"isRoot", node.parentId == tree.RootId()}});
        return parents;
    }

    // The nodes a query can match: the children of the one parent it names, else every node.
    std::vector<const Node*> Candidates(const DriveQuery& query) const {
        if (query.parent) return tree.Children(*query.parent);
        std::vector<const Node*> all, pending{&tree.Root()};
        // Breadth-first keeps children of one folder in their creation order.
        for (std::size_t i = 0; i < pending.size(); ++i)
            for (const Node* child : tree.Children(pending[i]->id)) pending.push_back(child);
        all.assign(pending.begin() + 1, pending.end());
        return all;
    }

    // maxResults as files.list and children.list take it; answers the error and returns false.
    static bool PageSize(Exchange& ex, int& pageSize) {
        pageSize = DefaultPageSize;
        if (!ex.HasQuery("maxResults")) return true;
        const std::string text = ex.Query("maxResults");
        if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(text) > MaxPageSize)
            return Error(ex, 400, "invalid", "Invalid Value", "maxResults"), false;
        pageSize = std::stoi(text);
        if (pageSize == 0) pageSize = DefaultPageSize;
        return true;
    }

    // Page tokens carry the offset and a fingerprint of the query they belong to.
    static bool PageStart(Exchange& ex, const std::string& fingerprint, std::size_t& offset) {
        offset = 0;
        if (!ex.HasQuery("pageToken")) return true;
        std::string decoded;
        try {
            decoded = Base64Decode(ex.Query("pageToken"));
        } catch (const std::invalid_argument&) {}
        auto colon = decoded.find(':');
        std::string number = decoded.substr(0, colon);
        if (colon == std::string::npos || decoded.substr(colon + 1) != fingerprint || number.empty() ||
            number.size() > 12 || number.find_first_not_of("0123456789") != std::string::npos)
            return Error(ex, 400, "invalid", "Invalid Value", "pageToken"), false;
        offset = std::stoull(number);
        return true;
    }

    static std::string PageToken(std::size_t offset, const std::string& fingerprint) {
        return Base64Encode(std::to_string(offset) + ":" + fingerprint);
    }

    std::optional<DriveQuery> Query(Exchange& ex) const {
        const std::string q = ex.Query("q");
        auto query = q.empty() ? std::optional(DriveQuery{[](const Node&) { return true; }, std::nullopt})
                               : ParseDriveQuery(q, {tree.RootId(), FolderMime, UserEmail});
        if (!query) Error(ex, 400, "invalid", "Invalid Value", "q");
        return query;
    }

    void List(Exchange& ex) {
        auto query = Query(ex);
        if (query)
            SendPage(ex, Candidates(*query), *query, "drive#fileList", "https://" + ApiHost + "/drive/v2/files",
                     [this](const Node& node) { return Resource(node); });
    }

    void ChildrenList(Exchange& ex) {
        const std::string id = ex.Param("id");
        const Node* folder = Resolve(id);
        if (!folder) return NotFound(ex, id);
        auto query = Query(ex);
        const std::string base = "https://" + ApiHost + "/drive/v2/files/" + folder->id + "/children";
        if (query)
            SendPage(ex, tree.Children(folder->id), *query, "drive#childList", base, [&](const Node& node) {
                return Json{{"kind", "drive#childReference"},
                            {"id", node.id},
                            {"selfLink", base + "/" + node.id},
                            {"childLink", "https://" + ApiHost + "/drive/v2/files/" + node.id}};
            });
    }

    void ParentsList(Exchange& ex) {
        const std::string id = ex.Param("id");
        const Node* node = Resolve(id);
        if (!node) return NotFound(ex, id);
        ex.SendJson(200,
                    {{"kind", "drive#parentList"},
                     {"etag", "\"emu" + std::to_string(node->order) + "/" + std::to_string(node->version) + "\""},
                     {"selfLink", "https://" + ApiHost + "/drive/v2/files/" + node->id + "/parents"},
                     {"items", ParentReferences(*node)}},
                    true);
    }

    // One page of the candidates the query matches, as files.list and children.list answer.
    void SendPage(Exchange& ex, const std::vector<const Node*>& candidates, const DriveQuery& query,
                  const std::string& kind, const std::string& base, const std::function<Json(const Node&)>& item) {
        int pageSize;
        std::size_t offset;
        const std::string q = ex.Query("q"), fingerprint = Md5Hex(kind + base + q).substr(0, 8);
        if (!PageSize(ex, pageSize) || !PageStart(ex, fingerprint, offset)) return;
        // Walk only as far as the page needs, and one match beyond to know whether another page follows.
        Json items = Json::array();
        std::size_t seen = 0;
        bool more = false;
        for (const Node* node : candidates) {
            if (node->id == tree.RootId() || !query.matches(*node)) continue;
            if (seen++ < offset) continue;
            if (items.size() == static_cast<std::size_t>(pageSize)) {
                more = true;
                break;
            }
            items.push_back(item(*node));
        }
        Json answer = {{"kind", kind},
                       {"etag", "\"emu/" + Md5Hex(std::to_string(tree.Generation()) + base + q) + "\""},
                       {"selfLink", q.empty() ? base : AppendQuery(base, {{"q", q}})}};
        if (more) {
            std::string token = PageToken(offset + pageSize, fingerprint);
            answer["nextPageToken"] = token;
            std::vector<std::pair<std::string, std::string>> next{{"maxResults", std::to_string(pageSize)},
                                                                  {"pageToken", token}};
            if (!q.empty()) next.emplace_back("q", q);
            answer["nextLink"] = AppendQuery(base, next);
        }
        answer["items"] = items;
        ex.SendJson(200, answer, true);
    }

    void Get(Exchange& ex) {
        const std::string id = ex.Param("id");
        Node* node = Resolve(id);
        if (!node) return NotFound(ex, id);
        if (ex.Query("alt") == "media") {
            if (node->folder)
                return Error(ex, 403, "fileNotDownloadable", "Only files with binary content can be downloaded.");
            return ex.SendContent(node->content, node->mimeType);
        }
        ex.SendJson(200, Resource(*node), true);
    }

    // Applies "title", "parents" and "mimeType" of a metadata body; answers an error and returns false
    // when the body is unusable.
    bool ApplyMetadata(Exchange& ex, Node& node, const Json& meta) {
        if (meta.contains("title")) {
            if (!meta["title"].is_string() || !NameFault(meta["title"].get<std::string>(), MaxTitleLength).empty())
                return Error(ex, 400, "invalid", "Invalid Value", "title"), false;
            node.name = meta["title"].get<std::string>();
        }
        if (meta.contains("parents")) {
            if (!meta["parents"].is_array()) return Error(ex, 400, "invalid", "Invalid Value", "parents"), false;
            std::vector<std::string> ids;
            for (const auto& ref : meta["parents"]) {
                if (!ref.is_object() || !ref.contains("id") || !ref["id"].is_string())
                    return Error(ex, 400, "required", "Required", "parents.id"), false;
                Node* parent = Resolve(ref["id"].get<std::string>());
                if (!parent || !parent->folder) return NotFound(ex, ref["id"].get<std::string>()), false;
                if (parent->id == node.id || tree.IsInside(parent->id, node.id))
                    return Error(ex, 400, "invalidParent", "A folder cannot be placed inside itself."), false;
                ids.push_back(parent->id);
            }
            if (!ids.empty()) node.parentId = ids.front();  // one parent per item in this tree
        }
        if (meta.contains("mimeType") && meta["mimeType"].is_string() && !node.folder)
            node.mimeType = meta["mimeType"].get<std::string>();
        if (meta.contains("description")) {
            if (!meta["description"].is_string())
                return Error(ex, 400, "invalid", "Invalid Value", "description"), false;
            node.description = meta["description"].get<std::string>();
        }
        return true;
    }

    std::optional<Json> MetadataBody(Exchange& ex) {
        if (ex.BodySize() == 0) return Json::object();
        auto meta = ParseJsonObject(ex.body);
        if (!meta) Error(ex, 400, "parseError", "Parse Error");
        return meta;
    }

    // What an item made from metadata alone starts as: "Untitled" in the root.
    Node Draft(const Json& meta, const std::string& mediaType) const {
        Node draft;
        draft.parentId = tree.RootId();
        draft.name = "Untitled";
        draft.folder = meta.value("mimeType", Json("")).is_string() && meta.value("mimeType", "") == FolderMime;
        draft.mimeType = draft.folder ? "" : mediaType.empty() ? "application/octet-stream" : mediaType;
        return draft;
    }

    // A new file or folder from metadata and content; answers the error and returns nullptr when the
    // metadata is unusable.
    Node* NewItem(Exchange& ex, const Json& meta, BlobRef content, const std::string& mediaType) {
        Node draft = Draft(meta, mediaType);
        if (!ApplyMetadata(ex, draft, meta)) return nullptr;
        if (draft.folder && content) return Error(ex, 400, "badContent", "A folder cannot have content."), nullptr;
        if (draft.folder) return &tree.AddFolder(draft.parentId, draft.name, ex.now);
        Node& node = tree.AddFile(draft.parentId, draft.name, std::move(content), draft.mimeType, ex.now);
        node.description = draft.description;
        return &node;
    }

    // Applies a metadata body to an existing item; answers the error and returns false when unusable.
    bool ApplyUpdate(Exchange& ex, Node& node, const Json& meta) {
        if (node.id == tree.RootId() && meta.contains("parents"))
            return Error(ex, 400, "invalid", "Invalid Value", "parents"), false;
        Node copy = node;
        if (!ApplyMetadata(ex, copy, meta)) return false;
        if (copy.name != node.name) tree.Rename(node, copy.name);
        if (copy.parentId != node.parentId) tree.Move(node, copy.parentId);
        node.mimeType = copy.mimeType;
        node.description = copy.description;
        ++node.version;
        return true;
    }

    void Insert(Exchange& ex) {
        auto meta = MetadataBody(ex);
        if (!meta) return;
        if (Node* node = NewItem(ex, *meta, nullptr, "")) ex.SendJson(200, Resource(*node), true);
    }

    void Update(Exchange& ex) {
        const std::string id = ex.Param("id");
        Node* node = Resolve(id);
        if (!node) return NotFound(ex, id);
        auto meta = MetadataBody(ex);
        if (!meta || !ApplyUpdate(ex, *node, *meta)) return;
        if (ex.Query("setModifiedDate") == "true") node->modified = ex.now;
        ex.SendJson(200, Resource(*node), true);
    }

    static void RootRefused(Exchange& ex) {
        Error(ex, 403, "insufficientFilePermissions", "The user does not have sufficient permissions for this file.");
    }

    // DELETE skips the trash.
    void Delete(Exchange& ex) {
        const std::string id = ex.Param("id");
        Node* node = Resolve(id);
        if (!node) return NotFound(ex, id);
        if (node->id == tree.RootId()) return RootRefused(ex);
        tree.Remove(node->id);
        ex.SendEmpty(204);
    }

    void Trash(Exchange& ex) { SetTrashed(ex, true); }
    void Untrash(Exchange& ex) { SetTrashed(ex, false); }

    // An item in the trash stays readable by id and listed unless the query leaves the trash out;
    // what is below a trashed folder goes with it.
    void SetTrashed(Exchange& ex, bool trashed) {
        const std::string id = ex.Param("id");
        Node* node = Resolve(id);
        if (!node) return NotFound(ex, id);
        if (node->id == tree.RootId()) return RootRefused(ex);
        tree.Trash(*node, trashed, ex.now);
        ex.SendJson(200, Resource(*node), true);
    }

    void EmptyTrash(Exchange& ex) {
        for (const Node* node : tree.Trashed()) tree.Remove(node->id);
        ex.SendEmpty(204);
    }

    // files.copy: a new file with the same content, named "Copy of ..." unless the metadata names it.
    void Copy(Exchange& ex) {
        const std::string id = ex.Param("id");
        const Node* source = Resolve(id);
        if (!source) return NotFound(ex, id);
        if (source->folder) return Error(ex, 403, "cannotCopyFile", "This file cannot be copied by the user.");
        auto meta = MetadataBody(ex);
        if (!meta) return;
        Node draft = *source;
        draft.name = "Copy of " + source->name;
        if (!ApplyMetadata(ex, draft, *meta)) return;
        Node& copy = tree.Copy(*source, draft.parentId, draft.name, ex.now);
        copy.mimeType = draft.mimeType;
        copy.description = draft.description;
        ex.SendJson(200, Resource(copy), true);
    }

    static std::string ContentTypeOf(const Exchange& ex) {
        std::string type = ex.Header("Content-Type");
        type = type.substr(0, type.find(';'));
        return type.empty() ? "application/octet-stream" : type;
    }

    // --- uploads ---

    struct RelatedUpload {
        Json metadata;
        BlobRef media;
        std::string mediaType;
    };

    // A multipart/related body: the JSON metadata, then the media. Answers the error and returns
    // nullopt for anything else.
    std::optional<RelatedUpload> ReadRelated(Exchange& ex) {
        if (ToLower(ex.Header("Content-Type")).rfind("multipart/related", 0) != 0)
            return Error(ex, 400, "badContent", "Multipart uploads take a multipart/related body."), std::nullopt;
        if (ex.parts.size() != 2)
            return Error(ex, 400, "badRequest",
                         "Invalid multipart request with " + std::to_string(ex.parts.size()) + " mime parts."),
                   std::nullopt;
        const BodyPart &meta = ex.parts[0], &media = ex.parts[1];
        if (ToLower(meta.contentType).rfind("application/json", 0) != 0 || meta.Size() != meta.Text().size())
            return Error(ex, 400, "badRequest", "The first part of a multipart upload must be the JSON metadata."),
                   std::nullopt;
        auto metadata = ParseJsonObject(meta.Text());
        if (!metadata) return Error(ex, 400, "parseError", "Parse Error"), std::nullopt;
        std::string type = media.contentType.substr(0, media.contentType.find(';'));
        return RelatedUpload{*metadata, media.Content(), type};
    }

    void UploadNew(Exchange& ex) {
        if (ex.HasQuery("upload_id")) return UploadChunk(ex);
        if (ex.Method() != "POST") return MethodNotAllowed(ex);
        const std::string type = ex.Query("uploadType");
        Node* node = nullptr;
        if (type == "media") {
            node = NewItem(ex, Json::object(), ex.Content(), ContentTypeOf(ex));
        } else if (type == "multipart") {
            auto upload = ReadRelated(ex);
            if (!upload) return;
            node = NewItem(ex, upload->metadata, std::move(upload->media), upload->mediaType);
        } else if (type == "resumable") {
            return StartResumable(ex, "");
        } else {
            return Error(ex, 400, "invalid", "Invalid Value", "uploadType");
        }
        if (node) ex.SendJson(200, Resource(*node), true);
    }

    void UploadContent(Exchange& ex) {
        if (ex.HasQuery("upload_id")) return UploadChunk(ex);
        if (ex.Method() != "PUT") return MethodNotAllowed(ex);
        const std::string id = ex.Param("id"), type = ex.Query("uploadType");
        if (type != "media" && type != "multipart" && type != "resumable")
            return Error(ex, 400, "invalid", "Invalid Value", "uploadType");
        Node* node = Resolve(id);
        if (!node) return NotFound(ex, id);
        if (node->folder) return Error(ex, 400, "badContent", "A folder cannot have content.");
        if (type == "resumable") return StartResumable(ex, node->id);
        if (type == "media") {
            if (ex.req.has_header("Content-Type")) node->mimeType = ContentTypeOf(ex);
            tree.SetContent(*node, ex.Content(), ex.now);
        } else {
            auto upload = ReadRelated(ex);
            if (!upload || !ApplyUpdate(ex, *node, upload->metadata)) return;
            if (!upload->metadata.contains("mimeType") && !upload->mediaType.empty())
                node->mimeType = upload->mediaType;
            tree.SetContent(*node, std::move(upload->media), ex.now);
        }
        ex.SendJson(200, Resource(*node), true);
    }

    // Step one of a resumable upload: the metadata now (checked as the end will check it), the bytes
    // later at the session address answered in Location.
    void StartResumable(Exchange& ex, const std::string& fileId) {
        auto meta = MetadataBody(ex);
        if (!meta) return;
        std::string mediaType = ex.Header("X-Upload-Content-Type");
        Node draft = fileId.empty() ? Draft(*meta, mediaType) : *Resolve(fileId);
        if (!ApplyMetadata(ex, draft, *meta)) return;
        if (draft.folder) return Error(ex, 400, "badContent", "A folder cannot have content.");
        std::optional<std::uint64_t> total;
        if (ex.req.has_header("X-Upload-Content-Length")) {
            total = Digits(ex.Header("X-Upload-Content-Length"));
            if (!total) return Error(ex, 400, "invalid", "Invalid Value", "X-Upload-Content-Length", "header");
            if (*total > MaxUploadBytes) return SendError(ex, 413, "The file exceeds the maximum upload size.");
        }
        ResumableUpload upload;
        upload.fileId = fileId;
        upload.metadata = *meta;
        upload.mediaType = mediaType;
        upload.total = total;
        std::string uploadId = uploads_.Start(std::move(upload), ex.now, uploadSessionLifetime);
        ex.res.set_header("Location", "https://" + ApiHost + "/upload/drive/v2/files" +
                                          (fileId.empty() ? "" : "/" + fileId) +
                                          "?uploadType=resumable&upload_id=" + uploadId);
        ex.SendEmpty(200);
    }

    // Steps two and three: a chunk of bytes, or the question how far the upload got.
    void UploadChunk(Exchange& ex) {
        ResumableUpload* upload = uploads_.Find(ex.Query("upload_id"), ex.now);
        if (!upload || upload->fileId != ex.Param("id"))
            return Error(ex, 404, "notFound", "Upload session not found or expired.");
        if (!upload->resultId.empty()) return SendUploaded(ex, *upload);
        if (auto refusal = uploads_.Accept(ex, *upload))
            return Error(ex, refusal->status, refusal->reason, refusal->message);
        if (!upload->complete) return ResumableUploads::SendIncomplete(ex, *upload);
        FinishResumable(ex, *upload);
    }

    void FinishResumable(Exchange& ex, ResumableUpload& upload) {
        Node* node;
        if (upload.fileId.empty()) {
            node = NewItem(ex, upload.metadata, upload.content, upload.mediaType);
        } else {
            node = Resolve(upload.fileId);
            if (!node) return NotFound(ex, upload.fileId);
            if (!ApplyUpdate(ex, *node, upload.metadata)) return;
            if (!upload.metadata.contains("mimeType") && !upload.mediaType.empty()) node->mimeType = upload.mediaType;
            tree.SetContent(*node, upload.content, ex.now);
        }
        if (!node) return;
        upload.resultId = node->id;
        upload.content.reset();
        SendUploaded(ex, upload);
    }

    void SendUploaded(Exchange& ex, const ResumableUpload& upload) {
        const Node* node = tree.Find(upload.resultId);
        if (!node) return NotFound(ex, upload.resultId);
        ex.SendJson(200, Resource(*node), true);
    }

    void Download(Exchange& ex) {
        Node* node = tree.Find(ex.Param("id"));
        if (!node || node->folder) return Error(ex, 404, "notFound", "Not Found");
        ex.SendContent(node->content, node->mimeType);
    }

    void About(Exchange& ex) {
        std::int64_t used = tree.TotalSize(tree.RootId());
        constexpr std::int64_t total = 16106127360;
        const std::string permissionId = "03308875192974461129";
        Json user = {{"kind", "drive#user"},
                     {"displayName", accountName},
                     {"emailAddress", UserEmail},
                     {"isAuthenticatedUser", true},
                     {"permissionId", permissionId},
                     {"picture", {{"url", "https://lh5.googleusercontent.com/emulator/photo.jpg"}}}};
        auto bytes = [](std::int64_t n) { return std::to_string(n); };
        Json answer = {
            {"kind", "drive#about"},
            {"etag", "\"emu/" + bytes(tree.Generation()) + "\""},
            {"selfLink", "https://" + ApiHost + "/drive/v2/about"},
            {"name", accountName},
            {"user", user},
            {"quotaBytesTotal", bytes(total)},
            {"quotaBytesUsed", bytes(used)},
            {"quotaBytesUsedAggregate", bytes(used)},
            {"quotaBytesUsedInTrash", bytes(0)},
            {"quotaType", "LIMITED"},
            {"quotaBytesByService", Json::array({{{"serviceName", "DRIVE"}, {"bytesUsed", bytes(used)}}})},
            {"largestChangeId", bytes(tree.Generation())},
            {"remainingChangeIds", "0"},
            {"rootFolderId", tree.RootId()},
            {"domainSharingPolicy", "allowed"},
            {"permissionId", permissionId},
            {"languageCode", "en-US"},
            {"isCurrentAppInstalled", true},
            {"importFormats", Json::array({{{"source", "text/plain"},
                                            {"targets", Json::array({"application/vnd.google-apps.document"})}}})},
            {"exportFormats", Json::array({{{"source", "application/vnd.google-apps.document"},
                                            {"targets", Json::array({"application/pdf", "text/plain"})}}})},
            {"additionalRoleInfo", Json::array()},
            {"features", Json::array({{{"featureName", "ocr"}, {"featureRate", 0.5}}})},
            {"maxUploadSizes", Json::array({{{"type", "application/vnd.google-apps.document"}, {"size", "10485760"}},
                                            {{"type", "*"}, {"size", "5242880000000"}}})},
            {"folderColorPalette", Json::array({"#ac725e", "#d06b64", "#f83a22", "#fa573c"})}};
        ex.SendJson(200, answer, true);
    }

    // accounts.google.com

    void Authorize(Exchange& ex) {
        std::string redirect = ex.Field("redirect_uri");
        // Desktop clients may pick any port of a loopback address at sign-in.
        const OAuthClient* client = AuthorizingClient(ex, redirect, true, "", LoopbackPorts::Any);
        if (!client) return;
        Grant grant{client->id, ex.Field("scope"), redirect, ex.now + std::chrono::minutes(10), false};
        std::string problem = ex.Field("scope").empty() ? "Missing required parameter: scope" : ReadPkce(ex, grant);
        if (!problem.empty())
            return ex.SendHtml(400, "<!DOCTYPE html><html><head><title>Error</title></head><body><p>invalid_request: " +
                                        HtmlEscape(problem) + "</p></body></html>\n");
        SignInDecision decision = Consent(ex);
        if (decision == SignInDecision::Ask)
            return SendSignInForm(ex, "Google Accounts", client->id, ex.Field("scope"));
        bool oob = redirect.rfind(OobRedirect, 0) == 0;
        std::vector<std::pair<std::string, std::string>> answer;
        if (decision == SignInDecision::Allow) {
            answer.emplace_back("code", "4/" + oauth.IssueCode(grant));
        } else {
            answer.emplace_back("error", "access_denied");
            answer.emplace_back("error_description", DenyReason(ex, "The user denied access."));
        }
        if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
        if (oob) {
            // The installed-application page shows the result in its title and body; its address holds
            // only an opaque ticket, as the real page's does.
            // A refusal carries no code: its address still names the redirect and the error, which
            // sign-in windows that watch addresses rely on.
            std::string ticket = RandomToken(24);
            approvals_[ticket] = answer;
            std::string page = "https://" + AccountsHost + "/o/oauth2/approval/v2?auto=false&response=" + ticket;
            if (decision != SignInDecision::Allow) page = AppendQuery(page + "&redirect_uri=" + redirect, answer);
            return ex.Redirect(page);
        }
        ex.Redirect(AppendQuery(redirect, answer));
    }

    void Approval(Exchange& ex) {
        auto it = approvals_.find(ex.Query("response"));
        if (it == approvals_.end()) return UnknownRoute(ex);
        auto field = [&](const std::string& key) {
            for (const auto& [k, v] : it->second)
                if (k == key) return v;
            return std::string();
        };
        std::string title, text, code = field("code");
        if (!code.empty()) {
            title = "Success code=" + code;
            text =
                "Please copy this code, switch to your application and paste it there:</p><p><input id=\"code\" "
                "readonly value=\"" +
                HtmlEscape(code) + "\">";
        } else {
            title = "Denied error=" + field("error");
            text = "You denied access to the application. " + HtmlEscape(field("error_description"));
        }
        ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
                             "</title></head><body><p>" + text + "</p></body></html>\n");
    }

    // Revoking an access token or a refresh token; the old endpoint also answers GET.
    void Revoke(Exchange& ex) {
        std::string token = ex.Field("token");
        if (token.rfind("1/", 0) == 0) token = token.substr(2);
        if (token.empty() || !oauth.Revoke(token))
            return TokenError(ex, 400, "invalid_token", "Token expired or revoked");
        ex.SendJson(200, Json::object());
    }

    void TokenError(Exchange& ex, int status, const std::string& error, const std::string& description) {
        Json body = {{"error", error}};
        if (!description.empty()) body["error_description"] = description;
        ex.SendJson(status, body, true);
    }

    const TokenRules& Rules() const override {
        static const TokenRules rules{
            .codePrefix = "4/",
            .refreshPrefix = "1/",
            .invalidClientStatus = 401,
            .noGrantType = "Required parameter is missing: grant_type",
            .badGrantType = "Invalid grant_type: %s",
            .badClient = "The OAuth client was not found.",
            .noCode = "Missing required parameter: code",
            .noRedirect = "Missing parameter: redirect_uri",
            .codeUsed = {"invalid_grant", "Code was already redeemed."},
            .codeUnknown = {"invalid_grant", "Malformed auth code."},
            .codeOtherRedirect = {"redirect_uri_mismatch", "Bad Request"},
            .refreshUnknown = {"invalid_grant", "Bad Request"},
            .refreshSpent = {"invalid_grant", "Token has been revoked."},
            // Installed applications get a secret that is no secret, and must still send it with PKCE.
            .secretMissing = {"invalid_request", "client_secret is missing."},
            .verifierMissing = {"invalid_grant", "Missing code verifier."},
            .verifierWrong = {"invalid_grant", "Invalid code verifier."},
        };
        return rules;
    }

    // An hour's access token; a refresh token with the code's answer only.
    void SendTokens(Exchange& ex, Grant grant, bool refreshing) override {
        grant.expires = ex.now + std::chrono::seconds(3600);
        Json answer = {{"access_token", oauth.IssueAccessToken(grant)}, {"token_type", "Bearer"}, {"expires_in", 3600}};
        if (!refreshing) answer["refresh_token"] = "1/" + oauth.IssueRefreshToken(grant);
        ex.res.set_header("Cache-Control", "no-cache, no-store, max-age=0, must-revalidate");
        ex.SendJson(200, answer, true);
    }

    void SendTokenError(Exchange& ex, int status, const OAuthError& error) override {
        TokenError(ex, status, error.error, error.description);
    }
};

}  // namespace

std::unique_ptr<Service> MakeGoogleDrive() { return std::make_unique<GoogleDrive>(); }

}  // namespace Nimbo::Emulator
