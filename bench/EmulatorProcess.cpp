#include "EmulatorProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "BenchSupport.h"

extern char** environ;

namespace Bench {

namespace fs = std::filesystem;
using Json = nlohmann::json;

TWorkDir::TWorkDir() {
    std::string pattern = (fs::temp_directory_path() / "nimbo-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
    FPath = pattern;
}

TWorkDir::~TWorkDir() {
    std::error_code ignored;
    fs::remove_all(FPath, ignored);
}

TEmulatorProcess::TEmulatorProcess(const std::string& AProgram, const TWorkDir& AWork, std::uint64_t AMaxBody,
                                   int APort)
    : FLog(AWork / "emulator.log"), FCaFile(AWork / "ca.pem"), FData(AWork / "emulator-data") {
    const std::string data = FData.string(), log = FLog.string(), ca = FCaFile.string(),
                      maxBody = std::to_string(AMaxBody), port = std::to_string(APort);
    std::vector<const char*> argv = {AProgram.c_str(), "--data",     data.c_str(), "--auto-approve",
                                     "--ca-file",      ca.c_str(),   "--max-body", maxBody.c_str(),
                                     "--port",         port.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int failed =
        posix_spawn(&FPid, AProgram.c_str(), &actions, nullptr, const_cast<char**>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) throw std::runtime_error("cannot start " + AProgram + ": " + std::strerror(failed));
    try {
        WaitForPort();
    } catch (...) {
        Stop();
        throw;
    }
}

TEmulatorProcess::~TEmulatorProcess() { Stop(); }

void TEmulatorProcess::Settle() const {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    std::this_thread::sleep_for(milliseconds(1500));
    int quiet = 0;
    for (long cpu = CpuTicks(); quiet < 2 && steady_clock::now() - start < seconds(600);) {
        std::this_thread::sleep_for(milliseconds(300));
        const long now = CpuTicks();
        quiet = now == cpu ? quiet + 1 : 0;
        cpu = now;
    }
}

// The user and system time the emulator has used so far, in clock ticks.
long TEmulatorProcess::CpuTicks() const {
    const std::string text = ReadFileText("/proc/" + std::to_string(FPid) + "/stat");
    std::istringstream fields(text.substr(text.rfind(')') + 2));  // the fields after the command name
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stol(field);  // utime, stime
    return ticks;
}

void TEmulatorProcess::WaitForPort() {
    const std::string marker = "listening on 127.0.0.1:";
    for (int i = 0; i < 300; ++i) {
        const std::string log = ReadFileText(FLog);
        if (const auto at = log.find(marker); at != std::string::npos && log.find('\n', at) != std::string::npos) {
            FPort = std::stoi(log.substr(at + marker.size()));
            return;
        }
        if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
            FPid = 0;
            throw std::runtime_error("the emulator stopped at start:\n" + log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the emulator named no port within 30 s:\n" + ReadFileText(FLog));
}

// Asks it to stop (it saves its state first), then makes it.
void TEmulatorProcess::Stop() {
    if (FPid <= 0) return;
    ::kill(FPid, SIGTERM);
    for (int i = 0; i < 600; ++i) {
        if (::waitpid(FPid, nullptr, WNOHANG) == FPid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
}

namespace {

size_t KeepBody(char* AData, size_t ASize, size_t ACount, void* AAnswer) {
    static_cast<std::string*>(AAnswer)->append(AData, ASize * ACount);
    return ASize * ACount;
}

}  // namespace

TClient::TClient(const std::string& ACaFile, const std::vector<std::string>& AConnectTo) : FHandle(curl_easy_init()) {
    if (!FHandle) throw std::runtime_error("cannot make a curl handle");
    for (const std::string& mapping : AConnectTo) FConnectTo = curl_slist_append(FConnectTo, mapping.c_str());
    curl_easy_setopt(FHandle, CURLOPT_CAINFO, ACaFile.c_str());
    curl_easy_setopt(FHandle, CURLOPT_CONNECT_TO, FConnectTo);
    curl_easy_setopt(FHandle, CURLOPT_TIMEOUT, 120L);
    // The emulator closes a connection idle for some seconds; one idle for less is safe to reuse.
    curl_easy_setopt(FHandle, CURLOPT_MAXAGE_CONN, 2L);
    curl_easy_setopt(FHandle, CURLOPT_WRITEFUNCTION, &KeepBody);
}

TClient::~TClient() {
    curl_easy_cleanup(FHandle);
    curl_slist_free_all(FConnectTo);
}

std::string TClient::Call(const std::string& AMethod, const std::string& AUrl, const std::string& ABody,
                          const std::vector<std::string>& AHeaders) {
    std::string answer;
    curl_slist* headers = nullptr;
    for (const std::string& header : AHeaders) headers = curl_slist_append(headers, header.c_str());
    curl_easy_setopt(FHandle, CURLOPT_URL, AUrl.c_str());
    curl_easy_setopt(FHandle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(FHandle, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(FHandle, CURLOPT_CUSTOMREQUEST, AMethod.c_str());
    if (AMethod == "POST") {
        curl_easy_setopt(FHandle, CURLOPT_POSTFIELDSIZE, static_cast<long>(ABody.size()));
        curl_easy_setopt(FHandle, CURLOPT_COPYPOSTFIELDS, ABody.c_str());
    }
    curl_easy_setopt(FHandle, CURLOPT_WRITEDATA, &answer);
    const CURLcode rc = curl_easy_perform(FHandle);
    curl_easy_setopt(FHandle, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    long status = 0;
    curl_easy_getinfo(FHandle, CURLINFO_RESPONSE_CODE, &status);
    if (rc != CURLE_OK) throw std::runtime_error(AMethod + " " + AUrl + ": " + curl_easy_strerror(rc));
    if (status < 200 || status > 299)
        throw std::runtime_error(AMethod + " " + AUrl + ": status " + std::to_string(status) + ": " +
                                 answer.substr(0, 500));
    return answer;
}

std::string TClient::Escape(const std::string& AText) {
    char* escaped = curl_easy_escape(FHandle, AText.c_str(), static_cast<int>(AText.size()));
    std::string result = escaped ? escaped : "";
    curl_free(escaped);
    return result;
}

Json TAdmin::Post(const std::string& ACall, const std::vector<std::pair<std::string, std::string>>& AFields) {
    std::string form;
    for (const auto& [name, value] : AFields) form += (form.empty() ? "" : "&") + name + "=" + FClient.Escape(value);
    return Json::parse(FClient.Call("POST", Url(ACall), form, {"Content-Type: application/x-www-form-urlencoded"}));
}

Json TAdmin::Requests() { return Json::parse(FClient.Call("GET", Url("requests"))); }

void TAdmin::ClearRequests() { FClient.Call("DELETE", Url("requests")); }

}  // namespace Bench
