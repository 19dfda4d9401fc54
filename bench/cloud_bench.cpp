// Transfers and listings through each storage adapter against the curl tool, on the emulator.
//
// Starts a cloud-emulator process on a free loopback port with its data in a temporary folder, signs
// each adapter in, and for every service compares, in alternating pairs of separate processes:
//   - uploading and downloading a large file: nimbo_transfer against curl sending the very requests the
//     adapter sent (method, URL, headers; the file as the body), taken from the emulator's request log;
//   - listing a large folder: nimbo_transfer against one curl process fetching the same pages.
// Prints one "@row|..." line per figure (see BenchSupport.h) and its progress on standard error.
//
//   cloud_bench --emulator PATH --transfer PATH [--size MIB] [--items N] [--pairs N]
//               [--services google,dropbox,live,box,gdrive3,graph,dropbox2] [--only transfers|listings]

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "CurlReplay.h"
#include "EmulatorProcess.h"
#include "emulator/CloudEmulator.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Bench::TAdmin;
using Bench::TClient;
using Bench::TCurlReplay;
using Bench::TEmulatorProcess;
using Bench::TPairs;
using Bench::TRunResult;
using Bench::TSessionProtocol;
using Bench::TSourceFile;
using Bench::TWorkDir;

namespace {

// The goals the figures are held against.
constexpr double TransferGoal = 0.90;      // our throughput / curl's, at least
constexpr double ListingGoal = 1.20;       // our time / curl's, at most
constexpr long MemoryGoalKiB = 64 * 1024;  // our peak memory, below
constexpr double CheckGoal = 0.90;         // throughput with the content check / without, at least

const char* const ClientId = "bench-client";
const char* const ClientSecret = "bench-secret";
const char* const FileName = "bench.bin";
const char* const FolderName = "BenchList";

struct TOptions {
    std::string Emulator, Transfer, Curl;
    std::size_t SizeMiB = 1024;
    int Items = 10000;
    int Pairs = 5;
    std::vector<std::string> Services = {"google", "dropbox", "live", "box", "gdrive3", "graph", "dropbox2"};
    bool Transfers = true, Listings = true;
};

// ---- the services: what the bench must know of each to seed it and to read an item's record ----

struct TService {
    std::string Name;   // as nimbo_transfer names the adapter (and the emulator the service, unless Emulated says)
    std::string Label;  // in the table
    std::string RedirectUrl;
    // The URL of the service's own metadata record of an item.
    std::function<std::string(const std::string& AId, const std::string& APath, bool AFolder)> RecordUrl;
    // The size a file's record gives.
    std::function<std::int64_t(const Json&)> SizeOf;
    // How its upload session is named, for the curl side to run one of its own; none for a service without.
    const TSessionProtocol* Session = nullptr;
    // Without sessions: the largest file one upload may carry, in MiB; transfers of larger sizes are
    // measured at this size instead.
    std::size_t LargestUploadMiB = 0;
    // The content hash the service gives files, which the storage model checks; empty: none.
    std::string Hash{};
    // The emulator's name of the service, when the adapter speaks another of its interfaces.
    std::string Emulated{};
    // For a service whose records are read by POST: the JSON body that asks for the item at APath.
    std::function<std::string(const std::string& APath)> RecordBody{};

