// The pieces of the program that need no service: remote paths, local names, error lines, progress.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "Commands.h"
#include "Errors.h"
#include "Progress.h"
#include "Remote.h"

namespace {

using Nimbo::Cli::EUsageError;
using Nimbo::Cli::ParseRemotePath;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

TEST(RemotePath, NamesFromTheRoot) {
    const struct {
        std::string Text;
        std::string Remote;
        std::vector<std::string> Names;
    } cases[] = {
        {"gdrive:", "gdrive", {}},
        {"box:/", "box", {}},
        {"onedrive:a", "onedrive", {"a"}},
        {"dropbox://a//b c/", "dropbox", {"a", "b c"}},
        {"live:a:b/c.txt", "live", {"a:b", "c.txt"}},
        {"gdrive2:...", "gdrive2", {"..."}},
    };
    for (const auto& c : cases) {
        const Nimbo::Cli::TRemotePath path = ParseRemotePath(c.Text);
        EXPECT_EQ(path.Kind->Name, c.Remote) << c.Text;
        EXPECT_THAT(path.Names, ElementsAreArray(c.Names)) << c.Text;
    }
}

TEST(RemotePath, MalformedIsBadUsage) {
    const std::pair<std::string, std::string> cases[] = {
        {"Documents", "not a remote path"}, {":a", "not a remote path"}, {"ftp:a", "unknown remote \"ftp\""},
        {"box:a/../b", "\"..\""},           {"box:.", "\"..\""},         {"GDRIVE:a", "unknown remote \"GDRIVE\""},
    };
    for (const auto& [text, message] : cases)
        EXPECT_THAT([&] { ParseRemotePath(text); }, ThrowsMessage<EUsageError>(HasSubstr(message))) << text;
}

TEST(LocalName, OnlyNamesThatStayInTheirFolder) {
    for (const std::string safe : {"a.txt", "...", ".hidden", "a b", "ü"})
        EXPECT_TRUE(Nimbo::Cli::IsSafeLocalName(safe));
    for (const std::string& unsafe : std::vector<std::string>{"", ".", "..", "a/b", "/etc", std::string("a\0b", 3)})
        EXPECT_FALSE(Nimbo::Cli::IsSafeLocalName(unsafe)) << unsafe;
}

TEST(ServiceMessage, EachServicesErrorField) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"error":{"code":404,"message":"File not found: x.","errors":[]}})", "File not found: x."},
        {R"({"type":"error","status":409,"code":"item_name_in_use","message":"Item with the same name already exists"})",
         "Item with the same name already exists"},
        {R"({"error_summary":"path/not_found/..","error":{".tag":"path"}})", "path/not_found/.."},
        {R"({"error":"invalid_grant","error_description":"The refresh token is invalid"})",
         "The refresh token is invalid"},
        {R"({"error":"Path not found"})", "Path not found"},
        {"<html>Bad gateway</html>", ""},
        {"", ""},
    };
    for (const auto& [body, message] : cases) EXPECT_EQ(Nimbo::Cli::ServiceMessage(body), message) << body;
}

TEST(Times, UtcInJsonAndLocalInTheLongListing) {
    // 2017-03-01 10:20:30 UTC, in days since 1899-12-30.
    const double moment = 42795.0 + (10 * 3600 + 20 * 60 + 30) / 86400.0;
    const char* const saved = std::getenv("TZ");
    const std::string savedZone = saved ? saved : "";
    ::setenv("TZ", "Asia/Kolkata", 1);  // UTC+05:30, no daylight saving
    ::tzset();
    EXPECT_EQ(Nimbo::Cli::IsoTime(moment), "2017-03-01T10:20:30Z");
    EXPECT_EQ(Nimbo::Cli::LocalTime(moment), "2017-03-01 15:50:30");
    EXPECT_EQ(Nimbo::Cli::IsoTime(0.0 - 1e9), "");
    if (saved)
        ::setenv("TZ", savedZone.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(ProgressLine, BytesRatePercentAndTimeLeft) {
    using namespace std::chrono_literals;
    const struct {
        std::string Name;
        std::int64_t Done, Total;
        std::chrono::duration<double> Elapsed;
        std::string Line;
    } cases[] = {
        {"a.bin", 0, 100, 0s, "a.bin  0 B / 100 B  0%"},
        {"a.bin", 512, 0, 1s, "a.bin  512 B  512 B/s"},  // size unknown: no share, no time left
        {"f", 1 << 20, 4 << 20, 2s, "f  1.0 MiB / 4.0 MiB  25%  512.0 KiB/s  0:06 left"},
        {"f", 3 << 20, 3 << 20, 3s, "f  3.0 MiB / 3.0 MiB  100%  1.0 MiB/s"},
        {std::string(50, 'n') + ".txt", 0, 0, 0s, "..." + std::string(33, 'n') + ".txt  0 B"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Nimbo::Cli::TProgressBoard::Describe(c.Name, c.Done, c.Total, c.Elapsed), c.Line) << c.Line;
}

}  // namespace
