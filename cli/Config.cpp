#include "Config.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "Nimbo/Connection/LocalFile.h"
#include "Remote.h"

namespace Nimbo::Cli {

namespace fs = std::filesystem;

namespace {

fs::path DefaultConfigPath() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    if (configHome != nullptr && fs::path(configHome).is_absolute()) return fs::path(configHome) / "nimbo";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') throw std::runtime_error("neither XDG_CONFIG_HOME nor HOME is set");
    return fs::path(home) / ".config" / "nimbo";
}

}  // namespace

TConfigFolder::TConfigFolder() : FPath(DefaultConfigPath()) {}

std::optional<std::string> TConfigFolder::Read(const std::string& AName) const {
    std::ifstream stream(FPath / AName, std::ios::binary);
    if (!stream) return std::nullopt;
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

void TConfigFolder::Write(const std::string& AName, const std::string& ABytes) const {
    if (!fs::exists(FPath)) {
        fs::create_directories(FPath);
        fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::replace);
    }
    Connection::ReplaceLocalFile(
        (FPath / AName).string(),
        [&](std::ostream& AStream) { AStream.write(ABytes.data(), std::streamsize(ABytes.size())); },
        Connection::TFileAccess::OwnerOnly);
}

bool TConfigFolder::Remove(const std::string& AName) const { return fs::remove(FPath / AName); }

std::string TClientConfig::Text() const { return "client_id=" + ClientId + "\nclient_secret=" + Secret + "\n"; }

TClientConfig TClientConfig::Parse(const std::string& AText, const std::string& AOrigin) {
    TClientConfig config;
    std::istringstream lines(AText);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        if (equals != std::string::npos && key == "client_id")
            config.ClientId = value;
        else if (equals != std::string::npos && key == "client_secret")
            config.Secret = value;
        else
            throw EUsageError(AOrigin + ": unexpected line \"" + line + "\"");
    }
    return config;
}

}  // namespace Nimbo::Cli
