// The nimbo program against the sync tool rclone on the same work, both against one cloud-emulator
// process: listing a large folder, uploading and downloading a large file, and uploading and
// downloading a folder of many small files several at once. Each figure alternates the two programs
// in pairs of separate processes and gives the per-pair time ratio and both peaks.
//
// rclone reaches the services by their real host names. The program therefore runs in a private
// network and mount namespace of its own (it must be root): only the loopback there, the emulator on
// 127.0.0.1:443, and a private /etc/hosts that maps every host name the emulator serves to it. nimbo
// is pointed at the same address with --connect-to. Both trust the emulator's CA by option.
//
//   peer_bench --emulator PATH --nimbo PATH [--rclone PATH] [--size MIB] [--items N] [--files N]
//              [--file-kib N] [--transfers N] [--pairs N] [--services box,gdrive,dropbox,onedrive]
//              [--only list|file|folder]...
//
// Prints one "@row|..." line per figure (see BenchSupport.h) and its progress on standard error.

#include <curl/curl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "EmulatorProcess.h"
#include "emulator/CloudEmulator.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Bench::TAdmin;
using Bench::TClient;
using Bench::TEmulatorProcess;
using Bench::TPairs;
using Bench::TRunResult;
using Bench::TWorkDir;

namespace {

constexpr double TimeGoal = 1.00;  // our time / rclone's, at most; and our peak at most rclone's

const char* const NimboClient = "nimbo-bench";
const char* const NimboSecret = "nimbo-bench-secret";
const char* const PeerClient = "rclone-bench";
const char* const PeerSecret = "rclone-bench-secret";

struct TOptions {
    std::string Emulator, Nimbo, Rclone;
    std::size_t SizeMiB = 64;
    int Items = 10000;
    int Files = 1000;
    int FileKiB = 16;
    int Transfers = 4;
    int Pairs = 5;
    std::vector<std::string> Services = {"box", "gdrive", "dropbox", "onedrive"};
    std::set<std::string> Parts = {"list", "file", "folder"};
};

// A service as both programs name it.
struct TService {
    std::string Remote;    // nimbo's remote name, also the section of rclone's configuration
    std::string Label;     // in the table
    std::string Emulated;  // the emulator's name of the service
    bool PublicClient;     // nimbo signs in to it without a secret
    std::string RcloneType;
};

const std::vector<TService>& Services() {
    static const std::vector<TService> services = {
        {"box", "Box", "box", false, "box"},
        {"gdrive", "Google Drive v3", "google", false, "drive"},
        {"dropbox", "Dropbox v2", "dropbox", false, "dropbox"},
        {"onedrive", "OneDrive (Graph)", "live", true, "onedrive"},
    };
    return services;
}

const TService& ServiceNamed(const std::string& AName) {
    for (const TService& service : Services())
        if (service.Remote == AName) return service;
    throw std::invalid_argument("unknown service " + AName + " (box, gdrive, dropbox, onedrive)");
}

// ---- the private network ----

void Check(bool AOk, const std::string& AWhat) {
    if (!AOk) throw std::runtime_error(AWhat + ": " + std::strerror(errno));
}

void BringLoopbackUp() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Check(fd >= 0, "socket");
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    ::close(fd);
    Check(ok, "bringing up the loopback of the private network");
}

// Enters a network namespace with only its own loopback and a mount namespace in which AHosts stands
// for /etc/hosts. Must run before any thread starts.
void EnterPrivateNetwork(const fs::path& AHosts) {
    Check(::unshare(CLONE_NEWNS | CLONE_NEWNET) == 0, "a private network and mount namespace (needs root)");
    Check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "making the mounts private");
    BringLoopbackUp();
    Check(::mount(AHosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0, "mapping the host names");
}

std::string HostsFile() {
    std::string text = "127.0.0.1 localhost\n";
    for (const std::string& host : Nimbo::Emulator::CloudEmulator::Hosts())
        if (host != "localhost" && host.find_first_not_of("0123456789.") != std::string::npos)
            text += "127.0.0.1 " + host + "\n";
    return text;
}

