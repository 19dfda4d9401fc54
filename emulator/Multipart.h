#pragma once
// Multipart bodies (multipart/related, multipart/mixed) split as they arrive: each part's head, then
// its content in pieces, never holding more of the body than a delimiter's length.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Nimbo::Emulator {

using PartHeaders = std::vector<std::pair<std::string, std::string>>;

class MultipartSplitter {
public:
    using OnHead = std::function<void(const PartHeaders&)>;
    using OnData = std::function<void(std::string_view)>;

    MultipartSplitter(std::string_view boundary, OnHead onHead, OnData onData);

    bool Feed(std::string_view bytes);  // false once the body is malformed
    bool Complete() const;              // the closing delimiter has arrived

private:
    enum class State { Preamble, AfterDelimiter, Head, Content, Epilogue, Broken };
    std::string delimiter_;  // "\r\n--" + boundary
    OnHead onHead_;
    OnData onData_;
    State state_ = State::Preamble;
    std::string pending_;

    bool Step();  // one state change on the pending bytes; false when more bytes are needed
};

// The boundary parameter of a multipart Content-Type, unquoted; nullopt when there is none.
std::optional<std::string> MultipartBoundary(std::string_view contentType);
// A header's value by name, ignoring case; empty when absent.
std::string HeaderValue(const PartHeaders& headers, std::string_view name);

}  // namespace Nimbo::Emulator
