#pragma once

// The typed answer of a request: THttpRequest::Execute<T> decodes the JSON body into a described
// record. Sits above both the request layer and the JSON decoder.

#include <type_traits>
#include <utility>

#include "Nimbo/Connection/Http.h"
#include "Nimbo/Connection/Json.h"

namespace Nimbo::Connection {

template <class T>
requires(!std::is_base_of_v<std::ostream, T> && !std::is_same_v<T, TBytes> &&
         !std::is_same_v<T, std::string>) int THttpRequest::Execute(T& AResponse) const {
    TBytes body;
    const int code = Execute(body);
    TJsonDecoder decoder(std::move(body));
    decoder.Decode(AResponse);
    return code;
}

}  // namespace Nimbo::Connection
