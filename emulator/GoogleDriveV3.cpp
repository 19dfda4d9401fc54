// Drive v3's files, about and uploads on the Drive service's tree.

#include "emulator/GoogleDriveV3.h"

#include "emulator/DriveQuery.h"
#include "emulator/GoogleDriveV3Resources.h"
#include "emulator/ResumableUploads.h"
#include "emulator/Service.h"

#include <algorithm>
#include <cctype>
#include <set>

namespace Nimbo::Emulator {
namespace {

using namespace DriveV3;

const std::string ApiHost = "www.googleapis.com";
const std::string UploadAddress = "https://" + ApiHost + "/upload/drive/v3/files";
const std::string DefaultFileFields = "kind,id,name,mimeType";
const std::string DefaultListFields = "kind,nextPageToken,incompleteSearch,files(kind,id,name,mimeType)";
constexpr std::size_t MaxNameLength = 32767;
constexpr int DefaultPageSize = 100, MaxPageSize = 1000;
constexpr std::uint64_t MaxUploadBytes = 5120ULL << 30;  // every upload type, whole file

// A request Drive turns down, thrown where it is found and answered once in Drive's error format.
struct Refused {
    int status;
    std::string reason, message, location = "", locationType = "parameter";
};

Refused FileNotFound(const std::string& id) { return {404, "notFound", "File not found: " + id + ".", "fileId"}; }
Refused InvalidValue(const std::string& location) { return {400, "invalid", "Invalid Value", location}; }
Refused NotWritable(const std::string& message = "The resource body includes fields which are not directly writable.") {
    return {403, "fieldNotWritable", message};
}

// The File keys a client may not set in any request body (kind is accepted when it says drive#file).
const std::set<std::string>& ReadOnlyKeys() {
    static const std::set<std::string> keys = {"id",
                                               "size",
                                               "md5Checksum",
                                               "sha1Checksum",
                                               "sha256Checksum",
                                               "version",
                                               "webViewLink",
                                               "webContentLink",
                                               "iconLink",
                                               "thumbnailLink",
                                               "headRevisionId",
                                               "owners",
                                               "capabilities",
                                               "quotaBytesUsed",
                                               "spaces",
                                               "explicitlyTrashed",
                                               "trashedTime",
                                               "trashingUser",
                                               "shared",
                                               "ownedByMe",
                                               "hasThumbnail",
                                               "thumbnailVersion",
                                               "permissions",
                                               "permissionIds",
                                               "exportLinks",
                                               "teamDriveId",
                                               "driveId",
                                               "modifiedByMe",
                                               "sharingUser",
                                               "lastModifyingUser",
                                               "fileExtension",
                                               "fullFileExtension",
                                               "isAppAuthorized",
                                               "resourceKey",
                                               "hasAugmentedPermissions",
                                               "linkShareMetadata"};
    return keys;
}

// Comma-separated ids of addParents and removeParents, "root" as the root's id.
std::vector<std::string> IdList(const std::string& text, const std::string& rootId) {
    std::vector<std::string> ids;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto comma = text.find(',', start);
        std::string id = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        id.erase(0, id.find_first_not_of(' '));
        id.erase(id.find_last_not_of(' ') + 1);
        if (!id.empty()) ids.push_back(id == "root" ? rootId : id);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return ids;
}

// "a2" before "a10": runs of digits compare by value.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string da = a.substr(i, ei - i), db = b.substr(j, ej - j);
            da.erase(0, std::min(da.find_first_not_of('0'), da.size()));
            db.erase(0, std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size()) return da.size() < db.size();
            if (da != db) return da < db;
            i = ei, j = ej;
            continue;
        }
        char ca = static_cast<char>(std::tolower(static_cast<unsigned char>(a[i])));
        char cb = static_cast<char>(std::tolower(static_cast<unsigned char>(b[j])));
        if (ca != cb) return ca < cb;
        ++i, ++j;
    }
    return a.size() - i < b.size() - j;
}

// One key of orderBy: which way two items compare (negative: a first).
struct SortKey {
    std::string key;
    bool descending = false;

