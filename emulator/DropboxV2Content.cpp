// Dropbox API v2 on content.dropboxapi.com: uploads (whole, and in sessions with their commits),
// downloads, temporary links, and the content hash every file carries.

#include "emulator/DropboxV2.h"

#include "emulator/DropboxV2Args.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>

namespace Nimbo::Emulator {
namespace {

constexpr std::size_t HashBlock = 4u << 20;
constexpr auto SessionLifetime = std::chrono::hours(24 * 7);
constexpr auto LinkLifetime = std::chrono::hours(4);
constexpr std::size_t MaxBatchEntries = 1000;

std::string RawSha256(std::string_view bytes) {
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), value, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(value), length);
}

}  // namespace

// --- content hash ---

std::string DropboxV2::ContentHash(std::string_view bytes) {
    std::string digests;
    for (std::size_t at = 0; at < bytes.size(); at += HashBlock) digests += RawSha256(bytes.substr(at, HashBlock));
    return HexOf(RawSha256(digests));
}

std::string DropboxV2::ContentHash(const BlobRef& content) {
    if (!content) return ContentHash(std::string_view());
    int fd = ::open(content->Path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open stored content " + content->Name());
    std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* f) { ::close(*f); });
    std::string block(HashBlock, '\0'), digests;
    std::uint64_t offset = 0;
    while (offset < content->Size()) {
        std::size_t filled = 0,
                    want = static_cast<std::size_t>(std::min<std::uint64_t>(HashBlock, content->Size() - offset));
        while (filled < want) {
            auto n = ::pread(fd, block.data() + filled, want - filled, static_cast<off_t>(offset + filled));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("stored content ended early: " + content->Name());
            filled += static_cast<std::size_t>(n);
        }
        digests += RawSha256(std::string_view(block.data(), want));
        offset += want;
    }
    return HexOf(RawSha256(digests));
}

const std::string& DropboxV2::HashOf(const BlobRef& content) {
    static const std::string empty = ContentHash(std::string_view());
    if (!content) return empty;
    auto it = hashes_.find(content->Name());
    if (it != hashes_.end() && it->second.blob.lock() == content) return it->second.hash;
    if (hashes_.size() % 1024 == 1023)  // forget the contents that are gone
        std::erase_if(hashes_, [](const auto& entry) { return entry.second.blob.expired(); });
    CachedHash& entry = hashes_[content->Name()];
    entry = {content, ContentHash(content)};
    return entry.hash;
}

void DropboxV2::Remember(Exchange& ex, const BlobRef& content) {
    if (!content) return;
    if (auto it = hashes_.find(content->Name()); it != hashes_.end() && it->second.blob.lock() == content) return;
    std::string hash;
    ex.WithoutLock([&] { hash = ContentHash(content); });
    hashes_[content->Name()] = {content, hash};
}

void DropboxV2::CheckChunkHash(Call& call, Args& args) {
    auto expected = args.OptionalString("content_hash");
    if (!expected) return;
    std::string actual;
    if (call.ex.spool->InMemory()) {
        actual = ContentHash(call.ex.spool->Text());
    } else {
        BlobRef body = call.ex.Content();
        call.ex.WithoutLock([&] { actual = ContentHash(body); });
    }
    if (actual != *expected) throw RouteError{{{".tag", "content_hash_mismatch"}}};
}

// --- writing files ---

DropboxV2::Commit DropboxV2::ReadCommit(Args args) {
    Commit commit;
    commit.path = args.Path("path", PathPattern::Write);
    Json mode;
    commit.mode = args.Tag("mode", "add", &mode);
    if (commit.mode == "update") {
        if (!mode.is_object() || !mode.value("update", Json()).is_string())
            throw BadInput{"mode: update: expected a rev, as {\".tag\": \"update\", \"update\": \"<rev>\"}"};
        commit.rev = mode["update"].get<std::string>();
    } else if (commit.mode != "add" && commit.mode != "overwrite") {
        throw BadInput{"mode: unknown tag '" + commit.mode + "'"};
    }
    commit.autorename = args.Bool("autorename", false);
    commit.clientModified = args.Time("client_modified");
    args.Bool("mute", false);
    commit.strict = args.Bool("strict_conflict", false);
    return commit;
}