    const std::string& EmulatedName() const { return Emulated.empty() ? Name : Emulated; }
};

std::int64_t NumberOrText(const Json& AValue) {
    return AValue.is_string() ? std::stoll(AValue.get<std::string>()) : AValue.get<std::int64_t>();
}

// The value of a parameter in a query string ("a=1&b=2"), as it stands.
std::string QueryParam(const std::string& AQuery, const std::string& AName) {
    for (std::size_t start = 0; start <= AQuery.size();) {
        const std::size_t end = std::min(AQuery.find('&', start), AQuery.size());
        if (AQuery.compare(start, AName.size() + 1, AName + "=") == 0)
            return AQuery.substr(start + AName.size() + 1, end - start - AName.size() - 1);
        start = end + 1;
    }
    return {};
}

// A member of a JSON text, or empty when the text is no JSON object or lacks it.
std::string JsonMember(const std::string& AText, std::initializer_list<const char*> APath) {
    Json value = Json::parse(AText, nullptr, false);
    for (const char* name : APath) {
        if (!value.is_object() || !value.contains(name)) return {};
        value = value.at(name);
    }
    return value.is_string() ? value.get<std::string>() : std::string();
}

// Drive's resumable upload: the session is an address, answered in Location, that carries upload_id.
const TSessionProtocol DriveSession{
    .NameInRequest = [](const Json& ARequest) { return QueryParam(ARequest.at("query"), "upload_id"); },
    .NameInAnswer =
        [](const std::string& AHeaders, const std::string&) {
            std::istringstream lines(AHeaders);
            for (std::string line; std::getline(lines, line);)
                if (line.size() > 9 && strncasecmp(line.c_str(), "location:", 9) == 0) {
                    const std::size_t query = line.find('?');
                    std::string name =
                        query == std::string::npos ? "" : QueryParam(line.substr(query + 1), "upload_id");
                    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
                    return name;
                }
            return std::string();
        },
    .PartNamesInRequest = {},
    .PartNameInAnswer = {}};

// Dropbox's chunked upload: the first chunk's answer names upload_id, which later chunks and the commit carry.
const TSessionProtocol DropboxSession{
    .NameInRequest = [](const Json& ARequest) { return QueryParam(ARequest.at("query"), "upload_id"); },
    .NameInAnswer = [](const std::string&, const std::string& ABody) { return JsonMember(ABody, {"upload_id"}); },
    .PartNamesInRequest = {},
    .PartNameInAnswer = {}};

// Box's upload session: named by its id in the path; the commit lists the parts by the ids their answers gave.
const TSessionProtocol BoxSession{
    .NameInRequest =
        [](const Json& ARequest) {
            const std::string path = ARequest.at("path"), marker = "/upload_sessions/";
            const std::size_t at = path.find(marker);
            return at == std::string::npos
                       ? std::string()
                       : path.substr(at + marker.size(), path.find('/', at + marker.size()) - at - marker.size());
        },
    .NameInAnswer = [](const std::string&, const std::string& ABody) { return JsonMember(ABody, {"id"}); },
    .PartNamesInRequest =
        [](const Json& ARequest) {
            std::vector<std::string> names;
            const std::string path = ARequest.at("path");
            if (path.size() < 7 || path.compare(path.size() - 7, 7, "/commit") != 0) return names;
            const Json body = Json::parse(Bench::Base64Decode(ARequest.at("bodyBase64")), nullptr, false);
            if (body.is_object() && body.contains("parts") && body.at("parts").is_array())
                for (const Json& part : body.at("parts")) names.push_back(part.value("part_id", ""));
            return names;
        },
    .PartNameInAnswer =
        [](const std::string& ABody) {
            return JsonMember(ABody, {"part", "part_id"});
        }};

// Graph's upload session: an address on the session host, answered as uploadUrl, whose last segment names it.
std::string LastSegment(const std::string& APath) {
    const std::string path = APath.substr(0, APath.find('?'));
    return path.substr(path.rfind('/') + 1);
}
const TSessionProtocol GraphSession{.NameInRequest =
                                        [](const Json& ARequest) {
                                            const std::string path = ARequest.at("path");
                                            return path.rfind("/rup/", 0) == 0 ? LastSegment(path) : std::string();
                                        },
                                    .NameInAnswer =
                                        [](const std::string&, const std::string& ABody) {
                                            const std::string url = JsonMember(ABody, {"uploadUrl"});
                                            return url.empty() ? url : LastSegment(url);
                                        },
                                    .PartNamesInRequest = {},
                                    .PartNameInAnswer = {}};

// Dropbox v2's upload session: opened by upload_session/start, which answers its session_id; the
// parts and the finish name it in the cursor of their Dropbox-API-Arg header.
const TSessionProtocol Dropbox2Session{
    .NameInRequest =
        [](const Json& ARequest) {
            for (const Json& header : ARequest.at("headers"))
                if (strcasecmp(header.at(0).get<std::string>().c_str(), "Dropbox-API-Arg") == 0)
                    return JsonMember(header.at(1).get<std::string>(), {"cursor", "session_id"});
            return std::string();
        },
    .NameInAnswer = [](const std::string&, const std::string& ABody) { return JsonMember(ABody, {"session_id"}); },
    .PartNamesInRequest = {},
    .PartNameInAnswer = {}};

const std::vector<TService>& Services() {
    static const std::vector<TService> services = {
        {"google", "Google Drive", "urn:ietf:wg:oauth:2.0:oob",
         [](const std::string& AId, const std::string&, bool) {
             return "https://www.googleapis.com/drive/v2/files/" + AId;
         },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("fileSize")); }, &DriveSession, 0, "md5"},
        {"dropbox", "Dropbox", "https://www.dropbox.com/1/oauth2/redirect_receiver",
         [](const std::string&, const std::string& APath, bool) {
             return "https://api.dropbox.com/1/metadata/dropbox/" + APath + "?list=false";
         },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("bytes")); }, &DropboxSession},
        {"live", "OneDrive", "https://login.live.com/oauth20_desktop.srf",
         [](const std::string& AId, const std::string&, bool) { return "https://apis.live.net/v5.0/" + AId; },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("size")); }, nullptr, 100},
        {"box", "Box", "https://app.box.com/nimbo-blank",
         [](const std::string& AId, const std::string&, bool AFolder) {
             return std::string("https://api.box.com/2.0/") + (AFolder ? "folders/" : "files/") + AId;
         },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("size")); }, &BoxSession, 0, "sha1"},
        {"gdrive3", "Google Drive v3", "http://127.0.0.1/",
         [](const std::string& AId, const std::string&, bool) {
             return "https://www.googleapis.com/drive/v3/files/" + AId +
                    "?fields=id,name,mimeType,size,createdTime,modifiedTime,md5Checksum,sha1Checksum,parents";
         },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("size")); }, &DriveSession, 0, "sha1", "google"},
        {"graph", "OneDrive (Graph)", "http://127.0.0.1/",
         [](const std::string& AId, const std::string&, bool) {
             // The emulator's id of a OneDrive item ("file.CID.GRAPHID") ends with the one Graph uses.
             const std::size_t second = AId.find('.', AId.find('.') + 1);
             return "https://graph.microsoft.com/v1.0/me/drive/items/" +
                    (second == std::string::npos ? AId : AId.substr(second + 1));
         },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("size")); }, &GraphSession, 0, "quickxor", "live"},
        {"dropbox2", "Dropbox v2", "http://127.0.0.1:52475/",
         [](const std::string&, const std::string&, bool) { return "https://api.dropboxapi.com/2/files/get_metadata"; },
         [](const Json& ARecord) { return NumberOrText(ARecord.at("size")); }, &Dropbox2Session, 0,
         "dropbox-content-hash", "dropbox",
         [](const std::string& APath) {
             return Json{{"path", "/" + APath}}.dump();
         }},
    };
    return services;
}