    int Compare(const Node& a, const Node& b) const {
        int c = Ascending(a, b);
        return descending ? -c : c;
    }

private:
    template <class T>
    static int Order(const T& x, const T& y) {
        return x < y ? -1 : y < x ? 1 : 0;
    }
    int Ascending(const Node& a, const Node& b) const {
        if (key == "folder") return Order(!a.folder, !b.folder);  // folders first
        if (key == "name") {
            int c = Order(ToLower(a.name), ToLower(b.name));
            return c != 0 ? c : Order(a.name, b.name);
        }
        if (key == "name_natural") return NaturalLess(a.name, b.name) ? -1 : NaturalLess(b.name, a.name) ? 1 : 0;
        if (key == "createdTime") return Order(a.created, b.created);
        if (key == "modifiedTime" || key == "modifiedByMeTime" || key == "viewedByMeTime" || key == "recency")
            return Order(a.modified, b.modified);
        if (key == "quotaBytesUsed") return Order(a.Size(), b.Size());
        return 0;  // starred, sharedWithMeTime: the same for every item here
    }
};

std::vector<SortKey> ParseOrderBy(const std::string& text) {
    static const std::set<std::string> known = {
        "createdTime",    "folder",  "modifiedByMeTime", "modifiedTime", "name",          "name_natural",
        "quotaBytesUsed", "recency", "sharedWithMeTime", "starred",      "viewedByMeTime"};
    std::vector<SortKey> keys;
    for (const std::string& part : IdList(text, "")) {
        SortKey key;
        auto space = part.find(' ');
        key.key = part.substr(0, space);
        if (space != std::string::npos) {
            std::string direction = part.substr(part.find_first_not_of(' ', space));
            if (direction != "desc" && direction != "asc") throw InvalidValue("orderBy");
            key.descending = direction == "desc";
        }
        if (!known.count(key.key)) throw InvalidValue("orderBy");
        keys.push_back(key);
    }
    return keys;
}

std::string ContentTypeOf(const Exchange& ex) {
    std::string type = ex.Header("Content-Type");
    type = type.substr(0, type.find(';'));
    return type.empty() ? "application/octet-stream" : type;
}

// What a request body's metadata is written for.
enum class Writing { Create, Copy, Update };

}  // namespace

class GoogleDriveV3::Api {
public:
    Api(Service& drive, RouteTable& routes) : drive_(drive), tree_(drive.tree) {
        Add(routes, "GET", "/drive/v3/files", &Api::List);
        Add(routes, "POST", "/drive/v3/files", &Api::Create);
        Add(routes, "GET", "/drive/v3/files/{id}", &Api::Get);
        Add(routes, "PATCH", "/drive/v3/files/{id}", &Api::Update);
        Add(routes, "DELETE", "/drive/v3/files/trash", &Api::EmptyTrash);
        Add(routes, "DELETE", "/drive/v3/files/{id}", &Api::Delete);
        Add(routes, "POST", "/drive/v3/files/{id}/copy", &Api::Copy);
        Add(routes, "GET", "/drive/v3/about", &Api::About);
        // New files by POST; new content by PATCH (the method) or PUT (the guides); the chunks of a
        // resumable upload by PUT or POST to the session's address, which carries upload_id.
        for (const char* method : {"POST", "PUT"}) Add(routes, method, "/upload/drive/v3/files", &Api::UploadNew);
        for (const char* method : {"PATCH", "PUT", "POST"})
            Add(routes, method, "/upload/drive/v3/files/{id}", &Api::UploadContent);
    }

    void Reset() { uploads_.Clear(); }

private:
    Service& drive_;
    Tree& tree_;
    ResumableUploads uploads_{MaxUploadBytes, drive_, "drive3.upload"};

    void Add(RouteTable& routes, const char* method, const std::string& pattern, void (Api::*handler)(Exchange&)) {
        const bool upload = pattern.rfind("/upload/", 0) == 0;
        routes.Add(
            method, ApiHost, pattern,
            [this, handler](Exchange& ex) {
                try {
                    (this->*handler)(ex);
                } catch (const Refused& refused) {
                    SendRefusal(ex, refused);
                }
            },
            RouteTable::Access::Token, upload ? MaxUploadBytes : 0);
    }

    // --- answers ---

    static void Send(Exchange& ex, int status, const Json& body) {
        ex.SendJson(status, body, ex.Query("prettyPrint") != "false");
    }

    static void SendRefusal(Exchange& ex, const Refused& refused) {
        ex.res.headers.erase("Location");
        Send(ex, refused.status,
             DriveV3ErrorBody(refused.status, refused.reason, refused.message, refused.location, refused.locationType));
    }

