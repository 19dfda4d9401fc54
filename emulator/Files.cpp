#include "emulator/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace Nimbo::Emulator {
namespace {

[[noreturn]] void Fail(const std::string& what, const std::filesystem::path& path) {
    throw std::runtime_error("cannot " + what + " " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

void MakePrivateFolder(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

void WriteFileAtomically(const std::filesystem::path& path, std::string_view text) {
    auto temp = path;
    temp += ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) Fail("create", temp);
    bool ok = ::fchmod(fd, 0600) == 0;
    for (std::size_t done = 0; ok && done < text.size();) {
        auto n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int saved = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return;
    saved = saved ? saved : errno;
    ::unlink(temp.c_str());
    errno = saved;
    Fail("write", path);
}

}  // namespace Nimbo::Emulator