// Stores content at the commit's path by its write mode: an identical file is no conflict (unless
// strict), a different one is replaced, renamed around or refused.
Node& DropboxV2::Write(Exchange& ex, const Commit& commit, const BlobRef& content,
                       const std::function<RouteError(const Json&)>& failed) {
    Tree& tree = account_.tree;
    std::string path = commit.path;
    if (path.rfind("id:", 0) == 0) {
        Node* target = Resolve(path);
        if (!target || target->id == tree.RootId()) throw failed({{".tag", "malformed_path"}});
        path = tree.PathOf(target->id);
    }
    if (path.empty() || path == "/") throw failed({{".tag", "malformed_path"}});
    Node* parent;
    try {
        parent = &ParentFor(path, ex.now);
    } catch (const RouteError& conflict) {
        throw failed(conflict.error);
    }
    std::string name = path.substr(path.rfind('/') + 1);
    Node* existing = tree.ChildByName(parent->id, name, true);
    if (existing && existing->folder) {
        if (!commit.autorename) throw failed(ConflictError("folder"));
        name = FreeName(parent->id, name, false);
        existing = nullptr;
    } else if (existing) {
        bool same = SameBytes(existing->content, content);
        if (commit.mode == "overwrite" || (commit.mode == "update" && commit.rev == Rev(*existing))) {
            if (same) return *existing;
            existing->contentModified = commit.clientModified;
            tree.SetContent(*existing, content, ex.now);
            return *existing;
        }
        if (same && !commit.strict) return *existing;
        if (!commit.autorename) throw failed(ConflictError("file"));
        name = FreeName(parent->id, name, commit.mode == "update");
    } else if (commit.mode == "update" && commit.strict) {
        throw failed(ConflictError("file"));
    }
    Node& node = tree.AddFile(parent->id, name, content, MimeTypeFor(name), ex.now);
    node.contentModified = commit.clientModified;
    return node;
}

Json DropboxV2::Upload(Call& call) {
    Args args(call.arg, call.where);
    Commit commit = ReadCommit(args);
    CheckChunkHash(call, args);
    BlobRef content = call.ex.Content();
    Remember(call.ex, content);
    std::string sessionId = RandomToken(24);
    auto failed = [&](const Json& error) {
        return RouteError{{{".tag", "path"}, {"reason", error}, {"upload_session_id", sessionId}}};
    };
    return Metadata(Write(call.ex, commit, content, failed), false);
}

// --- upload sessions ---

std::uint64_t DropboxV2::UploadSession::Offset() const {
    if (assembled) return *assembled ? (*assembled)->Size() : 0;
    if (concurrent) return total.value_or(0);
    return received ? received->Size() : 0;
}

Json DropboxV2::SaveSession(UploadSession& session) {
    Json pieces = Json::array();
    for (const auto& [offset, piece] : session.pieces)
        pieces.push_back({{"offset", offset}, {"content", ContentRecord(piece)}});
    Json record = {{"received", WriterRecord(session.received)},
                   {"closed", session.closed},
                   {"concurrent", session.concurrent},
                   {"pieces", std::move(pieces)},
                   {"total", session.total ? Json(*session.total) : Json()},
                   {"expires", TimeRecord(session.expires)}};
    if (session.assembled) record["assembled"] = ContentRecord(*session.assembled);
    return record;
}

DropboxV2::UploadSession DropboxV2::RestoreSession(const Json& record, const RecordLoader& loader) {
    auto content = [&](const Json& stored) {
        BlobRef blob = loader.Content(stored);
        if (!stored.is_null() && !blob) throw std::runtime_error("the received bytes are gone");
        return blob;
    };
    UploadSession session;
    session.received = loader.Writer(record.at("received"));
    if (record.contains("assembled")) session.assembled = content(record.at("assembled"));
    session.closed = record.at("closed").get<bool>();
    session.concurrent = record.at("concurrent").get<bool>();
    for (const auto& piece : record.at("pieces"))
        session.pieces[piece.at("offset").get<std::uint64_t>()] = content(piece.at("content"));
    if (!record.at("total").is_null()) session.total = record.at("total").get<std::uint64_t>();
    session.expires = TimeOf(record.at("expires"));
    return session;
}

Json DropboxV2::SaveLink(TemporaryLink& link) {
    return {{"content", ContentRecord(link.content)}, {"name", link.name}, {"expires", TimeRecord(link.expires)}};
}

DropboxV2::TemporaryLink DropboxV2::RestoreLink(const Json& record, const RecordLoader& loader) {
    BlobRef content = loader.Content(record.at("content"));
    if (!record.at("content").is_null() && !content) throw std::runtime_error("the linked bytes are gone");
    return {std::move(content), record.at("name").get<std::string>(), TimeOf(record.at("expires"))};
}

BlobRef DropboxV2::Assemble(UploadSession& session, const std::function<RouteError(const Json&)>& failed) {
    if (session.assembled) return *session.assembled;
    if (!session.concurrent) {
        session.assembled = session.received ? session.received->Finish() : nullptr;
        session.received.reset();
        return *session.assembled;
    }
    if (!session.total) throw failed({{".tag", "concurrent_session_not_closed"}});
    std::uint64_t expected = 0;
    for (const auto& [offset, piece] : session.pieces) {
        if (offset != expected) break;
        expected += piece ? piece->Size() : 0;
    }
    if (expected != *session.total) throw failed({{".tag", "concurrent_session_missing_data"}});
    std::unique_ptr<BlobWriter> whole = account_.blobs->Writer();
    for (const auto& [offset, piece] : session.pieces)
        if (piece) whole->Copy(piece->Path(), 0, piece->Size());
    session.assembled = whole->Finish();
    session.pieces.clear();
    return *session.assembled;
}

