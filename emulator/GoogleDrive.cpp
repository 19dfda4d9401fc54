// Google Drive v2 on www.googleapis.com, its download host, and Google's OAuth 2.0 on
// accounts.google.com.

#include "emulator/Service.h"

#include <regex>

namespace Nimbo::Emulator {
namespace {

const std::string ApiHost = "www.googleapis.com";
const std::string AccountsHost = "accounts.google.com";
const std::string DownloadHost = "doc-0s-00-docs.googleusercontent.com";
const std::string FolderMime = "application/vnd.google-apps.folder";
const std::string OobRedirect = "urn:ietf:wg:oauth:2.0:oob";
constexpr int DefaultPageSize = 100, MaxPageSize = 1000;

class GoogleDrive final : public Service {
public:
  GoogleDrive()
      : Service(Cloud::GoogleDrive, "0AEmuRootFolderUk9PVA", [](bool) { return "0B" + RandomToken(26); }, "ya29.",
                "Emulated Google User") {}

  std::vector<std::string> Hosts() const override { return {ApiHost, AccountsHost, DownloadHost}; }

  void SendError(Exchange &ex, int status, const std::string &message) override {
    std::string reason = status == 400 ? "badRequest" : status == 401 ? "authError" : status == 404 ? "notFound"
                       : status == 413 ? "uploadTooLarge" : status >= 500 ? "backendError" : "forbidden";
    Error(ex, status, reason, message);
  }

  void Handle(Exchange &ex) override {
    if (ex.host == AccountsHost) return HandleAccounts(ex);
    if (!Authorized(ex)) return;
    if (ex.host == DownloadHost) return Download(ex);
    static const std::regex filesPath("^/drive/v2/files/?$"), filePath("^/drive/v2/files/([^/]+)$"),
        uploadPath("^/upload/drive/v2/files/?$"), uploadFilePath("^/upload/drive/v2/files/([^/]+)$");
    std::smatch m;
    const std::string &path = ex.Path(), &method = ex.Method();
    if (std::regex_match(path, filesPath)) {
      if (method == "GET") return List(ex);
      if (method == "POST") return Insert(ex);
    } else if (std::regex_match(path, m, filePath)) {
      std::string id = m[1];
      if (method == "GET") return Get(ex, id);
      if (method == "PUT" || method == "PATCH") return Update(ex, id);
      if (method == "DELETE") return Delete(ex, id);
    } else if (std::regex_match(path, uploadPath) && method == "POST") {
      return UploadNew(ex);
    } else if (std::regex_match(path, m, uploadFilePath) && method == "PUT") {
      return UploadContent(ex, m[1]);
    } else if (path == "/drive/v2/about" && method == "GET") {
      return ex.SendJson(200, About(ex), true);
    } else {
      return Error(ex, 404, "notFound", "Not Found");
    }
    Error(ex, 405, "httpMethodNotAllowed", "Method Not Allowed");
  }

private:
  static void Error(Exchange &ex, int status, const std::string &reason, const std::string &message,
                    const std::string &location = "", const std::string &locationType = "parameter") {
    Json item = {{"domain", "global"}, {"reason", reason}, {"message", message}};
    if (!location.empty()) {
      item["locationType"] = locationType;
      item["location"] = location;
    }
    ex.SendJson(status, {{"error", {{"errors", Json::array({item})}, {"code", status}, {"message", message}}}}, true);
  }

  static void NotFound(Exchange &ex, const std::string &id) {
    Error(ex, 404, "notFound", "File not found: " + id + ".", "fileId");
  }

