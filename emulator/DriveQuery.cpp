#include "emulator/DriveQuery.h"

#include "emulator/Json.h"

#include <cctype>
#include <memory>
#include <vector>

namespace Nimbo::Emulator {
namespace {

using Predicate = std::function<bool(const Node&)>;

struct Token {
    enum Kind { Word, String, Operator, Open, Close, End } kind;
    std::string text;
};

// Splits the query into words, quoted strings (with \ escapes), operators and parentheses.
std::optional<std::vector<Token>> Tokenize(std::string_view text) {
    std::vector<Token> tokens;
    for (std::size_t i = 0; i < text.size();) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '(' || c == ')') {
            tokens.push_back({c == '(' ? Token::Open : Token::Close, std::string(1, c)});
            ++i;
        } else if (c == '\'' || c == '"') {
            std::string value;
            std::size_t k = i + 1;
            for (; k < text.size() && text[k] != c; ++k) {
                if (text[k] == '\\' && k + 1 < text.size()) ++k;
                value += text[k];
            }
            if (k >= text.size()) return std::nullopt;  // unterminated
            tokens.push_back({Token::String, value});
            i = k + 1;
        } else if (c == '=' || c == '!' || c == '<' || c == '>') {
            std::string op(1, c);
            if (i + 1 < text.size() && text[i + 1] == '=') op += '=';
            if (op == "!") return std::nullopt;
            tokens.push_back({Token::Operator, op});
            i += op.size();
        } else if (std::isalpha(static_cast<unsigned char>(c))) {
            std::size_t k = i;
            while (k < text.size() && std::isalnum(static_cast<unsigned char>(text[k]))) ++k;
            tokens.push_back({Token::Word, std::string(text.substr(i, k - i))});
            i = k;
        } else {
            return std::nullopt;
        }
    }
    tokens.push_back({Token::End, ""});
    return tokens;
}

// "contains" on titles matches at the start of the title or of a word in it, ignoring case.
bool TitleContains(const std::string& title, const std::string& value) {
    std::string t = ToLower(title), v = ToLower(value);
    if (v.empty()) return true;
    for (auto at = t.find(v); at != std::string::npos; at = t.find(v, at + 1))
        if (at == 0 || !std::isalnum(static_cast<unsigned char>(t[at - 1]))) return true;
    return false;
}

template <class T>
bool Compare(const T& a, const std::string& op, const T& b) {
    if (op == "=") return a == b;
    if (op == "!=") return a != b;
    if (op == "<") return a < b;
    if (op == "<=") return a <= b;
    if (op == ">") return a > b;
    return a >= b;  // ">="
}

class Parser {
public:
    Parser(std::vector<Token> tokens, const DriveQueryContext& context)
        : tokens_(std::move(tokens)), context_(context) {}

    std::optional<DriveQuery> Parse() {
        DriveQuery query;
        auto predicate = Or(&query.parent);
        if (!predicate || Peek().kind != Token::End) return std::nullopt;
        query.matches = std::move(*predicate);
        return query;
    }

private:
    std::vector<Token> tokens_;
    std::size_t at_ = 0;
    int depth_ = 0;  // parentheses and "not"s open: bounded, the text is the client's
    const DriveQueryContext& context_;
    static constexpr int MaxDepth = 64;

    const Token& Peek() const { return tokens_[at_]; }
    const Token& Next() { return tokens_[at_ < tokens_.size() - 1 ? at_++ : at_]; }
    bool Keyword(const char* word) {
        if (Peek().kind != Token::Word || ToLower(Peek().text) != word) return false;
        ++at_;
        return true;
    }

    // parent: where to note a parent every match must have; null below or/not.
    std::optional<Predicate> Or(std::optional<std::string>* parent) {
        auto left = And(parent);
        if (!left) return std::nullopt;
        bool any = false;
        std::vector<Predicate> alternatives{std::move(*left)};
        while (Keyword("or")) {
            any = true;
            auto right = And(nullptr);
            if (!right) return std::nullopt;
            alternatives.push_back(std::move(*right));
        }
        if (any && parent) parent->reset();  // an alternative may lie elsewhere
        if (alternatives.size() == 1) return std::move(alternatives.front());
        return [alternatives](const Node& node) {
            for (const auto& p : alternatives)
                if (p(node)) return true;
            return false;
        };
    }