const TService& ServiceNamed(const std::string& AName) {
    for (const TService& service : Services())
        if (service.Name == AName) return service;
    throw std::invalid_argument("unknown service " + AName + " (google, dropbox, live, box, gdrive3, graph, dropbox2)");
}

// ---- local files ----

// ---- one service ----

class TServiceBench {
public:
    TServiceBench(const TOptions& AOptions, const TService& AService, const TEmulatorProcess& AEmulator,
                  TClient& AClient, const TWorkDir& AWork, const TSourceFile& ASource)
        : FOptions(AOptions),
          FService(AService),
          FEmulator(AEmulator),
          FClient(AClient),
          FAdmin(AClient),
          FWork(AWork),
          FSizeMiB(AService.LargestUploadMiB ? std::min(AOptions.SizeMiB, AService.LargestUploadMiB)
                                             : AOptions.SizeMiB),
          FSource(ASource) {
        if (FOptions.Transfers && FSizeMiB != AOptions.SizeMiB) {
            const fs::path own = FWork / (FService.Name + "-source.bin");
            Bench::WriteRandomFile(own, std::uint64_t(FSizeMiB) << 20);
            FOwnSource = TSourceFile::Of(own);
            FSource = FOwnSource;
        }
        FConnectTo = Nimbo::Emulator::CloudEmulator::Hosts();
        for (std::string& host : FConnectTo) host += ":443:127.0.0.1:" + std::to_string(AEmulator.Port());
        FCaFile = AEmulator.CaFile();
        FState = (FWork / (FService.Name + ".state")).string();
    }

