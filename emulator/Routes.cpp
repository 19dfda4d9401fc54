#include "emulator/Routes.h"

namespace Nimbo::Emulator {
namespace {

std::vector<std::string_view> Segments(std::string_view path) {
    std::vector<std::string_view> segments;
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (true) {
        auto slash = path.find('/');
        segments.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return segments;
}

bool IsParameter(const std::string& segment) {
    return segment.size() > 2 && segment.front() == '{' && segment.back() == '}';
}
bool IsRest(const std::string& segment) {
    return IsParameter(segment) && segment.size() > 5 && segment.compare(segment.size() - 4, 4, "...}") == 0;
}

// Binds the path to the pattern; false when it does not fit.
bool Bind(const std::vector<std::string>& pattern, std::string_view path, PathParams& params) {
    auto segments = Segments(path);
    params.clear();
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const std::string& want = pattern[i];
        if (IsRest(want)) {
            std::string rest;
            for (std::size_t k = i; k < segments.size(); ++k) {
                if (k > i) rest += '/';
                rest += segments[k];
            }
            params.emplace_back(want.substr(1, want.size() - 5), rest);
            return true;
        }
        if (i >= segments.size()) return false;
        if (IsParameter(want)) {
            if (segments[i].empty()) return false;
            params.emplace_back(want.substr(1, want.size() - 2), std::string(segments[i]));
        } else if (segments[i] != want) {
            return false;
        }
    }
    return segments.size() == pattern.size();
}

}  // namespace

void RouteTable::Add(std::string method, std::string host, std::string_view pattern, Handler handler, Access access,
                     std::uint64_t maxBody) {
    std::vector<std::string> segments;
    for (auto segment : Segments(pattern)) segments.emplace_back(segment);
    routes_.push_back({std::move(method), std::move(host), std::move(segments), std::move(handler), access, maxBody});
}

RouteTable::Match RouteTable::Find(std::string_view method, std::string_view host, std::string_view path) const {
    Match match;
    PathParams params;
    if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);  // "files/" is "files"
    for (const Route& route : routes_) {
        if (route.host != host || !Bind(route.segments, path, params)) continue;
        if (route.method != method) {
            match.outcome = Outcome::WrongMethod;
            continue;
        }
        return {Outcome::Found, &route, std::move(params)};
    }
    return match;
}

}  // namespace Nimbo::Emulator
