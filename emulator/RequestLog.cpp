#include "emulator/RequestLog.h"

#include "emulator/Json.h"

namespace Nimbo::Emulator {

RecordedPart RequestLog::Bounded(RecordedPart part) const {
  part.size = part.content.size();
  part.sha256 = Sha256Hex(part.content);
  if (part.content.size() > bodyPrefixBytes_) part.content.resize(bodyPrefixBytes_);
  return part;
}

void RequestLog::Add(const httplib::Request &req, const std::string &host, std::string_view body,
                     const std::vector<RecordedPart> &parts, int status) {
  Add(req, host, body, parts, status, body.size(), Sha256Hex(body));
}

void RequestLog::Add(const httplib::Request &req, const std::string &host, std::string_view body,
                     const std::vector<RecordedPart> &parts, int status, std::uint64_t bodySize,
                     std::string bodySha256) {
  if (maxEntries_ == 0) return;
  RecordedRequest r;
  r.method = req.method;
  r.host = host;
  r.path = req.path;
  auto q = req.target.find('?');
  r.query = q == std::string::npos ? "" : req.target.substr(q + 1);
  for (const auto &[name, value] : req.headers)
    if (name != "REMOTE_ADDR" && name != "REMOTE_PORT" && name != "LOCAL_ADDR" && name != "LOCAL_PORT")
      r.headers.emplace_back(name, value);
  r.body = body.substr(0, std::min(body.size(), bodyPrefixBytes_));
  r.bodySize = bodySize;
  r.bodySha256 = std::move(bodySha256);
  for (const auto &part : parts) r.parts.push_back(Bounded(part));
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
