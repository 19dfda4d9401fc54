#pragma once
// The search language of Drive's "q" parameter: terms such as "title contains 'a'",
// "'<id>' in parents", "trashed = false", "modifiedDate > '2012-06-04T12:00:00'", joined with and/or,
// negated with not, grouped with parentheses. v3 names the terms its own way ("name", "modifiedTime",
// "createdTime"). Parsed by hand: the text is the client's.

#include "emulator/Tree.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace Nimbo::Emulator {

struct DriveQuery {
    std::function<bool(const Node&)> matches;
    // A parent every match must have (a top-level "'<id>' in parents" joined by "and"), so that a
    // listing need only look at that folder's children. "root" as given.
    std::optional<std::string> parent;
};

// Facts the terms need that a node does not hold.
struct DriveQueryContext {
    std::string rootId, folderMime, userEmail;
    bool v3 = false;  // the terms of Drive v3 instead of v2's
};

// nullopt for text that is not a valid query (bad syntax, unknown term, wrong operator).
std::optional<DriveQuery> ParseDriveQuery(std::string_view text, const DriveQueryContext& context);

}  // namespace Nimbo::Emulator
