#include "EmulatorProcess.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace {

// Reads the child's output up to the line that names its port; the child's first lines are known.
std::uint16_t ReadPort(int AFd) {
    const std::string marker = "listening on 127.0.0.1:";
    std::string output;
    std::array<char, 256> buffer{};
    for (;;) {
        pollfd ready{.fd = AFd, .events = POLLIN, .revents = 0};
        if (poll(&ready, 1, 30000) <= 0) throw std::runtime_error("cloud-emulator did not start within 30 s");
        const ssize_t got = read(AFd, buffer.data(), buffer.size());
        if (got <= 0) throw std::runtime_error("cloud-emulator stopped before listening: " + output);
        output.append(buffer.data(), static_cast<std::size_t>(got));
        const std::size_t at = output.find(marker);
        if (at != std::string::npos && output.find('\n', at) != std::string::npos)
            return static_cast<std::uint16_t>(std::stoi(output.substr(at + marker.size())));
    }
}

}  // namespace

TEmulatorProcess::TEmulatorProcess(const std::string& AProgram) {
    std::string folder = (std::filesystem::temp_directory_path() / "list-box-root.XXXXXX").string();
    if (!mkdtemp(folder.data())) throw std::runtime_error("cannot make a temporary folder");
    FFolder = folder;
    FCaFile = FFolder + "/ca.pem";

    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::vector<std::string> args{AProgram, "--auto-approve", "--ca-file", FCaFile};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawnp(&FPid, AProgram.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FOutput = out[0];  // kept open while the emulator runs: it must not write into a closed pipe
    try {
        if (spawned != 0) throw std::runtime_error("cannot start " + AProgram);
        FPort = ReadPort(FOutput);
    } catch (...) {
        Stop();
        throw;
    }
}

TEmulatorProcess::~TEmulatorProcess() { Stop(); }

void TEmulatorProcess::Stop() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
        FPid = -1;
    }
    if (FOutput >= 0) close(FOutput);
    FOutput = -1;
    std::error_code ignored;
    std::filesystem::remove_all(FFolder, ignored);
}