    // The fields selection of the request, checked before anything changes.
    static FieldMask Mask(const Exchange& ex, const FieldSchema& schema, const std::string& fallback) {
        std::string text = ex.Query("fields"), bad;
        auto mask = FieldMask::Parse(text.empty() ? fallback : text, schema, bad);
        if (!mask) throw Refused{400, "invalidParameter", "Invalid field selection " + bad, "fields"};
        return *mask;
    }

    void SendFile(Exchange& ex, const FieldMask& mask, const Node& node) {
        Send(ex, 200, mask.Apply(FileResource(tree_, node, drive_.accountName)));
    }

    // --- items ---

    Node& Resolve(const std::string& id) {
        Node* node = tree_.Find(id == "root" ? tree_.RootId() : id);
        if (!node) throw FileNotFound(id);
        return *node;
    }

    Node& Folder(const std::string& id) {
        Node& folder = Resolve(id);
        if (!folder.folder) throw FileNotFound(id);
        return folder;
    }

    static Json MetadataBody(const Exchange& ex) {
        if (ex.BodySize() == 0) return Json::object();
        auto meta = ParseJsonObject(ex.body);
        if (!meta) throw Refused{400, "parseError", "Parse Error"};
        return *meta;
    }

    static std::string Text(const Json& meta, const std::string& key) {
        if (!meta[key].is_string()) throw InvalidValue(key);
        return meta[key].get<std::string>();
    }

    static TimePoint Time(const Json& meta, const std::string& key) {
        auto when = meta[key].is_string() ? ParseRfc3339(meta[key].get<std::string>()) : std::nullopt;
        if (!when) throw InvalidValue(key);
        return *when;
    }

    // Writes the writable keys of a File body into a draft of the item; refuses keys Drive does not
    // let the client write. Only the draft changes: callers apply it once everything is checked.
    void ApplyMetadata(const Json& meta, Node& draft, Writing writing) {
        for (const auto& [key, value] : meta.items()) {
            if (ReadOnlyKeys().count(key)) throw NotWritable();
            if (key == "kind" && value != "drive#file") throw InvalidValue("kind");
        }
        if (meta.contains("name")) {
            std::string name = Text(meta, "name");
            if (!NameFault(name, MaxNameLength).empty()) throw InvalidValue("name");
            draft.name = name;
        }
        if (meta.contains("mimeType")) {
            std::string mime = Text(meta, "mimeType");
            if (writing != Writing::Create && (mime == FolderMime) != draft.folder)
                throw Refused{400, "badRequest", "An item cannot change between folder and file."};
            if (!draft.folder) draft.mimeType = mime;
        }
        if (meta.contains("description")) draft.description = Text(meta, "description");
        if (meta.contains("modifiedTime")) draft.modified = Time(meta, "modifiedTime");
        if (meta.contains("createdTime")) {
            if (writing == Writing::Update) throw NotWritable();
            draft.created = Time(meta, "createdTime");
        }
        if (meta.contains("trashed") && !meta["trashed"].is_boolean()) throw InvalidValue("trashed");
        if (meta.contains("parents")) {
            if (writing == Writing::Update)
                throw NotWritable(
                    "The parents field is not directly writable in update requests. Use the addParents and "
                    "removeParents parameters instead.");
            if (!meta["parents"].is_array()) throw InvalidValue("parents");
            if (meta["parents"].size() > 1)
                throw Refused{403, "cannotAddParent", "Increasing the number of parents is not allowed."};
            for (const auto& parent : meta["parents"]) {
                if (!parent.is_string()) throw InvalidValue("parents");
                draft.parentId = Folder(parent.get<std::string>()).id;
            }
        }
    }

    // What an item made from a body starts as: "Untitled" in the root, typed by the body or the media.
    Node Draft(const Json& meta, const std::string& mediaType, TimePoint now) {
        Node draft;
        draft.parentId = tree_.RootId();
        draft.name = "Untitled";
        draft.folder = meta.contains("mimeType") && meta["mimeType"] == FolderMime;
        draft.mimeType = draft.folder ? "" : mediaType.empty() ? "application/octet-stream" : mediaType;
        draft.created = draft.modified = now;
        ApplyMetadata(meta, draft, Writing::Create);
        return draft;
    }

