#include "BenchSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace Bench {

namespace {

// A file descriptor closed when it goes out of scope.
class TFd {
public:
    explicit TFd(int AFd = -1) : FFd(AFd) {}
    ~TFd() { Close(); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }
    void Close() { Reset(-1); }
    void Reset(int AFd) {
        if (FFd >= 0) ::close(FFd);
        FFd = AFd;
    }

private:
    int FFd;
};

struct TPipe {
    TFd Read, Write;
};

void OpenPipe(TPipe& APipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    APipe.Read.Reset(fds[0]);
    APipe.Write.Reset(fds[1]);
}

class TFileActions {
public:
    TFileActions() { posix_spawn_file_actions_init(&FActions); }
    ~TFileActions() { posix_spawn_file_actions_destroy(&FActions); }
    TFileActions(const TFileActions&) = delete;
    TFileActions& operator=(const TFileActions&) = delete;
    posix_spawn_file_actions_t* Get() { return &FActions; }

private:
    posix_spawn_file_actions_t FActions;
};

std::string CommandText(const std::vector<std::string>& AArgv) {
    std::string text;
    for (const std::string& arg : AArgv) {
        if (!text.empty()) text += ' ';
        text += arg.size() > 80 ? arg.substr(0, 77) + "..." : arg;
        if (text.size() > 400) return text + " ...";
    }
    return text;
}

// Appends what is waiting on AFd to AText (at most ALimit bytes kept); false at the end of the stream.
bool Drain(int AFd, std::string& AText, std::size_t ALimit) {
    char buffer[65536];
    const ssize_t n = ::read(AFd, buffer, sizeof buffer);
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return false;
    AText.append(buffer, static_cast<std::size_t>(std::min<std::size_t>(static_cast<std::size_t>(n),
                                                                        ALimit - std::min(ALimit, AText.size()))));
    return true;
}

}  // namespace

TRunResult Run(const std::vector<std::string>& AArgv, const TRunOptions& AOptions) {
    if (AArgv.empty()) throw std::invalid_argument("Run: no command");
    // The launcher next to this program measures the child; see bench_launch.cpp for why.
    static const std::string launcher =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "bench_launch").string();
    std::vector<std::string> command = {launcher, std::to_string(AOptions.Timeout.count())};
    command.insert(command.end(), AArgv.begin(), AArgv.end());
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    TPipe out, err, report;
    if (AOptions.CaptureOutput) OpenPipe(out);
    OpenPipe(err);
    OpenPipe(report);
    TFileActions actions;
    posix_spawn_file_actions_addopen(actions.Get(), 0, "/dev/null", O_RDONLY, 0);
    if (AOptions.CaptureOutput)
        posix_spawn_file_actions_adddup2(actions.Get(), out.Write.Get(), 1);
    else
        posix_spawn_file_actions_addopen(actions.Get(), 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(actions.Get(), err.Write.Get(), 2);
    posix_spawn_file_actions_adddup2(actions.Get(), report.Write.Get(), 3);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], actions.Get(), nullptr, argv.data(), environ);
    if (spawned != 0) throw std::runtime_error("cannot start " + launcher + ": " + std::strerror(spawned));
    out.Write.Close();
    err.Write.Close();
    report.Write.Close();

    // Reads the pipes until they close; the launcher enforces the time-out, this is only a backstop.
    const auto deadline = std::chrono::steady_clock::now() + AOptions.Timeout + std::chrono::seconds(30);
    std::string output, errors, measured;
    constexpr std::size_t OutputLimit = 64 << 20, ErrorLimit = 64 << 10;
    struct TStream {
        int Fd;
        std::string* Text;
        std::size_t Limit;
        bool Open;
    };
    TStream streams[] = {{out.Read.Get(), &output, OutputLimit, AOptions.CaptureOutput},
                         {err.Read.Get(), &errors, ErrorLimit, true},
                         {report.Read.Get(), &measured, 4096, true}};
    auto anyOpen = [&] {
        return std::any_of(std::begin(streams), std::end(streams), [](const TStream& s) { return s.Open; });
    };
    while (anyOpen()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        TStream* polled[3];
        nfds_t count = 0;
        for (TStream& stream : streams)
            if (stream.Open) {
                polled[count] = &stream;
                fds[count++] = {stream.Fd, POLLIN, 0};
            }
        if (::poll(fds, count, static_cast<int>(std::min<long long>(left, 1000))) <= 0) continue;
        for (nfds_t i = 0; i < count; ++i)
            if (fds[i].revents != 0 && !Drain(fds[i].fd, *polled[i]->Text, polled[i]->Limit)) polled[i]->Open = false;
    }
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}

    auto failure = [&](const std::string& AWhat) {
        std::string tail = errors.size() > 2000 ? "..." + errors.substr(errors.size() - 2000) : errors;
        return std::runtime_error(CommandText(AArgv) + ": " + AWhat + (tail.empty() ? "" : "\n" + tail));
    };
    TRunResult result;
    int status = 0, timedOut = 0;
    if (std::sscanf(measured.c_str(), "%lf %ld %d %d", &result.Seconds, &result.PeakRssKiB, &status, &timedOut) != 4)
        throw failure("the launcher reported no measurement");
    result.Output = std::move(output);
    if (timedOut) throw failure("no end after " + std::to_string(AOptions.Timeout.count()) + " s; killed");
    if (WIFSIGNALED(status)) throw failure(std::string("killed by signal ") + strsignal(WTERMSIG(status)));
    if (WEXITSTATUS(status) != 0) throw failure("exit status " + std::to_string(WEXITSTATUS(status)));
    return result;
}

