#include "emulator/Multipart.h"

#include "emulator/Json.h"

namespace Nimbo::Emulator {
namespace {

constexpr std::size_t MaxHeadBytes = 16384;

std::string Trim(std::string_view text) {
    auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return "";
    return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

}  // namespace

MultipartSplitter::MultipartSplitter(std::string_view boundary, OnHead onHead, OnData onData)
    : delimiter_("\r\n--" + std::string(boundary)), onHead_(std::move(onHead)), onData_(std::move(onData)) {
    pending_ = "\r\n";  // the first delimiter may open the body without a line break before it
}

bool MultipartSplitter::Feed(std::string_view bytes) {
    if (state_ == State::Broken) return false;
    if (state_ == State::Epilogue) return true;
    pending_.append(bytes);
    while (Step()) {}
    return state_ != State::Broken;
}

bool MultipartSplitter::Complete() const { return state_ == State::Epilogue; }

bool MultipartSplitter::Step() {
    switch (state_) {
        case State::Preamble: {
            auto at = pending_.find(delimiter_);
            if (at == std::string::npos) {
                if (pending_.size() > delimiter_.size()) pending_.erase(0, pending_.size() - delimiter_.size());
                return false;
            }
            pending_.erase(0, at + delimiter_.size());
            state_ = State::AfterDelimiter;
            return true;
        }
        case State::AfterDelimiter: {
            if (pending_.size() < 2) return false;
            if (pending_.compare(0, 2, "--") == 0) {
                pending_.clear();
                state_ = State::Epilogue;
                return false;
            }
            auto end = pending_.find("\r\n");
            if (end == std::string::npos) {
                if (pending_.size() > MaxHeadBytes) state_ = State::Broken;
                return false;
            }
            if (!Trim(std::string_view(pending_).substr(0, end)).empty()) return state_ = State::Broken, false;
            pending_.erase(0, end + 2);
            state_ = State::Head;
            return true;
        }
        case State::Head: {
            bool noHeaders = pending_.compare(0, 2, "\r\n") == 0;
            auto end = noHeaders ? 0 : pending_.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (pending_.size() > MaxHeadBytes) state_ = State::Broken;
                return false;
            }
            PartHeaders headers;
            std::string_view head = std::string_view(pending_).substr(0, end);
            while (!head.empty()) {
                auto lineEnd = head.find("\r\n");
                std::string_view line = head.substr(0, lineEnd);
                auto colon = line.find(':');
                if (colon == std::string_view::npos) return state_ = State::Broken, false;
                headers.emplace_back(Trim(line.substr(0, colon)), Trim(line.substr(colon + 1)));
                head = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
            }
            pending_.erase(0, end + (noHeaders ? 2 : 4));
            onHead_(headers);
            state_ = State::Content;
            return true;
        }
        case State::Content: {
            auto at = pending_.find(delimiter_);
            if (at == std::string::npos) {
                // Everything but a possible start of the delimiter is content.
                if (pending_.size() >= delimiter_.size()) {
                    std::size_t safe = pending_.size() - delimiter_.size() + 1;
                    onData_(std::string_view(pending_).substr(0, safe));
                    pending_.erase(0, safe);
                }
                return false;
            }
            if (at > 0) onData_(std::string_view(pending_).substr(0, at));
            pending_.erase(0, at + delimiter_.size());
            state_ = State::AfterDelimiter;
            return true;
        }
        case State::Epilogue:
        case State::Broken:
            return false;
    }
    return false;
}

std::optional<std::string> MultipartBoundary(std::string_view contentType) {
    std::string lower = ToLower(contentType);
    auto at = lower.find("boundary=");
    if (at == std::string::npos) return std::nullopt;
    std::string_view value = contentType.substr(at + 9);
    if (!value.empty() && value.front() == '"') {
        auto close = value.find('"', 1);
        if (close == std::string_view::npos) return std::nullopt;
        value = value.substr(1, close - 1);
    } else {
        value = value.substr(0, value.find(';'));
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    }
    if (value.empty() || value.size() > 70) return std::nullopt;
    return std::string(value);
}

std::string HeaderValue(const PartHeaders& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (EqualsIgnoreCase(key, name)) return value;
    return "";
}

}  // namespace Nimbo::Emulator