    Node& CreateItem(const Node& draft, const Json& meta, BlobRef content, TimePoint now) {
        if (draft.folder && content) throw Refused{400, "badContent", "A folder cannot have content."};
        Node& node = draft.folder ? tree_.AddFolder(draft.parentId, draft.name, now)
                                  : tree_.AddFile(draft.parentId, draft.name, std::move(content), draft.mimeType, now);
        node.description = draft.description;
        node.created = draft.created;
        node.modified = draft.modified;
        if (meta.value("trashed", false)) tree_.Trash(node, true, now);
        return node;
    }

    // A PATCH of an item: its metadata and the addParents / removeParents of the request. Everything
    // is checked before anything changes.
    void ApplyUpdate(Exchange& ex, Node& node, const Json& meta) {
        const bool isRoot = node.id == tree_.RootId();
        const auto adding = IdList(ex.Query("addParents"), tree_.RootId());
        const auto removing = IdList(ex.Query("removeParents"), tree_.RootId());
        if (isRoot && (meta.contains("name") || meta.contains("trashed") || !adding.empty() || !removing.empty()))
            throw Refused{403, "insufficientFilePermissions",
                          "The user does not have sufficient permissions for this file."};
        Node draft = node;
        ApplyMetadata(meta, draft, Writing::Update);
        std::vector<std::string> parents;
        if (!isRoot && std::find(removing.begin(), removing.end(), node.parentId) == removing.end())
            parents.push_back(node.parentId);
        for (const auto& id : adding) {
            const Node& parent = Folder(id);
            if (parent.id == node.id || tree_.IsInside(parent.id, node.id))
                throw Refused{400, "invalidParent", "A folder cannot be placed inside itself."};
            if (std::find(parents.begin(), parents.end(), parent.id) == parents.end()) parents.push_back(parent.id);
        }
        if (!isRoot && parents.empty())
            throw Refused{400, "badRequest", "An item must stay in a folder: removeParents would leave it in none."};
        if (parents.size() > 1)
            throw Refused{403, "cannotAddParent", "Increasing the number of parents is not allowed."};

        if (draft.name != node.name) tree_.Rename(node, draft.name);
        if (!isRoot && parents.front() != node.parentId) tree_.Move(node, parents.front());
        node.mimeType = draft.mimeType;
        node.description = draft.description;
        node.modified = draft.modified;
        if (meta.contains("trashed")) {
            const bool trashed = meta["trashed"].get<bool>();
            if (trashed != node.trashed || trashed != node.explicitlyTrashed) tree_.Trash(node, trashed, ex.now);
        }
        ++node.version;
    }

    // --- files ---

    DriveQuery Query(const Exchange& ex) const {
        const std::string q = ex.Query("q");
        if (q.empty()) return {[](const Node&) { return true; }, std::nullopt};
        auto query = ParseDriveQuery(q, {tree_.RootId(), FolderMime, UserEmail, true});
        if (!query) throw InvalidValue("q");
        return *query;
    }

    static int PageSize(const Exchange& ex) {
        if (!ex.HasQuery("pageSize")) return DefaultPageSize;
        const std::string text = ex.Query("pageSize");
        auto size = Digits(text);
        if (!size || *size < 1 || *size > MaxPageSize)
            throw Refused{400, "invalid",
                          "Invalid value '" + text + "'. Values must be within the range: [1, " +
                              std::to_string(MaxPageSize) + "]",
                          "pageSize"};
        return static_cast<int>(*size);
    }

    // Page tokens carry where the next page starts and a fingerprint of the listing they belong to:
    // after an item's creation order when the listing is in that order, else an offset.
    static std::uint64_t PageStart(const Exchange& ex, const std::string& fingerprint) {
        if (!ex.HasQuery("pageToken")) return 0;
        std::string decoded;
        try {
            decoded = Base64Decode(ex.Query("pageToken"));
        } catch (const std::invalid_argument&) {}
        auto colon = decoded.find(':');
        auto number = Digits(decoded.substr(0, colon));
        if (colon == std::string::npos || decoded.substr(colon + 1) != fingerprint || !number)
            throw InvalidValue("pageToken");
        return *number;
    }

