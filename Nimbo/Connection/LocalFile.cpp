#include "Nimbo/Connection/LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <streambuf>
#include <vector>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace fs = std::filesystem;

namespace {

std::string CannotCreate(const std::string& AFileName, int AErrno) {
    return "Cannot create file \"" + AFileName + "\". " + std::strerror(AErrno);
}

// The file that is really replaced: the end of a chain of symbolic links, as writing in place would.
fs::path ResolveTarget(const std::string& AFileName) {
    std::error_code error;
    fs::path target = AFileName;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        fs::path resolved = fs::canonical(target, error);
        if (!error) return resolved;
    }
    return target;
}

std::string RandomSuffix() {
    static std::mt19937_64 generator{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string suffix;
    std::uint64_t value = generator();
    for (int index = 0; index < 12; ++index, value >>= 4) suffix += digits[value & 0xF];
    return suffix;
}

// A temporary file created exclusively beside the target; removed on destruction unless committed.
class TTemporaryFile {
public:
    TTemporaryFile(const fs::path& ATarget, const std::string& AFileName, TFileAccess AAccess) {
        fs::path folder = ATarget.parent_path();
        if (folder.empty()) folder = ".";
        struct stat targetStat {};
        const bool targetExists = ::stat(ATarget.c_str(), &targetStat) == 0;
        if (targetExists && S_ISDIR(targetStat.st_mode)) throw EFileError(CannotCreate(AFileName, EISDIR));

        for (int attempt = 0;; ++attempt) {
            fs::path candidate = folder / ("." + ATarget.filename().string() + "." + RandomSuffix() + ".part");
            const mode_t newMode = AAccess == TFileAccess::OwnerOnly ? 0600 : 0666;
            int fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, newMode);
            if (fd < 0) {
                if (errno == EEXIST && attempt < 100) continue;
                throw EFileError(CannotCreate(AFileName, errno));
            }
            FPath = candidate;
            FFd = fd;
            if (targetExists) {
                const mode_t kept = targetStat.st_mode & 07777;
                ::fchmod(fd, AAccess == TFileAccess::OwnerOnly ? kept & 0600 : kept);
            }
            return;
        }
    }
    ~TTemporaryFile() {
        if (FFd >= 0) ::close(FFd);
        if (!FCommitted) {
            std::error_code ignored;
            fs::remove(FPath, ignored);
        }
    }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;

    int Fd() const { return FFd; }

    void MoveOver(const fs::path& ATarget, const std::string& AFileName) {
        const bool synced = ::fsync(FFd) == 0;
        const int error = errno;
        const bool closed = ::close(FFd) == 0;
        FFd = -1;
        if (!synced || !closed)
            throw EFileError("Cannot write file \"" + AFileName + "\". " + std::strerror(synced ? errno : error));
        if (::rename(FPath.c_str(), ATarget.c_str()) != 0) throw EFileError(CannotCreate(AFileName, errno));
        FCommitted = true;
        fs::path folder = ATarget.parent_path();
        Sync(folder.empty() ? fs::path(".") : folder, O_RDONLY | O_DIRECTORY, AFileName);
    }

private:
    static void Sync(const fs::path& APath, int AFlags, const std::string& AFileName) {
        const int fd = ::open(APath.c_str(), AFlags | O_CLOEXEC);
        const bool synced = fd >= 0 && ::fsync(fd) == 0;
        const int error = errno;
        if (fd >= 0) ::close(fd);
        if (!synced) throw EFileError("Cannot write file \"" + AFileName + "\". " + std::strerror(error));
    }

    fs::path FPath;
    int FFd = -1;
    bool FCommitted = false;
};

// Writes to a file descriptor in large writes, and has the system start writing each large stretch
// to the disk as soon as it is written, so that syncing the file at the end waits for little more
// than its last stretch. Bytes that come in large pieces go to the file without being copied.
class TFileWriter : public std::streambuf {
public:
    explicit TFileWriter(int AFd) : FFd(AFd), FBuffer(BufferSize) { setp(FBuffer.data(), FBuffer.data() + BufferSize); }

