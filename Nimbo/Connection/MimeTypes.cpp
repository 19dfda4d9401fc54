#include "Nimbo/Connection/MimeTypes.h"

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

std::unique_ptr<TMimeTypes::TDictionary> TMimeTypes::FDictionary;

namespace {

bool IsRefusedInFileName(char C) {
    return static_cast<unsigned char>(C) < 0x20 || C == '"' || C == '<' || C == '>' || C == '|';
}

// The extension with its dot: it starts at the last '.' after the last path separator.
std::string_view ExtensionOf(std::string_view AFileName) {
    for (std::size_t i = AFileName.size(); i-- > 0;) {
        const char c = AFileName[i];
        if (c == '.') return AFileName.substr(i);
        if (c == '/' || c == '\\') break;
    }
    return {};
}

}  // namespace

void TMimeTypes::Init() {
    if (FDictionary) return;
    auto dictionary = std::make_unique<TDictionary>(RowCount);
    IterateAll([&](const TMimeType* ARow) { dictionary->try_emplace(ARow->Ext, ARow->Mime); });
    FDictionary = std::move(dictionary);
}

void TMimeTypes::IterateAll(const std::function<void(const TMimeType*)>& AProc) {
    for (const TMimeType& row : Rows) AProc(&row);
}

std::string TMimeTypes::ByFileName(std::string_view AFileName) {
    Init();
    for (const char c : AFileName)
        if (IsRefusedInFileName(c)) throw EArgumentException("Invalid characters in file name");
    std::string_view ext = ExtensionOf(AFileName);
    if (!ext.empty()) ext.remove_prefix(1);
    const auto found = FDictionary->find(ext);
    return std::string(found != FDictionary->end() ? found->second : DefaultMime);
}

std::string TMimeTypes::OfItemName(std::string_view AName) {
    try {
        return ByFileName(AName);
    } catch (const EArgumentException&) {
        return std::string(DefaultMime);
    }
}

}  // namespace Nimbo::Connection
