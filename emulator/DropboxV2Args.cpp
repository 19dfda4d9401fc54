#include "emulator/DropboxV2Args.h"

namespace Nimbo::Emulator {
namespace {

const char* TypeName(const Json& value) {
    if (value.is_null()) return "null";
    if (value.is_boolean()) return "boolean";
    if (value.is_number_integer() || value.is_number_unsigned()) return "integer";
    if (value.is_number()) return "float";
    if (value.is_string()) return "string";
    if (value.is_array()) return "list";
    return "object";
}

const char* PatternText(PathPattern pattern) {
    switch (pattern) {
        case PathPattern::ListFolder:
            return "(/(.|[\\r\\n])*)?|id:.*|(ns:[0-9]+(/.*)?)";
        case PathPattern::Metadata:
            return "(/(.|[\\r\\n])*|id:.*)|(rev:[0-9a-f]{9,})|(ns:[0-9]+(/.*)?)";
        case PathPattern::Write:
            return "(/(.|[\\r\\n])*)|(ns:[0-9]+(/.*)?)|(id:.*)";
    }
    return "";
}

bool Matches(const std::string& path, PathPattern pattern) {
    if (path.rfind("/", 0) == 0 || (path.rfind("id:", 0) == 0 && path.size() > 3)) return true;
    if (path.empty()) return pattern == PathPattern::ListFolder;
    if (path.rfind("ns:", 0) == 0) {
        auto digits = path.substr(3, path.find('/') - 3);
        return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
    }
    if (path.rfind("rev:", 0) == 0 && pattern == PathPattern::Metadata)
        return path.size() >= 13 && path.find_first_not_of("0123456789abcdef", 4) == std::string::npos;
    return false;
}

}  // namespace

Args::Args(const Json& object, std::string where) : json_(object), where_(std::move(where)) {}

void Args::Fail(const char* key, const std::string& text) const {
    throw DropboxV2::BadInput{where_ + ": " + key + ": " + text};
}

const Json* Args::Find(const char* key) const {
    if (!json_.is_object()) return nullptr;
    auto it = json_.find(key);
    return it == json_.end() || it->is_null() ? nullptr : &*it;
}

std::string Args::String(const char* key) {
    const Json* value = Find(key);
    if (!value) throw DropboxV2::BadInput{where_ + ": missing required field '" + key + "'"};
    if (!value->is_string()) Fail(key, std::string("expected string, got ") + TypeName(*value));
    return value->get<std::string>();
}

std::optional<std::string> Args::OptionalString(const char* key) {
    if (!Find(key)) return std::nullopt;
    return String(key);
}

bool Args::Bool(const char* key, bool fallback) {
    const Json* value = Find(key);
    if (!value) return fallback;
    if (!value->is_boolean()) Fail(key, std::string("expected boolean, got ") + TypeName(*value));
    return value->get<bool>();
}

std::uint64_t Args::UInt(const char* key, std::uint64_t fallback, std::uint64_t min, std::uint64_t max) {
    const Json* value = Find(key);
    if (!value) return fallback;
    if (!value->is_number_unsigned() && !(value->is_number_integer() && value->get<std::int64_t>() >= 0))
        Fail(key, std::string("expected unsigned integer, got ") + TypeName(*value));
    auto number = value->get<std::uint64_t>();
    if (number < min || number > max)
        Fail(key, std::to_string(number) + " is not within range [" + std::to_string(min) + ", " + std::to_string(max) +
                      "]");
    return number;
}

std::uint64_t Args::RequiredUInt(const char* key) {
    if (!Find(key)) throw DropboxV2::BadInput{where_ + ": missing required field '" + key + "'"};
    return UInt(key, 0, 0, UINT64_MAX);
}

Args Args::Object(const char* key) {
    const Json* value = Find(key);
    if (!value) throw DropboxV2::BadInput{where_ + ": missing required field '" + key + "'"};
    if (!value->is_object()) Fail(key, std::string("expected object, got ") + TypeName(*value));
    return Args(*value, where_ + ": " + key);
}

std::string Args::Tag(const char* key, const std::string& fallback, Json* whole) {
    const Json* value = Find(key);
    if (!value) return fallback;
    if (whole) *whole = *value;
    if (value->is_string()) return value->get<std::string>();
    if (value->is_object() && value->contains(".tag") && (*value)[".tag"].is_string())
        return (*value)[".tag"].get<std::string>();
    Fail(key, std::string("expected a union, got ") + TypeName(*value));
}

std::string Args::Path(const char* key, PathPattern pattern, const std::string& errorTag) {
    std::string path = String(key);
    if (pattern == PathPattern::ListFolder && path == "/")
        Fail(key, "Specify the root folder as an empty string rather than as \"/\".");
    if (!Matches(path, pattern)) Fail(key, "'" + path + "' did not match pattern '" + PatternText(pattern) + "'");
    if (path.rfind("ns:", 0) == 0) {  // the account's own namespace is its root
        auto slash = path.find('/');
        path = slash == std::string::npos ? "" : path.substr(slash);
        if (path.empty() && pattern != PathPattern::ListFolder)
            throw DropboxV2::RouteError{LookupFailure(errorTag, "malformed_path")};
    }
    if (path.empty() || path[0] != '/') return path;
    // Empty names are dropped: "//Docs/" is "/Docs", as clients that join paths loosely expect.
    std::string normal;
    std::size_t start = 1;
    while (start <= path.size()) {
        auto slash = std::min(path.find('/', start), path.size());
        std::string name = path.substr(start, slash - start);
        if (name == "." || name == ".." || !NameFault(name).empty())
            throw DropboxV2::RouteError{LookupFailure(errorTag, "malformed_path")};
        if (!name.empty()) normal += "/" + name;
        start = slash + 1;
    }
    return normal.empty() && pattern == PathPattern::Write ? "/" : normal;  // the caller says what "/" cannot be
}

std::optional<TimePoint> Args::Time(const char* key) {
    auto text = OptionalString(key);
    if (!text) return std::nullopt;
    auto time = ParseRfc3339(*text);
    if (!time || text->size() != 20 || text->back() != 'Z')
        Fail(key, "'" + *text + "' is not a timestamp of the form %Y-%m-%dT%H:%M:%SZ");
    return time;
}

Json LookupFailure(const std::string& tag, const std::string& inner) {
    return {{".tag", tag}, {tag, {{".tag", inner}}}};
}

Json ConflictError(const std::string& kind) { return {{".tag", "conflict"}, {"conflict", {{".tag", kind}}}}; }

std::string ErrorSummary(const Json& error) {
    std::string summary;
    const Json* level = &error;
    while (level->is_object() && level->contains(".tag") && (*level)[".tag"].is_string()) {
        std::string tag = (*level)[".tag"].get<std::string>();
        summary += tag + "/";
        if (level->contains(tag) && (*level)[tag].is_object())
            level = &(*level)[tag];
        else if (level->contains("reason") && (*level)["reason"].is_object())
            level = &(*level)["reason"];
        else
            break;
    }
    return summary + "..";
}

}  // namespace Nimbo::Emulator
