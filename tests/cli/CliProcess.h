#pragma once

// Runs the built nimbo program as a child process in a home of its own: a temporary folder holding
// HOME, XDG_CONFIG_HOME and XDG_DATA_HOME, removed afterwards.

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace CliTest {

// A program started and not yet collected.
struct TRunning {
    pid_t Process = -1;
    std::filesystem::path Out, Err;  // where its output goes
};

struct TResult {
    int Exit = -1;  // the exit status; 128 + N when signal N ended the program
    std::string Out;
    std::string Err;
};

class THome {
public:
    THome();
    ~THome();

    THome(const THome&) = delete;
    THome& operator=(const THome&) = delete;

    const std::filesystem::path& Root() const { return FRoot; }
    std::filesystem::path ConfigDir() const { return FRoot / "config" / "nimbo"; }
    // Where the sandbox keeps the emulator's state.
    std::filesystem::path SandboxDir() const;
    // A folder for the test's local files (the program's working folder).
    std::filesystem::path Work() const { return FRoot / "work"; }

    // Runs nimbo with AArguments to its end.
    TResult Run(const std::vector<std::string>& AArguments) const;
    // Starts nimbo with AArguments; Wait collects it.
    TRunning Start(const std::vector<std::string>& AArguments) const;
    TResult Wait(const TRunning& ARunning) const;

private:
    std::filesystem::path FRoot;
    mutable int FStarted = 0;
};

// Writes a local file with these bytes, making its folders.
void WriteFile(const std::filesystem::path& APath, const std::string& ABytes);
std::string ReadFile(const std::filesystem::path& APath);

}  // namespace CliTest
