#pragma once

#include <string>
#include <string_view>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/Json.h"

namespace Nimbo::Connection::Testing {

// The message of the E that decoding AJson into AOutput raises, or "(no failure)".
template <class E, class T>
std::string FailureOf(std::string_view AJson, T& AOutput) {
    TJsonDecoder decoder(AJson);
    try {
        decoder.Decode(AOutput);
    } catch (const E& e) {
        return e.what();
    }
    return "(no failure)";
}

}  // namespace Nimbo::Connection::Testing
