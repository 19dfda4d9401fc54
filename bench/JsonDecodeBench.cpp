// Decodes a generated listing of 10,000 files in the style of the Google Drive answer three ways:
// the record decoder, a hand-written simdjson on-demand walk filling the same records (the practical
// limit) and nlohmann::json parsing plus field extraction (the common choice). The three run in
// interleaved rounds (ABC ABC ...), each timed in CPU time on the same text; the figures are the
// min/median/max of the per-round ratios, and each contender's peak heap while decoding once.
//
// The record decoder checks that every value it skips is well-formed JSON. Given the same program
// built with the decoder from before that check (--unchecked PATH), it also compares the two, in
// alternating processes, and states what the check costs.
//
//   json_decode_bench [--rounds N (default 15)] [--unchecked PATH] [--pairs N (default 5)]
//   json_decode_bench --record-decoder-only [--rounds N]   (prints the median ms of one decode)

#include <malloc.h>
#include <simdjson.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Nimbo/Connection/Json.h"

// ---- heap accounting: the most bytes in use at once while tracking is on ----

namespace {

bool GTracking = false;
std::int64_t GInUse = 0, GPeak = 0;

void* Tracked(void* APointer) {
    if (APointer && GTracking) {
        GInUse += static_cast<std::int64_t>(malloc_usable_size(APointer));
        GPeak = std::max(GPeak, GInUse);
    }
    return APointer;
}

void Release(void* APointer) noexcept {
    if (APointer && GTracking) GInUse -= static_cast<std::int64_t>(malloc_usable_size(APointer));
    std::free(APointer);
}

void* Allocate(std::size_t ASize) {
    void* p = Tracked(std::malloc(ASize ? ASize : 1));
    if (!p) throw std::bad_alloc();
    return p;
}

void* AllocateAligned(std::size_t ASize, std::align_val_t AAlign) {
    void* p = nullptr;
    const auto align = std::max(static_cast<std::size_t>(AAlign), sizeof(void*));
    if (posix_memalign(&p, align, ASize ? ASize : 1) != 0) throw std::bad_alloc();
    return Tracked(p);
}

// The heap's high-water mark, above what was in use before, while AWork runs.
std::int64_t PeakHeap(const std::function<void()>& AWork) {
    GInUse = GPeak = 0;
    GTracking = true;
    AWork();
    GTracking = false;
    return GPeak;
}

}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Tracked(std::malloc(n ? n : 1)); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Tracked(std::malloc(n ? n : 1)); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateAligned(n, a); }
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }

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
            i == 0 ? "" : ", ", fileId.c_str(), fileId.c_str(), fileId.c_str(), i, types[i % 4],
            i % 7 == 0 ? "true" : "false", i % 60, (i * 7) % 60, i % 50 == 0 ? "true" : "false", fileId.c_str(),
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
        if (key == "id")
            AParent.id = std::string_view(field.value());
        else if (key == "isRoot")
            AParent.isRoot = bool(field.value());
    }
}

