#pragma once
// The "fields" parameter of Google's APIs: a selection of an answer's keys such as
// "nextPageToken,files(id,name)", "user/displayName" or "*", checked against the keys the resource
// can have and applied to an answer, which keeps its own key order.

#include "emulator/Json.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Nimbo::Emulator {

// The keys a resource can have, and below each the keys of its value (null: a plain value). A map
// (anyKey) takes any key besides, with `anyBelow` below it.
struct FieldSchema {
    std::map<std::string, const FieldSchema*> keys;
    bool anyKey = false;
    const FieldSchema* anyBelow = nullptr;
};

class FieldMask {
public:
    // nullopt for a selection that is not well formed or names a key the schema lacks; `bad` then
    // holds the offending part as the service quotes it.
    static std::optional<FieldMask> Parse(std::string_view text, const FieldSchema& schema, std::string& bad);

    Json Apply(const Json& value) const;

private:
    class Parser;
    bool whole_ = true;  // everything below: a selection with no parts
    std::map<std::string, FieldMask> parts_;
};

}  // namespace Nimbo::Emulator