    void List(Exchange& ex) {
        const FieldMask mask = Mask(ex, FileListSchema(), DefaultListFields);
        const DriveQuery query = Query(ex);
        const int pageSize = PageSize(ex);
        const auto order = ParseOrderBy(ex.Query("orderBy"));
        const std::string fingerprint = Md5Hex("v3|" + ex.Query("q") + "|" + ex.Query("orderBy")).substr(0, 12);
        const std::uint64_t start = PageStart(ex, fingerprint);
        // The appDataFolder space holds nothing here; the drive space is everything else.
        const bool appDataOnly = ex.Query("spaces") == "appDataFolder";

        std::vector<const Node*> page;
        bool more = false;
        auto matches = [&](const Node& node) { return node.id != tree_.RootId() && query.matches(node); };
        if (order.empty()) {
            // Creation order: walk from the token's item on, one match beyond the page to know whether
            // another follows.
            auto take = [&](const Node* node) {
                if (node->order <= start || !matches(*node)) return true;
                if (page.size() == static_cast<std::size_t>(pageSize)) return more = true, false;
                page.push_back(node);
                return true;
            };
            if (appDataOnly) {
                // nothing to walk
            } else if (query.parent) {
                for (const Node* node : tree_.Children(*query.parent))
                    if (!take(node)) break;
            } else {
                for (auto it = tree_.InOrder().upper_bound(start); it != tree_.InOrder().end(); ++it)
                    if (!take(it->second)) break;
            }
        } else if (!appDataOnly) {
            std::vector<const Node*> all;
            if (query.parent) {
                for (const Node* node : tree_.Children(*query.parent))
                    if (matches(*node)) all.push_back(node);
            } else {
                for (const auto& [n, node] : tree_.InOrder())
                    if (matches(*node)) all.push_back(node);
            }
            std::stable_sort(all.begin(), all.end(), [&](const Node* a, const Node* b) {
                for (const SortKey& key : order)
                    if (int c = key.Compare(*a, *b); c != 0) return c < 0;
                return false;
            });
            for (std::size_t i = start; i < all.size() && page.size() <= static_cast<std::size_t>(pageSize); ++i)
                page.push_back(all[i]);
            if (page.size() > static_cast<std::size_t>(pageSize)) page.pop_back(), more = true;
        }

        Json files = Json::array();
        for (const Node* node : page) files.push_back(FileResource(tree_, *node, drive_.accountName));
        Json answer = {{"kind", "drive#fileList"}};
        if (more) {
            std::uint64_t next = order.empty() ? page.back()->order : start + page.size();
            answer["nextPageToken"] = Base64Encode(std::to_string(next) + ":" + fingerprint);
        }
        answer["incompleteSearch"] = false;
        answer["files"] = std::move(files);
        Send(ex, 200, mask.Apply(answer));
    }

    void Get(Exchange& ex) {
        Node& node = Resolve(ex.Param("id"));
        const std::string alt = ex.Query("alt");
        if (alt == "media") {
            if (!HasContent(node))
                throw Refused{403, "fileNotDownloadable",
                              "Only files with binary content can be downloaded. Use Export with Docs Editors files.",
                              "alt"};
            return ex.SendContent(node.content, node.mimeType);
        }
        if (!alt.empty() && alt != "json") throw InvalidValue("alt");
        SendFile(ex, Mask(ex, FileSchema(), DefaultFileFields), node);
    }

    // Metadata only: a folder, an empty file or a Google document.
    void Create(Exchange& ex) {
        const FieldMask mask = Mask(ex, FileSchema(), DefaultFileFields);
        const Json meta = MetadataBody(ex);
        const Node draft = Draft(meta, "", ex.now);
        SendFile(ex, mask, CreateItem(draft, meta, nullptr, ex.now));
    }

    void Update(Exchange& ex) {
        const FieldMask mask = Mask(ex, FileSchema(), DefaultFileFields);
        Node& node = Resolve(ex.Param("id"));
        ApplyUpdate(ex, node, MetadataBody(ex));
        SendFile(ex, mask, node);
    }

    // Skips the trash; what is below a folder goes with it.
    void Delete(Exchange& ex) {
        Node& node = Resolve(ex.Param("id"));
        if (node.id == tree_.RootId())
            throw Refused{403, "insufficientFilePermissions",
                          "The user does not have sufficient permissions for this file."};
        tree_.Remove(node.id);
        ex.SendEmpty(204);
    }

    void EmptyTrash(Exchange& ex) {
        for (const Node* node : tree_.Trashed()) tree_.Remove(node->id);
        ex.SendEmpty(204);
    }

