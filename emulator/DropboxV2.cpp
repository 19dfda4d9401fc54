// Dropbox API v2: dispatch and errors, item metadata and paths, listing, the file operations and
// the account. Uploads, downloads and temporary links are in DropboxV2Content.cpp.

#include "emulator/DropboxV2.h"

#include "emulator/DropboxV2Args.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <thread>

namespace Nimbo::Emulator {

const std::string DropboxV2::DownloadHost = "dl.dropboxusercontent.com";
const std::string DropboxV2::AccountId = "dbid:AADNimboEmulatedDropboxAccount00001";

namespace {

constexpr std::size_t MaxListLimit = 2000;
constexpr std::size_t MaxOperationItems = 10000;
constexpr std::uint64_t MaxRpcBody = 16u << 20;
constexpr std::uint64_t MaxUploadBody = 150u << 20;
constexpr std::int64_t Allocated = 2147483648LL;
constexpr auto LongpollStep = std::chrono::milliseconds(50);

std::string Timestamp(TimePoint t) {
    std::time_t secs = Clock::to_time_t(t);
    std::tm fields{};
    gmtime_r(&secs, &fields);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &fields);
    return text;
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }
std::string ParentOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool Under(const std::string& lowerPath, const std::string& lowerFolder, bool recursive) {
    if (lowerPath.size() <= lowerFolder.size() || lowerPath.compare(0, lowerFolder.size(), lowerFolder) != 0 ||
        lowerPath[lowerFolder.size()] != '/')
        return false;
    return recursive || lowerPath.find('/', lowerFolder.size() + 1) == std::string::npos;
}

}  // namespace

// --- dispatch ---

void DropboxV2::AddRoutes(RouteTable& routes, const Groups& groups) {
    using D = DropboxV2;
    const auto Token = RouteTable::Access::Token, Open = RouteTable::Access::Open;
    auto rpc = [&](const char* path, JsonHandler handler, Style style = Style::Rpc,
                   RouteTable::Access access = RouteTable::Access::Token) {
        routes.Add("POST", groups.api, path, Calls(style, handler), access, MaxRpcBody);
    };
    rpc("/2/files/list_folder", &D::ListFolder);
    rpc("/2/files/list_folder/continue", &D::ListFolderContinue);
    rpc("/2/files/list_folder/get_latest_cursor", &D::LatestCursor);
    rpc("/2/files/get_metadata", &D::GetMetadata);
    rpc("/2/files/create_folder_v2", &D::CreateFolder);
    rpc("/2/files/delete_v2", &D::Delete);
    rpc("/2/files/move_v2", &D::Move);
    rpc("/2/files/copy_v2", &D::Copy);
    rpc("/2/files/get_temporary_link", &D::TemporaryLinkFor);
    rpc("/2/files/upload_session/finish_batch_v2", &D::FinishBatch);
    rpc("/2/files/upload_session/finish_batch", &D::FinishBatchAsync);
    rpc("/2/files/upload_session/finish_batch/check", &D::FinishBatchCheck);
    rpc("/2/users/get_current_account", &D::CurrentAccount, Style::VoidRpc);
    rpc("/2/users/get_space_usage", &D::SpaceUsage, Style::VoidRpc);
    routes.Add("POST", groups.notify, "/2/files/list_folder/longpoll", Calls(Style::Rpc, &D::Longpoll), Open,
               MaxRpcBody);
    auto upload = [&](const char* path, JsonHandler handler) {
        routes.Add("POST", groups.content, path, Calls(Style::Upload, handler), Token, MaxUploadBody);
    };
    upload("/2/files/upload", &D::Upload);
    upload("/2/files/upload_session/start", &D::SessionStart);
    upload("/2/files/upload_session/append_v2", &D::SessionAppend);
    upload("/2/files/upload_session/finish", &D::SessionFinish);
    for (const char* method : {"POST", "GET"})
        routes.Add(method, groups.content, "/2/files/download", Downloads(&D::DownloadFile), Token);
    routes.Add(
        "GET", groups.download, "/apitl/1/{token}", [this](Exchange& ex) { ServeLink(ex); }, Open);
}

