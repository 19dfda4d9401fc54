#pragma once
// Small helpers shared by the services: JSON, text encodings and times.

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Nimbo::Emulator {

using Json = nlohmann::ordered_json;  // keeps keys in the order the services write them
using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;

// Parses a JSON object; nullopt for anything else (bad syntax, bad UTF-8, not an object).
std::optional<Json> ParseJsonObject(std::string_view text);
// JSON text that never throws: bytes that are not UTF-8 become U+FFFD.
std::string JsonText(const Json& value, int indent = -1);

std::string Base64Encode(std::string_view bytes);
std::string Base64Decode(std::string_view text);  // throws std::invalid_argument on bad text
std::string HexOf(std::string_view bytes);
std::string Md5Hex(std::string_view bytes);
std::string Sha1Hex(std::string_view bytes);
std::string Sha256Hex(std::string_view bytes);
bool ValidUtf8(std::string_view text);         // well-formed, no overlong forms or surrogates
std::string RandomToken(std::size_t length);   // letters and digits
std::string UrlEncode(std::string_view text);  // everything but unreserved characters escaped
std::string UrlDecode(std::string_view text);  // also "+" as space (form encoding)
std::string HtmlEscape(std::string_view text);
std::string ToLower(std::string_view text);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// "a=1&b=2" pairs, decoded.
std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query);
std::string AppendQuery(const std::string& url, const std::vector<std::pair<std::string, std::string>>& pairs);
// The pairs as the URL's fragment ("url#a=1&b=2"): where implicit-grant tokens travel.
std::string WithFragment(const std::string& url, const std::vector<std::pair<std::string, std::string>>& pairs);

// Time texts.
std::string Rfc3339Millis(TimePoint t);                         // 2015-05-06T09:02:13.534Z
std::string Rfc1123(TimePoint t);                               // Wed, 20 Jul 2011 22:04:50 +0000
std::string Iso8601NoColon(TimePoint t);                        // 2011-04-22T00:36:30+0000
std::string Iso8601WithOffset(TimePoint t, int offsetMinutes);  // 2012-12-12T10:53:43-08:00
// "2012-06-04", "2012-06-04T12:00:00", with ".sss" and "Z" or an offset ("+02:00", "-0800");
// no offset is UTC.
std::optional<TimePoint> ParseRfc3339(std::string_view text);
std::int64_t ToMillis(TimePoint t);
TimePoint FromMillis(std::int64_t ms);

}  // namespace Nimbo::Emulator