// A piece of a concurrent session: at a multiple of 4 MiB, and a multiple of 4 MiB long unless it
// is the last one.
void DropboxV2::AppendPiece(Call& call, UploadSession& session, std::uint64_t offset, bool close) {
    const std::uint64_t size = call.ex.BodySize();
    if (offset % HashBlock != 0) throw RouteError{{{".tag", "concurrent_session_invalid_offset"}}};
    if (!close && size % HashBlock != 0) throw RouteError{{{".tag", "concurrent_session_invalid_data_size"}}};
    if (session.total && (offset + size > *session.total || (close && offset + size != *session.total)))
        throw RouteError{{{".tag", "closed"}}};  // the closing piece fixed the end
    if (close) {
        session.closed = true;
        session.total = offset + size;
    }
    session.pieces[offset] = call.ex.Content();
}

// The session a cursor names, at the offset it gives: the data it holds must end there.
DropboxV2::UploadSession& DropboxV2::Lookup(Args& cursor, TimePoint now, bool finishing,
                                            const std::function<RouteError(const Json&)>& failed) {
    const std::string id = cursor.String("session_id");
    const std::uint64_t offset = cursor.RequiredUInt("offset");
    auto it = sessions_.find(id);
    if (it == sessions_.end() || now >= it->second.expires) throw failed({{".tag", "not_found"}});
    UploadSession& session = it->second;
    if (session.concurrent && !finishing) return session;  // pieces come at their own offsets
    if (session.concurrent && !session.total) throw failed({{".tag", "concurrent_session_not_closed"}});
    if (offset != session.Offset()) throw failed({{".tag", "incorrect_offset"}, {"correct_offset", session.Offset()}});
    if (!finishing && session.closed) throw failed({{".tag", "closed"}});
    return session;
}

Json DropboxV2::SessionStart(Call& call) {
    Args args(call.arg, call.where);
    bool close = args.Bool("close", false);
    std::string type = args.Tag("session_type", "sequential");
    if (type != "sequential" && type != "concurrent") throw BadInput{"session_type: unknown tag '" + type + "'"};
    if (type == "concurrent" && call.ex.BodySize() > 0)
        throw RouteError{{{".tag", "concurrent_session_data_not_allowed"}}};
    if (type == "concurrent" && close) throw RouteError{{{".tag", "concurrent_session_close_not_allowed"}}};
    CheckChunkHash(call, args);
    sessions_.EraseIf([&](const auto& entry) { return call.ex.now >= entry.second.expires; });
    std::string id = RandomToken(32);
    UploadSession& session = sessions_[id];
    session.expires = call.ex.now + SessionLifetime;
    session.closed = close;
    session.concurrent = type == "concurrent";
    if (!session.concurrent) call.ex.spool->AppendTo(session.received, 0);
    return {{"session_id", id}};
}

Json DropboxV2::SessionAppend(Call& call) {
    Args args(call.arg, call.where);
    Args cursor = args.Object("cursor");
    bool close = args.Bool("close", false);
    CheckChunkHash(call, args);
    UploadSession& session = Lookup(cursor, call.ex.now, false, [](const Json& error) { return RouteError{error}; });
    if (session.assembled) throw RouteError{{{".tag", "closed"}}};
    if (session.concurrent) {
        AppendPiece(call, session, cursor.RequiredUInt("offset"), close);
        return nullptr;
    }
    call.ex.spool->AppendTo(session.received, 0);
    session.closed = session.closed || close;
    return nullptr;
}

Json DropboxV2::SessionFinish(Call& call) {
    Args args(call.arg, call.where);
    Args cursor = args.Object("cursor");
    Commit commit = ReadCommit(args.Object("commit"));
    CheckChunkHash(call, args);
    auto lookupFailed = [](const Json& error) {
        return RouteError{{{".tag", "lookup_failed"}, {"lookup_failed", error}}};
    };
    const std::string id = cursor.String("session_id");
    UploadSession& session = Lookup(cursor, call.ex.now, true, lookupFailed);
    if (session.concurrent && call.ex.BodySize() > 0)
        throw RouteError{{{".tag", "concurrent_session_data_not_allowed"}}};
    if (session.assembled && call.ex.BodySize() > 0) throw lookupFailed({{".tag", "closed"}});
    if (!session.assembled && !session.concurrent) call.ex.spool->AppendTo(session.received, 0);
    BlobRef content = Assemble(session, lookupFailed);
    Remember(call.ex, content);  // the session may be gone after this: look it up again below
    Node& node = Write(call.ex, commit, content, [](const Json& error) {
        return RouteError{{{".tag", "path"}, {"path", error}}};
    });
    sessions_.erase(id);
    return Metadata(node, false);
}