    // Each part that fails is reported as such and the others still run; the number of failed parts.
    // The service is emptied at the end, so that its files weigh on no later state save.
    int Run() {
        int failures = 0;
        const std::string size = std::to_string(FSizeMiB) + " MiB";
        if (!Stage("sign-in", [&] { SignIn(); })) return 1;
        if (FOptions.Listings && !Stage("list " + std::to_string(FOptions.Items) + " items", [&] { List(); }))
            ++failures;
        if (FOptions.Transfers) {
            const bool uploaded = Stage("upload " + size, [&] { Upload(); });
            if (!uploaded)
                NotMeasured("download " + size, "the upload failed, so the service holds no file of this size");
            if (!uploaded || !Stage("download " + size, [&] { Download(); })) ++failures;
        }
        FAdmin.Post("reset", {{"service", FService.EmulatedName()}});
        FEmulator.Settle();
        return failures;
    }

private:
    std::string Label(const std::string& AWhat) const { return AWhat + ", " + FService.Label; }

    // Runs one part; when it fails, a row says so with the reason (a program's own last words).
    bool Stage(const std::string& AWhat, const std::function<void()>& APart) {
        try {
            APart();
            return true;
        } catch (const std::exception& e) {
            std::cerr << "FAILED " << Label(AWhat) << ": " << e.what() << std::endl;
            NotMeasured(AWhat, e.what(), "FAILED");
            return false;
        }
    }

    void NotMeasured(const std::string& AWhat, const std::string& AReason,
                     const std::string& AVerdict = "not measured") {
        Bench::PrintUnmeasuredRow(Label(AWhat), AVerdict, AReason);
    }
    void Progress(const std::string& AText) const { std::cerr << "  " << FService.Label << ": " << AText << std::endl; }

    std::vector<std::string> Ours(const std::string& AOperation, const std::vector<std::string>& AExtra = {}) const {
        std::vector<std::string> args = {FOptions.Transfer,
                                         FService.Name,
                                         AOperation,
                                         "--state",
                                         FState,
                                         "--ca",
                                         FCaFile,
                                         "--client-id",
                                         ClientId,
                                         "--secret",
                                         ClientSecret,
                                         "--redirect-url",
                                         FService.RedirectUrl};
        for (const std::string& mapping : FConnectTo) args.insert(args.end(), {"--connect-to", mapping});
        args.insert(args.end(), AExtra.begin(), AExtra.end());
        return args;
    }

    std::chrono::seconds TransferTimeout() const { return std::chrono::seconds(120 + FSizeMiB / 4); }

    // The curl side of the operation whose requests the emulator has just logged.
    std::unique_ptr<TCurlReplay> Replay(const Json& ALog, const fs::path& AOutput = {}) const {
        return std::make_unique<TCurlReplay>(ALog, Bench::TReplaySettings{.Curl = FOptions.Curl,
                                                                          .CaFile = FCaFile,
                                                                          .ConnectTo = FConnectTo,
                                                                          .Source = FSource,
                                                                          .Output = AOutput,
                                                                          .WorkDir = FWork / ".",
                                                                          .Session = FService.Session,
                                                                          .Timeout = TransferTimeout()});
    }

    // A run of one side; the emulator's request log is emptied after it.
    TRunResult Measured(const std::vector<std::string>& AArgs, std::chrono::seconds ATimeout) {
        TRunResult result = Bench::Run(AArgs, {.Timeout = ATimeout});
        FAdmin.ClearRequests();
        return result;
    }
    TRunResult Measured(const TCurlReplay& ACurl) {
        TRunResult result = ACurl.Run();
        FAdmin.ClearRequests();
        return result;
    }

