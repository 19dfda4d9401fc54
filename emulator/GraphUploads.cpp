#include "emulator/GraphUploads.h"

namespace Nimbo::Emulator {
namespace {

constexpr std::uint64_t FragmentGranule = 320u << 10;
constexpr auto SessionLifetime = std::chrono::hours(48);  // from the last fragment
constexpr auto MonitorLifetime = std::chrono::hours(1);

Json SaveSession(UploadSession& session) {
    return {{"parentId", session.parentId},
            {"name", session.name},
            {"fileId", session.fileId},
            {"conflict", session.conflict},
            {"contentCreated", OptionalTime(session.contentCreated)},
            {"contentModified", OptionalTime(session.contentModified)},
            {"total", session.total ? Json(*session.total) : Json()},
            {"received", WriterRecord(session.received)},
            {"expires", TimeRecord(session.expires)}};
}

UploadSession RestoreSession(const Json& record, const RecordLoader& loader) {
    UploadSession session;
    session.parentId = record.at("parentId").get<std::string>();
    session.name = record.at("name").get<std::string>();
    session.fileId = record.at("fileId").get<std::string>();
    session.conflict = record.at("conflict").get<std::string>();
    session.contentCreated = OptionalTimeOf(record.at("contentCreated"));
    session.contentModified = OptionalTimeOf(record.at("contentModified"));
    if (!record.at("total").is_null()) session.total = record.at("total").get<std::uint64_t>();
    session.received = loader.Writer(record.at("received"));
    session.expires = TimeOf(record.at("expires"));
    return session;
}

}  // namespace

UploadSessions::UploadSessions(Service& service) : sessions_("graph.upload", SaveSession, RestoreSession) {
    service.Keep(sessions_);
}

CopyMonitors::CopyMonitors(Service& service)
    : monitors_(
          "graph.copy",
          [](Monitor& monitor) -> Json {
              return {{"copyId", monitor.copyId}, {"polls", monitor.polls}, {"started", TimeRecord(monitor.started)}};
          },
          [](const Json& record, const RecordLoader&) {
              return Monitor{record.at("copyId").get<std::string>(), record.at("polls").get<int>(),
                             TimeOf(record.at("started"))};
          }) {
    service.Keep(monitors_);
}

std::string UploadSessions::Open(UploadSession session, TimePoint now) {
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now >= it->second.expires ? sessions_.erase(it) : std::next(it);
    session.expires = now + SessionLifetime;
    std::string id = RandomToken(48);
    sessions_[id] = std::move(session);
    return id;
}

UploadSession* UploadSessions::Find(const std::string& id, TimePoint now) {
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return nullptr;
    if (now >= it->second.expires) {
        sessions_.erase(it);
        return nullptr;
    }
    return &it->second;
}

UploadSession UploadSessions::Take(const std::string& id) {
    UploadSession session = std::move(sessions_.at(id));
    sessions_.erase(id);
    return session;
}

void UploadSessions::ExpireAll(TimePoint now) {
    for (auto& [id, session] : sessions_) session.expires = std::min(session.expires, now);
}

std::optional<FragmentRefusal> UploadSessions::Append(UploadSession& session, Exchange& ex, bool& final) {
    auto range = ParseContentRange(ex.Header("Content-Range"));
    if (!range || !range->bytes || !range->total)
        return FragmentRefusal{400, "invalidRequest", "Content-Range must be 'bytes first-last/total'.",
                               "invalidContentRangeHeader"};
    auto [first, last] = *range->bytes;
    const std::uint64_t length = last - first + 1, stored = session.Stored();
    if (session.total && *session.total != *range->total)
        return FragmentRefusal{400, "invalidRequest",
                               "The total size was given as " + std::to_string(*session.total) + " before.",
                               "fragmentLengthMismatch"};
    if (ex.BodySize() != length)
        return FragmentRefusal{400, "invalidRequest",
                               "The Content-Range names " + std::to_string(length) + " bytes but " +
                                   std::to_string(ex.BodySize()) + " arrived.",
                               "fragmentLengthMismatch"};
    if (first < stored)
        return FragmentRefusal{416, "invalidRange",
                               "The fragment overlaps with data already received; the next expected byte is " +
                                   std::to_string(stored) + ".",
                               "fragmentOverlap"};
    if (first > stored)
        return FragmentRefusal{
            416, "invalidRange",
            "Fragments must come in order; the next expected byte is " + std::to_string(stored) + ".",
            "fragmentOutOfOrder"};
    final = last + 1 == *range->total;
    if (!final && length % FragmentGranule != 0)
        return FragmentRefusal{400, "invalidRequest", "Fragments other than the last must be a multiple of 320 KiB.",
                               "invalidFragmentLength"};
    session.total = range->total;
    ex.spool->AppendTo(session.received, 0);
    session.expires = std::max(session.expires, ex.now + SessionLifetime);
    return std::nullopt;
}

Json UploadSessions::State(const UploadSession& session) {
    return {{"expirationDateTime", Rfc3339Millis(session.expires)},
            {"nextExpectedRanges", Json::array({std::to_string(session.Stored()) + "-"})}};
}

std::string CopyMonitors::Start(const std::string& copyId, TimePoint now) {
    for (auto it = monitors_.begin(); it != monitors_.end();)
        it = now - it->second.started > MonitorLifetime ? monitors_.erase(it) : std::next(it);
    std::string id = RandomToken(40);
    monitors_[id] = {copyId, 0, now};
    return id;
}

std::optional<std::pair<int, Json>> CopyMonitors::Poll(const std::string& id, const Namer& graphId) {
    auto it = monitors_.find(id);
    if (it == monitors_.end()) return std::nullopt;
    if (it->second.polls++ == 0)
        return std::pair{202, Json{{"operation", "ItemCopy"}, {"percentageComplete", 50.0}, {"status", "inProgress"}}};
    auto copy = graphId(it->second.copyId);
    if (!copy)
        return std::pair{200, Json{{"operation", "ItemCopy"},
                                   {"percentageComplete", 100.0},
                                   {"status", "failed"},
                                   {"statusDescription", "The copy was deleted."}}};
    return std::pair{
        200,
        Json{{"operation", "ItemCopy"}, {"percentageComplete", 100.0}, {"resourceId", *copy}, {"status", "completed"}}};
}

}  // namespace Nimbo::Emulator