DropboxV2::DropboxV2(Service& account) : account_(account) {
    account.Keep(sessions_);
    account.Keep(batchJobs_);
    account.Keep(links_);
}

void DropboxV2::Reset() {
    sessions_.clear();
    batchJobs_.clear();
    links_.clear();
    hashes_.clear();
}

bool DropboxV2::Serves(const Exchange& ex) { return ex.Path().rfind("/2/", 0) == 0 || ex.host == DownloadHost; }

std::string DropboxV2::RouteOf(const Exchange& ex) {
    return ex.Path().rfind("/2/", 0) == 0 ? ex.Path().substr(3) : ex.Path();
}

void DropboxV2::Stamp(Exchange& ex) { ex.res.set_header("X-Dropbox-Request-Id", RandomToken(32)); }

void DropboxV2::SendJson(Exchange& ex, int status, const Json& body) {
    Stamp(ex);
    ex.SendText(status, JsonText(body), "application/json");  // exactly this: clients compare it
}

void DropboxV2::SendText(Exchange& ex, int status, const std::string& text) {
    Stamp(ex);
    ex.SendText(status, text, "text/plain; charset=utf-8");
}

void DropboxV2::SendError(Exchange& ex, int status, const std::string& message) {
    SendText(ex, status, "Error in call to API function \"" + RouteOf(ex) + "\": " + message);
}

void DropboxV2::UnknownRoute(Exchange& ex) {
    if (ex.host == DownloadHost) return SendText(ex, 404, "Not Found");
    SendError(ex, 400, "Unknown API function: \"" + RouteOf(ex) + "\"");
}

void DropboxV2::MethodNotAllowed(Exchange& ex) { SendError(ex, 400, "Expected a POST request, got " + ex.Method()); }

bool DropboxV2::Authorized(Exchange& ex) {
    std::string value = ex.Header("Authorization");
    const char* where = "HTTP header \"Authorization\"";
    if (value.empty() && ex.HasQuery("authorization")) {
        value = ex.Query("authorization");
        where = "URL parameter \"authorization\"";
    }
    if (value.empty()) {
        SendError(ex, 400, "Must provide HTTP header \"Authorization\" or URL parameter \"authorization\".");
        return false;
    }
    if (value.size() <= 7 || !EqualsIgnoreCase(value.substr(0, 7), "Bearer ")) {
        SendError(ex, 400,
                  std::string("Invalid authorization value in ") + where + ": \"" + value +
                      "\".  Expecting \"Bearer <oauth2-access-token>\".");
        return false;
    }
    switch (account_.oauth.CheckAccessToken(value.substr(7), ex.now)) {
        case TokenCheck::Ok:
            return true;
        case TokenCheck::Expired:
            SendJson(ex, 401,
                     {{"error_summary", "expired_access_token/.."}, {"error", {{".tag", "expired_access_token"}}}});
            return false;
        default:
            SendJson(ex, 401,
                     {{"error_summary", "invalid_access_token/.."}, {"error", {{".tag", "invalid_access_token"}}}});
            return false;
    }
}

// The argument of an RPC call: JSON in the body, which a call without one may leave out or send
// as null.
Json DropboxV2::ArgOfBody(const Exchange& ex, Style style) {
    const std::string type = ToLower(ex.Header("Content-Type"));
    std::string text = ex.spool->InMemory() ? ex.body : ex.Content()->Read();
    bool voidCall = style == Style::VoidRpc;
    if (voidCall && type.empty() && text.empty()) return nullptr;
    const std::string bare = type.substr(0, type.find(';'));
    bool json = bare == "application/json" || type == "text/plain; charset=dropbox-cors-hack";
    if (!json)
        throw BadInput{"Bad HTTP \"Content-Type\" header: \"" + ex.Header("Content-Type") +
                       "\".  Expecting one of \"application/json\", \"application/json; charset=utf-8\", "
                       "\"text/plain; charset=dropbox-cors-hack\"."};
    if (voidCall && (text.empty() || text == "null")) return nullptr;
    Json arg = Json::parse(text, nullptr, false);
    if (arg.is_discarded() || (!arg.is_object() && !(voidCall && arg.is_null())))
        throw BadInput{"request body: could not decode input as JSON"};
    return arg;
}

