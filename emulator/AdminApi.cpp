// The loopback admin path: the control functions of CloudEmulator over HTTP, for tools that do
// not link the library (the cloud-emulator program). Only served on localhost / 127.0.0.1.

#include "emulator/CloudEmulator.h"
#include "emulator/Service.h"

namespace Nimbo::Emulator {
namespace {

Json RequestJson(const RecordedRequest& r) {
    Json headers = Json::array();
    for (const auto& [name, value] : r.headers) headers.push_back({name, value});
    Json parts = Json::array();
    for (const auto& p : r.parts)
        parts.push_back({{"name", p.name},
                         {"filename", p.fileName},
                         {"contentType", p.contentType},
                         {"contentBase64", Base64Encode(p.content)},
                         {"size", p.size},
                         {"sha256", p.sha256}});
    return {{"method", r.method},     {"host", r.host},
            {"path", r.path},         {"query", r.query},
            {"headers", headers},     {"bodyBase64", Base64Encode(r.body)},
            {"bodySize", r.bodySize}, {"bodySha256", r.bodySha256},
            {"parts", parts},         {"status", r.status}};
}

bool IsJson(const Exchange& ex) { return ex.Header("Content-Type").rfind("application/json", 0) == 0; }

// The whole body, also when it was too large to be kept in memory on arrival.
std::string BodyText(const Exchange& ex) {
    if (!ex.body.empty() || ex.BodySize() == 0) return ex.body;
    return ex.Content()->Read();
}

// The files of a bulk addition; answers the error and returns false when one is malformed.
bool ReadNewFiles(const Json& body, std::vector<NewFile>& files, Exchange& ex) {
    auto refuse = [&](const std::string& what) { return ex.SendJson(400, {{"error", what}}), false; };
    if (!body.contains("files") || !body["files"].is_array()) return refuse("files must be a list");
    for (const Json& file : body["files"]) {
        const std::string at = "files[" + std::to_string(files.size()) + "]";
        if (!file.is_object() || !file.value("path", Json()).is_string())
            return refuse(at + " must be an object with a path");
        NewFile made{file["path"].get<std::string>(), "", ""};
        if (file.contains("mime_type")) {
            if (!file["mime_type"].is_string()) return refuse(at + ".mime_type must be text");
            made.mimeType = file["mime_type"].get<std::string>();
        }
        if (file.contains("content_base64")) {
            if (!file["content_base64"].is_string()) return refuse(at + ".content_base64 must be text");
            try {
                made.content = Base64Decode(file["content_base64"].get<std::string>());
            } catch (const std::invalid_argument&) {
                return refuse(at + ".content_base64 is not base64");
            }
        } else if (file.contains("content")) {
            if (!file["content"].is_string()) return refuse(at + ".content must be text");
            made.content = file["content"].get<std::string>();
        }
        files.push_back(std::move(made));
    }
    return true;
}

}  // namespace

bool HandleAdminRequest(CloudEmulator& emulator, Exchange& ex) {
    const std::string &path = ex.Path(), &method = ex.Method();
    if (path.rfind("/emulator/", 0) != 0) return false;
    auto cloud = CloudFromName(ex.Field("service"));
    auto needCloud = [&]() {
        if (!cloud) ex.SendJson(400, {{"error", "service must be one of google, dropbox, live, box"}});
        return cloud.has_value();
    };
    try {
        if (path == "/emulator/ca.pem" && method == "GET") {
            ex.SendText(200, emulator.CaPem(), "application/x-pem-file");
        } else if (path == "/emulator/reset" && method == "POST") {
            if (ex.Field("service").empty())
                emulator.ResetAll();
            else if (needCloud())
                emulator.Reset(*cloud);
            else
                return true;
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/clients" && method == "POST") {
            if (!needCloud()) return true;
            std::vector<std::string> redirects;
            for (const auto& [key, value] : ex.form)
                if (key == "redirect_uri") redirects.push_back(value);
            if (ex.form.empty())  // the fields in the query string
                for (auto [it, end] = ex.req.params.equal_range("redirect_uri"); it != end; ++it)
                    redirects.push_back(it->second);
            emulator.RegisterClient(*cloud, ex.Field("client_id"), ex.Field("client_secret"), redirects);
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/tokens" && method == "POST") {
            // Tokens as a finished sign-in of the registered client would give them, for tools that
            // take a token in their configuration instead of signing in.
            if (!needCloud()) return true;
            if (ex.Field("client_id").empty()) return ex.SendJson(400, {{"error", "client_id is needed"}}), true;
            const TokenPair tokens = emulator.IssueTokens(*cloud, ex.Field("client_id"), ex.Field("scope"));
            ex.SendJson(200, {{"access_token", tokens.accessToken}, {"refresh_token", tokens.refreshToken}});
        } else if (path == "/emulator/folders" && method == "POST") {
            if (!needCloud()) return true;
            ex.SendJson(200, {{"id", emulator.AddFolder(*cloud, ex.Field("path"))}});
        } else if (path == "/emulator/files" && method == "POST" && IsJson(ex)) {
            // Many files in one request, their contents synchronised together and stored in one
            // transaction: a JSON body {"service": "box", "files": [{"path": "Docs/a.txt",
            // "content": "text", "mime_type": "text/plain"}, ...]} ("content_base64" instead of
            // "content" for bytes that are not text; "mime_type" may be left out). Answers
            // {"ids": [...]} in the order of the files.
            auto body = ParseJsonObject(BodyText(ex));
            if (!body) return ex.SendJson(400, {{"error", "the body must be a JSON object"}}), true;
            cloud = CloudFromName(body->value("service", ""));
            if (!needCloud()) return true;
            std::vector<NewFile> files;
            if (!ReadNewFiles(*body, files, ex)) return true;
            ex.SendJson(200, {{"ids", emulator.AddFiles(*cloud, files)}});
        } else if (path == "/emulator/files" && method == "POST") {
            // One file: the form fields service, path, content and mime_type.
            if (!needCloud()) return true;
            ex.SendJson(
                200, {{"id", emulator.AddFile(*cloud, ex.Field("path"), ex.Field("content"), ex.Field("mime_type"))}});
        } else if (path == "/emulator/account" && method == "POST") {
            if (!needCloud()) return true;
            emulator.SetAccountName(*cloud, ex.Field("name"));
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/expire-tokens" && method == "POST") {
            if (!needCloud()) return true;
            emulator.ExpireAccessTokens(*cloud);
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/revoke-refresh-tokens" && method == "POST") {
            if (!needCloud()) return true;
            emulator.RevokeRefreshTokens(*cloud);
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/expire-upload-sessions" && method == "POST") {
            if (!needCloud()) return true;
            emulator.ExpireUploadSessions(*cloud);
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/sign-in" && method == "POST") {
            std::string decision = ex.Field("decision");
            if (decision != "ask" && decision != "allow" && decision != "deny")
                return ex.SendJson(400, {{"error", "decision must be ask, allow or deny"}}), true;
            emulator.SetSignInDecision(decision == "allow"  ? SignInDecision::Allow
                                       : decision == "deny" ? SignInDecision::Deny
                                                            : SignInDecision::Ask);
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/requests" && method == "GET") {
            Json list = Json::array();
            for (const auto& r : emulator.Requests()) list.push_back(RequestJson(r));
            ex.SendJson(200, list);
        } else if (path == "/emulator/requests" && method == "DELETE") {
            emulator.ClearRequests();
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/faults" && method == "POST") {
            auto spec = ParseJsonObject(ex.body);
            if (!spec) return ex.SendJson(400, {{"error", "the body must be a JSON object"}}), true;
            Route route{spec->value("host", ""), spec->value("method", ""), spec->value("path", "")};
            Fault fault;
            fault.delay = std::chrono::milliseconds(spec->value("delayMs", 0));
            fault.status = spec->value("status", 0);
            fault.body = spec->value("body", "");
            fault.contentType = spec->value("contentType", "application/json");
            if (spec->contains("retryAfter")) fault.retryAfterSeconds = spec->value("retryAfter", 0);
            fault.dropConnection = spec->value("drop", false);
            fault.truncateBody = spec->value("truncate", false);
            fault.corruptBody = spec->value("corrupt", false);
            emulator.InjectFault(route, fault, spec->value("times", 1));
            ex.SendJson(200, {{"ok", true}});
        } else if (path == "/emulator/faults" && method == "DELETE") {
            emulator.ClearFaults();
            ex.SendJson(200, {{"ok", true}});
        } else {
            ex.SendJson(404, {{"error", "unknown admin call"}});
        }
    } catch (const std::exception& e) {
        ex.SendJson(400, {{"error", e.what()}});
    }
    return true;
}

}  // namespace Nimbo::Emulator
