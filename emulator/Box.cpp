// Box Content API 2.0 on api.box.com, uploads on upload.box.com, downloads on dl.boxcloud.com, and
// Box OAuth 2.0 on app.box.com (also the older www.box.com and the newer account.box.com). Items
// are addressed by numeric ids; the root folder is "0"; names ignore case.

#include "emulator/Service.h"

#include <algorithm>
#include <random>

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
constexpr std::size_t DefaultLimit = 100, MaxLimit = 1000, MaxOffset = 300000;
constexpr auto CodeLifetime = std::chrono::seconds(30);
constexpr auto RefreshLifetime = std::chrono::hours(24 * 60);
constexpr auto DownloadLifetime = std::chrono::minutes(15);
const Json DefaultOrder = Json::array({{{"by", "type"}, {"direction", "ASC"}}, {{"by", "name"}, {"direction", "ASC"}}});

// Box's own answers escape "/" inside strings ("http:\/\/..."); clients must not mind either way.
std::string BoxJsonText(const Json &body) {
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
std::string NameProblem(const std::string &name) {
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

class Box final : public Service {
public:
  Box() : Service(Cloud::Box, "0", [this](bool) { return NewId(); }, "", "Emulated Box User") {}

  std::vector<std::string> Hosts() const override {
    return {ApiHost, UploadHost, AppHost, LegacyWebHost, AccountHost, DownloadHost};
  }
  bool NamesIgnoreCase() const override { return true; }

  void SendError(Exchange &ex, int status, const std::string &message) override {
    std::string code = status == 400 ? "bad_request" : status == 404 ? "not_found" : status == 405 ? "method_not_allowed"
                     : status == 413 ? "request_entity_too_large" : status >= 500 ? "internal_server_error" : "forbidden";
    Error(ex, status, code, message);
  }

  void Reset(TimePoint now) override {
    Service::Reset(now);
    tickets_.clear();
  }

  // Refresh tokens last 60 days (or one use).
  TokenPair IssueTokens(const std::string &clientId, const std::string &scope, TimePoint now) override {
    Grant grant{clientId, scope, "", now + std::chrono::hours(1), false};
    return {oauth.IssueAccessToken(grant), oauth.IssueRefreshToken(grant, now + RefreshLifetime)};
  }

  void Handle(Exchange &ex) override {
    const std::string &path = ex.Path();
    if (ex.host == DownloadHost) return ServeDownload(ex);
    bool webHost = ex.host == AppHost || ex.host == LegacyWebHost || ex.host == AccountHost;
    if (webHost && path == "/api/oauth2/authorize") return Authorize(ex);
    if ((webHost && ex.host != AccountHost && path == "/api/oauth2/token") || (ex.host == ApiHost && path == "/oauth2/token"))
      return Token(ex);
    if (webHost && path == BlankPagePath && ex.Method() == "GET")
      return ex.SendHtml(200, "<!DOCTYPE html>\n<html><head><title></title></head><body></body></html>\n");
    if (webHost) return ex.SendHtml(404, "<!DOCTYPE html>\n<html><head><title>Box | 404 Page Not Found</title></head><body>Not found</body></html>\n");
    if (!Authorized(ex)) return;
    std::vector<std::string> parts;
    if (ex.host == UploadHost ? Split(path, "/api/2.0/", parts) : Split(path, "/2.0/", parts)) {
      if (ex.host == UploadHost) return RouteUpload(ex, parts);
      return RouteApi(ex, parts);
    }
    Error(ex, 404, "not_found", "Not Found");
  }

private:
  std::uint64_t nextNumber_ = 100000000001;
  std::map<std::string, DownloadTicket> tickets_;

  std::string NewId() {
    std::string id;
    do id = std::to_string(nextNumber_++);
    while (tree.Find(id));
    return id;
  }

  static bool Split(const std::string &path, const std::string &prefix, std::vector<std::string> &parts) {
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    std::string rest = path.substr(prefix.size());
    for (std::size_t start = 0; start <= rest.size();) {
      auto slash = std::min(rest.find('/', start), rest.size());
      parts.push_back(rest.substr(start, slash - start));
      start = slash + 1;
    }
    return true;
  }

  static void Send(Exchange &ex, int status, const Json &body) {
    ex.SendText(status, BoxJsonText(body), "application/json");
  }

  static void Error(Exchange &ex, int status, const std::string &code, const std::string &message,
                    const Json &contextInfo = nullptr) {
    Json body = {{"type", "error"}, {"status", status}, {"code", code}};
    if (!contextInfo.is_null()) body["context_info"] = contextInfo;
    body["help_url"] = HelpUrl;
    body["message"] = message;
    body["request_id"] = ToLower(RandomToken(16));
    Send(ex, status, body);
  }

  // A 400 or 404 that names the parameter at fault, as Box's validation answers do.
  static void ParameterError(Exchange &ex, int status, const std::string &reason, const std::string &name,
                             const std::string &message) {
    Error(ex, status, status == 404 ? "not_found" : "bad_request", status == 404 ? "Not Found" : "Bad Request",
          {{"errors", Json::array({{{"reason", reason}, {"name", name}, {"message", message}}})}});
  }

  static void NotFound(Exchange &ex) { Error(ex, 404, "not_found", "Not Found"); }
  void MethodNotAllowed(Exchange &ex) override { Error(ex, 405, "method_not_allowed", "Method Not Allowed"); }

  // Box answers a bad token with an empty body and the reason in WWW-Authenticate.
  bool Authorized(Exchange &ex) {
    TokenCheck check = oauth.CheckAccessToken(ex.BearerToken(false), ex.now);
    if (check == TokenCheck::Ok) return true;
    ex.res.set_header("WWW-Authenticate",
                      check == TokenCheck::Missing
                          ? "Bearer realm=\"Service\""
                          : "Bearer realm=\"Service\", error=\"invalid_token\", error_description=\"The access token provided is invalid.\"");
    ex.SendEmpty(401);
    return false;
  }

  void RouteApi(Exchange &ex, const std::vector<std::string> &parts) {
    const std::string &method = ex.Method();
    if (parts.size() == 2 && parts[0] == "users" && parts[1] == "me")
      return method == "GET" ? Me(ex) : MethodNotAllowed(ex);
    if (parts.size() == 1 && parts[0] == "folders") return method == "POST" ? CreateFolder(ex) : MethodNotAllowed(ex);
    if (parts.size() < 2 || (parts[0] != "folders" && parts[0] != "files")) return NotFound(ex);
    bool folders = parts[0] == "folders";
    Node *node = tree.Find(parts[1]);
    if (!node || node->folder != folders) return NotFound(ex);
    if (parts.size() == 2) {
      if (method == "GET") return Send(ex, 200, Selected(ex, Full(*node, folders)));
      if (method == "DELETE") return Delete(ex, *node);
      return MethodNotAllowed(ex);
    }
    if (parts.size() == 3 && folders && parts[2] == "items") return method == "GET" ? Items(ex, *node) : MethodNotAllowed(ex);
    if (parts.size() == 3 && !folders && parts[2] == "content") return method == "GET" ? Download(ex, *node) : MethodNotAllowed(ex);
    NotFound(ex);
  }

  void RouteUpload(Exchange &ex, const std::vector<std::string> &parts) {
    bool isNew = parts.size() == 2 && parts[0] == "files" && parts[1] == "content";
    bool isVersion = parts.size() == 3 && parts[0] == "files" && parts[2] == "content";
    if (!isNew && !isVersion) return NotFound(ex);
    if (ex.Method() != "POST") return MethodNotAllowed(ex);
    if (isNew) return UploadNew(ex);
    Node *node = tree.Find(parts[1]);
    if (!node || node->folder) return NotFound(ex);
    UploadVersion(ex, *node);
  }

  // --- objects ---

  static std::string Time(TimePoint t) { return Iso8601WithOffset(t, TimeOffsetMinutes); }
  bool IsRoot(const Node &node) const { return node.id == tree.RootId(); }
  std::string Name(const Node &node) const { return IsRoot(node) ? "All Files" : node.name; }

  static std::string VersionId(const Node &node) {
    return std::to_string(std::stoull(node.id) * 100000 + node.version % 100000);
  }

  Json Mini(const Node &node) const {
    bool root = IsRoot(node);
    Json m = {{"type", node.folder ? "folder" : "file"},
              {"id", node.id},
              {"sequence_id", root ? Json(nullptr) : Json(std::to_string(node.version))},
              {"etag", root ? Json(nullptr) : Json(std::to_string(node.version))}};
    if (!node.folder) {
      const std::string &sha1 = node.sha1;
      m["file_version"] = {{"type", "file_version"}, {"id", VersionId(node)}, {"sha1", sha1}};
      m["sha1"] = sha1;
    }
    m["name"] = Name(node);
    return m;
  }

  Json User() const { return {{"type", "user"}, {"id", UserId}, {"name", accountName}, {"login", "user@example.com"}}; }

  Json Full(const Node &node, bool withItems) const {
    bool root = IsRoot(node);
    Json f = Mini(node);
    auto time = [&](TimePoint t) { return root ? Json(nullptr) : Json(Time(t)); };
    f["description"] = node.description;
    f["size"] = tree.TotalSize(node.id);
    Json path = Json::array();
    if (!root)
      for (const Node *ancestor : tree.Ancestors(node.id)) path.push_back(Mini(*ancestor));
    f["path_collection"] = {{"total_count", path.size()}, {"entries", path}};
    f["created_at"] = time(node.created);
    f["modified_at"] = time(node.modified);
    f["trashed_at"] = nullptr;
    f["purged_at"] = nullptr;
    f["content_created_at"] = time(node.created);
    f["content_modified_at"] = time(node.modified);
    f["created_by"] = root ? Json({{"type", "user"}, {"id", ""}, {"name", ""}, {"login", ""}}) : User();
    f["modified_by"] = f["created_by"];
    f["owned_by"] = User();
    f["shared_link"] = nullptr;
    f["parent"] = root ? Json(nullptr) : Mini(*tree.Find(node.parentId));
    f["item_status"] = "active";
    if (node.folder && withItems) {
      auto children = SortedChildren(node);
      Json entries = Json::array();
      for (std::size_t i = 0; i < children.size() && i < DefaultLimit; ++i) entries.push_back(Mini(*children[i]));
      f["item_collection"] = {{"total_count", children.size()}, {"entries", entries}, {"offset", 0},
                              {"limit", DefaultLimit}, {"order", DefaultOrder}};
    }
    return f;
  }

  // With a "fields" query an object has its mini keys and the fields asked for, nothing else.
  static Json Selected(const Exchange &ex, const Json &full) {
    if (!ex.HasQuery("fields")) return full;
    std::vector<std::string> asked{"type", "id", "sequence_id", "etag", "name", "sha1", "file_version"};
    std::string fields = ex.Query("fields") + ",";
    for (std::size_t start = 0, comma; (comma = fields.find(',', start)) != std::string::npos; start = comma + 1)
      asked.push_back(fields.substr(start, comma - start));
    Json out = Json::object();
    for (const auto &[key, value] : full.items())
      if (std::find(asked.begin(), asked.end(), key) != asked.end()) out[key] = value;
    return out;
  }

  // Folders first, then by name without regard to case, as the "order" of a listing says.
  std::vector<const Node *> SortedChildren(const Node &folder) const {
    auto children = tree.Children(folder.id);
    std::stable_sort(children.begin(), children.end(), [](const Node *a, const Node *b) {
      if (a->folder != b->folder) return a->folder;
      return ToLower(a->name) < ToLower(b->name);
    });
    return children;
  }

  // --- api.box.com ---

  void Me(Exchange &ex) {
    constexpr std::int64_t space = 10LL << 30;
    Json me = User();
    me.update({{"created_at", Time(tree.Root().created)}, {"modified_at", Time(tree.Root().modified)},
               {"language", "en"}, {"timezone", "America/Los_Angeles"}, {"space_amount", space},
               {"space_used", tree.TotalSize(tree.RootId())}, {"max_upload_size", 2147483648LL},
               {"status", "active"}, {"job_title", ""}, {"phone", ""}, {"address", ""},
               {"avatar_url", "https://" + AppHost + "/api/avatar/large/" + UserId}});
    Send(ex, 200, me);
  }

  static bool Number(Exchange &ex, const std::string &key, std::size_t fallback, std::size_t minimum, std::size_t &value) {
    value = fallback;
    if (!ex.HasQuery(key)) return true;
    const std::string text = ex.Query(key);
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) < minimum) {
      ParameterError(ex, 400, "invalid_parameter", key, "Invalid value '" + text + "'. '" + key + "' must be a number of at least " + std::to_string(minimum));
      return false;
    }
    value = std::stoul(text);
    return true;
  }

  void Items(Exchange &ex, const Node &folder) {
    std::size_t limit, offset;
    if (!Number(ex, "limit", DefaultLimit, 1, limit) || !Number(ex, "offset", 0, 0, offset)) return;
    if (offset > MaxOffset)
      return ParameterError(ex, 400, "invalid_parameter", "offset",
                            "Invalid value '" + ex.Query("offset") + "'. The offset must not exceed the maximum offset of 300000");
    limit = std::min(limit, MaxLimit);
    auto children = SortedChildren(folder);
    Json entries = Json::array();
    for (std::size_t i = offset; i < children.size() && i < offset + limit; ++i)
      entries.push_back(ex.HasQuery("fields") ? Selected(ex, Full(*children[i], false)) : Mini(*children[i]));
    Send(ex, 200, {{"total_count", children.size()}, {"entries", entries}, {"offset", offset}, {"limit", limit},
                   {"order", DefaultOrder}});
  }

  bool EtagMatches(Exchange &ex, const Node &node) {
    if (!ex.req.has_header("If-Match") || ex.Header("If-Match") == std::to_string(node.version)) return true;
    Error(ex, 412, "precondition_failed", "The resource has been modified. Please retrieve the resource again and retry");
    return false;
  }

  void Delete(Exchange &ex, const Node &node) {
    if (IsRoot(node))
      return Error(ex, 403, "access_denied_insufficient_permissions", "Access denied - insufficient permission");
    if (!EtagMatches(ex, node)) return;
    if (node.folder && !tree.Children(node.id).empty() && ex.Query("recursive") != "true")
      return Error(ex, 400, "folder_not_empty", "Cannot delete - folder not empty");
    tree.Remove(node.id);
    ex.SendEmpty(204);
  }

  // 409 with the item in the way: one object for uploads, a list for new folders.
  void NameInUse(Exchange &ex, const Node &existing, bool asList) {
    Json conflict = Mini(existing);
    Error(ex, 409, "item_name_in_use", "Item with the same name already exists",
          {{"conflicts", asList ? Json::array({conflict}) : conflict}});
  }

  bool UsableName(Exchange &ex, const std::string &name) {
    std::string problem = NameProblem(name);
    if (problem.empty()) return true;
    Error(ex, 400, problem, problem == "item_name_too_long" ? "Item name too long" : "Item name invalid");
    return false;
  }

  Node *ParentFolder(Exchange &ex, const std::string &id) {
    Node *parent = tree.Find(id);
    if (parent && parent->folder) return parent;
    ParameterError(ex, 404, "invalid_parameter", "parent", "Invalid value '" + id + "'. 'parent' with value '" + id + "' not found");
    return nullptr;
  }

  void CreateFolder(Exchange &ex) {
    auto body = ParseJsonObject(ex.body);
    if (!body) return Error(ex, 400, "bad_request", "Could not parse JSON");
    const Json name = body->value("name", Json()), parent = body->value("parent", Json());
    if (!name.is_string()) return ParameterError(ex, 400, "missing_parameter", "name", "'name' is required");
    if (!parent.is_object() || !parent.contains("id") || !parent["id"].is_string())
      return ParameterError(ex, 400, "missing_parameter", "parent", "'parent' is required");
    Node *folder = ParentFolder(ex, parent["id"].get<std::string>());
    if (!folder || !UsableName(ex, name.get<std::string>())) return;
    if (Node *existing = tree.ChildByName(folder->id, name.get<std::string>(), true)) return NameInUse(ex, *existing, true);
    Node &created = tree.AddFolder(folder->id, name.get<std::string>(), ex.now);
    Send(ex, 201, Full(created, true));
  }

  // --- downloads ---

  void Download(Exchange &ex, const Node &node) {
    if (ex.HasQuery("version") && ex.Query("version") != VersionId(node)) return NotFound(ex);
    for (auto it = tickets_.begin(); it != tickets_.end();)
      it = ex.now >= it->second.expires ? tickets_.erase(it) : std::next(it);
    std::string ticket = RandomToken(48);
    tickets_[ticket] = {node.id, node.version, ex.now + DownloadLifetime};
    ex.Redirect("https://" + DownloadHost + "/d/1/" + ticket + "/download");
  }

  // dl.boxcloud.com/d/1/<ticket>/download: no token needed, byte ranges answered.
  void ServeDownload(Exchange &ex) {
    std::vector<std::string> parts;
    const Node *node = nullptr;
    if (ex.Method() == "GET" && Split(ex.Path(), "/d/1/", parts) && parts.size() == 2 && parts[1] == "download") {
      auto it = tickets_.find(parts[0]);
      if (it != tickets_.end() && ex.now < it->second.expires) node = tree.Find(it->second.fileId);
      if (node && node->version != it->second.version) node = nullptr;
    }
    if (!node) return ex.SendText(404, "Not Found\n");
    ex.res.set_header("Content-Disposition", "attachment;filename=\"" + node->name + "\"");
    ex.SendContent(node->content, node->mimeType);
  }

  // --- upload.box.com ---

  struct UploadForm {
    const RecordedPart *file = nullptr;
    std::optional<Json> attributes;
    std::string parentId;  // the older form's parent_id field
  };

  // Reads the multipart body; answers the error and returns nullopt when it is unusable.
  std::optional<UploadForm> ReadUploadForm(Exchange &ex) {
    UploadForm form;
    for (const RecordedPart &part : ex.parts) {
      if (!part.fileName.empty() && !form.file) {
        form.file = &part;
      } else if (part.name == "attributes") {
        if (form.file) return Error(ex, 400, "metadata_after_file_contents", "Metadata after file contents"), std::nullopt;
        form.attributes = ParseJsonObject(part.content);
        if (!form.attributes) return ParameterError(ex, 400, "invalid_parameter", "attributes", "Could not parse JSON"), std::nullopt;
      } else if (part.name == "parent_id") {
        form.parentId = part.content;
      }
    }
    if (!form.file) return Error(ex, 400, "bad_request", "API upload did not contain a file part"), std::nullopt;
    return form;
  }

  void SendUploaded(Exchange &ex, const Node &node) {
    Send(ex, 201, {{"total_count", 1}, {"entries", Json::array({Full(node, false)})}});
  }

  void UploadNew(Exchange &ex) {
    auto form = ReadUploadForm(ex);
    if (!form) return;
    std::string name = form->file->fileName, parentId = form->parentId;
    if (form->attributes) {
      const Json &a = *form->attributes;
      if (a.contains("name") && a["name"].is_string()) name = a["name"].get<std::string>();
      if (a.contains("parent") && a["parent"].is_object() && a["parent"].contains("id") && a["parent"]["id"].is_string())
        parentId = a["parent"]["id"].get<std::string>();
    }
    if (parentId.empty()) return ParameterError(ex, 400, "missing_parameter", "parent", "'parent' is required");
    Node *parent = ParentFolder(ex, parentId);
    if (!parent || !UsableName(ex, name)) return;
    if (Node *existing = tree.ChildByName(parent->id, name, true)) return NameInUse(ex, *existing, false);
    std::string mime = form->file->contentType.empty() || form->file->contentType == "application/octet-stream"
                           ? MimeTypeFor(name) : form->file->contentType;
    SendUploaded(ex, tree.AddFile(parent->id, name, form->file->content, mime, ex.now));
  }

  void UploadVersion(Exchange &ex, Node &node) {
    if (!EtagMatches(ex, node)) return;
    auto form = ReadUploadForm(ex);
    if (!form) return;
    if (form->attributes && form->attributes->contains("name") && (*form->attributes)["name"].is_string()) {
      std::string name = (*form->attributes)["name"].get<std::string>();
      if (!UsableName(ex, name)) return;
      Node *existing = tree.ChildByName(node.parentId, name, true);
      if (existing && existing != &node) return NameInUse(ex, *existing, false);
      tree.Rename(node, name);
    }
    tree.SetContent(node, form->file->content, ex.now);
    SendUploaded(ex, node);
  }

  // --- OAuth 2.0 on app.box.com ---

  static bool SecureRedirect(const std::string &uri) {
    return uri.rfind("https://", 0) == 0 || uri.rfind("http://localhost", 0) == 0 || uri.rfind("http://127.0.0.1", 0) == 0;
  }

  void Authorize(Exchange &ex) {
    // redirect_uri may be left out when the application registered exactly one.
    std::string redirect = ex.Field("redirect_uri");
    if (const OAuthClient *known = oauth.Client(ex.Field("client_id")); known && redirect.empty() && known->redirectUris.size() == 1)
      redirect = known->redirectUris.front();
    const OAuthClient *client = AuthorizingClient(ex, redirect, true);
    if (!client) return;
    std::string problem = ex.Field("response_type") != "code" ? "unsupported_response_type: Box signs in with response_type=code"
                        : !SecureRedirect(redirect)       ? "invalid_request: The redirect_uri must use https"
                                                          : "";
    if (!problem.empty())
      return ex.SendHtml(400, "<!DOCTYPE html>\n<html><head><title>Box | Error</title></head><body><p>" + HtmlEscape(problem) +
                                  "</p></body></html>\n");
    SignInDecision decision = Consent(ex);
    if (decision == SignInDecision::Ask) return SendSignInForm(ex, "Box", client->id, "");
    std::vector<std::pair<std::string, std::string>> answer;
    if (!ex.Field("state").empty()) answer.emplace_back("state", ex.Field("state"));
    if (decision == SignInDecision::Allow) {
      answer.emplace_back("code", oauth.IssueCode({client->id, "", redirect, ex.now + CodeLifetime, false}));
    } else {
      answer.insert(answer.begin(), {{"error", "access_denied"},
                                     {"error_description", DenyReason(ex, "The user denied access to your application")}});
    }
    ex.Redirect(AppendQuery(redirect, answer));
  }

  static void TokenError(Exchange &ex, int status, const std::string &error, const std::string &description) {
    Send(ex, status, {{"error", error}, {"error_description", description}});
  }

  void SendTokens(Exchange &ex, Grant grant) {
    int seconds = AccessTokenSeconds();
    grant.expires = ex.now + std::chrono::seconds(seconds);
    Send(ex, 200, {{"access_token", oauth.IssueAccessToken(grant)}, {"expires_in", seconds},
                   {"restricted_to", Json::array()}, {"refresh_token", oauth.IssueRefreshToken(grant, ex.now + RefreshLifetime)},
                   {"token_type", "bearer"}});
  }

  void Token(Exchange &ex) {
    if (ex.Method() != "POST") return TokenError(ex, 400, "invalid_request", "The token endpoint takes POST requests");
    const std::string grantType = ex.Form("grant_type");
    if (grantType != "authorization_code" && grantType != "refresh_token")
      return TokenError(ex, 400, grantType.empty() ? "invalid_request" : "unsupported_grant_type",
                        "Invalid grant_type parameter or parameter missing");
    const OAuthClient *client = TokenClient(ex, true);
    if (!client) return TokenError(ex, 400, "invalid_client", "The client credentials are invalid");
    Grant grant;
    if (grantType == "authorization_code") {
      switch (oauth.RedeemCode(ex.Form("code"), client->id, ex.Form("redirect_uri"), ex.now, grant)) {
        case CodeCheck::Ok: return SendTokens(ex, grant);
        case CodeCheck::Expired: return TokenError(ex, 400, "invalid_grant", "The authorization code has expired");
        case CodeCheck::OtherRedirect: return TokenError(ex, 400, "invalid_grant", "The redirect_uri does not match the authorization request");
        default: return TokenError(ex, 400, "invalid_grant", "Auth code doesn't exist or is invalid for the client");
      }
    }
    // A refresh token works once: the answer carries its successor.
    Grant *stored = oauth.RefreshToken(ex.Form("refresh_token"));
    if (!stored || stored->clientId != client->id) return TokenError(ex, 400, "invalid_grant", "Invalid refresh token");
    if (stored->spent || ex.now >= stored->expires) return TokenError(ex, 400, "invalid_grant", "Refresh token has expired");
    stored->spent = true;
    SendTokens(ex, *stored);
  }
};

}  // namespace

std::unique_ptr<Service> MakeBox() { return std::make_unique<Box>(); }

}  // namespace Nimbo::Emulator