// The argument of a content call: JSON in the Dropbox-API-Arg header (ASCII only; other
// characters are escaped) or the "arg" query parameter.
Json DropboxV2::ArgOfHeader(const Exchange& ex, std::string& where) {
    bool inHeader = ex.req.has_header("Dropbox-API-Arg"), inQuery = ex.HasQuery("arg");
    if (inHeader && inQuery)
        throw BadInput{"Cannot provide both HTTP header \"Dropbox-API-Arg\" and URL parameter \"arg\"."};
    if (!inHeader && !inQuery) throw BadInput{"Must provide HTTP header \"Dropbox-API-Arg\" or URL parameter \"arg\"."};
    std::string text = inHeader ? ex.Header("Dropbox-API-Arg") : ex.Query("arg");
    where = inHeader ? "HTTP header \"Dropbox-API-Arg\"" : "URL parameter \"arg\"";
    if (inHeader && std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F; }))
        throw BadInput{where + ": characters above U+007F must be escaped as \\uXXXX"};
    Json arg = Json::parse(text, nullptr, false);
    if (arg.is_discarded() || !arg.is_object()) throw BadInput{where + ": could not decode input as JSON"};
    return arg;
}

void DropboxV2::Answer(Call& call, const std::function<void()>& run) {
    try {
        run();
    } catch (const BadInput& bad) {
        SendError(call.ex, 400, bad.text);
    } catch (const RouteError& failed) {
        SendJson(call.ex, 409, {{"error_summary", ErrorSummary(failed.error)}, {"error", failed.error}});
    }
}

RouteTable::Handler DropboxV2::Calls(Style style, JsonHandler handler) {
    return [this, style, handler](Exchange& ex) {
        Call call{ex, RouteOf(ex), nullptr};
        Answer(call, [&] {
            if (style == Style::Upload) {
                std::string type = ToLower(ex.Header("Content-Type"));
                if (type != "application/octet-stream" && type != "text/plain; charset=dropbox-cors-hack")
                    throw BadInput{type.empty() ? "Missing or empty HTTP \"Content-Type\" header."
                                                : "Bad HTTP \"Content-Type\" header: \"" + ex.Header("Content-Type") +
                                                      "\".  Expecting one of \"application/octet-stream\", "
                                                      "\"text/plain; charset=dropbox-cors-hack\"."};
                call.arg = ArgOfHeader(ex, call.where);
            } else {
                call.arg = ArgOfBody(ex, style);
            }
            Json result = (this->*handler)(call);
            SendJson(ex, 200, result);
        });
    };
}

RouteTable::Handler DropboxV2::Downloads(DownloadHandler handler) {
    return [this, handler](Exchange& ex) {
        Call call{ex, RouteOf(ex), nullptr};
        Answer(call, [&] {
            if (ex.BodySize() > 0) throw BadInput{"The request body is supposed to be empty, but it isn't."};
            call.arg = ArgOfHeader(ex, call.where);
            Download download = (this->*handler)(call);
            Stamp(ex);
            // Header text must be ASCII: other characters go as \u escapes.
            ex.res.set_header("Dropbox-API-Result",
                              download.result.dump(-1, ' ', true, Json::error_handler_t::replace));
            ex.res.set_header("ETag", "W/\"" + download.rev + "\"");
            if (ex.Header("If-None-Match") == "W/\"" + download.rev + "\"" ||
                ex.Header("If-None-Match") == download.rev)
                return ex.SendEmpty(304);
            ex.SendContent(download.content, "application/octet-stream");
        });
    };
}

// --- items ---

