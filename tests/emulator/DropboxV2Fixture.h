#pragma once
// Dropbox API v2 calls against the emulator: RPC calls with a JSON body, content calls with the
// argument in the Dropbox-API-Arg header.

#include "EmulatorFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace EmulatorTest {

inline const std::string ApiV2 = "https://api.dropboxapi.com/2/";
inline const std::string ContentV2 = "https://content.dropboxapi.com/2/";
inline const std::string NotifyV2 = "https://notify.dropboxapi.com/2/";

class DropboxV2Fixture : public EmulatorFixture {
protected:
    DropboxV2Fixture() : EmulatorFixture({Nimbo::Emulator::Cloud::Dropbox, "key", "secret", {}}) {}

    Reply Rpc(const std::string& route, const nlohmann::json& arg) const {
        return client.Send("POST", ApiV2 + route, arg.dump(),
                           {HttpsClient::Bearer(token), "Content-Type: application/json"});
    }
    // The argument as the SDKs write it: characters above U+007F escaped.
    static std::string HeaderArg(const nlohmann::json& arg) { return "Dropbox-API-Arg: " + arg.dump(-1, ' ', true); }
    Reply Upload(const std::string& route, const nlohmann::json& arg, const std::string& bytes) const {
        return client.Send("POST", ContentV2 + route, bytes,
                           {HttpsClient::Bearer(token), "Content-Type: application/octet-stream", HeaderArg(arg)});
    }
    Reply Put(const std::string& path, const std::string& bytes, nlohmann::json arg = nlohmann::json::object()) const {
        arg["path"] = path;
        return Upload("files/upload", arg, bytes);
    }
    Reply Fetch(const std::string& path, std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        headers.push_back(HeaderArg({{"path", path}}));
        headers.push_back("Content-Type:");
        return client.Send("POST", ContentV2 + "files/download", "", headers);
    }
    // The error_summary of a 409 answer, checked to be one.
    static std::string Summary(const Reply& reply) {
        EXPECT_EQ(reply.status, 409) << reply.body;
        EXPECT_EQ(reply.Header("content-type"), "application/json");
        auto json = reply.Json();
        return json.is_object() && json.contains("error_summary") ? json["error_summary"].get<std::string>() : "";
    }
};

}  // namespace EmulatorTest
