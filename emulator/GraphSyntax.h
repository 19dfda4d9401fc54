#pragma once
// The text forms of Microsoft Graph's OneDrive requests: item names, item addresses, $select
// lists and the skip tokens of listing pages.

#include "emulator/Json.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Nimbo::Emulator {

// The names OneDrive refuses: empty, "." and "..", characters Windows forbids, a leading or
// trailing space, a trailing dot, not UTF-8, control characters, over 255 characters.
bool ValidGraphName(const std::string& name);

// The item part of a request path after the drive ("/root" or "/items/{id}", either with ":/a/b:"
// or ":/a/b" after it) and the action that follows it.
struct Address {
    std::string base;  // "root" or an item id
    std::vector<std::string> names;
    bool byPath = false;
    std::string action;  // "" or "/children", "/content", ...
    bool valid = true;
};
Address ParseAddress(std::string_view rest);

// The names of a $select list (comma-separated), and an item with only the properties they name
// (all of it for an empty list).
std::vector<std::string> SelectList(const std::string& text);
Json Selected(Json item, const std::vector<std::string>& names);

// A listing page's skip token names the creation order of the last item it held.
std::string SkipToken(std::uint64_t order);
std::optional<std::uint64_t> SkipOrder(const std::string& token);

}  // namespace Nimbo::Emulator