  bool Authorized(Exchange &ex) {
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

  Node *Resolve(const std::string &id) { return tree.Find(id == "root" ? tree.RootId() : id); }

  Json Resource(const Exchange &ex, const Node &node) const {
    const std::string api = "https://" + ApiHost + "/drive/v2/files/";
    bool isRoot = node.id == tree.RootId();
    Json parents = Json::array();
    if (!isRoot) {
      const Node *parent = tree.Find(node.parentId);
      parents.push_back({{"kind", "drive#parentReference"}, {"id", node.parentId},
                         {"selfLink", api + node.id + "/parents/" + node.parentId},
                         {"parentLink", api + node.parentId}, {"isRoot", parent && parent->id == tree.RootId()}});
    }
    Json r = {{"kind", "drive#file"},
              {"id", node.id},
              {"etag", "\"emu" + std::to_string(node.order) + "/" + std::to_string(node.version) + "\""},
              {"selfLink", api + node.id},
              {"alternateLink", "https://drive.google.com/file/d/" + node.id + "/view"},
              {"title", isRoot ? "My Drive" : node.name},
              {"mimeType", node.folder ? FolderMime : node.mimeType},
              {"labels", {{"starred", false}, {"hidden", false}, {"trashed", false}, {"restricted", false}, {"viewed", true}}},
              {"createdDate", Rfc3339Millis(node.created)},
              {"modifiedDate", Rfc3339Millis(node.modified)},
              {"modifiedByMeDate", Rfc3339Millis(node.modified)},
              {"parents", parents}};
    if (!node.folder) {
      r["downloadUrl"] = "https://" + DownloadHost + "/docs/securesc/emulator/" + node.id + "?e=download&gd=true";
      r["originalFilename"] = node.name;
      if (auto dot = node.name.rfind('.'); dot != std::string::npos && dot + 1 < node.name.size())
        r["fileExtension"] = node.name.substr(dot + 1);
      r["md5Checksum"] = Md5Hex(node.content);
      r["fileSize"] = std::to_string(node.Size());
    }
    r["quotaBytesUsed"] = std::to_string(node.folder ? 0 : node.Size());
    r["ownerNames"] = Json::array({accountName});
    r["lastModifyingUserName"] = accountName;
    r["editable"] = true;
    r["copyable"] = !node.folder;
    r["writersCanShare"] = true;
    r["shared"] = false;
    r["appDataContents"] = false;
    r["version"] = std::to_string(node.version + 1);
    (void)ex;
    return r;
  }

  // The search grammar clients use: clauses joined by "and".
  struct Query {
    std::optional<std::string> parent;
    std::optional<bool> trashed;
    std::vector<std::tuple<std::string, bool, std::string>> fields;  // key, equal?, value
  };

  static std::optional<Query> ParseQ(const std::string &q) {
    static const std::regex inParents("^'((?:[^'\\\\]|\\\\.)*)'\\s+in\\s+parents$");
    static const std::regex trashed("^trashed\\s*(=|!=)\\s*(true|false)$");
    static const std::regex field("^(title|mimeType)\\s*(=|!=)\\s*'((?:[^'\\\\]|\\\\.)*)'$");
    auto unescape = [](std::string s) { return std::regex_replace(s, std::regex("\\\\(.)"), "$1"); };
    Query query;
    const std::string &rest = q;
    std::vector<std::string> clauses;
    // Split on " and " outside quoted strings.
    std::string clause;
    bool quoted = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      char c = rest[i];
      if (c == '\\' && quoted && i + 1 < rest.size()) {
        clause += c;
        clause += rest[++i];
        continue;
      }
      if (c == '\'') quoted = !quoted;
      if (!quoted && ToLower(rest.substr(i, 5)) == " and ") {
        clauses.push_back(clause);
        clause.clear();
        i += 4;
        continue;
      }
      clause += c;
    }
    if (quoted) return std::nullopt;
    clauses.push_back(clause);
    for (auto &text : clauses) {
      text = std::regex_replace(text, std::regex("^\\s+|\\s+$"), "");
      std::smatch m;
      if (std::regex_match(text, m, inParents)) query.parent = unescape(m[1]);
      else if (std::regex_match(text, m, trashed)) query.trashed = (m[1] == "=") == (m[2] == "true");
      else if (std::regex_match(text, m, field)) query.fields.emplace_back(m[1], m[2] == "=", unescape(m[3]));
      else return std::nullopt;
    }
    return query;
  }

  bool Selected(const Node &node, const Query &query) const {
    if (node.id == tree.RootId()) return false;
    if (query.parent) {
      std::string parent = *query.parent == "root" ? tree.RootId() : *query.parent;
      if (node.parentId != parent) return false;
    }
    if (query.trashed && *query.trashed) return false;  // nothing here is ever in the trash
    for (const auto &[key, equal, value] : query.fields) {
      std::string actual = key == "title" ? node.name : (node.folder ? FolderMime : node.mimeType);
      if ((actual == value) != equal) return false;
    }
    return true;
  }

