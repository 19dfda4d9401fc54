#pragma once
// The record of the requests that reached the services: a bounded number of entries, each body
// kept as a prefix with its full size and SHA-256.

#include "emulator/Blobs.h"
#include "emulator/Types.h"

#include <httplib.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace Nimbo::Emulator {

class RequestLog {
public:
    RequestLog(std::size_t maxEntries, std::size_t bodyPrefixBytes)
        : maxEntries_(maxEntries), bodyPrefixBytes_(bodyPrefixBytes) {}

    std::size_t BodyPrefixBytes() const { return bodyPrefixBytes_; }  // what spools keep for the log
    // body and parts have arrived whole (their spools are finished).
    void Add(const httplib::Request& req, const std::string& host, const Spool& body,
             const std::vector<BodyPart>& parts, int status);
    std::vector<RecordedRequest> Entries() const;
    void Clear();

private:
    const std::size_t maxEntries_, bodyPrefixBytes_;
    mutable std::mutex mutex_;
    std::deque<RecordedRequest> entries_;
};

}  // namespace Nimbo::Emulator
