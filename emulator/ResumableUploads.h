#pragma once
// Google's resumable upload protocol, shared by Drive v2 and v3: a session started with the
// metadata, then chunks at their Content-Range (multiples of 256 KiB but the last), answered 308
// with the Range stored until the last byte; "bytes */total" asks how far the upload got. A session
// lives for a settable time, then is gone (404).

#include "emulator/Service.h"

#include <map>

namespace Nimbo::Emulator {

// A resumable upload between its start and its last byte.
struct ResumableUpload {
    std::string fileId;  // the file whose content it replaces; empty for a new file
    Json metadata;
    std::string mediaType;                 // X-Upload-Content-Type
    std::optional<std::uint64_t> total;    // once the client has said it
    std::unique_ptr<BlobWriter> received;  // null until the first byte
    bool complete = false;                 // every byte has arrived: they are `content`
    BlobRef content;
    std::string resultId;  // the file made of them
    TimePoint expires;

    std::uint64_t Stored() const;
};

// Why a chunk was refused, in Google's terms.
struct UploadRefusal {
    int status;
    std::string reason, message;
};

class ResumableUploads {
public:
    // The sessions are kept among the service's records of `kind`.
    ResumableUploads(std::uint64_t maxBytes, Service& service, std::string kind);

    // Keeps a new session until now + lifetime; returns its upload_id. Expired ones go on the way.
    std::string Start(ResumableUpload upload, TimePoint now, std::chrono::milliseconds lifetime);
    // The live session of an upload_id; null when unknown or expired.
    ResumableUpload* Find(const std::string& uploadId, TimePoint now);
    void Clear() { sessions_.clear(); }
    std::size_t Count() const { return sessions_.size(); }

    // Takes the request's chunk (no Content-Range: the whole file) or status query; a refusal
    // leaves the session as it was. Once the last byte is in, the bytes are the upload's content.
    std::optional<UploadRefusal> Accept(Exchange& ex, ResumableUpload& upload) const;
    // 308 Resume Incomplete with the Range stored (none while nothing is).
    static void SendIncomplete(Exchange& ex, const ResumableUpload& upload);

private:
    std::uint64_t maxBytes_;
    KeptMap<ResumableUpload> sessions_;  // by upload_id

    static std::optional<UploadRefusal> Append(Exchange& ex, ResumableUpload& upload,
                                               std::pair<std::uint64_t, std::uint64_t> bytes);
};

}  // namespace Nimbo::Emulator
