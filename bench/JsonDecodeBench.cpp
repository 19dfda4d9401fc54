// Decodes a generated listing of 10,000 files in the style of the Google Drive answer three ways:
// the record decoder, a hand-written simdjson on-demand walk filling the same records (the practical
// limit) and nlohmann::json parsing plus field extraction (the common choice). Prints MB/s and ratios.

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "Nimbo/Connection/Json.h"

using namespace Nimbo::Connection;

namespace {

struct Parent {
    std::string id;
    bool isRoot = false;
};
NIMBO_JSON_RECORD(Parent, id, isRoot)

struct Labels {
    bool starred = false;
    bool hidden = false;
    bool trashed = false;
};
NIMBO_JSON_RECORD(Labels, starred, hidden, trashed)

struct FileInfo {
    std::string id;
    std::string title;
    std::string mimeType;
    std::string createdDate;
    std::string modifiedDate;
    std::string fileSize;  // the service sends sizes as text
    std::string downloadUrl;
    std::int64_t version = 0;
    std::vector<Parent> parents;
    Labels labels;
};
NIMBO_JSON_RECORD(FileInfo, id, title, mimeType, createdDate, modifiedDate, fileSize, downloadUrl, version, parents,
                  labels)

struct FileList {
    std::string nextPageToken;
    std::vector<FileInfo> items;
};
NIMBO_JSON_RECORD(FileList, nextPageToken, items)

constexpr int EntryCount = 10000;

// The on-demand kernel this program (and a library built with the same flags) was compiled for.
#define NIMBO_BENCH_NAME(X) #X
#define NIMBO_BENCH_STRING(X) NIMBO_BENCH_NAME(X)
constexpr const char* OnDemandKernel = NIMBO_BENCH_STRING(SIMDJSON_BUILTIN_IMPLEMENTATION);

std::string GenerateListing() {
    std::mt19937 random(20160510);
    auto id = [&] {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        std::string text(28, ' ');
        for (char& c : text) c = alphabet[random() % 64];
        return text;
    };
    const char* types[] = {"application/pdf", "image/jpeg", "text/plain", "application/vnd.google-apps.folder"};
    std::string json = R"({"kind": "drive#fileList", "etag": "\"5OTFsDbT9d0aWLNv6qJnPxD\"", "selfLink": )"
                       R"("https://www.googleapis.com/drive/v2/files", "nextPageToken": "~!!~AI9FV7T", "items": [)";
    for (int i = 0; i < EntryCount; ++i) {
        const std::string fileId = id();
        const bool folder = i % 4 == 3;
        char buffer[2048];
        std::snprintf(
            buffer, sizeof buffer,
            R"(%s{"kind": "drive#file", "id": "%s", "etag": "\"MTQ2Mjg5NjIwMDAwMA\"", )"
            R"("selfLink": "https://www.googleapis.com/drive/v2/files/%s", )"
            R"("alternateLink": "https://drive.google.com/file/d/%s/view?usp=drivesdk", )"
            R"("iconLink": "https://ssl.gstatic.com/docs/doclist/images/icon_10_generic_list.png", )"
            R"("title": "Report %d \u2013 final.pdf", "mimeType": "%s", )"
            R"("labels": {"starred": %s, "hidden": false, "trashed": false, "restricted": false, "viewed": true}, )"
            R"("createdDate": "2016-05-10T14:30:%02d.250Z", "modifiedDate": "2016-06-01T08:15:%02d.000Z", )"
            R"("parents": [{"kind": "drive#parentReference", "id": "0AHx3kTvzsiQEUk9PVA", "isRoot": %s}], )"
            R"("downloadUrl": "https://doc-0s-5g-docs.googleusercontent.com/docs/securesc/%s?e=download", )"
            R"("fileSize": "%u", "version": %u, "owners": [{"kind": "drive#user", "displayName": "Ada Lovelace", )"
            R"("isAuthenticatedUser": true, "emailAddress": "ada@example.com"}], "editable": true, "shared": false})",
            i == 0 ? "" : ", ", fileId.c_str(), fileId.c_str(), fileId.c_str(), i, types[i % 4], i % 7 == 0 ? "true" : "false",
            i % 60, (i * 7) % 60, i % 50 == 0 ? "true" : "false", fileId.c_str(),
            folder ? 0u : static_cast<unsigned>(random() % 100000000), static_cast<unsigned>(random() % 5000));
        json += buffer;
    }
    json += "]}";
    return json;
}

const std::string& Listing() {
    static const std::string listing = GenerateListing();
    return listing;
}

// ---- the hand-written on-demand walk ----

namespace od = simdjson::ondemand;

void WalkParent(od::object AObject, Parent& AParent) {
    for (auto field : AObject) {
        od::raw_json_string key = field.key();
        if (key == "id") AParent.id = std::string_view(field.value());
        else if (key == "isRoot") AParent.isRoot = bool(field.value());
    }
}

void WalkFile(od::object AObject, FileInfo& AFile) {
    for (auto field : AObject) {
        od::raw_json_string key = field.key();
        if (key == "id") AFile.id = std::string_view(field.value());
        else if (key == "title") AFile.title = std::string_view(field.value());
        else if (key == "mimeType") AFile.mimeType = std::string_view(field.value());
        else if (key == "createdDate") AFile.createdDate = std::string_view(field.value());
        else if (key == "modifiedDate") AFile.modifiedDate = std::string_view(field.value());
        else if (key == "fileSize") AFile.fileSize = std::string_view(field.value());
        else if (key == "downloadUrl") AFile.downloadUrl = std::string_view(field.value());
        else if (key == "version") AFile.version = int64_t(field.value());
        else if (key == "parents") {
            for (auto parent : field.value().get_array()) WalkParent(parent.get_object(), AFile.parents.emplace_back());
        } else if (key == "labels") {
            for (auto label : field.value().get_object()) {
                od::raw_json_string name = label.key();
                if (name == "starred") AFile.labels.starred = bool(label.value());
                else if (name == "hidden") AFile.labels.hidden = bool(label.value());
                else if (name == "trashed") AFile.labels.trashed = bool(label.value());
            }
        }
    }
}

FileList WalkOnDemand(const std::string& AJson) {
    od::parser parser;
    const simdjson::padded_string padded(AJson);
    od::document document = parser.iterate(padded);
    FileList list;
    for (auto field : document.get_object()) {
        od::raw_json_string key = field.key();
        if (key == "nextPageToken") list.nextPageToken = std::string_view(field.value());
        else if (key == "items")
            for (auto item : field.value().get_array()) WalkFile(item.get_object(), list.items.emplace_back());
    }
    return list;
}

// ---- nlohmann::json ----

template <class T>
void Take(const nlohmann::json& AObject, const char* AKey, T& AValue) {
    if (auto found = AObject.find(AKey); found != AObject.end()) found->get_to(AValue);
}

FileList ParseNlohmann(const std::string& AJson) {
    const nlohmann::json root = nlohmann::json::parse(AJson);
    FileList list;
    Take(root, "nextPageToken", list.nextPageToken);
    for (const auto& item : root.at("items")) {
        FileInfo& file = list.items.emplace_back();
        Take(item, "id", file.id);
        Take(item, "title", file.title);
        Take(item, "mimeType", file.mimeType);
        Take(item, "createdDate", file.createdDate);
        Take(item, "modifiedDate", file.modifiedDate);
        Take(item, "fileSize", file.fileSize);
        Take(item, "downloadUrl", file.downloadUrl);
        Take(item, "version", file.version);
        if (auto parents = item.find("parents"); parents != item.end())
            for (const auto& parent : *parents) {
                Parent& p = file.parents.emplace_back();
                Take(parent, "id", p.id);
                Take(parent, "isRoot", p.isRoot);
            }
        if (auto labels = item.find("labels"); labels != item.end()) {
            Take(*labels, "starred", file.labels.starred);
            Take(*labels, "hidden", file.labels.hidden);
            Take(*labels, "trashed", file.labels.trashed);
        }
    }
    return list;
}

FileList DecodeWithRecordDecoder(const std::string& AJson) {
    TJsonDecoder decoder(AJson);
    FileList list;
    decoder.Decode(list);
    return list;
}

template <FileList (*Decode)(const std::string&)>
void Run(benchmark::State& AState) {
    const std::string& json = Listing();
    for (auto _ : AState) {
        FileList list = Decode(json);
        benchmark::DoNotOptimize(list);
        if (list.items.size() != EntryCount) AState.SkipWithError("wrong number of entries");
    }
    AState.SetBytesProcessed(static_cast<std::int64_t>(AState.iterations() * json.size()));
}

BENCHMARK(Run<DecodeWithRecordDecoder>)->Name("RecordDecoder")->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(Run<WalkOnDemand>)->Name("BareOnDemandWalk")->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);
BENCHMARK(Run<ParseNlohmann>)->Name("NlohmannParseAndExtract")->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

