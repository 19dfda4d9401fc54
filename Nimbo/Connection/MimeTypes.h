#pragma once

// The media type that goes with a file name, from a constant table of extensions.

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Nimbo::Connection {

class TMimeTypes {
public:
    TMimeTypes() = delete;

    struct TMimeType {
        std::string_view Ext;   // without the leading dot, in lower case
        std::string_view Mime;  // the media type
    };

    static constexpr std::size_t RowCount = 982;
    static constexpr std::string_view DefaultMime = "application/octet-stream";

    // Builds the extension dictionary on first use; the first row of an extension wins.
    static void Init();
    // Calls AProc for every row, in table order.
    static void IterateAll(const std::function<void(const TMimeType*)>& AProc);
    // The media type of the file name's extension, matched exactly (no case folding), or
    // "application/octet-stream". Raises EArgumentException "Invalid characters in file name" for a
    // name holding a control character, '"', '<', '>' or '|'.
    static std::string ByFileName(std::string_view AFileName);
    // The same for the name of an item of a service, which may hold characters that a local file
    // name may not: such a name gets "application/octet-stream".
    static std::string OfItemName(std::string_view AName);

private:
    using TDictionary = std::unordered_map<std::string_view, std::string_view>;

    static const std::array<TMimeType, RowCount> Rows;
    static std::unique_ptr<TDictionary> FDictionary;  // released at program end
};

}  // namespace Nimbo::Connection
