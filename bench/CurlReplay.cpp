#include "CurlReplay.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

namespace Bench {

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// The SHA-256 (hex) of ASize bytes at AOffset of ASource, copied into ATarget on the way when one is given.
std::string Sha256Of(const fs::path& ASource, std::uint64_t AOffset, std::uint64_t ASize,
                     const fs::path& ATarget = {}) {
    std::ifstream in(ASource, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(AOffset));
    std::ofstream out;
    if (!ATarget.empty()) out.open(ATarget, std::ios::binary | std::ios::trunc);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> block(1 << 20);
    for (std::uint64_t left = ASize; left > 0;) {
        const auto wanted = static_cast<std::streamsize>(std::min<std::uint64_t>(left, block.size()));
        if (!in.read(block.data(), wanted)) throw std::runtime_error("cannot read " + ASource.string());
        if (!ATarget.empty()) out.write(block.data(), wanted);
        EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(wanted));
        left -= static_cast<std::uint64_t>(wanted);
    }
    if (!ATarget.empty() && !out.flush()) throw std::runtime_error("cannot write " + ATarget.string());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    static const char* const hex = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) text += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return text;
}

// The emulator logs paths percent-decoded; encodes them again for the URL.
std::string EncodePath(const std::string& APath) {
    static const char* const hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : APath) {
        if (std::isalnum(c) || std::strchr("-._~/!$&'()*+,;=:@", c))
            out += static_cast<char>(c);
        else
            out += {'%', hex[c >> 4], hex[c & 15]};
    }
    return out;
}