std::string FindProgram(const std::string& AName) {
    const char* path = std::getenv("PATH");
    if (!path) return {};
    std::string dirs = path;
    for (std::size_t start = 0; start <= dirs.size();) {
        const std::size_t colon = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate = std::filesystem::path(dirs.substr(start, colon - start)) / AName;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = colon + 1;
    }
    return {};
}

std::string ReadFileText(const std::filesystem::path& APath) {
    std::ifstream in(APath, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileText(const std::filesystem::path& APath, const std::string& AText) {
    std::ofstream out(APath, std::ios::binary | std::ios::trunc);
    out << AText;
    if (!out.flush()) throw std::runtime_error("cannot write " + APath.string());
}

TSpread SpreadOf(std::vector<double> AValues) {
    if (AValues.empty()) throw std::invalid_argument("SpreadOf: no values");
    std::sort(AValues.begin(), AValues.end());
    const std::size_t n = AValues.size();
    const double median = n % 2 ? AValues[n / 2] : (AValues[n / 2 - 1] + AValues[n / 2]) / 2;
    return {AValues.front(), median, AValues.back()};
}

void PrintRow(const TRow& ARow) {
    // A field must not break the line or its columns.
    auto field = [](std::string AText) {
        std::replace_if(
            AText.begin(), AText.end(), [](char c) { return c == '|' || c == '\n' || c == '\r'; }, ' ');
        return AText.empty() ? std::string("-") : AText;
    };
    const std::string spread =
        ARow.Pairs > 0 ? Fixed(ARow.Spread.Min) + " / " + Fixed(ARow.Spread.Median) + " / " + Fixed(ARow.Spread.Max)
                       : "";
    std::printf("@row|%s|%s|%s|%s|%s|%s|%s|%s|%s\n", field(ARow.Benchmark).c_str(), field(ARow.Ratio).c_str(),
                field(spread).c_str(), ARow.Pairs > 0 ? std::to_string(ARow.Pairs).c_str() : "-",
                field(ARow.Goal).c_str(), field(ARow.Verdict).c_str(), field(ARow.OursPeak).c_str(),
                field(ARow.BasePeak).c_str(), field(ARow.Note).c_str());
    std::fflush(stdout);
}

std::string VerdictAtLeast(const TSpread& ASpread, double ABound) {
    return ASpread.Median >= ABound ? "met" : "MISSED";
}
std::string VerdictAtMost(const TSpread& ASpread, double ABound) { return ASpread.Median <= ABound ? "met" : "MISSED"; }

std::string MiB(long AKiB) { return Fixed(AKiB / 1024.0, 1) + " MiB"; }

std::string Fixed(double AValue, int ADigits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", ADigits, AValue);
    return text;
}

TSpread ThroughputRatio(const TPairs& APairs) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < APairs.Ours.size(); ++i)
        ratios.push_back(APairs.Base[i].Seconds / APairs.Ours[i].Seconds);
    return SpreadOf(ratios);
}

TSpread TimeRatio(const TPairs& APairs) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < APairs.Ours.size(); ++i)
        ratios.push_back(APairs.Ours[i].Seconds / APairs.Base[i].Seconds);
    return SpreadOf(ratios);
}

long MaxPeak(const std::vector<TRunResult>& ARuns) {
    long peak = 0;
    for (const TRunResult& run : ARuns) peak = std::max(peak, run.PeakRssKiB);
    return peak;
}

double MedianSeconds(const std::vector<TRunResult>& ARuns) {
    std::vector<double> seconds;
    for (const TRunResult& run : ARuns) seconds.push_back(run.Seconds);
    return SpreadOf(seconds).Median;
}

void TCommandLine::Fail(const std::string& AProblem) const {
    std::cerr << FProgram << ": " << AProblem << "\n" << FUsage;
    std::exit(2);
}

long TCommandLine::Number(const std::string& AName, const std::string& AText, long AMin, long AMax) const {
    char* end = nullptr;
    const long value = std::strtol(AText.c_str(), &end, 10);
    if (AText.empty() || *end || value < AMin || value > AMax)
        Fail(AName + " needs a whole number from " + std::to_string(AMin) + " to " + std::to_string(AMax));
    return value;
}

void WriteRandomFile(const std::filesystem::path& APath, std::uint64_t ASize, std::uint64_t ASeed) {
    std::ofstream out(APath, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> block(1 << 16);
    std::uint64_t state = 0x9E3779B97F4A7C15ull * (ASeed + 1);
    for (std::uint64_t written = 0; written < ASize;) {
        for (std::uint64_t& word : block) {  // splitmix64
            state += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = state;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        const std::uint64_t n = std::min<std::uint64_t>(ASize - written, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        written += n;
    }
    if (!out.flush()) throw std::runtime_error("cannot write " + APath.string());
}

bool SameContent(const std::filesystem::path& A, const std::filesystem::path& B) {
    if (!std::filesystem::is_regular_file(A) || std::filesystem::file_size(A) != std::filesystem::file_size(B))
        return false;
    std::ifstream a(A, std::ios::binary), b(B, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    while (a && b) {
        a.read(x.data(), static_cast<std::streamsize>(x.size()));
        b.read(y.data(), static_cast<std::streamsize>(y.size()));
        if (a.gcount() != b.gcount() || !std::equal(x.begin(), x.begin() + a.gcount(), y.begin())) return false;
    }
    return true;
}

void PrintUnmeasuredRow(const std::string& ABenchmark, const std::string& AVerdict, const std::string& AReason) {
    std::string reason = AReason;
    while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    PrintRow({.Benchmark = ABenchmark,
              .Ratio = AVerdict,
              .Spread = {},
              .Pairs = 0,
              .Goal = {},
              .Verdict = AVerdict,
              .OursPeak = {},
              .BasePeak = {},
              .Note = reason.substr(reason.rfind('\n') + 1).substr(0, 400)});
}

}  // namespace Bench