Node* DropboxV2::Resolve(const std::string& path) {
    if (path.rfind("id:", 0) == 0) {
        auto slash = path.find('/');
        Node* node = account_.tree.Find(path.substr(3, slash == std::string::npos ? std::string::npos : slash - 3));
        if (!node || slash == std::string::npos) return node;
        if (!node->folder) return nullptr;
        return account_.tree.FindPath(account_.tree.PathOf(node->id) + path.substr(slash), true);
    }
    return account_.tree.FindPath(path, true);
}

std::string DropboxV2::Rev(const Node& node) const {
    char text[40];
    std::snprintf(text, sizeof text, "%09llx%07llx", static_cast<unsigned long long>(node.order),
                  static_cast<unsigned long long>(node.version + 1));
    return text;
}

Node* DropboxV2::ByRev(const std::string& rev) {
    if (rev.size() < 16 || rev.find_first_not_of("0123456789abcdef") != std::string::npos) return nullptr;
    auto order = std::stoull(rev.substr(0, rev.size() - 7), nullptr, 16);
    const auto& all = account_.tree.InOrder();
    auto it = all.find(order);
    if (it == all.end()) return nullptr;
    Node* node = account_.tree.Find(it->second->id);
    return node && !node->folder && Rev(*node) == rev ? node : nullptr;
}

Json DropboxV2::Metadata(const Node& node, bool tagged) {
    const std::string path = account_.tree.PathOf(node.id);
    Json m = Json::object();
    if (tagged) m[".tag"] = node.folder ? "folder" : "file";
    m["name"] = node.name;
    m["path_lower"] = ToLower(path);
    m["path_display"] = path;
    m["id"] = "id:" + node.id;
    if (node.folder) return m;
    m["client_modified"] = Timestamp(node.contentModified.value_or(node.modified));
    m["server_modified"] = Timestamp(node.modified);
    m["rev"] = Rev(node);
    m["size"] = node.Size();
    m["is_downloadable"] = true;
    m["content_hash"] = HashOf(node.content);
    return m;
}

Json DropboxV2::Deleted(const std::string& path) {
    return {{".tag", "deleted"}, {"name", NameOf(path)}, {"path_lower", ToLower(path)}, {"path_display", path}};
}

std::size_t DropboxV2::CountItems(const Node& node) const {
    std::size_t count = 1;
    for (const Node* child : account_.tree.Children(node.id)) count += CountItems(*child);
    return count;
}

Node& DropboxV2::ParentFor(const std::string& path, TimePoint now) {
    try {
        return account_.tree.EnsureFolders(ParentOf(path), true, now);
    } catch (const std::invalid_argument&) {
        throw RouteError{ConflictError("file_ancestor")};
    }
}

std::string DropboxV2::FreeName(const std::string& parentId, const std::string& name, bool conflictedCopy) {
    std::string base = name;
    if (conflictedCopy) {
        auto dot = name.rfind('.');
        base = dot == std::string::npos || dot == 0 ? name + " (conflicted copy)"
                                                    : name.substr(0, dot) + " (conflicted copy)" + name.substr(dot);
        if (!account_.tree.ChildByName(parentId, base, true)) return base;
    }
    for (int number = 2;; ++number) {
        std::string candidate = NumberedName(base, number);
        if (!account_.tree.ChildByName(parentId, candidate, true)) return candidate;
    }
}

// --- listing ---

std::string DropboxV2::CursorText(const Cursor& cursor) const {
    Json text = {{"e", account_.tree.Epoch()},
                 {"p", cursor.folder},
                 {"r", cursor.recursive},
                 {"l", cursor.limit},
                 {"c", cursor.change}};
    if (cursor.listedUpTo) text["k"] = *cursor.listedUpTo;
    return Base64Encode(text.dump());
}

