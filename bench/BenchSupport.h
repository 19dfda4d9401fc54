#pragma once

// What the benchmark programs share: running one side of a comparison as its own process (wall
// time and peak memory of that process alone), the spread of per-pair ratios, and the rows of the
// closing table that bench/run gathers from every program.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace Bench {

struct TRunOptions {
    // Keep the child's standard output (else it goes to /dev/null).
    bool CaptureOutput = false;
    // The child is killed and the run fails when it takes longer.
    std::chrono::seconds Timeout{600};
};

struct TRunResult {
    double Seconds = 0;   // from just before the child's fork to its reaping
    long PeakRssKiB = 0;  // the child's own ru_maxrss
    std::string Output;   // its standard output, when captured
};

// Runs AArgv[0] (a path or a name looked up in PATH, never through a shell) with the rest as its
// arguments, through the bench_launch program beside the running one, which measures it.
// std::runtime_error naming the command and quoting the end of its error output when it
// cannot start, exits with a status other than 0, dies of a signal or times out.
TRunResult Run(const std::vector<std::string>& AArgv, const TRunOptions& AOptions = {});

// The full path of a program found in PATH; empty when there is none.
std::string FindProgram(const std::string& AName);

// The command line of a benchmark program: its usage text, shown with the problem on bad usage.
class TCommandLine {
public:
    TCommandLine(std::string AProgram, std::string AUsage) : FProgram(std::move(AProgram)), FUsage(std::move(AUsage)) {}
    // Prints the problem and the usage to standard error and exits with status 2.
    [[noreturn]] void Fail(const std::string& AProblem) const;
    // AText as a whole number from AMin to AMax, or Fail naming the option AName.
    long Number(const std::string& AName, const std::string& AText, long AMin, long AMax) const;

private:
    std::string FProgram, FUsage;
};

// Writes ASize bytes that no transport compresses or shortcuts, the same for the same ASeed.
void WriteRandomFile(const std::filesystem::path& APath, std::uint64_t ASize, std::uint64_t ASeed = 0);
// Whether A is a regular file with the same bytes as B.
bool SameContent(const std::filesystem::path& A, const std::filesystem::path& B);

// A whole file as bytes; empty when it cannot be read.
std::string ReadFileText(const std::filesystem::path& APath);
// Replaces a file with the bytes; std::runtime_error when that fails.
void WriteFileText(const std::filesystem::path& APath, const std::string& AText);

struct TSpread {
    double Min = 0, Median = 0, Max = 0;
};
// Requires at least one value.
TSpread SpreadOf(std::vector<double> AValues);

// One line of the closing table. Ratios are "ours relative to the baseline" in the sense the goal
// names (a throughput ratio for transfers, a time ratio for listings).
struct TRow {
    std::string Benchmark;  // e.g. "upload 1024 MiB, Dropbox"
    std::string Ratio;      // what the ratio is, e.g. "throughput ours/curl"
    TSpread Spread;
    int Pairs = 0;
    std::string Goal;      // e.g. ">= 0.90"; empty when there is none
    std::string Verdict;   // "met", "MISSED" or "-"
    std::string OursPeak;  // peak memory of our side, e.g. "14.2 MiB"
    std::string BasePeak;  // of the baseline
    std::string Note;
};

// Prints the row as one "@row|..." line on standard output for bench/run to collect.
void PrintRow(const TRow& ARow);
// A row that holds no figures: AVerdict ("FAILED", "not measured") in place of the ratio, with the
// last line of AReason as its note.
void PrintUnmeasuredRow(const std::string& ABenchmark, const std::string& AVerdict, const std::string& AReason);
// "met" / "MISSED" for a ratio spread against a lower (AtLeast) or upper bound, judged on the median.
std::string VerdictAtLeast(const TSpread& ASpread, double ABound);
std::string VerdictAtMost(const TSpread& ASpread, double ABound);

std::string MiB(long AKiB);
std::string Fixed(double AValue, int ADigits = 2);

// Alternates ours and the baseline APairs times (ours first in each pair) and collects the results.
struct TPairs {
    std::vector<TRunResult> Ours, Base;
};
template <class FOurs, class FBase>
TPairs RunPairs(int APairs, FOurs&& AOurs, FBase&& ABase) {
    TPairs pairs;
    for (int i = 0; i < APairs; ++i) {
        pairs.Ours.push_back(AOurs(i));
        pairs.Base.push_back(ABase(i));
    }
    return pairs;
}

// Per-pair ratio of the baseline's time to ours (a throughput ratio: above 1 is faster than the baseline).
TSpread ThroughputRatio(const TPairs& APairs);
// Per-pair ratio of our time to the baseline's (below 1 is faster than the baseline).
TSpread TimeRatio(const TPairs& APairs);
long MaxPeak(const std::vector<TRunResult>& ARuns);
double MedianSeconds(const std::vector<TRunResult>& ARuns);

}  // namespace Bench
