#include "Errors.h"

#include <simdjson.h>

#include <algorithm>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Cli {

namespace {

std::string OneLine(std::string AText) {
    std::replace_if(
        AText.begin(), AText.end(), [](char C) { return C == '\n' || C == '\r'; }, ' ');
    while (!AText.empty() && AText.back() == ' ') AText.pop_back();
    return AText;
}

}  // namespace

std::string ServiceMessage(const std::string& ABody) {
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    if (parser.parse(ABody).get(root) != simdjson::SUCCESS || !root.is_object()) return {};
    // Google and Graph: error.message; Box: message; Dropbox: error_summary; sign-in endpoints:
    // error_description; older interfaces: error as text.
    for (const char* pointer : {"/error/message", "/message", "/error_summary", "/error_description", "/error"}) {
        std::string_view text;
        if (root.at_pointer(pointer).get(text) == simdjson::SUCCESS && !text.empty()) return std::string(text);
    }
    return {};
}

std::string ErrorLine(const std::exception& AError) {
    if (const auto* protocol = dynamic_cast<const Connection::EHttpProtocolError*>(&AError)) {
        std::string message = ServiceMessage(protocol->ErrorMessage());
        if (message.empty()) message = protocol->ErrorMessage().substr(0, 200);
        std::string status = std::to_string(protocol->ErrorCode());
        if (!protocol->StatusText().empty()) status += " " + protocol->StatusText();
        return OneLine(message.empty() ? status : status + ": " + message);
    }
    return OneLine(AError.what());
}

}  // namespace Nimbo::Cli
