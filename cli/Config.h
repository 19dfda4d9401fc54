#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace Nimbo::Cli {

// The program's folder in the user's configuration folder: $XDG_CONFIG_HOME/nimbo, else
// ~/.config/nimbo. It holds sign-in secrets, so it and every file in it are the owner's only.
class TConfigFolder {
public:
    TConfigFolder();
    explicit TConfigFolder(std::filesystem::path APath) : FPath(std::move(APath)) {}

    const std::filesystem::path& Path() const { return FPath; }

    // The file's bytes; nothing when there is no such file.
    std::optional<std::string> Read(const std::string& AName) const;
    // Replaces the file atomically (a new file renamed over the old one), mode 0600, making the
    // folder (mode 0700) when needed.
    void Write(const std::string& AName, const std::string& ABytes) const;
    // Whether there was a file to remove.
    bool Remove(const std::string& AName) const;

private:
    std::filesystem::path FPath;
};

// The client a remote signs in with, as `login` stored it: "client_id=..." and "client_secret=..."
// lines.
struct TClientConfig {
    std::string ClientId;
    std::string Secret;

    std::string Text() const;
    // EUsageError naming AOrigin for a line that is neither.
    static TClientConfig Parse(const std::string& AText, const std::string& AOrigin);
};

}  // namespace Nimbo::Cli
