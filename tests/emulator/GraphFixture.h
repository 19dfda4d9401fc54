#pragma once
// Microsoft Graph's OneDrive on the emulator: calls with the Live Connect account's token.

#include "EmulatorFixture.h"

#include <string>
#include <vector>

namespace EmulatorTest {

inline const std::string GraphApi = "https://graph.microsoft.com/v1.0";
inline const std::string LiveApi = "https://apis.live.net/v5.0";

class GraphFixture : public EmulatorFixture {
protected:
    GraphFixture() : EmulatorFixture({Nimbo::Emulator::Cloud::LiveConnect, "000000004C0E1234", "s3cret", {}}) {}

    Reply Call(const std::string& method, const std::string& path, const std::string& body = "",
               std::vector<std::string> headers = {}) const {
        headers.push_back(HttpsClient::Bearer(token));
        if (!body.empty() && (body.front() == '{' || body.front() == '['))
            headers.push_back("Content-Type: application/json");
        return client.Send(method, path.rfind("https://", 0) == 0 ? path : GraphApi + path, body, headers);
    }
    Reply Get(const std::string& path) const { return Call("GET", path); }

    // A folder made through Graph under the parent (an id, or "root"); its id.
    std::string MakeFolder(const std::string& parent, const std::string& name) const {
        Reply r = Call("POST", "/me/drive/items/" + parent + "/children",
                       nlohmann::json{{"name", name}, {"folder", nlohmann::json::object()}}.dump());
        EXPECT_EQ(r.status, 201) << r.body;
        return r.Json().value("id", "");
    }
    // A file uploaded by path below the root; its item.
    nlohmann::json Upload(const std::string& escapedPath, const std::string& bytes) const {
        Reply r = Call("PUT", "/me/drive/root:/" + escapedPath + ":/content", bytes);
        EXPECT_TRUE(r.status == 201 || r.status == 200) << r.body;
        return r.Json();
    }
    std::string RootId() const { return Get("/me/drive/root").Json().value("id", ""); }

    static std::string Escape(const std::string& text) { return HttpsClient::Encode({{"", text}}).substr(1); }
    static std::string ErrorCode(const Reply& r) { return r.Json()["error"].value("code", ""); }
};

}  // namespace EmulatorTest
