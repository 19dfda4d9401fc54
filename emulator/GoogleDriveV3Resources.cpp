#include "emulator/GoogleDriveV3Resources.h"

namespace Nimbo::Emulator::DriveV3 {
namespace {

// Objects whose keys are free (capabilities, properties, media metadata), to any depth.
const FieldSchema& FreeObject() {
    static const FieldSchema schema{{}, true, &schema};
    return schema;
}

const FieldSchema& UserSchema() {
    static const FieldSchema schema{{{"kind", nullptr},
                                     {"displayName", nullptr},
                                     {"photoLink", nullptr},
                                     {"me", nullptr},
                                     {"permissionId", nullptr},
                                     {"emailAddress", nullptr}}};
    return schema;
}

}  // namespace

const FieldSchema& FileSchema() {
    static const FieldSchema schema = [] {
        FieldSchema s;
        for (const char* key : {"kind",
                                "id",
                                "name",
                                "mimeType",
                                "description",
                                "starred",
                                "trashed",
                                "explicitlyTrashed",
                                "trashedTime",
                                "parents",
                                "spaces",
                                "version",
                                "webContentLink",
                                "webViewLink",
                                "iconLink",
                                "hasThumbnail",
                                "thumbnailLink",
                                "thumbnailVersion",
                                "viewedByMe",
                                "viewedByMeTime",
                                "createdTime",
                                "modifiedTime",
                                "modifiedByMeTime",
                                "modifiedByMe",
                                "sharedWithMeTime",
                                "shared",
                                "ownedByMe",
                                "viewersCanCopyContent",
                                "copyRequiresWriterPermission",
                                "writersCanShare",
                                "permissionIds",
                                "hasAugmentedPermissions",
                                "folderColorRgb",
                                "originalFilename",
                                "fullFileExtension",
                                "fileExtension",
                                "md5Checksum",
                                "sha1Checksum",
                                "sha256Checksum",
                                "size",
                                "quotaBytesUsed",
                                "headRevisionId",
                                "isAppAuthorized",
                                "driveId",
                                "teamDriveId",
                                "resourceKey",
                                "inheritedPermissionsDisabled"})
            s.keys[key] = nullptr;
        for (const char* key : {"owners", "lastModifyingUser", "sharingUser", "trashingUser"})
            s.keys[key] = &UserSchema();
        for (const char* key : {"capabilities", "exportLinks", "properties", "appProperties", "contentHints",
                                "imageMediaMetadata", "videoMediaMetadata", "shortcutDetails", "contentRestrictions",
                                "permissions", "linkShareMetadata", "labelInfo", "downloadRestrictions"})
            s.keys[key] = &FreeObject();
        return s;
    }();
    return schema;
}

const FieldSchema& FileListSchema() {
    static const FieldSchema schema{
        {{"kind", nullptr}, {"nextPageToken", nullptr}, {"incompleteSearch", nullptr}, {"files", &FileSchema()}}};
    return schema;
}

const FieldSchema& AboutSchema() {
    static const FieldSchema quota{
        {{"limit", nullptr}, {"usage", nullptr}, {"usageInDrive", nullptr}, {"usageInDriveTrash", nullptr}}};
    static const FieldSchema schema = [] {
        FieldSchema s;
        for (const char* key :
             {"kind", "maxUploadSize", "appInstalled", "folderColorPalette", "canCreateDrives", "canCreateTeamDrives"})
            s.keys[key] = nullptr;
        s.keys["user"] = &UserSchema();
        s.keys["storageQuota"] = &quota;
        for (const char* key : {"importFormats", "exportFormats", "maxImportSizes", "driveThemes", "teamDriveThemes"})
            s.keys[key] = &FreeObject();
        return s;
    }();
    return schema;
}

bool IsGoogleDocument(const std::string& mimeType) {
    return mimeType.rfind("application/vnd.google-apps.", 0) == 0 && mimeType != FolderMime;
}

bool HasContent(const Node& node) { return !node.folder && !IsGoogleDocument(node.mimeType); }

namespace {

Json User(const std::string& accountName) {
    return {{"kind", "drive#user"},
            {"displayName", accountName},
            {"me", true},
            {"permissionId", PermissionId},
            {"emailAddress", UserEmail}};
}

Json Capabilities(const Node& node, bool isRoot) {
    return {{"canAddChildren", node.folder},
            {"canCopy", !node.folder},
            {"canDelete", !isRoot},
            {"canDownload", HasContent(node)},
            {"canEdit", true},
            {"canListChildren", node.folder},
            {"canModifyContent", true},
            {"canMoveItemWithinDrive", !isRoot},
            {"canReadRevisions", !node.folder},
            {"canRemoveChildren", node.folder},
            {"canRename", !isRoot},
            {"canShare", true},
            {"canTrash", !isRoot},
            {"canUntrash", !isRoot}};
}

}  // namespace

Json FileResource(const Tree& tree, const Node& node, const std::string& accountName) {
    const bool isRoot = node.id == tree.RootId();
    Json r = {{"kind", "drive#file"},
              {"id", node.id},
              {"name", isRoot ? "My Drive" : node.name},
              {"mimeType", node.folder ? FolderMime : node.mimeType}};
    if (!node.description.empty()) r["description"] = node.description;
    r["starred"] = false;
    r["trashed"] = node.trashed;
    r["explicitlyTrashed"] = node.explicitlyTrashed;
    if (node.trashed) {
        r["trashingUser"] = User(accountName);
        r["trashedTime"] = Rfc3339Millis(node.trashedAt);
    }
    if (!isRoot) r["parents"] = Json::array({node.parentId});
    r["spaces"] = Json::array({"drive"});
    r["version"] = std::to_string(node.version + 1);
    r["hasThumbnail"] = false;
    r["thumbnailVersion"] = "0";
    r["viewedByMe"] = true;
    r["viewedByMeTime"] = Rfc3339Millis(node.modified);
    r["createdTime"] = Rfc3339Millis(node.created);
    r["modifiedTime"] = Rfc3339Millis(node.modified);
    r["modifiedByMeTime"] = Rfc3339Millis(node.modified);
    r["modifiedByMe"] = true;
    r["owners"] = Json::array({User(accountName)});
    r["lastModifyingUser"] = User(accountName);
    r["shared"] = false;
    r["ownedByMe"] = true;
    r["capabilities"] = Capabilities(node, isRoot);
    r["viewersCanCopyContent"] = true;
    r["copyRequiresWriterPermission"] = false;
    r["writersCanShare"] = true;
    r["permissionIds"] = Json::array({PermissionId});
    if (HasContent(node)) {
        r["originalFilename"] = node.name;
        if (auto dot = node.name.rfind('.'); dot != std::string::npos && dot + 1 < node.name.size()) {
            r["fullFileExtension"] = node.name.substr(dot + 1);
            r["fileExtension"] = node.name.substr(dot + 1);
        }
        r["md5Checksum"] = node.Md5();
        r["sha1Checksum"] = node.Sha1();
        r["sha256Checksum"] = node.Sha256();
        r["size"] = std::to_string(node.Size());
        r["headRevisionId"] = "0B" + node.Md5().substr(0, 24);
    }
    r["quotaBytesUsed"] = std::to_string(HasContent(node) ? node.Size() : 0);
    r["isAppAuthorized"] = true;
    return r;
}

Json AboutResource(const Tree& tree, const std::string& accountName) {
    std::int64_t used = 0, inTrash = 0;
    for (const auto& [order, node] : tree.InOrder()) {
        used += node->Size();
        if (node->trashed) inTrash += node->Size();
    }
    auto bytes = [](std::int64_t n) { return std::to_string(n); };
    return {
        {"kind", "drive#about"},
        {"user", User(accountName)},
        {"storageQuota",
         {{"limit", bytes(16106127360)},
          {"usage", bytes(used)},
          {"usageInDrive", bytes(used)},
          {"usageInDriveTrash", bytes(inTrash)}}},
        {"importFormats", {{"text/plain", Json::array({"application/vnd.google-apps.document"})}}},
        {"exportFormats", {{"application/vnd.google-apps.document", Json::array({"application/pdf", "text/plain"})}}},
        {"maxImportSizes", {{"application/vnd.google-apps.document", "10485760"}}},
        {"maxUploadSize", "5497558138880"},
        {"appInstalled", false},
        {"folderColorPalette", Json::array({"#ac725e", "#d06b64", "#f83a22", "#fa573c"})},
        {"canCreateDrives", false},
        {"canCreateTeamDrives", false}};
}

}  // namespace Nimbo::Emulator::DriveV3