bool SameName(const std::string& A, const char* B) {
    return A.size() == std::strlen(B) &&
           std::equal(A.begin(), A.end(), B, [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string Substituted(std::string AText, const std::vector<std::pair<std::string, std::string>>& ANames) {
    for (const auto& [from, to] : ANames)
        for (std::size_t at = AText.find(from); !from.empty() && at != std::string::npos;
             at = AText.find(from, at + to.size()))
            AText.replace(at, from.size(), to);
    return AText;
}

std::string Kept(const Json& ABase64, const Json& ASize) {
    std::string body = Base64Decode(ABase64);
    if (body.size() != ASize.get<std::uint64_t>())
        throw std::runtime_error("a request body of " + std::to_string(ASize.get<std::uint64_t>()) +
                                 " bytes, neither the file nor a slice of it, was not kept whole by the request log");
    return body;
}

}  // namespace

TSourceFile TSourceFile::Of(const fs::path& APath) {
    const std::uint64_t size = fs::file_size(APath);
    return {APath, size, Sha256Of(APath, 0, size)};
}

std::string Base64Decode(const std::string& AText) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : AText) {
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos) continue;  // padding
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

namespace {

// Where in the file a slice of a session upload lies. Parts may go out in parallel, so in any order:
// a slice is found among the stretches of its own size that start at a multiple of that size, or at
// the end of the file (the last part, shorter than the others).
class TSliceFinder {
public:
    explicit TSliceFinder(const TSourceFile& AFile) : FFile(AFile) {}

    std::optional<std::uint64_t> Offset(std::uint64_t ASize, const std::string& ASha256) {
        if (ASize == 0 || ASize > FFile.Size) return std::nullopt;
        std::map<std::string, std::uint64_t>& stretches = FBySize[ASize];
        if (stretches.empty()) {
            for (std::uint64_t at = 0; at + ASize <= FFile.Size; at += ASize)
                stretches.emplace(Sha256Of(FFile.Path, at, ASize), at);
            stretches.emplace(Sha256Of(FFile.Path, FFile.Size - ASize, ASize), FFile.Size - ASize);
        }
        const auto found = stretches.find(ASha256);
        if (found == stretches.end()) return std::nullopt;
        return found->second;
    }

private:
    const TSourceFile& FFile;
    std::map<std::uint64_t, std::map<std::string, std::uint64_t>> FBySize;  // size -> hash -> offset
};

}  // namespace

TCurlReplay::TCurlReplay(const Json& ALog, TReplaySettings ASettings) : FSettings(std::move(ASettings)) {
    TSliceFinder slices(FSettings.Source);
    bool following = false;  // the request is the follow-up of a redirect, which curl makes itself
    for (const Json& r : ALog) {
        const bool redirected = r.at("status").get<int>() / 100 == 3 && r.at("method") == "GET";
        if (std::exchange(following, redirected)) continue;
        TRequest request{r, {}, redirected};
        const std::string method = r.at("method");
        if (method == "PUT" || method == "POST") {
            const std::uint64_t size = r.at("bodySize");
            const fs::path own = FSettings.WorkDir / ("replay-body-" + std::to_string(FRequests.size()));
            if (!r.at("parts").empty()) {
                request.Body.Kind = TBody::Multipart;
            } else if (FSettings.Source.Is(size, r.at("bodySha256"))) {
                request.Body = {TBody::File, FSettings.Source.Path};
            } else if (Base64Decode(r.at("bodyBase64")).size() == size) {
                WriteFileText(own, Kept(r.at("bodyBase64"), r.at("bodySize")));
                request.Body = {TBody::Kept, own};
                FOwnFiles.push_back(own);
            } else {
                // A slice of a session upload: a stretch of the file, found by its hash.
                FOwnFiles.push_back(own);
                const std::optional<std::uint64_t> offset = slices.Offset(size, r.at("bodySha256"));
                if (!offset)
                    throw std::runtime_error("a request body of " + std::to_string(size) +
                                             " bytes is neither the file nor a slice of it");
                Sha256Of(FSettings.Source.Path, *offset, size, own);
                request.Body = {TBody::Slice, own, *offset};
            }
        }
        FRequests.push_back(std::move(request));
    }
    if (FRequests.empty()) throw std::runtime_error("the adapter sent no request to replay");
    for (std::size_t i = 0; i < FRequests.size(); ++i) FOwnFiles.push_back(AnswerFile(i));
    FOwnFiles.push_back(HeaderFile());
    PlanSteps();
}

TCurlReplay::~TCurlReplay() {
    std::error_code ignored;
    for (const fs::path& file : FOwnFiles) {
        fs::remove(file, ignored);
        fs::remove(file.string() + ".sent", ignored);
    }
}

void TCurlReplay::PlanSteps() {
    const bool sliced =
        std::any_of(FRequests.begin(), FRequests.end(), [](const TRequest& r) { return r.Body.Kind == TBody::Slice; });
    if (!sliced) {
        FSteps = {{0, FRequests.size()}};
        return;
    }
    if (!FSettings.Session) throw std::runtime_error("a session upload, which this service is not known to have");
    const TSessionProtocol& session = *FSettings.Session;
    std::size_t named = 0;
    while (named < FRequests.size() && (FSessionName = session.NameInRequest(FRequests[named].Logged)).empty()) ++named;
    if (named == 0 || named == FRequests.size())
        throw std::runtime_error("a session upload whose session is not opened by an earlier request");
    std::size_t commit = FRequests.size();
    if (session.PartNamesInRequest)
        for (std::size_t i = named; i < FRequests.size() && commit == FRequests.size(); ++i)
            if (!(FPartNames = session.PartNamesInRequest(FRequests[i].Logged)).empty()) commit = i;
    for (std::size_t i = named; i < commit; ++i)
        if (FRequests[i].Body.Kind == TBody::Slice) FPartRequests.push_back(i);
    // Parts sent at once arrive in any order; a commit names them in the order of their offsets.
    std::stable_sort(FPartRequests.begin(), FPartRequests.end(), [this](std::size_t A, std::size_t B) {
        return FRequests[A].Body.Offset < FRequests[B].Body.Offset;
    });
    if (!FPartNames.empty() && FPartNames.size() != FPartRequests.size())
        throw std::runtime_error("the session's commit names " + std::to_string(FPartNames.size()) + " parts, but " +
                                 std::to_string(FPartRequests.size()) + " were sent");
    FSteps = {{0, named}, {named, commit}};
    if (commit < FRequests.size()) FSteps.emplace_back(commit, FRequests.size());
}

fs::path TCurlReplay::AnswerFile(std::size_t ARequest) const {
    return FSettings.WorkDir / ("replay-answer-" + std::to_string(ARequest));
}

fs::path TCurlReplay::HeaderFile() const { return FSettings.WorkDir / "replay-headers"; }

TRunResult TCurlReplay::Run() const {
    TRunResult total;
    TNames names;
    for (std::size_t step = 0; step < FSteps.size(); ++step) {
        const auto [first, end] = FSteps[step];
        const TRunResult run = Bench::Run(Arguments(first, end, names, step), {.Timeout = FSettings.Timeout});
        total.Seconds += run.Seconds;
        total.PeakRssKiB = std::max(total.PeakRssKiB, run.PeakRssKiB);
        if (FSteps.size() == 1) break;
        if (step == 0) {
            const std::string name =
                FSettings.Session->NameInAnswer(ReadFileText(HeaderFile()), ReadFileText(AnswerFile(end - 1)));
            if (name.empty())
                throw std::runtime_error("curl's request opened no session:\n" + ReadFileText(AnswerFile(end - 1)));
            names.emplace_back(FSessionName, name);
        } else if (step == 1) {
            for (std::size_t i = 0; i < FPartNames.size(); ++i)
                names.emplace_back(FPartNames[i],
                                   FSettings.Session->PartNameInAnswer(ReadFileText(AnswerFile(FPartRequests[i]))));
        }
    }
    return total;
}

std::vector<std::string> TCurlReplay::Arguments(std::size_t AFirst, std::size_t AEnd, const TNames& ANames,
                                                std::size_t AStep) const {
    std::vector<std::string> args = {FSettings.Curl};
    for (std::size_t i = AFirst; i < AEnd; ++i) {
        if (i > AFirst) args.push_back("--next");
        // A session's answers are read back; otherwise only a download's last answer is kept.
        std::string output = "/dev/null";
        if (FSteps.size() > 1)
            output = AnswerFile(i).string();
        else if (i + 1 == FRequests.size() && !FSettings.Output.empty())
            output = FSettings.Output.string();
        const bool opensSession = FSteps.size() > 1 && AStep == 0 && i + 1 == AEnd;
        AddRequest(args, FRequests[i], ANames, output, opensSession ? HeaderFile().string() : "");
    }
    return args;
}

void TCurlReplay::AddRequest(std::vector<std::string>& AArgs, const TRequest& ARequest, const TNames& ANames,
                             const std::string& AOutput, const std::string& AHeaders) const {
    const Json& r = ARequest.Logged;
    const std::string method = r.at("method");
    AArgs.insert(AArgs.end(), {"-sS", "--fail", "--cacert", FSettings.CaFile});
    for (const std::string& mapping : FSettings.ConnectTo) AArgs.insert(AArgs.end(), {"--connect-to", mapping});
    bool hasContentType = false;
    for (const auto& header : r.at("headers")) {
        const std::string name = header.at(0), value = Substituted(header.at(1), ANames);
        if (SameName(name, "Host") || SameName(name, "Content-Length") || SameName(name, "Transfer-Encoding") ||
            SameName(name, "Expect") || (ARequest.Body.Kind == TBody::Multipart && SameName(name, "Content-Type")))
            continue;
        hasContentType = hasContentType || SameName(name, "Content-Type");
        if (SameName(name, "User-Agent"))
            AArgs.insert(AArgs.end(), {"-A", value});
        else
            AArgs.insert(AArgs.end(), {"-H", name + ": " + value});
    }
    // The adapter never waits for "100 Continue"; neither does curl here.
    AArgs.insert(AArgs.end(), {"-H", "Expect:"});
    switch (ARequest.Body.Kind) {
        case TBody::None:
            if (method != "GET") AArgs.insert(AArgs.end(), {"-X", method});
            break;
        case TBody::File:
        case TBody::Slice:
            AArgs.insert(AArgs.end(), {"-T", ARequest.Body.Path.string(), "-X", method});
            break;
        case TBody::Kept: {
            fs::path sent = ARequest.Body.Path;
            if (!ANames.empty()) {
                sent += ".sent";
                WriteFileText(sent, Substituted(ReadFileText(ARequest.Body.Path), ANames));
            }
            AArgs.insert(AArgs.end(), {"--data-binary", "@" + sent.string(), "-X", method});
            if (!hasContentType) AArgs.insert(AArgs.end(), {"-H", "Content-Type:"});
            break;
        }
        case TBody::Multipart:
            for (const auto& part : r.at("parts")) {
                const std::string name = part.at("name");
                if (FSettings.Source.Is(part.at("size"), part.at("sha256"))) {
                    std::string spec = name + "=@" + FSettings.Source.Path.string() +
                                       ";filename=" + part.at("filename").get<std::string>();
                    if (!part.at("contentType").get<std::string>().empty())
                        spec += ";type=" + part.at("contentType").get<std::string>();
                    AArgs.insert(AArgs.end(), {"-F", spec});
                } else {
                    AArgs.insert(AArgs.end(),
                                 {"--form-string",
                                  name + "=" + Substituted(Kept(part.at("contentBase64"), part.at("size")), ANames)});
                }
            }
            AArgs.insert(AArgs.end(), {"-X", method});
            break;
    }
    if (ARequest.FollowsRedirects) AArgs.push_back("-L");
    if (!AHeaders.empty()) AArgs.insert(AArgs.end(), {"-D", AHeaders});
    AArgs.insert(AArgs.end(), {"-o", AOutput});
    std::string url = "https://" + r.at("host").get<std::string>() + EncodePath(r.at("path"));
    if (!r.at("query").get<std::string>().empty()) url += "?" + r.at("query").get<std::string>();
    AArgs.push_back(Substituted(url, ANames));
}

}  // namespace Bench