    // A new file with the same bytes, "Copy of ..." beside the original unless the body says otherwise.
    void Copy(Exchange& ex) {
        const FieldMask mask = Mask(ex, FileSchema(), DefaultFileFields);
        const Node& source = Resolve(ex.Param("id"));
        if (source.folder) throw Refused{403, "cannotCopyFile", "Folders cannot be copied."};
        const Json meta = MetadataBody(ex);
        Node draft = source;
        draft.name = "Copy of " + source.name;
        draft.created = draft.modified = ex.now;
        ApplyMetadata(meta, draft, Writing::Copy);
        Node& copy = tree_.Copy(source, draft.parentId, draft.name, ex.now);
        copy.mimeType = draft.mimeType;
        copy.description = draft.description;
        copy.created = draft.created;
        copy.modified = draft.modified;
        SendFile(ex, mask, copy);
    }

    void About(Exchange& ex) {
        if (ex.Query("fields").empty())
            throw Refused{400, "required", "The 'fields' parameter is required for this method.", "fields"};
        const FieldMask mask = Mask(ex, AboutSchema(), "");
        Send(ex, 200, mask.Apply(AboutResource(tree_, drive_.accountName)));
    }

    // --- uploads ---

    struct RelatedUpload {
        Json metadata;
        BlobRef media;
        std::string mediaType;
    };

    // A multipart/related body: the JSON metadata, then the media.
    static RelatedUpload ReadRelated(const Exchange& ex) {
        if (ToLower(ex.Header("Content-Type")).rfind("multipart/related", 0) != 0)
            throw Refused{400, "badContent", "Multipart uploads take a multipart/related body."};
        if (ex.parts.size() != 2)
            throw Refused{400, "badRequest",
                          "Invalid multipart request with " + std::to_string(ex.parts.size()) + " mime parts."};
        const BodyPart &meta = ex.parts[0], &media = ex.parts[1];
        if (ToLower(meta.contentType).rfind("application/json", 0) != 0 || meta.Size() != meta.Text().size())
            throw Refused{400, "badRequest", "The first part of a multipart upload must be the JSON metadata."};
        auto metadata = ParseJsonObject(meta.Text());
        if (!metadata) throw Refused{400, "parseError", "Parse Error"};
        return {*metadata, media.Content(), media.contentType.substr(0, media.contentType.find(';'))};
    }

    static std::string UploadType(const Exchange& ex) {
        std::string type = ex.Query("uploadType");
        if (type != "media" && type != "multipart" && type != "resumable") throw InvalidValue("uploadType");
        return type;
    }

    static void MethodNotAllowed() { throw Refused{405, "httpMethodNotAllowed", "Method Not Allowed"}; }

    void UploadNew(Exchange& ex) {
        if (ex.HasQuery("upload_id")) return UploadChunk(ex, "");
        if (ex.Method() != "POST") MethodNotAllowed();
        const FieldMask mask = Mask(ex, FileSchema(), DefaultFileFields);
        const std::string type = UploadType(ex);
        if (type == "resumable") return StartResumable(ex, nullptr);
        RelatedUpload upload{Json::object(), nullptr, ContentTypeOf(ex)};
        if (type == "multipart")
            upload = ReadRelated(ex);
        else
            upload.media = ex.Content();
        const Node draft = Draft(upload.metadata, upload.mediaType, ex.now);
        SendFile(ex, mask, CreateItem(draft, upload.metadata, std::move(upload.media), ex.now));
    }

    void UploadContent(Exchange& ex) {
        if (ex.HasQuery("upload_id")) return UploadChunk(ex, ex.Param("id"));
        if (ex.Method() == "POST") MethodNotAllowed();
        const FieldMask mask = Mask(ex, FileSchema(), DefaultFileFields);
        const std::string type = UploadType(ex);
        Node& node = Resolve(ex.Param("id"));
        if (!HasContent(node)) throw Refused{400, "badContent", "Only files with binary content take new content."};
        if (type == "resumable") return StartResumable(ex, &node);
        RelatedUpload upload{Json::object(), nullptr, ContentTypeOf(ex)};
        if (type == "multipart")
            upload = ReadRelated(ex);
        else
            upload.media = ex.Content();
        ReplaceContent(ex, node, upload);
        SendFile(ex, mask, node);
    }

