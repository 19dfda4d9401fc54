#include "Nimbo/Connection/LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

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
            int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, newMode);
            if (fd < 0) {
                if (errno == EEXIST && attempt < 100) continue;
                throw EFileError(CannotCreate(AFileName, errno));
            }
            FPath = candidate;
            if (targetExists) {
                const mode_t kept = targetStat.st_mode & 07777;
                ::fchmod(fd, AAccess == TFileAccess::OwnerOnly ? kept & 0600 : kept);
            }
            ::close(fd);
            return;
        }
    }
    ~TTemporaryFile() {
        if (!FCommitted) {
            std::error_code ignored;
            fs::remove(FPath, ignored);
        }
    }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;

    const fs::path& Path() const { return FPath; }

    void MoveOver(const fs::path& ATarget, const std::string& AFileName) {
        Sync(FPath, O_RDONLY, AFileName);
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
    bool FCommitted = false;
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
    {
        std::ofstream stream(temporary.Path(), std::ios::binary | std::ios::trunc);
        if (!stream) throw EFileError(CannotCreate(AFileName, errno));
        AWrite(stream);
        stream.close();
        if (!stream) throw EFileError("Cannot write file \"" + AFileName + "\"");
    }
    temporary.MoveOver(target, AFileName);
}

}  // namespace Nimbo::Connection