    // Writes what is buffered; false when a write failed, now or earlier.
    bool Finish() { return Flush(); }
    // The errno of the write that failed.
    int Error() const { return FError; }

protected:
    int_type overflow(int_type AChar) override {
        if (!Flush()) return traits_type::eof();
        if (traits_type::eq_int_type(AChar, traits_type::eof())) return traits_type::not_eof(AChar);
        *pptr() = traits_type::to_char_type(AChar);
        pbump(1);
        return AChar;
    }

    std::streamsize xsputn(const char* AData, std::streamsize ACount) override {
        const std::streamsize room = epptr() - pptr();
        if (ACount <= room) {
            std::memcpy(pptr(), AData, static_cast<std::size_t>(ACount));
            pbump(static_cast<int>(ACount));
            return ACount;
        }
        if (!Flush()) return 0;
        if (static_cast<std::size_t>(ACount) >= BufferSize)
            return WriteAll(AData, static_cast<std::size_t>(ACount)) ? ACount : 0;
        std::memcpy(pptr(), AData, static_cast<std::size_t>(ACount));
        pbump(static_cast<int>(ACount));
        return ACount;
    }

    int sync() override { return Flush() ? 0 : -1; }

private:
    static constexpr std::size_t BufferSize = 1 << 20;
    static constexpr off_t WriteBackStretch = 8 << 20;

    bool Flush() {
        const std::size_t pending = static_cast<std::size_t>(pptr() - pbase());
        setp(FBuffer.data(), FBuffer.data() + BufferSize);
        return WriteAll(FBuffer.data(), pending);
    }

    bool WriteAll(const char* AData, std::size_t ACount) {
        if (FError != 0) return false;
        while (ACount > 0) {
            const ssize_t written = ::write(FFd, AData, ACount);
            if (written < 0) {
                if (errno == EINTR) continue;
                FError = errno;
                return false;
            }
            AData += written;
            ACount -= static_cast<std::size_t>(written);
            FWritten += written;
        }
        if (FWritten - FWriteBackFrom >= WriteBackStretch) {
            // Only a hint: a file system without it still gets every byte synced at the end.
            ::sync_file_range(FFd, FWriteBackFrom, FWritten - FWriteBackFrom, SYNC_FILE_RANGE_WRITE);
            FWriteBackFrom = FWritten;
        }
        return true;
    }

    int FFd;
    std::vector<char> FBuffer;
    off_t FWritten = 0, FWriteBackFrom = 0;
    int FError = 0;
};

}  // namespace

std::ifstream OpenLocalFile(const std::string& AFileName) {
    std::ifstream stream(AFileName, std::ios::binary);
    if (!stream) throw EFileError("Cannot open file \"" + AFileName + "\". " + std::strerror(errno));
    return stream;
}

void ReplaceLocalFile(const std::string& AFileName, const std::function<void(std::ostream&)>& AWrite,
                      TFileAccess AAccess) {
    const fs::path target = ResolveTarget(AFileName);
    TTemporaryFile temporary(target, AFileName, AAccess);
    TFileWriter writer(temporary.Fd());
    std::ostream stream(&writer);
    AWrite(stream);
    if (!stream.flush() || !writer.Finish())
        throw EFileError("Cannot write file \"" + AFileName + "\"" +
                         (writer.Error() ? ". " + std::string(std::strerror(writer.Error())) : std::string()));
    temporary.MoveOver(target, AFileName);
}

void ReplaceLocalFileAtOffsets(const std::string& AFileName, const std::function<void(int AFd)>& AWrite,
                               TFileAccess AAccess) {
    const fs::path target = ResolveTarget(AFileName);
    TTemporaryFile temporary(target, AFileName, AAccess);
    AWrite(temporary.Fd());
    temporary.MoveOver(target, AFileName);
}

}  // namespace Nimbo::Connection