void WalkFile(od::object AObject, FileInfo& AFile) {
    for (auto field : AObject) {
        od::raw_json_string key = field.key();
        if (key == "id")
            AFile.id = std::string_view(field.value());
        else if (key == "title")
            AFile.title = std::string_view(field.value());
        else if (key == "mimeType")
            AFile.mimeType = std::string_view(field.value());
        else if (key == "createdDate")
            AFile.createdDate = std::string_view(field.value());
        else if (key == "modifiedDate")
            AFile.modifiedDate = std::string_view(field.value());
        else if (key == "fileSize")
            AFile.fileSize = std::string_view(field.value());
        else if (key == "downloadUrl")
            AFile.downloadUrl = std::string_view(field.value());
        else if (key == "version")
            AFile.version = int64_t(field.value());
        else if (key == "parents") {
            for (auto parent : field.value().get_array()) WalkParent(parent.get_object(), AFile.parents.emplace_back());
        } else if (key == "labels") {
            for (auto label : field.value().get_object()) {
                od::raw_json_string name = label.key();
                if (name == "starred")
                    AFile.labels.starred = bool(label.value());
                else if (name == "hidden")
                    AFile.labels.hidden = bool(label.value());
                else if (name == "trashed")
                    AFile.labels.trashed = bool(label.value());
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
        if (key == "nextPageToken")
            list.nextPageToken = std::string_view(field.value());
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

// ---- interleaved rounds ----

struct TContender {
    const char* Name;
    FileList (*Decode)(const std::string&);
    std::vector<double> Milliseconds;  // CPU time of one decode, per round
    std::int64_t PeakHeap = 0;
};

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

// The CPU time of one decode: the mean over enough decodes to fill about 50 ms.
double TimeOneDecode(FileList (*ADecode)(const std::string&), int ACount) {
    const std::string& json = Listing();
    const double start = ThreadCpuMs();
    for (int i = 0; i < ACount; ++i) {
        FileList list = ADecode(json);
        if (list.items.size() != EntryCount) throw std::runtime_error("wrong number of entries");
    }
    return (ThreadCpuMs() - start) / ACount;
}

int DecodesPerRound(FileList (*ADecode)(const std::string&)) {
    const double once = TimeOneDecode(ADecode, 1);
    return std::clamp(static_cast<int>(50.0 / std::max(once, 0.01)), 1, 1000);
}

std::vector<double> Ratios(const std::vector<double>& ANumerator, const std::vector<double>& ADenominator) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < ANumerator.size(); ++i) ratios.push_back(ANumerator[i] / ADenominator[i]);
    return ratios;
}

std::string Kib(std::int64_t ABytes) { return Bench::MiB(static_cast<long>(ABytes / 1024)); }

void CompareContenders(int ARounds) {
    std::vector<TContender> contenders = {{"record decoder", DecodeWithRecordDecoder, {}, 0},
                                          {"bare on-demand walk", WalkOnDemand, {}, 0},
                                          {"nlohmann::json", ParseNlohmann, {}, 0}};
    for (TContender& c : contenders) c.PeakHeap = PeakHeap([&] { c.Decode(Listing()); });
    std::vector<int> counts;
    for (const TContender& c : contenders) counts.push_back(DecodesPerRound(c.Decode));
    for (int round = 0; round < ARounds; ++round)
        for (std::size_t i = 0; i < contenders.size(); ++i)
            contenders[i].Milliseconds.push_back(TimeOneDecode(contenders[i].Decode, counts[i]));

    const double megabytes = static_cast<double>(Listing().size()) / 1e6;
    for (const TContender& c : contenders)
        std::fprintf(stderr, "  %-20s median %7.2f ms per decode, %7.1f MB/s, peak heap %s\n", c.Name,
                     Bench::SpreadOf(c.Milliseconds).Median, megabytes / (Bench::SpreadOf(c.Milliseconds).Median / 1e3),
                     Kib(c.PeakHeap).c_str());
    const TContender &ours = contenders[0], &bare = contenders[1], &nlohmann = contenders[2];
    const Bench::TSpread overNlohmann = Bench::SpreadOf(Ratios(nlohmann.Milliseconds, ours.Milliseconds));
    const Bench::TSpread ofBare = Bench::SpreadOf(Ratios(bare.Milliseconds, ours.Milliseconds));
    const std::string note =
        std::to_string(EntryCount) + " entries, " + Bench::Fixed(megabytes) + " MB; CPU time; kernel " + OnDemandKernel;
    Bench::PrintRow({.Benchmark = "decode listing: record decoder vs nlohmann::json",
                     .Ratio = "speed ours/nlohmann",
                     .Spread = overNlohmann,
                     .Pairs = ARounds,
                     .Goal = ">= 3",
                     .Verdict = Bench::VerdictAtLeast(overNlohmann, 3),
                     .OursPeak = Kib(ours.PeakHeap) + " heap",
                     .BasePeak = Kib(nlohmann.PeakHeap) + " heap",
                     .Note = note});
    Bench::PrintRow({.Benchmark = "decode listing: record decoder vs bare on-demand walk",
                     .Ratio = "speed ours/bare walk",
                     .Spread = ofBare,
                     .Pairs = ARounds,
                     .Goal = ">= 0.5",
                     .Verdict = Bench::VerdictAtLeast(ofBare, 0.5),
                     .OursPeak = Kib(ours.PeakHeap) + " heap",
                     .BasePeak = Kib(bare.PeakHeap) + " heap",
                     .Note = note});
}

// One process of the comparison with the decoder from before the check of skipped values.
void RecordDecoderOnly(int ARounds) {
    const int count = DecodesPerRound(DecodeWithRecordDecoder);
    std::vector<double> milliseconds;
    for (int round = 0; round < ARounds; ++round) milliseconds.push_back(TimeOneDecode(DecodeWithRecordDecoder, count));
    std::printf("%.6f\n", Bench::SpreadOf(milliseconds).Median);
}

// This program against the one built with the earlier decoder, in alternating processes.
void CompareWithUnchecked(const std::string& AUnchecked, int APairs) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const Bench::TRunOptions capture{.CaptureOutput = true, .Timeout = std::chrono::seconds(300)};
    const Bench::TPairs pairs = Bench::RunPairs(
        APairs,
        [&](int) {
            return Bench::Run({self, "--record-decoder-only", "--rounds", "5"}, capture);
        },
        [&](int) {
            return Bench::Run({AUnchecked, "--record-decoder-only", "--rounds", "5"}, capture);
        });
    std::vector<double> ratios;
    for (int i = 0; i < APairs; ++i)
        ratios.push_back(std::stod(pairs.Ours[i].Output) / std::stod(pairs.Base[i].Output));
    const Bench::TSpread cost = Bench::SpreadOf(ratios);
    Bench::PrintRow({.Benchmark = "decode listing: checking the values the record skips",
                     .Ratio = "time checked/unchecked",
                     .Spread = cost,
                     .Pairs = APairs,
                     .Goal = "",
                     .Verdict = "-",
                     .OursPeak = Bench::MiB(Bench::MaxPeak(pairs.Ours)),
                     .BasePeak = Bench::MiB(Bench::MaxPeak(pairs.Base)),
                     .Note = "the check costs " + Bench::Fixed((cost.Median - 1) * 100, 1) +
                             "% of decode time (median); each process: median of 5 rounds; peaks are whole processes"});
}

int Option(int argc, char** argv, const std::string& AName, int ADefault) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == AName) return std::max(1, std::atoi(argv[i + 1]));
    return ADefault;
}

std::string TextOption(int argc, char** argv, const std::string& AName) {
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == AName) return argv[i + 1];
    return {};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const int rounds = Option(argc, argv, "--rounds", 15);
        if (argc > 1 && std::string(argv[1]) == "--record-decoder-only") {
            RecordDecoderOnly(rounds);
            return 0;
        }
        std::fprintf(stderr, "Listing: %d entries, %.2f MB; simdjson on-demand kernel: %s\n", EntryCount,
                     static_cast<double>(Listing().size()) / 1e6, OnDemandKernel);
        if (!SameResults()) {
            std::fprintf(stderr, "The three decoders disagree; no figures.\n");
            return 1;
        }
        CompareContenders(rounds);
        if (const std::string unchecked = TextOption(argc, argv, "--unchecked"); !unchecked.empty())
            CompareWithUnchecked(unchecked, Option(argc, argv, "--pairs", 5));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "json_decode_bench: %s\n", e.what());
        return 1;
    }
}