// Keeps each benchmark's median CPU time per iteration for the closing ratios (the machine may be shared).
class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& AReports) override {
        for (const Run& run : AReports)
            if (!run.error_occurred && run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                Seconds[run.run_name.function_name] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(AReports);
    }
    std::map<std::string, double> Seconds;
};

bool SameResults() {
    const FileList a = DecodeWithRecordDecoder(Listing()), b = WalkOnDemand(Listing()), c = ParseNlohmann(Listing());
    auto same = [](const FileList& x, const FileList& y) {
        if (x.nextPageToken != y.nextPageToken || x.items.size() != y.items.size()) return false;
        for (std::size_t i = 0; i < x.items.size(); ++i) {
            const FileInfo &p = x.items[i], &q = y.items[i];
            if (p.id != q.id || p.title != q.title || p.fileSize != q.fileSize || p.version != q.version ||
                p.parents.size() != q.parents.size() || p.labels.starred != q.labels.starred ||
                p.modifiedDate != q.modifiedDate || p.downloadUrl != q.downloadUrl)
                return false;
        }
        return true;
    };
    return same(a, b) && same(a, c);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const double megabytes = static_cast<double>(Listing().size()) / 1e6;
    std::printf("Listing: %d entries, %.2f MB; simdjson on-demand kernel: %s\n", EntryCount, megabytes, OnDemandKernel);
    if (!SameResults()) {
        std::printf("The three decoders disagree; no figures.\n");
        return 1;
    }
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& s = reporter.Seconds;
    if (!s.count("RecordDecoder") || !s.count("BareOnDemandWalk") || !s.count("NlohmannParseAndExtract")) return 0;
    // CPU time per iteration in the benchmark's unit (milliseconds).
    auto mbps = [&](const char* AName) { return megabytes / (s.at(AName) / 1e3); };
    std::printf("\nRecord decoder      %8.1f MB/s\n", mbps("RecordDecoder"));
    std::printf("Bare on-demand walk %8.1f MB/s\n", mbps("BareOnDemandWalk"));
    std::printf("nlohmann::json      %8.1f MB/s\n", mbps("NlohmannParseAndExtract"));
    std::printf("Record decoder / nlohmann        = %.2fx (goal >= 3)\n",
                s.at("NlohmannParseAndExtract") / s.at("RecordDecoder"));
    std::printf("Record decoder / bare on-demand  = %.2f  (goal >= 0.5)\n", s.at("BareOnDemandWalk") / s.at("RecordDecoder"));
    return 0;
}