// One commit of a batch: a success with the file's metadata, or a failure with its error.
Json DropboxV2::FinishEntry(Exchange& ex, const Json& entry) {
    auto lookupFailed = [](const Json& error) {
        return RouteError{{{".tag", "lookup_failed"}, {"lookup_failed", error}}};
    };
    Args args(entry, "request body: entries");
    Args cursor = args.Object("cursor");
    Commit commit = ReadCommit(args.Object("commit"));
    try {
        const std::string id = cursor.String("session_id");
        UploadSession& session = Lookup(cursor, ex.now, true, lookupFailed);
        if (!session.closed && !session.assembled) throw lookupFailed({{".tag", "not_closed"}});
        Node& node = Write(ex, commit, Assemble(session, lookupFailed), [](const Json& error) {
            return RouteError{{{".tag", "path"}, {"path", error}}};
        });
        sessions_.erase(id);
        Json success = {{".tag", "success"}};
        success.update(Metadata(node, false));
        return success;
    } catch (const RouteError& failed) {
        return {{".tag", "failure"}, {"failure", failed.error}};
    }
}

Json DropboxV2::FinishBatch(Call& call) {
    if (!call.arg.contains("entries") || !call.arg["entries"].is_array())
        throw BadInput{"request body: entries: expected list"};
    const Json& entries = call.arg["entries"];
    if (entries.size() > MaxBatchEntries)
        throw BadInput{"request body: entries: list has more than " + std::to_string(MaxBatchEntries) + " items"};
    Json results = Json::array();
    for (const Json& entry : entries) {
        if (!entry.is_object()) throw BadInput{"request body: entries: expected object"};
        results.push_back(FinishEntry(call.ex, entry));
    }
    return {{"entries", results}};
}

// The older batch call answers with a job to check; the work is done by then.
Json DropboxV2::FinishBatchAsync(Call& call) {
    Json done = FinishBatch(call);
    std::string job = "dbjid:" + RandomToken(40);
    Json complete = {{".tag", "complete"}};
    complete.update(done);
    batchJobs_[job] = complete;
    return {{".tag", "async_job_id"}, {"async_job_id", job}};
}

Json DropboxV2::FinishBatchCheck(Call& call) {
    Args args(call.arg, call.where);
    auto it = batchJobs_.find(args.String("async_job_id"));
    if (it == batchJobs_.end()) throw RouteError{{{".tag", "invalid_async_job_id"}}};
    return it->second;
}

// --- downloads and links ---

DropboxV2::Download DropboxV2::DownloadFile(Call& call) {
    Args args(call.arg, call.where);
    std::string path = args.Path("path", PathPattern::Metadata);
    if (auto rev = args.OptionalString("rev")) path = "rev:" + *rev;
    Node* node = path.rfind("rev:", 0) == 0 ? ByRev(path.substr(4)) : Resolve(path);
    if (!node || node->id == account_.tree.RootId()) throw RouteError{LookupFailure("path", "not_found")};
    if (node->folder) throw RouteError{LookupFailure("path", "not_file")};
    return {Metadata(*node, false), node->content, Rev(*node)};
}

Json DropboxV2::TemporaryLinkFor(Call& call) {
    Args args(call.arg, call.where);
    std::string path = args.Path("path", PathPattern::Metadata);
    Node* node = path.rfind("rev:", 0) == 0 ? ByRev(path.substr(4)) : Resolve(path);
    if (!node || node->id == account_.tree.RootId()) throw RouteError{LookupFailure("path", "not_found")};
    if (node->folder) throw RouteError{LookupFailure("path", "not_file")};
    links_.EraseIf([&](const auto& entry) { return call.ex.now >= entry.second.expires + LinkLifetime; });
    std::string token = RandomToken(43);
    links_[token] = {node->content, node->name, call.ex.now + LinkLifetime};
    return {{"metadata", Metadata(*node, false)}, {"link", "https://" + DownloadHost + "/apitl/1/" + token}};
}

void DropboxV2::ServeLink(Exchange& ex) {
    auto it = links_.find(ex.Param("token"));
    if (it == links_.end()) return SendText(ex, 404, "Not Found");
    if (ex.now >= it->second.expires) return SendText(ex, 410, "Gone");
    Stamp(ex);
    ex.SendContent(it->second.content, MimeTypeFor(it->second.name));
}

}  // namespace Nimbo::Emulator