  void List(Exchange &ex) {
    std::string q = ex.Query("q");
    std::optional<Query> query = q.empty() ? Query{} : ParseQ(q);
    if (!query) return Error(ex, 400, "invalid", "Invalid Value", "q");
    int pageSize = DefaultPageSize;
    if (ex.HasQuery("maxResults")) {
      try {
        std::size_t used = 0;
        pageSize = std::stoi(ex.Query("maxResults"), &used);
        if (used != ex.Query("maxResults").size()) throw std::invalid_argument("trailing text");
      } catch (const std::exception &) {
        return Error(ex, 400, "invalid", "Invalid Value", "maxResults");
      }
      if (pageSize < 0 || pageSize > MaxPageSize) return Error(ex, 400, "invalid", "Invalid Value", "maxResults");
      if (pageSize == 0) pageSize = DefaultPageSize;
    }
    std::size_t offset = 0;
    const std::string fingerprint = Md5Hex(q).substr(0, 8);
    if (ex.HasQuery("pageToken")) {
      std::string decoded;
      try {
        decoded = Base64Decode(ex.Query("pageToken"));
      } catch (const std::exception &) {
      }
      auto colon = decoded.find(':');
      if (colon == std::string::npos || decoded.substr(colon + 1) != fingerprint)
        return Error(ex, 400, "invalid", "Invalid Value", "pageToken");
      try {
        offset = std::stoul(decoded.substr(0, colon));
      } catch (const std::exception &) {
        return Error(ex, 400, "invalid", "Invalid Value", "pageToken");
      }
    }
    std::vector<const Node *> selected;
    for (const Node *node : AllNodes())
      if (Selected(*node, *query)) selected.push_back(node);
    Json items = Json::array();
    for (std::size_t i = offset; i < selected.size() && i < offset + pageSize; ++i) items.push_back(Resource(ex, *selected[i]));
    const std::string base = "https://" + ApiHost + "/drive/v2/files";
    Json answer = {{"kind", "drive#fileList"},
                   {"etag", "\"emu/" + Md5Hex(std::to_string(selected.size()) + q) + "\""},
                   {"selfLink", AppendQuery(base, {{"q", q}})}};
    if (offset + pageSize < selected.size()) {
      std::string token = Base64Encode(std::to_string(offset + pageSize) + ":" + fingerprint);
      answer["nextPageToken"] = token;
      answer["nextLink"] = AppendQuery(base, {{"maxResults", std::to_string(pageSize)}, {"pageToken", token}, {"q", q}});
    }
    answer["items"] = items;
    ex.SendJson(200, answer, true);
  }

  std::vector<const Node *> AllNodes() const {
    std::vector<const Node *> all, pending{&tree.Root()};
    // Breadth-first keeps children of one folder in their creation order.
    for (std::size_t i = 0; i < pending.size(); ++i)
      for (const Node *child : tree.Children(pending[i]->id)) pending.push_back(child);
    all.assign(pending.begin() + 1, pending.end());
    return all;
  }

  void Get(Exchange &ex, const std::string &id) {
    Node *node = Resolve(id);
    if (!node) return NotFound(ex, id);
    if (ex.Query("alt") == "media") {
      if (node->folder) return Error(ex, 403, "fileNotDownloadable", "Only files with binary content can be downloaded.");
      return ex.SendContent(node->content, node->mimeType);
    }
    ex.SendJson(200, Resource(ex, *node), true);
  }

  // Applies "title", "parents" and "mimeType" of a metadata body; answers an error and returns false
  // when the body is unusable.
  bool ApplyMetadata(Exchange &ex, Node &node, const Json &meta) {
    if (meta.contains("title")) {
      if (!meta["title"].is_string()) return Error(ex, 400, "invalid", "Invalid Value", "title"), false;
      node.name = meta["title"].get<std::string>();
    }
    if (meta.contains("parents")) {
      if (!meta["parents"].is_array()) return Error(ex, 400, "invalid", "Invalid Value", "parents"), false;
      std::vector<std::string> ids;
      for (const auto &ref : meta["parents"]) {
        if (!ref.is_object() || !ref.contains("id") || !ref["id"].is_string())
          return Error(ex, 400, "required", "Required", "parents.id"), false;
        Node *parent = Resolve(ref["id"].get<std::string>());
        if (!parent || !parent->folder) return NotFound(ex, ref["id"].get<std::string>()), false;
        if (parent->id == node.id || tree.IsInside(parent->id, node.id))
          return Error(ex, 400, "invalidParent", "A folder cannot be placed inside itself."), false;
        ids.push_back(parent->id);
      }
      if (!ids.empty()) node.parentId = ids.front();  // one parent per item in this tree
    }
    if (meta.contains("mimeType") && meta["mimeType"].is_string() && !node.folder)
      node.mimeType = meta["mimeType"].get<std::string>();
    return true;
  }

  std::optional<Json> MetadataBody(Exchange &ex) {
    if (ex.body.empty()) return Json::object();
    auto meta = ParseJsonObject(ex.body);
    if (!meta) Error(ex, 400, "parseError", "Parse Error");
    return meta;
  }