    std::optional<Predicate> And(std::optional<std::string>* parent) {
        std::vector<Predicate> all;
        do {
            auto term = Not(parent);
            if (!term) return std::nullopt;
            all.push_back(std::move(*term));
        } while (Keyword("and"));
        if (all.size() == 1) return std::move(all.front());
        return [all](const Node& node) {
            for (const auto& p : all)
                if (!p(node)) return false;
            return true;
        };
    }

    std::optional<Predicate> Not(std::optional<std::string>* parent) {
        if (++depth_ > MaxDepth) return std::nullopt;
        auto result = NotOrGroup(parent);
        --depth_;
        return result;
    }

    std::optional<Predicate> NotOrGroup(std::optional<std::string>* parent) {
        if (Keyword("not")) {
            auto inner = Not(nullptr);
            if (!inner) return std::nullopt;
            return [inner = std::move(*inner)](const Node& node) { return !inner(node); };
        }
        if (Peek().kind == Token::Open) {
            Next();
            auto inner = Or(parent);
            if (!inner || Next().kind != Token::Close) return std::nullopt;
            return inner;
        }
        return Term(parent);
    }

    std::optional<Predicate> Term(std::optional<std::string>* parent) {
        if (Peek().kind == Token::String) {  // '<value>' in <collection>
            std::string value = Next().text;
            if (!Keyword("in") || Peek().kind != Token::Word) return std::nullopt;
            std::string collection = Next().text;
            if (collection == "parents") {
                std::string id = value == "root" ? context_.rootId : value;
                if (parent) *parent = id;
                return [id](const Node& node) { return node.parentId == id; };
            }
            if (collection == "owners" || collection == "writers" || collection == "readers") {
                bool me = value == "me" || EqualsIgnoreCase(value, context_.userEmail);
                return [me](const Node&) { return me; };
            }
            return std::nullopt;
        }
        if (Peek().kind != Token::Word) return std::nullopt;
        std::string field = Next().text;
        std::string op;
        if (Keyword("contains"))
            op = "contains";
        else if (Peek().kind == Token::Operator)
            op = Next().text;
        else
            return std::nullopt;
        const Token& value = Next();
        return Comparison(field, op, value);
    }

    std::optional<Predicate> Comparison(const std::string& field, const std::string& op, const Token& value) {
        const bool v3 = context_.v3;
        bool equality = op == "=" || op == "!=";
        const bool nameTerm = field == (v3 ? "name" : "title");
        if (nameTerm || field == "fullText" || field == "mimeType") {
            if (value.kind != Token::String || !(equality || op == "contains")) return std::nullopt;
            if (field == "fullText" && op != "contains") return std::nullopt;
            std::string wanted = value.text, folderMime = context_.folderMime;
            bool title = field != "mimeType";
            return [=](const Node& node) {
                const std::string& actual = title ? node.name : (node.folder ? folderMime : node.mimeType);
                if (op == "contains")
                    return title ? TitleContains(actual, wanted) : actual.find(wanted) != std::string::npos;
                return Compare(actual, op, wanted);
            };
        }
        if (auto date = DateOf(field)) {
            auto when = value.kind == Token::String ? ParseRfc3339(value.text) : std::nullopt;
            if (!when || op == "contains") return std::nullopt;
            TimePoint at = *when;
            return [op, at, date](const Node& node) { return Compare(date(node), op, at); };
        }
        const bool flag =
            field == "trashed" || field == "starred" || field == "sharedWithMe" || (!v3 && field == "hidden");
        if (flag) {
            if (!equality || value.kind != Token::Word || (value.text != "true" && value.text != "false"))
                return std::nullopt;
            bool wanted = value.text == "true", trashed = field == "trashed";
            return [=](const Node& node) { return Compare(trashed && node.trashed, op, wanted); };
        }
        return std::nullopt;
    }

    // The date a date term compares; null for a field that is not one.
    using DateGetter = TimePoint (*)(const Node&);
    DateGetter DateOf(const std::string& field) const {
        DateGetter modified = [](const Node& node) { return node.modified; };
        DateGetter created = [](const Node& node) { return node.created; };
        if (context_.v3) {
            if (field == "modifiedTime" || field == "viewedByMeTime") return modified;
            if (field == "createdTime") return created;
        } else if (field == "modifiedDate" || field == "lastViewedByMeDate") {
            return modified;
        }
        return nullptr;
    }
};

}  // namespace

std::optional<DriveQuery> ParseDriveQuery(std::string_view text, const DriveQueryContext& context) {
    auto tokens = Tokenize(text);
    if (!tokens) return std::nullopt;
    return Parser(std::move(*tokens), context).Parse();
}

}  // namespace Nimbo::Emulator
