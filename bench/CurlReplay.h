#pragma once

// The curl side of the adapter benchmarks: the requests an adapter sent, as the emulator logged them
// (GET /emulator/requests), sent again by the curl tool with the same methods, URLs, headers and
// bodies. The file the adapter uploaded goes up from the same local file. One curl process sends
// everything and reuses its connections, unless the adapter went through a session upload: then
// the session is opened by one process, its parts sent by the next, and (where the service wants
// the parts' names back) the session is committed by a third, each with what the earlier answers
// named in place of the adapter's own session and part names.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace Bench {

// The local file the adapter uploaded: a logged body (or part) of its size and hash is that file.
struct TSourceFile {
    std::filesystem::path Path;
    std::uint64_t Size = 0;
    std::string Sha256;  // lower-case hex

    static TSourceFile Of(const std::filesystem::path& APath);
    bool Is(std::uint64_t ASize, const std::string& ASha256) const { return ASize == Size && ASha256 == Sha256; }
};

// How a service names an upload session and its parts, in requests and in answers.
struct TSessionProtocol {
    // The session's name in a request of the adapter; empty when the request names none.
    std::function<std::string(const nlohmann::json& ARequest)> NameInRequest;
    // The session's name in the answer that opened it: its header lines and its body.
    std::function<std::string(const std::string& AHeaders, const std::string& ABody)> NameInAnswer;
    // Optional: the part names a request of the adapter sends back (the commit), in part order.
    std::function<std::vector<std::string>(const nlohmann::json& ARequest)> PartNamesInRequest;
    // The part name in the answer to a part.
    std::function<std::string(const std::string& ABody)> PartNameInAnswer;
};

struct TReplaySettings {
    std::string Curl, CaFile;
    std::vector<std::string> ConnectTo;  // "host:443:127.0.0.1:PORT"
    TSourceFile Source;
    std::filesystem::path Output;   // the last request's answer (a download); empty: /dev/null
    std::filesystem::path WorkDir;  // where bodies, slices of the file and answers are kept
    const TSessionProtocol* Session = nullptr;
    std::chrono::seconds Timeout{600};  // for each curl process
};

class TCurlReplay {
public:
    // Prepares the replay of ALog (the requests of one operation, in order); std::runtime_error when
    // a request cannot be sent again (a body the log did not keep whole and that is no part of the file).
    TCurlReplay(const nlohmann::json& ALog, TReplaySettings ASettings);
    ~TCurlReplay();
    TCurlReplay(const TCurlReplay&) = delete;
    TCurlReplay& operator=(const TCurlReplay&) = delete;

    // Runs the curl processes one after the other: the sum of their times, the largest of their peaks.
    TRunResult Run() const;
    // How many curl processes a run takes.
    int Processes() const { return static_cast<int>(FSteps.size()); }

private:
    // What curl sends as one request's body.
    struct TBody {
        enum { None, File, Slice, Kept, Multipart } Kind = None;
        std::filesystem::path Path;  // the file, the slice or the kept body
        std::uint64_t Offset = 0;    // a slice's place in the file
    };
    struct TRequest {
        nlohmann::json Logged;
        TBody Body;
        bool FollowsRedirects = false;
    };
    using TNames = std::vector<std::pair<std::string, std::string>>;  // the adapter's name, curl's

    void PlanSteps();
    std::vector<std::string> Arguments(std::size_t AFirst, std::size_t AEnd, const TNames& ANames,
                                       std::size_t AStep) const;
    void AddRequest(std::vector<std::string>& AArgs, const TRequest& ARequest, const TNames& ANames,
                    const std::string& AOutput, const std::string& AHeaders) const;
    std::filesystem::path AnswerFile(std::size_t ARequest) const;
    std::filesystem::path HeaderFile() const;

    TReplaySettings FSettings;
    std::vector<TRequest> FRequests;
    std::vector<std::pair<std::size_t, std::size_t>> FSteps;  // [first, end) of each process
    std::string FSessionName;                                 // the adapter's
    std::vector<std::string> FPartNames;                      // the adapter's
    std::vector<std::size_t> FPartRequests;                   // the requests that sent parts
    std::vector<std::filesystem::path> FOwnFiles;
};

// The body of a logged request or part as far as the log kept it.
std::string Base64Decode(const std::string& AText);

}  // namespace Bench
