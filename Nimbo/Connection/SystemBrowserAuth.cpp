#include "Nimbo/Connection/SystemBrowserAuth.h"

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include "Nimbo/Connection/LoopbackSignIn.h"
#include "Nimbo/Connection/platform/Exceptions.h"

extern char** environ;

namespace Nimbo::Connection {

namespace {

struct TBrowserConfig {
    std::mutex Lock;
    std::vector<std::string> Command{"xdg-open"};
};

TBrowserConfig& Config() {
    static auto* config = new TBrowserConfig();
    return *config;
}

std::atomic<unsigned> CancelGeneration{0};

std::string Describe(const std::vector<std::string>& ACommand) {
    std::string text;
    for (const std::string& part : ACommand) text += (text.empty() ? "" : " ") + part;
    return text;
}

// The command that opens the browser, started at once and always reaped: by the window while it
// waits, else by a thread of its own once the browser outlives the sign-in.
class TOpener {
public:
    TOpener(const std::vector<std::string>& ACommand, const std::string& AUrl) : FDescription(Describe(ACommand)) {
        if (ACommand.empty()) throw ERestError("No command is set to open the browser with");
        std::vector<std::string> args = ACommand;
        args.push_back(AUrl);
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int error = posix_spawnp(&FPid, argv[0], nullptr, nullptr, argv.data(), environ);
        if (error != 0)
            throw ERestError("The browser could not be opened with \"" + FDescription + "\": " + std::strerror(error));
    }
    ~TOpener() {
        if (FPid > 0 && ::waitpid(FPid, nullptr, WNOHANG) == 0)
            std::thread([pid = FPid] { ::waitpid(pid, nullptr, 0); }).detach();
    }
    TOpener(const TOpener&) = delete;
    TOpener& operator=(const TOpener&) = delete;

    // ERestError once the command has ended with a failure.
    void CheckNotFailed() {
        if (FPid <= 0) return;
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) != FPid) return;
        FPid = -1;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
        throw ERestError("The browser could not be opened: \"" + FDescription + "\" " +
                         (WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                            : std::string("was stopped by a signal")));
    }

private:
    std::string FDescription;
    pid_t FPid = -1;
};

}  // namespace

std::vector<std::string> TNimboSystemBrowserAuth::Command() {
    std::lock_guard lock(Config().Lock);
    return Config().Command;
}

void TNimboSystemBrowserAuth::SetCommand(std::vector<std::string> ACommand) {
    std::lock_guard lock(Config().Lock);
    Config().Command = std::move(ACommand);
}

void TNimboSystemBrowserAuth::CancelPending() { ++CancelGeneration; }

void TNimboSystemBrowserAuth::ShowModal(TAuthEvents /*ARequired*/, const std::string& AUrl) {
    FClosed = false;
    if (!TLoopbackSignIn::IsRunningFor(AUrl))
        throw ERestError("The system browser can sign in only through a loopback address of this program");
    const unsigned generation = CancelGeneration;
    TOpener opener(Command(), AUrl);
    const std::optional<std::string> request = TLoopbackSignIn::AwaitRedirect(AUrl, [&] {
        opener.CheckNotFailed();
        return !FClosed && CancelGeneration == generation;
    });
    if (request)
        DoEvent(aeNavigateComplete, *request);
    else
        DoEvent(aeCanceled, "");
}

}  // namespace Nimbo::Connection