    void SignIn() {
        FAdmin.Post("clients", {{"service", FService.EmulatedName()},
                                {"client_id", ClientId},
                                {"client_secret", ClientSecret},
                                {"redirect_uri", FService.RedirectUrl}});
        std::string token =
            Bench::Run(Ours("signin"), {.CaptureOutput = true, .Timeout = std::chrono::seconds(60)}).Output;
        while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
        if (token.empty()) throw std::runtime_error(FService.Label + ": the sign-in gave no token");
        FToken = token;
        FAdmin.ClearRequests();
    }

    Json Record(const std::string& AId, const std::string& APath, bool AFolder) {
        const std::string url = FService.RecordUrl(AId, APath.substr(1), AFolder);
        if (FService.RecordBody)
            return Json::parse(FClient.Call("POST", url, FService.RecordBody(APath.substr(1)),
                                            {"Authorization: Bearer " + FToken, "Content-Type: application/json"}));
        return Json::parse(FClient.Call("GET", url, {}, {"Authorization: Bearer " + FToken}));
    }

    std::string SaveRecord(const std::string& AId, const std::string& APath, bool AFolder, const std::string& AName) {
        const fs::path file = FWork / (FService.Name + "-" + AName);
        Bench::WriteFileText(file, Record(AId, APath, AFolder).dump());
        FIds[APath] = AId;
        return file.string();
    }

    std::int64_t ServiceSize() {
        return FService.SizeOf(Record(FIds.at(std::string("/") + FileName), std::string("/") + FileName, false));
    }

    std::string SeedFolder() {
        Progress("seeding a folder of " + std::to_string(FOptions.Items) + " items");
        const std::string id =
            FAdmin.Post("folders", {{"service", FService.EmulatedName()}, {"path", FolderName}}).at("id");
        char name[64];
        for (int i = 0; i < FOptions.Items; ++i) {
            std::snprintf(name, sizeof name, "%s/item-%05d.txt", FolderName, i);
            FAdmin.Post(
                "files",
                {{"service", FService.EmulatedName()}, {"path", name}, {"content", "item " + std::to_string(i)}});
        }
        FEmulator.Settle();
        return id;
    }

    void Upload() {
        const std::string id =
            FAdmin.Post("files", {{"service", FService.EmulatedName()}, {"path", FileName}, {"content", "seed"}})
                .at("id");
        FFileRecord = SaveRecord(id, std::string("/") + FileName, false, "file.json");
        const std::uint64_t size = std::uint64_t(FSizeMiB) << 20;
        // The adapter's requests, from an unmeasured first upload (which also warms both ends up).
        FAdmin.ClearRequests();
        Bench::Run(Ours("upload", {"--item", FFileRecord, "--in", FSource.get().Path.string()}),
                   {.Timeout = TransferTimeout()});
        const Json log = FAdmin.Requests();
        const auto curl = Replay(log);
        FAdmin.ClearRequests();
        FEmulator.Settle();

        Progress("upload of " + std::to_string(FSizeMiB) + " MiB in " + std::to_string(log.size()) + " requests, " +
                 std::to_string(FOptions.Pairs) + " pairs");
        auto checked = [&](TRunResult AResult, const char* ASide) {
            FEmulator.Settle();
            if (const std::int64_t stored = ServiceSize(); stored != static_cast<std::int64_t>(size))
                throw std::runtime_error(FService.Label + ": after " + ASide + "'s upload the service holds " +
                                         std::to_string(stored) + " bytes, not " + std::to_string(size));
            return AResult;
        };
        const TPairs pairs = Bench::RunPairs(
            FOptions.Pairs,
            [&](int) {
                return checked(Measured(Ours("upload", {"--item", FFileRecord, "--in", FSource.get().Path.string()}),
                                        TransferTimeout()),
                               "ours");
            },
            [&](int) { return checked(Measured(*curl), "curl"); });
        const std::string capped =
            FSizeMiB == FOptions.SizeMiB
                ? ""
                : "the largest file the service takes in one upload (it has no upload in parts); ";
        TransferRow("upload " + std::to_string(FSizeMiB) + " MiB", pairs,
                    capped + std::to_string(log.size()) + " requests; curl: " + std::to_string(curl->Processes()) +
                        " process(es), same requests");

        const std::vector<std::string> upload = {"--item", FFileRecord, "--in", FSource.get().Path.string()};
        CheckCostRow("upload " + std::to_string(FSizeMiB) + " MiB", "upload", upload,
                     [&](TRunResult AResult) { return checked(AResult, "ours"); });
    }