std::optional<DropboxV2::Cursor> DropboxV2::ParseCursor(const std::string& text) const {
    Json json;
    try {
        json = Json::parse(Base64Decode(text), nullptr, false);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    if (!json.is_object() || !json.value("e", Json()).is_string() || !json.value("p", Json()).is_string() ||
        !json.value("r", Json()).is_boolean() || !json.value("l", Json()).is_number_unsigned() ||
        !json.value("c", Json()).is_number_unsigned() || (json.contains("k") && !json["k"].is_string()))
        return std::nullopt;
    Cursor cursor{json["p"].get<std::string>(), json["r"].get<bool>(), json["l"].get<std::size_t>(),
                  json["c"].get<std::uint64_t>(), std::nullopt};
    if (json.contains("k")) cursor.listedUpTo = json["k"].get<std::string>();
    return cursor;
}

// A cursor of another epoch (the state was reset or reloaded), or one whose changes are no longer
// kept, must start again.
bool DropboxV2::CursorReset(const std::string& text, Cursor& cursor) const {
    auto parsed = ParseCursor(text);
    if (!parsed) throw BadInput{"Invalid \"cursor\" parameter: " + text};
    cursor = *parsed;
    Json json = Json::parse(Base64Decode(text));
    const auto& changes = account_.tree.Changes();
    bool lost = !changes.empty() && cursor.change + 1 < changes.front().sequence;
    return json["e"] != account_.tree.Epoch() || lost || cursor.change > account_.tree.LastChange();
}

// One page: while the first listing is paged, the items below the folder in path order (a folder
// before what it holds); after it, what changed since, each path once, as it is now.
Json DropboxV2::Page(Cursor cursor) {
    Tree& tree = account_.tree;
    Json entries = Json::array();
    bool more = false;
    if (cursor.listedUpTo) {
        Node* folder = tree.FindPath(cursor.folder, true);
        if (!folder || !folder->folder) throw RouteError{LookupFailure("path", "not_found")};
        std::vector<std::pair<std::string, const Node*>> items;
        std::vector<std::pair<std::string, const Node*>> pending{{cursor.folder, folder}};
        while (!pending.empty()) {
            auto [path, node] = pending.back();
            pending.pop_back();
            for (const Node* child : tree.Children(node->id)) {
                std::string childPath = path + "/" + ToLower(child->name);
                items.emplace_back(childPath, child);
                if (cursor.recursive && child->folder) pending.emplace_back(childPath, child);
            }
        }
        std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        auto from = std::upper_bound(items.begin(), items.end(), *cursor.listedUpTo,
                                     [](const std::string& key, const auto& item) { return key < item.first; });
        for (auto it = from; it != items.end(); ++it) {
            if (entries.size() == cursor.limit) {
                more = true;
                break;
            }
            entries.push_back(Metadata(*it->second, true));
            cursor.listedUpTo = it->first;
        }
        if (!more) cursor.listedUpTo.reset();
    } else {
        std::set<std::string> seen;
        for (const auto& change : tree.Changes()) {
            if (change.sequence <= cursor.change) continue;
            std::string lower = ToLower(change.path);
            if (!Under(lower, cursor.folder, cursor.recursive) || !seen.insert(lower).second) continue;
            if (entries.size() == cursor.limit) {
                more = true;
                break;
            }
            Node* node = tree.FindPath(change.path, true);
            entries.push_back(node ? Metadata(*node, true) : Deleted(change.path));
            cursor.change = change.sequence;
        }
        if (!more) cursor.change = tree.LastChange();
    }
    return {{"entries", entries}, {"cursor", CursorText(cursor)}, {"has_more", more}};
}

bool DropboxV2::HasChanges(const Cursor& cursor) const {
    if (cursor.listedUpTo) return true;
    for (const auto& change : account_.tree.Changes())
        if (change.sequence > cursor.change && Under(ToLower(change.path), cursor.folder, cursor.recursive))
            return true;
    return false;
}

DropboxV2::Cursor DropboxV2::CursorFor(Call& call) {
    Args args(call.arg, call.where);
    std::string path = args.Path("path", PathPattern::ListFolder);
    Cursor cursor;
    cursor.recursive = args.Bool("recursive", false);
    args.Bool("include_deleted", false);
    args.Bool("include_mounted_folders", true);
    args.Bool("include_non_downloadable_files", true);
    cursor.limit = static_cast<std::size_t>(args.UInt("limit", MaxListLimit, 1, MaxListLimit));
    Node* folder = path.empty() ? account_.tree.Find(account_.tree.RootId()) : Resolve(path);
    if (!folder) throw RouteError{LookupFailure("path", "not_found")};
    if (!folder->folder) throw RouteError{LookupFailure("path", "not_folder")};
    cursor.folder = folder->id == account_.tree.RootId() ? "" : ToLower(account_.tree.PathOf(folder->id));
    cursor.change = account_.tree.LastChange();
    return cursor;
}

Json DropboxV2::ListFolder(Call& call) {
    Cursor cursor = CursorFor(call);
    cursor.listedUpTo = "";
    return Page(cursor);
}

Json DropboxV2::ListFolderContinue(Call& call) {
    Args args(call.arg, call.where);
    Cursor cursor;
    if (CursorReset(args.String("cursor"), cursor)) throw RouteError{{{".tag", "reset"}}};
    return Page(cursor);
}

Json DropboxV2::LatestCursor(Call& call) { return {{"cursor", CursorText(CursorFor(call))}}; }

// Waits, with the emulator unlocked, until something changes below the cursor's folder or the
// timeout passes.
Json DropboxV2::Longpoll(Call& call) {
    Args args(call.arg, call.where);
    std::string text = args.String("cursor");
    auto timeout = std::chrono::seconds(args.UInt("timeout", 30, 30, 480));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Cursor cursor;
    if (CursorReset(text, cursor)) throw RouteError{{{".tag", "reset"}}};
    while (!HasChanges(cursor)) {
        if (std::chrono::steady_clock::now() >= deadline) return {{"changes", false}};
        call.ex.WithoutLock([] { std::this_thread::sleep_for(LongpollStep); });
        if (CursorReset(text, cursor)) throw RouteError{{{".tag", "reset"}}};
    }
    return {{"changes", true}};
}

// --- file operations ---

Json DropboxV2::GetMetadata(Call& call) {
    Args args(call.arg, call.where);
    std::string path = args.Path("path", PathPattern::Metadata);
    args.Bool("include_media_info", false);
    args.Bool("include_deleted", false);
    args.Bool("include_has_explicit_shared_members", false);
    Node* node = path.rfind("rev:", 0) == 0 ? ByRev(path.substr(4)) : Resolve(path);
    if (!node || node->id == account_.tree.RootId()) throw RouteError{LookupFailure("path", "not_found")};
    return Metadata(*node, true);
}

Json DropboxV2::CreateFolder(Call& call) {
    Args args(call.arg, call.where);
    std::string path = args.Path("path", PathPattern::Write);
    bool autorename = args.Bool("autorename", false);
    auto failed = [](const Json& writeError) { return RouteError{{{".tag", "path"}, {"path", writeError}}}; };
    if (path == "/" || path.empty()) throw failed(ConflictError("folder"));
    Node* existing = account_.tree.FindPath(path, true);
    Node* parent;
    try {
        parent = &ParentFor(path, call.ex.now);
    } catch (const RouteError& conflict) {
        throw failed(conflict.error);
    }
    std::string name = NameOf(path);
    if (existing) {
        if (!autorename) throw failed(ConflictError(existing->folder ? "folder" : "file"));
        name = FreeName(parent->id, name, false);
    }
    return {{"metadata", Metadata(account_.tree.AddFolder(parent->id, name, call.ex.now), false)}};
}

Json DropboxV2::Delete(Call& call) {
    Args args(call.arg, call.where);
    std::string path = args.Path("path", PathPattern::Write);
    auto parentRev = args.OptionalString("parent_rev");
    Node* node = Resolve(path);
    if (!node || node->id == account_.tree.RootId()) throw RouteError{LookupFailure("path_lookup", "not_found")};
    if (parentRev && (node->folder || *parentRev != Rev(*node)))
        throw RouteError{{{".tag", "path_write"}, {"path_write", ConflictError(node->folder ? "folder" : "file")}}};
    if (CountItems(*node) > MaxOperationItems) throw RouteError{{{".tag", "too_many_files"}}};
    Json metadata = Metadata(*node, true);
    account_.tree.Remove(node->id);
    return {{"metadata", metadata}};
}

// Move and copy: the source, the destination's folder (made when missing) and its free name;
// autorename finds another name when the destination is taken.
Json DropboxV2::Move(Call& call) {
    Args args(call.arg, call.where);
    std::string from = args.Path("from_path", PathPattern::Write), to = args.Path("to_path", PathPattern::Write);
    bool autorename = args.Bool("autorename", false);
    args.Bool("allow_shared_folder", false);
    args.Bool("allow_ownership_transfer", false);
    bool copying = call.route.rfind("files/copy", 0) == 0;
    Node* source = Resolve(from);
    if (!source || source->id == account_.tree.RootId()) throw RouteError{LookupFailure("from_lookup", "not_found")};
    if (to == "/" || to.empty()) throw RouteError{{{".tag", "to"}, {"to", ConflictError("folder")}}};
    const std::string sourcePath = ToLower(account_.tree.PathOf(source->id));
    if (source->folder && ToLower(to).rfind(sourcePath + "/", 0) == 0)
        throw RouteError{{{".tag", copying ? "cant_copy_folder_into_itself" : "cant_move_folder_into_itself"}}};
    if (CountItems(*source) > MaxOperationItems) throw RouteError{{{".tag", "too_many_files"}}};
    Node* parent;
    try {
        parent = &ParentFor(to, call.ex.now);
    } catch (const RouteError& conflict) {
        throw RouteError{{{".tag", "to"}, {"to", conflict.error}}};
    }
    std::string name = NameOf(to);
    // Names differing only in case are the same name: a case-only rename finds its own item there.
    if (Node* existing = account_.tree.ChildByName(parent->id, name, true)) {
        if (!autorename)
            throw RouteError{{{".tag", "to"}, {"to", ConflictError(existing->folder ? "folder" : "file")}}};
        name = FreeName(parent->id, name, false);
    }
    if (copying) return {{"metadata", Metadata(account_.tree.Copy(*source, parent->id, name, call.ex.now), true)}};
    if (name != source->name) account_.tree.Rename(*source, name);
    if (parent->id != source->parentId) account_.tree.Move(*source, parent->id);
    return {{"metadata", Metadata(*source, true)}};
}

Json DropboxV2::Copy(Call& call) { return Move(call); }

// --- account ---

Json DropboxV2::CurrentAccount(Call&) {
    const std::string& name = account_.accountName;
    auto space = name.find(' ');
    std::string given = name.substr(0, space), surname = space == std::string::npos ? "" : name.substr(space + 1);
    std::string initials;
    for (const std::string& part : {given, surname})
        if (!part.empty()) initials += part[0];
    return {{"account_id", AccountId},
            {"name",
             {{"given_name", given},
              {"surname", surname},
              {"familiar_name", given},
              {"display_name", name},
              {"abbreviated_name", initials}}},
            {"email", "user@example.com"},
            {"email_verified", true},
            {"disabled", false},
            {"country", "US"},
            {"locale", "en"},
            {"referral_link", "https://www.dropbox.com/referrals/emulated"},
            {"is_paired", false},
            {"account_type", {{".tag", "basic"}}},
            {"root_info", {{".tag", "user"}, {"root_namespace_id", "3235641"}, {"home_namespace_id", "3235641"}}}};
}

Json DropboxV2::SpaceUsage(Call&) {
    return {{"used", account_.tree.TotalSize(account_.tree.RootId())},
            {"allocation", {{".tag", "individual"}, {"allocated", Allocated}}}};
}

}  // namespace Nimbo::Emulator
