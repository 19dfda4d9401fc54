#include "emulator/GraphSyntax.h"

#include "emulator/Service.h"

#include <algorithm>

namespace Nimbo::Emulator {

bool ValidGraphName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && NameFault(name).empty() &&
           name.find_first_of("/\\:*?\"<>|") == std::string::npos && name.front() != ' ' && name.back() != ' ' &&
           name.back() != '.';
}

Address ParseAddress(std::string_view rest) {
    Address address;
    std::string_view tail;
    if (rest.rfind("/root", 0) == 0) {
        address.base = "root";
        tail = rest.substr(5);
    } else if (rest.rfind("/items/", 0) == 0) {
        rest.remove_prefix(7);
        auto end = rest.find_first_of("/:");
        address.base = std::string(rest.substr(0, end));
        tail = end == std::string_view::npos ? std::string_view() : rest.substr(end);
    } else {
        address.valid = false;
        return address;
    }
    if (!tail.empty() && tail.front() == ':') {
        tail.remove_prefix(1);
        auto close = tail.find(':');
        std::string path(tail.substr(0, close));
        tail = close == std::string_view::npos ? std::string_view() : tail.substr(close + 1);
        address.byPath = true;
        if (!SplitPath(path, address.names)) address.valid = false;
    }
    if (!tail.empty() && (tail.front() != '/' || tail.find('/', 1) != std::string_view::npos)) address.valid = false;
    if (tail == "/") tail = {};
    address.action = std::string(tail);
    address.valid = address.valid && !address.base.empty();
    return address;
}

Json Selected(Json item, const std::vector<std::string>& names) {
    if (names.empty()) return item;
    Json kept = Json::object();
    for (auto& [key, value] : item.items())
        if (std::find(names.begin(), names.end(), key) != names.end()) kept[key] = std::move(value);
    return kept;
}

std::vector<std::string> SelectList(const std::string& text) {
    std::vector<std::string> names;
    std::string name;
    for (char c : text + ",") {
        if (c == ',') {
            if (!name.empty()) names.push_back(name);
            name.clear();
        } else if (c != ' ') {
            name += c;
        }
    }
    return names;
}

std::string SkipToken(std::uint64_t order) {
    std::string text = Base64Encode("after:" + std::to_string(order));
    text.erase(text.find_last_not_of('=') + 1);
    return text;
}

std::optional<std::uint64_t> SkipOrder(const std::string& token) {
    try {
        std::string text = Base64Decode(token + std::string((4 - token.size() % 4) % 4, '='));
        if (text.rfind("after:", 0) != 0) return std::nullopt;
        return Digits(std::string_view(text).substr(6));
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
}

}  // namespace Nimbo::Emulator