    // The same transfer through the storage model, which checks the content against the service's
    // hash, and past it, straight to the adapter.
    void CheckCostRow(const std::string& AWhat, const std::string& AOperation, std::vector<std::string> AArgs,
                      const std::function<TRunResult(TRunResult)>& AChecked) {
        if (FService.Hash.empty()) return;  // nothing to check against
        Progress(AWhat + " with and without the content check, " + std::to_string(FOptions.Pairs) + " pairs");
        std::vector<std::string> unchecked = AArgs;
        unchecked.push_back("--no-check");
        const TPairs pairs = Bench::RunPairs(
            FOptions.Pairs, [&](int) { return AChecked(Measured(Ours(AOperation, AArgs), TransferTimeout())); },
            [&](int) { return AChecked(Measured(Ours(AOperation, unchecked), TransferTimeout())); });
        const Bench::TSpread ratio = Bench::ThroughputRatio(pairs);
        const long peak = Bench::MaxPeak(pairs.Ours);
        Bench::PrintRow({.Benchmark = Label(AWhat + ", content check"),
                         .Ratio = "throughput checked/unchecked",
                         .Spread = ratio,
                         .Pairs = FOptions.Pairs,
                         .Goal = ">= " + Bench::Fixed(CheckGoal),
                         .Verdict = Verdict(Bench::VerdictAtLeast(ratio, CheckGoal), peak),
                         .OursPeak = Bench::MiB(peak),
                         .BasePeak = Bench::MiB(Bench::MaxPeak(pairs.Base)),
                         .Note = "hash: " + FService.Hash + "; the unchecked side goes straight to the adapter"});
    }

    void Download() {
        const std::uint64_t size = std::uint64_t(FSizeMiB) << 20;
        const fs::path ours = FWork / "ours.out", theirs = FWork / "curl.out";
        // The record of the file as it is after the uploads, with its hash, as a caller would hold it.
        FFileRecord = SaveRecord(FIds.at(std::string("/") + FileName), std::string("/") + FileName, false, "file.json");
        FAdmin.ClearRequests();
        Bench::Run(Ours("download", {"--item", FFileRecord, "--out", ours.string()}), {.Timeout = TransferTimeout()});
        if (!Bench::SameContent(ours, FSource.get().Path))
            throw std::runtime_error(FService.Label + ": the download differs from the upload");
        const auto curl = Replay(FAdmin.Requests(), theirs);
        FAdmin.ClearRequests();

        auto checked = [&](const std::function<TRunResult()>& ARun, const fs::path& AOut, bool ACompare) {
            fs::remove(AOut);
            TRunResult result = ARun();
            if (fs::file_size(AOut) != size || (ACompare && !Bench::SameContent(AOut, FSource.get().Path)))
                throw std::runtime_error(FService.Label + ": " + AOut.string() + " is not the file uploaded");
            fs::remove(AOut);
            return result;
        };
        for (const bool durable : {false, true}) {
            Progress(std::string("download") + (durable ? " (atomic replace, synced)" : "") + " of " +
                     std::to_string(FSizeMiB) + " MiB, " + std::to_string(FOptions.Pairs) + " pairs");
            std::vector<std::string> extra = {"--item", FFileRecord, "--out", ours.string()};
            if (durable) extra.push_back("--durable");
            const TPairs pairs = Bench::RunPairs(
                FOptions.Pairs,
                [&](int) {
                    return checked([&] { return Measured(Ours("download", extra), TransferTimeout()); }, ours, false);
                },
                [&](int APair) {
                    return checked([&] { return durable ? SyncedAfter(Measured(*curl), theirs) : Measured(*curl); },
                                   theirs, APair == 0);
                });
            if (durable)
                TransferRow("download " + std::to_string(FSizeMiB) + " MiB to a file by name", pairs,
                            "ours: temporary file, fsync, rename; curl -o, then the file synced (sync FILE)");
            else
                TransferRow("download " + std::to_string(FSizeMiB) + " MiB", pairs,
                            "both write the bytes to a new file");
        }
        CheckCostRow("download " + std::to_string(FSizeMiB) + " MiB", "download",
                     {"--item", FFileRecord, "--out", ours.string()}, [&](TRunResult AResult) {
                         if (fs::file_size(ours) != size) throw std::runtime_error(FService.Label + ": short download");
                         fs::remove(ours);
                         return AResult;
                     });
    }