  void Insert(Exchange &ex) {
    auto meta = MetadataBody(ex);
    if (!meta) return;
    bool folder = meta->value("mimeType", Json("")).is_string() && meta->value("mimeType", "") == FolderMime;
    Node draft;
    draft.id = "";
    draft.parentId = tree.RootId();
    draft.name = "Untitled";
    draft.mimeType = folder ? "" : "application/octet-stream";
    if (!ApplyMetadata(ex, draft, *meta)) return;
    Node &node = folder ? tree.AddFolder(draft.parentId, draft.name, ex.now)
                        : tree.AddFile(draft.parentId, draft.name, "", draft.mimeType, ex.now);
    ex.SendJson(200, Resource(ex, node), true);
  }

  void Update(Exchange &ex, const std::string &id) {
    Node *node = Resolve(id);
    if (!node) return NotFound(ex, id);
    auto meta = MetadataBody(ex);
    if (!meta) return;
    if (node->id == tree.RootId() && meta->contains("parents"))
      return Error(ex, 400, "invalid", "Invalid Value", "parents");
    Node copy = *node;
    if (!ApplyMetadata(ex, copy, *meta)) return;
    node->name = copy.name;
    node->parentId = copy.parentId;
    node->mimeType = copy.mimeType;
    ++node->version;
    if (ex.Query("setModifiedDate") == "true") node->modified = ex.now;
    ex.SendJson(200, Resource(ex, *node), true);
  }

  void Delete(Exchange &ex, const std::string &id) {
    Node *node = Resolve(id);
    if (!node) return NotFound(ex, id);
    if (node->id == tree.RootId())
      return Error(ex, 403, "insufficientFilePermissions", "The user does not have sufficient permissions for this file.");
    tree.Remove(node->id);
    ex.SendEmpty(204);
  }

  static std::string ContentTypeOf(const Exchange &ex) {
    std::string type = ex.Header("Content-Type");
    type = type.substr(0, type.find(';'));
    return type.empty() ? "application/octet-stream" : type;
  }

  bool MediaUpload(Exchange &ex) {
    if (ex.Query("uploadType") == "media") return true;
    Error(ex, 400, "invalid", "Invalid Value", "uploadType");
    return false;
  }

  void UploadNew(Exchange &ex) {
    if (!MediaUpload(ex)) return;
    Node &node = tree.AddFile(tree.RootId(), "Untitled", ex.body, ContentTypeOf(ex), ex.now);
    ex.SendJson(200, Resource(ex, node), true);
  }

  void UploadContent(Exchange &ex, const std::string &id) {
    if (!MediaUpload(ex)) return;
    Node *node = Resolve(id);
    if (!node) return NotFound(ex, id);
    if (node->folder) return Error(ex, 400, "badContent", "A folder cannot have content.");
    if (ex.req.has_header("Content-Type")) node->mimeType = ContentTypeOf(ex);
    tree.SetContent(*node, ex.body, ex.now);
    ex.SendJson(200, Resource(ex, *node), true);
  }

  void Download(Exchange &ex) {
    static const std::regex downloadPath("^/docs/securesc/emulator/([^/]+)$");
    std::smatch m;
    Node *node = std::regex_match(ex.Path(), m, downloadPath) ? tree.Find(m[1]) : nullptr;
    if (!node || node->folder) return Error(ex, 404, "notFound", "Not Found");
    ex.SendContent(node->content, node->mimeType);
  }

  Json About(const Exchange &) const {
    return {{"kind", "drive#about"}, {"name", accountName}, {"rootFolderId", tree.RootId()},
            {"user", {{"kind", "drive#user"}, {"displayName", accountName}, {"isAuthenticatedUser", true}}}};
  }

  // accounts.google.com

  void HandleAccounts(Exchange &ex) {
    const std::string &path = ex.Path();
    if (path == "/o/oauth2/auth") return Authorize(ex);
    if (path == "/o/oauth2/approval") return Approval(ex);
    if (path == "/o/oauth2/token" && ex.Method() == "POST") return Token(ex);
    ex.SendHtml(404, "<!DOCTYPE html><html><head><title>Error 404 (Not Found)</title></head><body>404</body></html>\n");
  }