// ---- local files ----

// Whether AFolder holds the same files as ASource (names and bytes), and nothing else.
bool SameFolder(const fs::path& AFolder, const fs::path& ASource) {
    if (!fs::is_directory(AFolder)) return false;
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(AFolder)) {
        ++count;
        if (!Bench::SameContent(entry.path(), ASource / entry.path().filename())) return false;
    }
    return count == static_cast<std::size_t>(std::distance(fs::directory_iterator(ASource), fs::directory_iterator()));
}

std::string LineCount(const std::string& AText) { return std::to_string(std::count(AText.begin(), AText.end(), '\n')); }

// An RFC 3339 time ASeconds from now, in UTC.
std::string TimeFromNow(long ASeconds) {
    const std::time_t at = std::time(nullptr) + ASeconds;
    std::tm utc{};
    ::gmtime_r(&at, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// ---- one service ----

class TServiceBench {
public:
    TServiceBench(const TOptions& AOptions, const TService& AService, const TEmulatorProcess& AEmulator,
                  TClient& AClient, const TWorkDir& AWork)
        : FOptions(AOptions),
          FService(AService),
          FEmulator(AEmulator),
          FClient(AClient),
          FAdmin(AClient),
          FWork(AWork),
          FRcloneConfig(AWork / (AService.Remote + "-rclone.conf")) {}

    // Each part that fails is reported as such and the others still run; the number of failed parts.
    int Run() {
        if (!Stage("sign-in", [&] { SignIn(); })) return 1;
        int failures = 0;
        const std::string size = std::to_string(FOptions.SizeMiB) + " MiB";
        const std::string files = std::to_string(FOptions.Files) + " files of " + std::to_string(FOptions.FileKiB) +
                                  " KiB, " + std::to_string(FOptions.Transfers) + " at once";
        if (FOptions.Parts.count("list") &&
            !Stage("list " + std::to_string(FOptions.Items) + " items", [&] { List(); }))
            ++failures;
        if (FOptions.Parts.count("file")) {
            failures += !Stage("upload a file of " + size, [&] { UploadFile(); });
            failures += !Stage("download a file of " + size, [&] { DownloadFile(); });
        }
        if (FOptions.Parts.count("folder")) {
            failures += !Stage("upload a folder of " + files, [&] { UploadFolder(); });
            failures += !Stage("download a folder of " + files, [&] { DownloadFolder(); });
        }
        FAdmin.Post("reset", {{"service", FService.Emulated}});
        FEmulator.Settle();
        return failures;
    }

private:
    std::string Label(const std::string& AWhat) const { return AWhat + ", " + FService.Label; }
    void Progress(const std::string& AText) const { std::cerr << "  " << FService.Label << ": " << AText << std::endl; }

    bool Stage(const std::string& AWhat, const std::function<void()>& APart) {
        try {
            APart();
            return true;
        } catch (const std::exception& e) {
            std::cerr << "FAILED " << Label(AWhat) << ": " << e.what() << std::endl;
            Bench::PrintUnmeasuredRow(Label(AWhat), "FAILED", e.what());
            return false;
        }
    }

    std::string Remote(const std::string& APath) const { return FService.Remote + ":" + APath; }

    std::vector<std::string> Nimbo(std::vector<std::string> AArgs) const {
        AArgs.insert(AArgs.begin(),
                     {FOptions.Nimbo, "--connect-to", "127.0.0.1:443", "--ca-file", FEmulator.CaFile(), "-q"});
        return AArgs;
    }
    std::vector<std::string> Rclone(std::vector<std::string> AArgs) const {
        AArgs.insert(AArgs.begin(),
                     {FOptions.Rclone, "--config", FRcloneConfig.string(), "--ca-cert", FEmulator.CaFile(), "-q"});
        return AArgs;
    }

    // Generous: rclone paces its requests to some services (about ten a second to Drive).
    std::chrono::seconds Timeout() const {
        return std::chrono::seconds(120 + FOptions.SizeMiB / 4 + FOptions.Files / 2);
    }

    // A measured run; the emulator's request log (which keeps bodies) is emptied after it.
    TRunResult Measured(const std::vector<std::string>& AArgs) {
        TRunResult result = Bench::Run(AArgs, {.Timeout = Timeout()});
        FAdmin.ClearRequests();
        return result;
    }
    std::string Output(const std::vector<std::string>& AArgs) {
        std::string output = Bench::Run(AArgs, {.CaptureOutput = true, .Timeout = Timeout()}).Output;
        FAdmin.ClearRequests();
        return output;
    }
    void Unmeasured(const std::vector<std::string>& AArgs) {
        Bench::Run(AArgs, {.Timeout = Timeout()});
        FAdmin.ClearRequests();
    }

    // nimbo signs in through the emulator's consent page as a user would; rclone is given tokens
    // issued to its own client through the emulator's control interface, as its configuration takes them.
    void SignIn() {
        FAdmin.Post("clients", {{"service", FService.Emulated},
                                {"client_id", NimboClient},
                                {"client_secret", FService.PublicClient ? "" : NimboSecret}});
        FAdmin.Post("clients",
                    {{"service", FService.Emulated}, {"client_id", PeerClient}, {"client_secret", PeerSecret}});
        std::vector<std::string> login = {"login", FService.Remote, "--client-id", NimboClient};
        if (!FService.PublicClient) login.insert(login.end(), {"--client-secret", NimboSecret});
        Bench::Run(Nimbo(login), {.Timeout = std::chrono::seconds(60)});

        const Json tokens = FAdmin.Post("tokens", {{"service", FService.Emulated}, {"client_id", PeerClient}});
        const std::string access = tokens.at("access_token"), refresh = tokens.value("refresh_token", "");
        Json token = {{"access_token", access}, {"token_type", "Bearer"}};
        if (!refresh.empty()) {
            // Tokens that expire last an hour; this one is renewed well before that.
            token["refresh_token"] = refresh;
            token["expiry"] = TimeFromNow(50 * 60);
        }
        std::string config = "[" + FService.Remote + "]\ntype = " + FService.RcloneType +
                             "\nclient_id = " + PeerClient + "\nclient_secret = " + PeerSecret +
                             "\ntoken = " + token.dump() + "\n";
        if (FService.RcloneType == "drive") config += "scope = drive\n";
        if (FService.RcloneType == "onedrive") {
            const Json drive = Json::parse(FClient.Call("GET", "https://graph.microsoft.com/v1.0/me/drive", {},
                                                        {"Authorization: Bearer " + access}));
            config += "drive_id = " + drive.at("id").get<std::string>() +
                      "\ndrive_type = " + drive.value("driveType", "personal") + "\n";
        }
        Bench::WriteFileText(FRcloneConfig, config);
        FAdmin.ClearRequests();
    }

    // Our time relative to rclone's over the pairs, with both peaks.
    void Row(const std::string& AWhat, const TPairs& APairs, const std::string& ANote) {
        const Bench::TSpread ratio = Bench::TimeRatio(APairs);
        const long ours = Bench::MaxPeak(APairs.Ours), theirs = Bench::MaxPeak(APairs.Base);
        const bool fast = ratio.Median <= TimeGoal, small = ours <= theirs;
        Bench::PrintRow({.Benchmark = Label(AWhat),
                         .Ratio = "time nimbo/rclone",
                         .Spread = ratio,
                         .Pairs = FOptions.Pairs,
                         .Goal = "<= " + Bench::Fixed(TimeGoal) + ", peak <= rclone's",
                         .Verdict = fast && small
                                        ? "met"
                                        : std::string("MISSED:") + (fast ? "" : " time") + (small ? "" : " memory"),
                         .OursPeak = Bench::MiB(ours),
                         .BasePeak = Bench::MiB(theirs),
                         .Note = "median nimbo " + Bench::Fixed(Bench::MedianSeconds(APairs.Ours), 3) + " s, rclone " +
                                 Bench::Fixed(Bench::MedianSeconds(APairs.Base), 3) + " s; " + ANote});
    }

    // Runs ARun for each side in alternating pairs; ACheck (unmeasured) sees what each run left.
    TPairs Pairs(const std::function<TRunResult(bool AOurs, int APair)>& ARun) {
        return Bench::RunPairs(
            FOptions.Pairs, [&](int APair) { return ARun(true, APair); },
            [&](int APair) { return ARun(false, APair); });
    }

    void List() {
        Progress("seeding a folder of " + std::to_string(FOptions.Items) + " items");
        FAdmin.Post("folders", {{"service", FService.Emulated}, {"path", "List"}});
        char name[64];
        for (int i = 0; i < FOptions.Items; ++i) {
            std::snprintf(name, sizeof name, "List/item-%05d.txt", i);
            FAdmin.Post("files",
                        {{"service", FService.Emulated}, {"path", name}, {"content", "item " + std::to_string(i)}});
        }
        FEmulator.Settle();
        const std::string items = std::to_string(FOptions.Items);
        for (auto [side, args] :
             {std::pair{"nimbo", Nimbo({"ls", Remote("List")})}, std::pair{"rclone", Rclone({"lsf", Remote("List")})}})
            if (const std::string count = LineCount(Output(args)); count != items)
                throw std::runtime_error(std::string(side) + " listed " + count + " items, not " + items);

        Progress("listing " + items + " items, " + std::to_string(FOptions.Pairs) + " pairs");
        const TPairs pairs = Pairs([&](bool AOurs, int) {
            return Measured(AOurs ? Nimbo({"ls", Remote("List")}) : Rclone({"lsf", Remote("List")}));
        });
        Row("list " + items + " items", pairs, "nimbo ls, rclone lsf; names to /dev/null");
    }

    fs::path BigSource() {
        const fs::path source = FWork / "big.bin";
        if (!fs::exists(source)) Bench::WriteRandomFile(source, std::uint64_t(FOptions.SizeMiB) << 20, 1);
        return source;
    }

    // The size the remote file has, as nimbo lists it.
    std::uint64_t RemoteSize(const std::string& APath) {
        const Json item = Json::parse(Output(Nimbo({"ls", "--json", Remote(APath)})));
        return item.at("size").get<std::uint64_t>();
    }

    void UploadFile() {
        const fs::path source = BigSource();
        const std::string size = std::to_string(FOptions.SizeMiB) + " MiB";
        Progress("upload of a file of " + size + ", " + std::to_string(FOptions.Pairs) + " pairs");
        // Each run makes a new file, removed after it (unmeasured) so that the emulator holds one at a time.
        const TPairs pairs = Pairs([&](bool AOurs, int APair) {
            const std::string name = (AOurs ? "up-nimbo-" : "up-rclone-") + std::to_string(APair) + ".bin";
            FEmulator.Settle();
            const TRunResult result = Measured(AOurs ? Nimbo({"put", source.string(), Remote(name)})
                                                     : Rclone({"copyto", source.string(), Remote(name)}));
            if (const std::uint64_t stored = RemoteSize(name); stored != fs::file_size(source))
                throw std::runtime_error(name + " holds " + std::to_string(stored) + " bytes after the upload");
            Unmeasured(Nimbo({"rm", Remote(name)}));
            return result;
        });
        Row("upload a file of " + size, pairs, "nimbo put, rclone copyto; a new file each run");
    }

    void DownloadFile() {
        const fs::path source = BigSource();
        const std::string size = std::to_string(FOptions.SizeMiB) + " MiB";
        Unmeasured(Nimbo({"put", source.string(), Remote("big.bin")}));
        Progress("download of a file of " + size + ", " + std::to_string(FOptions.Pairs) + " pairs");
        const fs::path target = FWork / "download.bin";
        const TPairs pairs = Pairs([&](bool AOurs, int APair) {
            fs::remove(target);
            FEmulator.Settle();
            const TRunResult result = Measured(AOurs ? Nimbo({"get", Remote("big.bin"), target.string()})
                                                     : Rclone({"copyto", Remote("big.bin"), target.string()}));
            if (APair == 0 ? !Bench::SameContent(target, source) : fs::file_size(target) != fs::file_size(source))
                throw std::runtime_error(std::string(AOurs ? "nimbo" : "rclone") + "'s download differs from the file");
            fs::remove(target);
            return result;
        });
        Row("download a file of " + size, pairs,
            "nimbo get (synced before it takes the name), rclone copyto; a new local file each run");
    }

    fs::path SmallSource() {
        const fs::path folder = FWork / "small";
        if (fs::exists(folder)) return folder;
        fs::create_directory(folder);
        char name[32];
        for (int i = 0; i < FOptions.Files; ++i) {
            std::snprintf(name, sizeof name, "file-%04d.bin", i);
            Bench::WriteRandomFile(folder / name, std::uint64_t(FOptions.FileKiB) << 10, 100 + std::uint64_t(i));
        }
        return folder;
    }

    std::string FolderLabel(const std::string& AWhat) const {
        return AWhat + " a folder of " + std::to_string(FOptions.Files) + " files of " +
               std::to_string(FOptions.FileKiB) + " KiB, " + std::to_string(FOptions.Transfers) + " at once";
    }

    void UploadFolder() {
        const fs::path source = SmallSource();
        const std::string transfers = std::to_string(FOptions.Transfers);
        Progress(FolderLabel("upload of") + ", " + std::to_string(FOptions.Pairs) + " pairs");
        const TPairs pairs = Pairs([&](bool AOurs, int APair) {
            const std::string name = (AOurs ? "up-nimbo-" : "up-rclone-") + std::to_string(APair);
            FEmulator.Settle();
            const TRunResult result =
                Measured(AOurs ? Nimbo({"put", "-r", "--transfers", transfers, source.string(), Remote(name)})
                               : Rclone({"copy", "--transfers", transfers, source.string(), Remote(name)}));
            if (const std::string count = LineCount(Output(Nimbo({"ls", Remote(name)})));
                count != std::to_string(FOptions.Files))
                throw std::runtime_error(name + " holds " + count + " items after the upload");
            Unmeasured(Nimbo({"rm", "-r", Remote(name)}));
            return result;
        });
        Row(FolderLabel("upload"), pairs,
            "nimbo put -r, rclone copy; --transfers " + transfers + "; a new folder each run");
    }

    void DownloadFolder() {
        const fs::path source = SmallSource();
        const std::string transfers = std::to_string(FOptions.Transfers);
        Unmeasured(Nimbo({"put", "-r", "--transfers", transfers, source.string(), Remote("Small")}));
        Progress(FolderLabel("download of") + ", " + std::to_string(FOptions.Pairs) + " pairs");
        const fs::path target = FWork / "small-download";
        const TPairs pairs = Pairs([&](bool AOurs, int) {
            fs::remove_all(target);
            FEmulator.Settle();
            const TRunResult result =
                Measured(AOurs ? Nimbo({"get", "-r", "--transfers", transfers, Remote("Small"), target.string()})
                               : Rclone({"copy", "--transfers", transfers, Remote("Small"), target.string()}));
            if (!SameFolder(target, source))
                throw std::runtime_error(std::string(AOurs ? "nimbo" : "rclone") +
                                         "'s download differs from the folder");
            fs::remove_all(target);
            return result;
        });
        Row(FolderLabel("download"), pairs,
            "nimbo get -r, rclone copy; --transfers " + transfers + "; a new local folder each run");
    }

    const TOptions& FOptions;
    const TService& FService;
    const TEmulatorProcess& FEmulator;
    TClient& FClient;
    TAdmin FAdmin;
    const TWorkDir& FWork;
    const fs::path FRcloneConfig;
};

// ---- options ----

const Bench::TCommandLine CommandLine{
    "peer_bench",
    "usage: peer_bench --emulator PATH --nimbo PATH [--rclone PATH] [--size MIB] [--items N]\n"
    "                  [--files N] [--file-kib N] [--transfers N] [--pairs N]\n"
    "                  [--services box,gdrive,dropbox,onedrive] [--only list|file|folder]...\n"};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    std::set<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) CommandLine.Fail(name + " needs a value");
        const std::string value = argv[++i];
        if (name == "--emulator")
            options.Emulator = value;
        else if (name == "--nimbo")
            options.Nimbo = value;
        else if (name == "--rclone")
            options.Rclone = value;
        else if (name == "--size")
            options.SizeMiB = static_cast<std::size_t>(CommandLine.Number(name, value, 1, 64 * 1024));
        else if (name == "--items")
            options.Items = static_cast<int>(CommandLine.Number(name, value, 1, 100000));
        else if (name == "--files")
            options.Files = static_cast<int>(CommandLine.Number(name, value, 1, 10000));
        else if (name == "--file-kib")
            options.FileKiB = static_cast<int>(CommandLine.Number(name, value, 1, 64 * 1024));
        else if (name == "--transfers")
            options.Transfers = static_cast<int>(CommandLine.Number(name, value, 1, 64));
        else if (name == "--pairs")
            options.Pairs = static_cast<int>(CommandLine.Number(name, value, 1, 100));
        else if (name == "--services") {
            options.Services.clear();
            std::stringstream list(value);
            for (std::string service; std::getline(list, service, ',');) try {
                    options.Services.push_back(ServiceNamed(service).Remote);
                } catch (const std::invalid_argument& e) {
                    CommandLine.Fail(e.what());
                }
        } else if (name == "--only") {
            if (value != "list" && value != "file" && value != "folder")
                CommandLine.Fail("--only takes list, file or folder");
            only.insert(value);
        } else
            CommandLine.Fail("unknown option " + name);
    }
    if (!only.empty()) options.Parts = only;
    if (options.Emulator.empty() || options.Nimbo.empty()) CommandLine.Fail("--emulator and --nimbo are needed");
    if (options.Rclone.empty()) options.Rclone = Bench::FindProgram("rclone");
    if (options.Rclone.empty()) CommandLine.Fail("the rclone program is not in PATH (scripts/setup installs it)");
    if (::geteuid() != 0) CommandLine.Fail("must run as root, for its private network and host names");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const TOptions options = ParseOptions(argc, argv);
    int failures = 0;
    try {
        TWorkDir work;
        Bench::WriteFileText(work / "hosts", HostsFile());
        EnterPrivateNetwork(work / "hosts");
        // nimbo keeps its sign-ins in a configuration folder of this run's own.
        ::setenv("XDG_CONFIG_HOME", (work / "config").c_str(), 1);
        curl_global_init(CURL_GLOBAL_DEFAULT);
        {
            const std::uint64_t largest =
                std::max<std::uint64_t>(160u << 20, (std::uint64_t(options.SizeMiB) << 20) + (1 << 20));
            TEmulatorProcess emulator(options.Emulator, work, largest, 443);
            std::vector<std::string> connectTo;
            for (const std::string& host : Nimbo::Emulator::CloudEmulator::Hosts())
                connectTo.push_back(host + ":443:127.0.0.1:443");
            TClient client(emulator.CaFile(), connectTo);
            for (const std::string& name : options.Services)
                failures += TServiceBench(options, ServiceNamed(name), emulator, client, work).Run();
        }
        curl_global_cleanup();
    } catch (const std::exception& e) {
        std::cerr << "peer_bench: " << e.what() << std::endl;
        return 1;
    }
    return failures ? 1 : 0;
}