    // ARun followed by syncing AFile to the disk (the sync tool's fsync of that file), timed as one.
    static TRunResult SyncedAfter(TRunResult ARun, const fs::path& AFile) {
        const TRunResult sync = Bench::Run({"sync", AFile.string()});
        ARun.Seconds += sync.Seconds;
        ARun.PeakRssKiB = std::max(ARun.PeakRssKiB, sync.PeakRssKiB);
        return ARun;
    }

    void List() {
        FFolderRecord = SaveRecord(SeedFolder(), std::string("/") + FolderName, true, "folder.json");
        FAdmin.ClearRequests();
        const TRunResult probe = Bench::Run(Ours("list", {"--item", FFolderRecord}),
                                            {.CaptureOutput = true, .Timeout = std::chrono::seconds(300)});
        if (std::stoi(probe.Output) != FOptions.Items)
            throw std::runtime_error(FService.Label + ": the listing gave " + probe.Output + " items, not " +
                                     std::to_string(FOptions.Items));
        const Json log = FAdmin.Requests();
        const auto curl = Replay(log);
        FAdmin.ClearRequests();

        Progress("listing of " + std::to_string(FOptions.Items) + " items in " + std::to_string(log.size()) +
                 " pages, " + std::to_string(FOptions.Pairs) + " pairs");
        const TPairs pairs = Bench::RunPairs(
            FOptions.Pairs,
            [&](int) {
                return Measured(Ours("list", {"--item", FFolderRecord}), std::chrono::seconds(300));
            },
            [&](int) { return Measured(*curl); });
        const Bench::TSpread ratio = Bench::TimeRatio(pairs);
        const long oursPeak = Bench::MaxPeak(pairs.Ours);
        Bench::PrintRow({.Benchmark = Label("list " + std::to_string(FOptions.Items) + " items"),
                         .Ratio = "time ours/curl",
                         .Spread = ratio,
                         .Pairs = FOptions.Pairs,
                         .Goal = "<= " + Bench::Fixed(ListingGoal) + ", < 64 MiB",
                         .Verdict = Verdict(Bench::VerdictAtMost(ratio, ListingGoal), oursPeak),
                         .OursPeak = Bench::MiB(oursPeak),
                         .BasePeak = Bench::MiB(Bench::MaxPeak(pairs.Base)),
                         .Note = std::to_string(log.size()) + " pages; median ours " +
                                 Bench::Fixed(Bench::MedianSeconds(pairs.Ours), 3) + " s, curl " +
                                 Bench::Fixed(Bench::MedianSeconds(pairs.Base), 3) + " s"});
    }

    static std::string Verdict(const std::string& ASpeed, long AOursPeak) {
        const bool memory = AOursPeak < MemoryGoalKiB;
        if (ASpeed == "met" && memory) return "met";
        return std::string("MISSED:") + (ASpeed == "met" ? "" : " time") + (memory ? "" : " memory");
    }

    void TransferRow(const std::string& AWhat, const TPairs& APairs, const std::string& ANote, bool AGoal = true) {
        const double mib = static_cast<double>(FSizeMiB);
        const Bench::TSpread ratio = Bench::ThroughputRatio(APairs);
        const long oursPeak = Bench::MaxPeak(APairs.Ours);
        Bench::PrintRow({.Benchmark = Label(AWhat),
                         .Ratio = "throughput ours/curl",
                         .Spread = ratio,
                         .Pairs = FOptions.Pairs,
                         .Goal = AGoal ? ">= " + Bench::Fixed(TransferGoal) + ", < 64 MiB" : "< 64 MiB",
                         .Verdict = Verdict(AGoal ? Bench::VerdictAtLeast(ratio, TransferGoal) : "met", oursPeak),
                         .OursPeak = Bench::MiB(oursPeak),
                         .BasePeak = Bench::MiB(Bench::MaxPeak(APairs.Base)),
                         .Note = "median ours " + Bench::Fixed(mib / Bench::MedianSeconds(APairs.Ours), 0) +
                                 " MiB/s, curl " + Bench::Fixed(mib / Bench::MedianSeconds(APairs.Base), 0) +
                                 " MiB/s; " + ANote});
    }

