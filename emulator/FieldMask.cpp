#include "emulator/FieldMask.h"

#include <cctype>

namespace Nimbo::Emulator {

// Reads the selection text:
//   list := item ("," item)*     item := name ("/" name)* ["(" list ")"]     name := "*" | word
class FieldMask::Parser {
public:
    Parser(std::string_view text, std::string& bad) : text_(text), bad_(bad) {}

    bool List(FieldMask& into, const FieldSchema& schema, int depth) {
        if (depth > MaxDepth) return Bad(std::string(text_.substr(at_)));
        do {
            FieldMask item;
            if (!Item(item, schema, depth)) return false;
            Merge(into, std::move(item));
        } while (Take(','));
        return true;
    }

    bool AtEnd() {
        SkipSpace();
        return at_ == text_.size();
    }
    bool Take(char c) {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
        return false;
    }
    bool Bad(std::string part) {
        if (bad_.empty()) bad_ = part.empty() ? std::string(text_) : std::move(part);
        return false;
    }

private:
    static constexpr int MaxDepth = 32;  // nesting of parentheses: the text is the client's
    std::string_view text_;
    std::size_t at_ = 0;
    std::string& bad_;

    // One item as a mask of its own: a chain of names ending in everything or a parenthesised list.
    bool Item(FieldMask& item, const FieldSchema& schema, int depth) {
        item.whole_ = false;
        FieldMask* at = &item;
        const FieldSchema* level = &schema;
        std::string name;
        while (true) {
            name = Name();
            if (name.empty()) return Bad(std::string(text_.substr(at_, 1)));
            if (!level) return Bad(name);  // a plain value has no keys
            const FieldSchema* below = nullptr;
            if (name != "*") {
                auto it = level->keys.find(name);
                if (it == level->keys.end() && !level->anyKey) return Bad(name);
                below = it != level->keys.end() ? it->second : level->anyBelow;
            }
            at = &at->parts_[name];
            at->whole_ = false;
            level = below;
            if (name == "*" || !Take('/')) break;
        }
        if (!Take('(')) {
            at->whole_ = true;
            return true;
        }
        if (name == "*" || !level) return Bad(name);
        if (!List(*at, *level, depth + 1)) return false;
        return Take(')') || Bad(name);
    }

    static void Merge(FieldMask& into, FieldMask&& from) {
        if (into.whole_) return;
        if (from.whole_) {
            into.whole_ = true;
            into.parts_.clear();
            return;
        }
        for (auto& [name, part] : from.parts_) {
            auto [it, fresh] = into.parts_.try_emplace(name, std::move(part));
            if (!fresh) Merge(it->second, std::move(part));
        }
    }

    void SkipSpace() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) ++at_;
    }
    std::string Name() {
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == '*') return ++at_, "*";
        std::size_t start = at_;
        while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_')) ++at_;
        return std::string(text_.substr(start, at_ - start));
    }
};

std::optional<FieldMask> FieldMask::Parse(std::string_view text, const FieldSchema& schema, std::string& bad) {
    bad.clear();
    Parser parser(text, bad);
    FieldMask root;
    root.whole_ = false;
    if (!parser.List(root, schema, 0)) return std::nullopt;
    if (!parser.AtEnd()) return parser.Bad(""), std::nullopt;
    return root;
}

Json FieldMask::Apply(const Json& value) const {
    if (whole_ || parts_.count("*")) return value;
    if (value.is_array()) {
        Json items = Json::array();
        for (const auto& item : value) items.push_back(Apply(item));
        return items;
    }
    if (!value.is_object()) return value;
    Json kept = Json::object();
    for (const auto& [key, child] : value.items())
        if (auto it = parts_.find(key); it != parts_.end()) kept[key] = it->second.Apply(child);
    return kept;
}

}  // namespace Nimbo::Emulator
