#pragma once
// The record of the requests that reached the services: a bounded number of entries, each body
// kept as a prefix with its full size and SHA-256.

#include "emulator/Types.h"

#include <httplib.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace Nimbo::Emulator {

class RequestLog {
public:
  RequestLog(std::size_t maxEntries, std::size_t bodyPrefixBytes)
      : maxEntries_(maxEntries), bodyPrefixBytes_(bodyPrefixBytes) {}

  // bodySha256 may be given when the body was hashed as it arrived (it is not kept whole).
  void Add(const httplib::Request &req, const std::string &host, std::string_view body,
           const std::vector<RecordedPart> &parts, int status, std::uint64_t bodySize, std::string bodySha256);
  void Add(const httplib::Request &req, const std::string &host, std::string_view body,
           const std::vector<RecordedPart> &parts, int status);
  std::vector<RecordedRequest> Entries() const;
  void Clear();
  // A part whose content is cut to the prefix, with its full size and hash.
  RecordedPart Bounded(RecordedPart part) const;

private:
  const std::size_t maxEntries_, bodyPrefixBytes_;
  mutable std::mutex mutex_;
  std::deque<RecordedRequest> entries_;
};

}  // namespace Nimbo::Emulator
