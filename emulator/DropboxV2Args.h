#pragma once
// Reading Dropbox v2 arguments as the service checks them, and the shapes of its route errors.

#include "emulator/DropboxV2.h"

#include <optional>
#include <string>

namespace Nimbo::Emulator {

// Which path forms a field takes.
enum class PathPattern {
    ListFolder,  // "" (the root), "/…", "id:…", "ns:…"
    Metadata,    // "/…", "id:…", "rev:…", "ns:…"
    Write,       // "/…", "id:…", "ns:…"
};

// The fields of one JSON object; a field of the wrong type is a BadInput naming it.
class Args {
public:
    Args(const Json& object, std::string where);  // where: "request body", "HTTP header \"Dropbox-API-Arg\""

    std::string String(const char* key);  // required
    std::optional<std::string> OptionalString(const char* key);
    bool Bool(const char* key, bool fallback);
    std::uint64_t UInt(const char* key, std::uint64_t fallback, std::uint64_t min, std::uint64_t max);
    std::uint64_t RequiredUInt(const char* key);
    Args Object(const char* key);  // required
    const Json& Raw() const { return json_; }
    // A union given as its tag alone or as {".tag": …}; the whole value is left in `value`.
    std::string Tag(const char* key, const std::string& fallback, Json* value = nullptr);
    // A path checked against the field's pattern; "/a/b" with the names as given ("" for the root,
    // "id:…" and "rev:…" as they are). A path the pattern takes but whose names are unusable is a
    // route error: errorTag/malformed_path.
    std::string Path(const char* key, PathPattern pattern, const std::string& errorTag = "path");
    std::optional<TimePoint> Time(const char* key);

private:
    const Json& json_;
    std::string where_;
    [[noreturn]] void Fail(const char* key, const std::string& text) const;
    const Json* Find(const char* key) const;
};

// {".tag": tag, tag: {".tag": inner}}: a LookupError or WriteError under the route's member.
Json LookupFailure(const std::string& tag, const std::string& inner);
// A WriteError conflict: {".tag": "conflict", "conflict": {".tag": kind}}.
Json ConflictError(const std::string& kind);
// "path/not_found/..": the tags of a route error, outermost first.
std::string ErrorSummary(const Json& error);

}  // namespace Nimbo::Emulator
