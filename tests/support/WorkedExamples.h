#pragma once
// The documented example bodies, built once for the builder tests and the wire tests.

#include <string>

#include "Nimbo/Connection/Http.h"

namespace Nimbo::Testing {

inline const std::string JsonExampleBody = R"({"name": "Reports","parent": {"id": "0"},"tags": ["a",null]})";

// Writes the JSON example into the request (with its content type) and returns it.
inline Connection::THttpRequest WriteJsonExample(Connection::THttpRequest ARequest) {
    using R = Connection::THttpRequest;
    return ARequest.BeginJson(R::jvBeginObject, true)
        .Prop("name", "Reports")
        .Prop("parent", R::jvBeginObject)
        .Prop("id", "0")
        .EndObject()
        .Prop("tags", R::jvBeginArray)
        .Elem("a")
        .Elem(R::jvNull)
        .EndArray()
        .EndJson();
}

// Writes the 296-byte multipart example into the request and returns it.
inline Connection::THttpRequest WriteMultipartExample(Connection::THttpRequest ARequest) {
    return ARequest.BeginMultipart("file", "a.txt")
        .Data("hello", 5)
        .NextPart("parent_id", "")
        .Data("0", 1)
        .EndMultipart();
}

}  // namespace Nimbo::Testing