  void Authorize(Exchange &ex) {
    std::string redirect = ex.Field("redirect_uri");
    const OAuthClient *client = AuthorizingClient(ex, redirect, true);
    if (!client) return;
    if (ex.Field("scope").empty())
      return ex.SendHtml(400, "<!DOCTYPE html><html><head><title>Error</title></head><body><p>invalid_request: "
                              "Missing required parameter: scope</p></body></html>\n");
    SignInDecision decision = Consent(ex);
    if (decision == SignInDecision::Ask) return SendSignInForm(ex, "Google Accounts", client->id, ex.Field("scope"));
    bool oob = redirect.rfind(OobRedirect, 0) == 0;
    std::vector<std::pair<std::string, std::string>> answer;
    if (decision == SignInDecision::Allow) {
      answer.emplace_back("code", "4/" + oauth.IssueCode({client->id, ex.Field("scope"), redirect,
                                                          ex.now + std::chrono::minutes(10), false}));
    } else {
      answer.emplace_back("error", "access_denied");
      answer.emplace_back("error_description", DenyReason(ex, "The user denied access."));
    }
    if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
    if (oob) {
      // The installed-application page; its address also names the redirect so that address
      // watchers find the result as well as title watchers.
      return ex.Redirect(AppendQuery("https://" + AccountsHost + "/o/oauth2/approval?redirect_uri=" + redirect, answer));
    }
    ex.Redirect(AppendQuery(redirect, answer));
  }

  void Approval(Exchange &ex) {
    std::string title, text;
    if (ex.HasQuery("code")) {
      title = "Success code=" + ex.Query("code");
      text = "Please copy this code, switch to your application and paste it there:</p><p><input id=\"code\" "
             "readonly value=\"" + HtmlEscape(ex.Query("code")) + "\">";
    } else {
      title = "Denied error=" + (ex.Query("error").empty() ? std::string("access_denied") : ex.Query("error"));
      text = "You denied access to the application. " + HtmlEscape(ex.Query("error_description"));
    }
    ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
                         "</title></head><body><p>" + text + "</p></body></html>\n");
  }

  void TokenError(Exchange &ex, int status, const std::string &error, const std::string &description) {
    Json body = {{"error", error}};
    if (!description.empty()) body["error_description"] = description;
    ex.SendJson(status, body, true);
  }

  void Token(Exchange &ex) {
    std::string grantType = ex.Form("grant_type");
    if (grantType.empty()) return TokenError(ex, 400, "invalid_request", "Required parameter is missing: grant_type");
    if (grantType != "authorization_code" && grantType != "refresh_token")
      return TokenError(ex, 400, "unsupported_grant_type", "Invalid grant_type: " + grantType);
    const OAuthClient *client = TokenClient(ex, true);
    if (!client) return TokenError(ex, 401, "invalid_client", "The OAuth client was not found.");
    Json answer;
    if (grantType == "authorization_code") {
      std::string code = ex.Form("code");
      if (code.empty()) return TokenError(ex, 400, "invalid_request", "Missing required parameter: code");
      if (code.rfind("4/", 0) == 0) code = code.substr(2);
      Grant grant;
      switch (oauth.RedeemCode(code, client->id, ex.Form("redirect_uri"), ex.now, grant)) {
        case CodeCheck::Ok: break;
        case CodeCheck::Used: return TokenError(ex, 400, "invalid_grant", "Code was already redeemed.");
        case CodeCheck::OtherRedirect: return TokenError(ex, 400, "redirect_uri_mismatch", "Bad Request");
        case CodeCheck::Expired:
        case CodeCheck::Unknown:
        case CodeCheck::OtherClient: return TokenError(ex, 400, "invalid_grant", "Malformed auth code.");
      }
      grant.expires = ex.now + std::chrono::seconds(3600);
      answer = {{"access_token", oauth.IssueAccessToken(grant)}, {"token_type", "Bearer"}, {"expires_in", 3600},
                {"refresh_token", "1/" + oauth.IssueRefreshToken(grant)}};
    } else {
      std::string token = ex.Form("refresh_token");
      if (token.rfind("1/", 0) == 0) token = token.substr(2);
      Grant *grant = token.empty() ? nullptr : oauth.RefreshToken(token);
      if (!grant || grant->clientId != client->id) return TokenError(ex, 400, "invalid_grant", "Bad Request");
      if (grant->spent) return TokenError(ex, 400, "invalid_grant", "Token has been revoked.");
      Grant access = *grant;
      access.expires = ex.now + std::chrono::seconds(3600);
      answer = {{"access_token", oauth.IssueAccessToken(access)}, {"token_type", "Bearer"}, {"expires_in", 3600}};
    }
    ex.res.set_header("Cache-Control", "no-cache, no-store, max-age=0, must-revalidate");
    ex.SendJson(200, answer, true);
  }
};

}  // namespace

std::unique_ptr<Service> MakeGoogleDrive() { return std::make_unique<GoogleDrive>(); }

}  // namespace Nimbo::Emulator
