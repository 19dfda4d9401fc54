#include "emulator/ResumableUploads.h"

namespace Nimbo::Emulator {
namespace {

constexpr std::uint64_t ChunkGranule = 256u << 10;  // chunks but the last come in multiples of this

UploadRefusal BadRequest(std::string message) { return {400, "badRequest", std::move(message)}; }

Json Save(ResumableUpload& upload) {
    return {{"fileId", upload.fileId},
            {"metadata", upload.metadata},
            {"mediaType", upload.mediaType},
            {"total", upload.total ? Json(*upload.total) : Json()},
            {"received", WriterRecord(upload.received)},
            {"complete", upload.complete},
            {"content", ContentRecord(upload.content)},
            {"resultId", upload.resultId},
            {"expires", TimeRecord(upload.expires)}};
}

ResumableUpload Restore(const Json& record, const RecordLoader& loader) {
    ResumableUpload upload;
    upload.fileId = record.at("fileId").get<std::string>();
    upload.metadata = record.at("metadata");
    upload.mediaType = record.at("mediaType").get<std::string>();
    if (!record.at("total").is_null()) upload.total = record.at("total").get<std::uint64_t>();
    upload.complete = record.at("complete").get<bool>();
    if (upload.complete) {
        upload.content = loader.Content(record.at("content"));
        if (!record.at("content").is_null() && !upload.content) throw std::runtime_error("the uploaded bytes are gone");
    } else {
        upload.received = loader.Writer(record.at("received"));
    }
    upload.resultId = record.at("resultId").get<std::string>();
    upload.expires = TimeOf(record.at("expires"));
    return upload;
}

}  // namespace

ResumableUploads::ResumableUploads(std::uint64_t maxBytes, Service& service, std::string kind)
    : maxBytes_(maxBytes), sessions_(std::move(kind), Save, Restore) {
    service.Keep(sessions_);
}

std::uint64_t ResumableUpload::Stored() const {
    if (complete) return content ? content->Size() : 0;
    return received ? received->Size() : 0;
}

std::string ResumableUploads::Start(ResumableUpload upload, TimePoint now, std::chrono::milliseconds lifetime) {
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now >= it->second.expires ? sessions_.erase(it) : std::next(it);
    std::string uploadId = "AEnB2U" + RandomToken(58);
    upload.expires = now + lifetime;
    sessions_.emplace(uploadId, std::move(upload));
    return uploadId;
}

ResumableUpload* ResumableUploads::Find(const std::string& uploadId, TimePoint now) {
    auto it = sessions_.find(uploadId);
    if (it == sessions_.end() || now >= it->second.expires) return nullptr;
    return &it->second;
}

std::optional<UploadRefusal> ResumableUploads::Accept(Exchange& ex, ResumableUpload& upload) const {
    const std::uint64_t size = ex.BodySize();
    ContentRange range{std::pair<std::uint64_t, std::uint64_t>{0, size - 1}, size};
    if (ex.req.has_header("Content-Range")) {
        auto given = ParseContentRange(ex.Header("Content-Range"));
        if (!given) return BadRequest("Invalid Content-Range: " + ex.Header("Content-Range"));
        range = *given;
    } else if (size == 0) {
        range.bytes.reset();
    }
    if (!range.bytes && size != 0) return BadRequest("A status query carries no bytes.");
    if (range.total) {
        if (*range.total > maxBytes_)
            return UploadRefusal{413, "uploadTooLarge", "The file exceeds the maximum upload size."};
        if (upload.total && *upload.total != *range.total)
            return BadRequest("The upload's total size was given as " + std::to_string(*upload.total) + " before.");
        if (*range.total < upload.Stored()) return BadRequest("More bytes than the total size have arrived.");
    }
    if (range.bytes) {
        // The chunk is checked against the total it names, which is kept only once it is taken.
        std::optional<std::uint64_t> before = upload.total;
        if (range.total) upload.total = range.total;
        auto refusal = Append(ex, upload, *range.bytes);
        if (refusal) upload.total = before;
        if (refusal) return refusal;
    } else if (range.total) {
        upload.total = range.total;
    }
    if (!upload.complete && upload.total && upload.Stored() == *upload.total) {
        upload.content = upload.received ? upload.received->Finish() : nullptr;
        upload.received.reset();
        upload.complete = true;
    }
    return std::nullopt;
}

// Stores the chunk's new bytes (a repeat of bytes already stored is accepted).
std::optional<UploadRefusal> ResumableUploads::Append(Exchange& ex, ResumableUpload& upload,
                                                      std::pair<std::uint64_t, std::uint64_t> bytes) {
    auto [first, last] = bytes;
    const std::uint64_t stored = upload.Stored(), length = last - first + 1;
    if (ex.BodySize() != length)
        return BadRequest("The Content-Range names " + std::to_string(length) + " bytes but " +
                          std::to_string(ex.BodySize()) + " arrived.");
    if (first > stored) return BadRequest("The chunk must continue at byte " + std::to_string(stored) + ".");
    if (upload.total && last + 1 > *upload.total) return BadRequest("The chunk ends beyond the upload's total size.");
    bool final = upload.total && last + 1 == *upload.total;
    if (!final && length % ChunkGranule != 0)
        return BadRequest("Chunks other than the last must be a multiple of 262144 bytes.");
    if (upload.complete) return std::nullopt;  // every byte is in already: a repeat
    ex.spool->AppendTo(upload.received, stored - first);
    return std::nullopt;
}

void ResumableUploads::SendIncomplete(Exchange& ex, const ResumableUpload& upload) {
    ex.res.status = 308;  // Resume Incomplete
    if (upload.Stored() > 0) ex.res.set_header("Range", "bytes=0-" + std::to_string(upload.Stored() - 1));
}

}  // namespace Nimbo::Emulator
