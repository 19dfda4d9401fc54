#include "emulator/Records.h"

#include <cstdio>
#include <stdexcept>

namespace Nimbo::Emulator {

BlobRef RecordLoader::Content(const Json& record) const {
    if (record.is_null()) return nullptr;
    const std::string name = record.at("name").get<std::string>();
    const auto size = record.at("size").get<std::uint64_t>();
    if (auto known = contents_.find(name); known != contents_.end() && known->second && known->second->Size() == size)
        return known->second;
    BlobRef blob = blobs_.Existing(name, size, record.value("md5", ""), record.value("sha1", ""),
                                   record.value("sha256", ""), record.value("quickXor", ""));
    if (blob) contents_[name] = blob;
    return blob;
}

std::unique_ptr<BlobWriter> RecordLoader::Writer(const Json& record) const {
    if (record.is_null()) return nullptr;
    const std::string name = record.at("file").get<std::string>();
    auto writer = blobs_.ResumeWriter(name, record.at("size").get<std::uint64_t>());
    contents_.emplace(name, nullptr);  // a file the state names: kept at start
    return writer;
}

Json ContentRecord(const BlobRef& content) {
    if (!content) return nullptr;
    content->MarkNamedByState();
    return {{"name", content->Name()}, {"size", content->Size()},     {"md5", content->Md5()},
            {"sha1", content->Sha1()}, {"sha256", content->Sha256()}, {"quickXor", content->QuickXor()}};
}

Json WriterRecord(const std::unique_ptr<BlobWriter>& writer) {
    if (!writer) return nullptr;
    writer->Sync();
    return {{"file", writer->Name()}, {"size", writer->Size()}};
}

Json TimeRecord(TimePoint time) { return ToMillis(time); }

TimePoint TimeOf(const Json& record) { return FromMillis(record.get<std::int64_t>()); }

Json OptionalTime(const std::optional<TimePoint>& time) { return time ? Json(ToMillis(*time)) : Json(); }

std::optional<TimePoint> OptionalTimeOf(const Json& record) {
    if (record.is_null()) return std::nullopt;
    return TimeOf(record);
}

void ReportDroppedRecord(const std::string& kind, const std::string& key, const std::string& why) {
    std::fprintf(stderr, "cloud-emulator: the stored %s %s cannot be used (%s); it is dropped\n", kind.c_str(),
                 key.c_str(), why.c_str());
}

}  // namespace Nimbo::Emulator