    const TOptions& FOptions;
    const TService& FService;
    const TEmulatorProcess& FEmulator;
    TClient& FClient;
    TAdmin FAdmin;
    const TWorkDir& FWork;
    const std::size_t FSizeMiB;  // of the transfers
    std::reference_wrapper<const TSourceFile> FSource;
    TSourceFile FOwnSource;  // for a service whose uploads are capped below the size asked for
    std::vector<std::string> FConnectTo;
    std::string FCaFile, FState, FToken, FFileRecord, FFolderRecord;
    std::map<std::string, std::string> FIds;
};

// ---- options ----

const Bench::TCommandLine CommandLine{
    "cloud_bench",
    "usage: cloud_bench --emulator PATH --transfer PATH [--size MIB] [--items N] [--pairs N]\n"
    "                   [--services google,dropbox,live,box,gdrive3,graph,dropbox2] [--only transfers|listings]\n"};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) CommandLine.Fail(name + " needs a value");
        const std::string value = argv[++i];
        if (name == "--emulator")
            options.Emulator = value;
        else if (name == "--transfer")
            options.Transfer = value;
        else if (name == "--size")
            options.SizeMiB = static_cast<std::size_t>(CommandLine.Number(name, value, 1, 64 * 1024));
        else if (name == "--items")
            options.Items = static_cast<int>(CommandLine.Number(name, value, 1, 100000));
        else if (name == "--pairs")
            options.Pairs = static_cast<int>(CommandLine.Number(name, value, 1, 100));
        else if (name == "--services") {
            options.Services.clear();
            std::stringstream list(value);
            for (std::string service; std::getline(list, service, ',');) try {
                    options.Services.push_back(ServiceNamed(service).Name);
                } catch (const std::invalid_argument& e) {
                    CommandLine.Fail(e.what());
                }
        } else if (name == "--only") {
            if (value != "transfers" && value != "listings") CommandLine.Fail("--only takes transfers or listings");
            options.Transfers = value == "transfers";
            options.Listings = value == "listings";
        } else
            CommandLine.Fail("unknown option " + name);
    }
    if (options.Emulator.empty() || options.Transfer.empty()) CommandLine.Fail("--emulator and --transfer are needed");
    options.Curl = Bench::FindProgram("curl");
    if (options.Curl.empty()) CommandLine.Fail("the curl program is not in PATH");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const TOptions options = ParseOptions(argc, argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int failures = 0;
    try {
        TWorkDir work;
        TSourceFile source;
        if (options.Transfers) {
            Bench::WriteRandomFile(work / "source.bin", std::uint64_t(options.SizeMiB) << 20);
            source = TSourceFile::Of(work / "source.bin");
        }
        // Room for the file and a multipart envelope around it, and never less than the emulator's default.
        TEmulatorProcess emulator(
            options.Emulator, work,
            std::max<std::uint64_t>(160u << 20, (std::uint64_t(options.SizeMiB) << 20) + (1 << 20)));
        std::vector<std::string> connectTo;
        for (const std::string& host : Nimbo::Emulator::CloudEmulator::Hosts())
            connectTo.push_back(host + ":443:127.0.0.1:" + std::to_string(emulator.Port()));
        TClient client(emulator.CaFile(), connectTo);
        for (const std::string& name : options.Services)
            failures += TServiceBench(options, ServiceNamed(name), emulator, client, work, source).Run();
    } catch (const std::exception& e) {
        std::cerr << "cloud_bench: " << e.what() << std::endl;
        curl_global_cleanup();
        return 1;
    }
    curl_global_cleanup();
    return failures ? 1 : 0;
}
