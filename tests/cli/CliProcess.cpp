#include "CliProcess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace CliTest {

namespace fs = std::filesystem;

THome::THome() {
    std::string pattern = (fs::temp_directory_path() / "nimbo-cli-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    FRoot = pattern;
    fs::create_directories(Work());
}

THome::~THome() {
    std::error_code ignored;
    fs::remove_all(FRoot, ignored);
}

fs::path THome::SandboxDir() const { return FRoot / "data" / "Velmor Labs/Nimbokit 2017/Cumulo/Cloudpane Sandbox"; }

TRunning THome::Start(const std::vector<std::string>& AArguments) const {
    const int number = ++FStarted;
    TRunning running{.Out = FRoot / ("stdout." + std::to_string(number)),
                     .Err = FRoot / ("stderr." + std::to_string(number))};
    const std::string out = running.Out.string();
    const std::string err = running.Err.string();
    const std::string work = Work().string();

    // Everything the child needs is made before the fork: the test process runs threads.
    std::vector<std::string> environment = {"HOME=" + FRoot.string(), "XDG_CONFIG_HOME=" + (FRoot / "config").string(),
                                            "XDG_DATA_HOME=" + (FRoot / "data").string()};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string_view text(*variable);
        if (!text.starts_with("HOME=") && !text.starts_with("XDG_CONFIG_HOME=") && !text.starts_with("XDG_DATA_HOME="))
            environment.emplace_back(text);
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = AArguments;
    std::string program = NIMBO_PROGRAM;
    std::vector<char*> argv = {program.data()};
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child > 0) {
        running.Process = child;
        return running;
    }
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int nullFd = ::open("/dev/null", O_RDONLY);
    if (outFd < 0 || errFd < 0 || nullFd < 0 || ::chdir(work.c_str()) != 0) ::_exit(127);
    ::dup2(nullFd, 0);
    ::dup2(outFd, 1);
    ::dup2(errFd, 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

TResult THome::Wait(const TRunning& ARunning) const {
    int status = 0;
    while (::waitpid(ARunning.Process, &status, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    TResult result;
    result.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.Out = ReadFile(ARunning.Out);
    result.Err = ReadFile(ARunning.Err);
    return result;
}

TResult THome::Run(const std::vector<std::string>& AArguments) const { return Wait(Start(AArguments)); }

void WriteFile(const fs::path& APath, const std::string& ABytes) {
    fs::create_directories(APath.parent_path());
    std::ofstream stream(APath, std::ios::binary | std::ios::trunc);
    stream.write(ABytes.data(), std::streamsize(ABytes.size()));
    if (!stream) throw std::runtime_error("cannot write " + APath.string());
}

std::string ReadFile(const fs::path& APath) {
    std::ifstream stream(APath, std::ios::binary);
    std::ostringstream bytes;
    bytes << stream.rdbuf();
    return bytes.str();
}

}  // namespace CliTest
