#include "emulator/RequestLog.h"

namespace Nimbo::Emulator {

void RequestLog::Add(const httplib::Request& req, const std::string& host, const Spool& body,
                     const std::vector<BodyPart>& parts, int status) {
    if (maxEntries_ == 0) return;
    RecordedRequest r;
    r.method = req.method;
    r.host = host;
    r.path = req.path;
    auto q = req.target.find('?');
    r.query = q == std::string::npos ? "" : req.target.substr(q + 1);
    for (const auto& [name, value] : req.headers)
        if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT")
            r.headers.emplace_back(name, value);
    r.body = body.Prefix();
    r.bodySize = body.Size();
    r.bodySha256 = body.Sha256();
    for (const auto& part : parts)
        r.parts.push_back(
            {part.name, part.fileName, part.contentType, part.data->Prefix(), part.Size(), part.data->Sha256()});
    r.status = status;
    std::lock_guard lock(mutex_);
    if (entries_.size() >= maxEntries_) entries_.pop_front();
    entries_.push_back(std::move(r));
}

std::vector<RecordedRequest> RequestLog::Entries() const {
    std::lock_guard lock(mutex_);
    return {entries_.begin(), entries_.end()};
}

void RequestLog::Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

}  // namespace Nimbo::Emulator