    void ReplaceContent(Exchange& ex, Node& node, const RelatedUpload& upload) {
        ApplyUpdate(ex, node, upload.metadata);
        if (!upload.metadata.contains("mimeType") && !upload.mediaType.empty()) node.mimeType = upload.mediaType;
        tree_.SetContent(node, upload.media, ex.now);
        if (upload.metadata.contains("modifiedTime")) node.modified = Time(upload.metadata, "modifiedTime");
    }

    // Step one of a resumable upload: the metadata now, checked as the end will check it; the bytes
    // later at the session's address, which keeps this request's parameters.
    void StartResumable(Exchange& ex, const Node* existing) {
        const Json meta = MetadataBody(ex);
        const std::string mediaType = ex.Header("X-Upload-Content-Type");
        if (existing) {
            Node draft = *existing;
            ApplyMetadata(meta, draft, Writing::Update);
        } else if (Draft(meta, mediaType, ex.now).folder) {
            throw Refused{400, "badContent", "A folder cannot have content."};
        }
        ResumableUpload upload;
        if (ex.req.has_header("X-Upload-Content-Length")) {
            upload.total = Digits(ex.Header("X-Upload-Content-Length"));
            if (!upload.total) throw Refused{400, "invalid", "Invalid Value", "X-Upload-Content-Length", "header"};
            if (*upload.total > MaxUploadBytes)
                throw Refused{413, "uploadTooLarge", "The file exceeds the maximum upload size."};
        }
        upload.fileId = existing ? existing->id : "";
        upload.metadata = meta;
        upload.mediaType = mediaType;
        std::string uploadId = uploads_.Start(std::move(upload), ex.now, drive_.uploadSessionLifetime);
        std::vector<std::pair<std::string, std::string>> query;
        for (const auto& [key, value] : ex.req.params)
            if (key != "upload_id") query.emplace_back(key, value);
        query.emplace_back("upload_id", uploadId);
        ex.res.set_header("Location",
                          AppendQuery(UploadAddress + (existing ? "/" + existing->id : std::string()), query));
        ex.SendEmpty(200);
    }

    // Steps two and three: a chunk of bytes, or the question how far the upload got; the file once
    // the last byte is in.
    void UploadChunk(Exchange& ex, const std::string& fileId) {
        const FieldMask mask = Mask(ex, FileSchema(), DefaultFileFields);
        ResumableUpload* upload = uploads_.Find(ex.Query("upload_id"), ex.now);
        if (!upload || upload->fileId != fileId)
            throw Refused{404, "notFound", "Upload session not found or expired.", "upload_id"};
        if (upload->resultId.empty()) {
            if (auto refusal = uploads_.Accept(ex, *upload))
                throw Refused{refusal->status, refusal->reason, refusal->message};
            if (!upload->complete) return ResumableUploads::SendIncomplete(ex, *upload);
            upload->resultId = FinishResumable(ex, *upload).id;
            upload->content.reset();
        }
        const Node* node = tree_.Find(upload->resultId);
        if (!node) throw FileNotFound(upload->resultId);
        SendFile(ex, mask, *node);
    }

    Node& FinishResumable(Exchange& ex, const ResumableUpload& upload) {
        if (upload.fileId.empty()) {
            const Node draft = Draft(upload.metadata, upload.mediaType, ex.now);
            return CreateItem(draft, upload.metadata, upload.content, ex.now);
        }
        Node& node = Resolve(upload.fileId);
        ReplaceContent(ex, node, {upload.metadata, upload.content, upload.mediaType});
        return node;
    }
};

bool IsDriveV3Path(const std::string& path) {
    return path.rfind("/drive/v3/", 0) == 0 || path.rfind("/upload/drive/v3/", 0) == 0;
}

Json DriveV3ErrorBody(int status, const std::string& reason, const std::string& message, const std::string& location,
                      const std::string& locationType) {
    Json item = {{"domain", "global"}, {"reason", reason}, {"message", message}};
    if (!location.empty()) {
        item["locationType"] = locationType;
        item["location"] = location;
    }
    return {{"error", {{"code", status}, {"message", message}, {"errors", Json::array({item})}}}};
}

GoogleDriveV3::GoogleDriveV3(Service& drive, RouteTable& routes) : api_(std::make_unique<Api>(drive, routes)) {}
GoogleDriveV3::~GoogleDriveV3() = default;
void GoogleDriveV3::Reset() { api_->Reset(); }

}  // namespace Nimbo::Emulator
