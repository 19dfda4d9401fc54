// The program run as users run it, against its own sandbox: every command through a child process.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "CliProcess.h"

namespace {

namespace fs = std::filesystem;
using CliTest::ReadFile;
using CliTest::TResult;
using CliTest::WriteFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::UnorderedElementsAre;

// Every byte value, line ends of both kinds and a NUL: what a text-mode slip would damage.
std::string AwkwardBytes(std::size_t ASize) {
    std::string bytes;
    for (std::size_t i = 0; i < ASize; ++i) bytes.push_back(char((i * 7 + i / 256) % 256));
    return "\r\n\n\0" + bytes;
}

class SandboxCli : public ::testing::Test {
protected:
    TResult Nimbo(std::vector<std::string> AArguments) {
        AArguments.insert(AArguments.begin(), "--sandbox");
        return FHome.Run(AArguments);
    }
    // Runs and expects success, giving the standard output.
    std::string Ok(const std::vector<std::string>& AArguments) {
        TResult result = Nimbo(AArguments);
        EXPECT_EQ(result.Exit, 0) << ::testing::PrintToString(AArguments) << ": " << result.Err;
        return result.Out;
    }
    std::vector<std::string> Lines(const std::string& AText) {
        std::vector<std::string> lines;
        std::istringstream stream(AText);
        for (std::string line; std::getline(stream, line);) lines.push_back(line);
        return lines;
    }
    fs::path Local(const std::string& AName) const { return FHome.Work() / AName; }

    CliTest::THome FHome;
};

class SandboxRemote : public SandboxCli, public ::testing::WithParamInterface<std::string> {
protected:
    std::string Remote(const std::string& APath) const { return GetParam() + ":" + APath; }
};

TEST_P(SandboxRemote, PutLsGetAndCatGiveTheSameBytesBackAcrossRuns) {
    const std::string content = AwkwardBytes(70000);
    WriteFile(Local("sample.bin"), content);

    Ok({"put", "sample.bin", Remote("Documents")});
    EXPECT_THAT(Lines(Ok({"ls", Remote("Documents")})), ::testing::Contains("sample.bin"));
    Ok({"get", Remote("Documents/sample.bin"), "back.bin"});
    EXPECT_EQ(ReadFile(Local("back.bin")), content);
    EXPECT_EQ(Ok({"cat", Remote("Documents/sample.bin")}), content);

    // A second put replaces the content of the same file rather than adding a second one.
    WriteFile(Local("sample.bin"), "shorter");
    Ok({"put", "sample.bin", Remote("Documents/sample.bin")});
    EXPECT_EQ(Ok({"cat", Remote("Documents/sample.bin")}), "shorter");
    const std::vector<std::string> names = Lines(Ok({"ls", Remote("Documents")}));
    EXPECT_EQ(std::count(names.begin(), names.end(), "sample.bin"), 1);
}

TEST_P(SandboxRemote, MkdirMvCpAndRmChangeTheTree) {
    Ok({"mkdir", Remote("New/Deeper")});
    Ok({"cp", Remote("Read me.txt"), Remote("New/Deeper")});
    Ok({"mv", Remote("New/Deeper/Read me.txt"), Remote("New/renamed.txt")});
    EXPECT_THAT(Lines(Ok({"ls", Remote("New")})), UnorderedElementsAre("Deeper/", "renamed.txt"));
    EXPECT_THAT(Ok({"ls", Remote("New/Deeper")}), IsEmpty());
    EXPECT_EQ(Ok({"cat", Remote("New/renamed.txt")}), Ok({"cat", Remote("Read me.txt")}));

    Ok({"rm", "-r", Remote("New")});
    EXPECT_THAT(Lines(Ok({"ls", Remote("")})), Not(::testing::Contains("New/")));
}

TEST_P(SandboxRemote, RmRefusesAFolderWithoutRecursiveAndKeepsIt) {
    const TResult result = Nimbo({"rm", Remote("Documents")});
    EXPECT_EQ(result.Exit, 1);
    EXPECT_THAT(result.Err, HasSubstr("rm -r"));
    EXPECT_THAT(Lines(Ok({"ls", Remote("Documents")})), ::testing::Contains("Welcome.txt"));
}

TEST_P(SandboxRemote, RecursivePutAndGetCopyATreeByteForByte) {
    const std::map<std::string, std::string> tree = {{"a.bin", AwkwardBytes(5000)}, {"empty.txt", ""},
                                                     {"sub/b.txt", "bee\n"},        {"sub/c.bin", AwkwardBytes(300)},
                                                     {"sub/deeper/d.txt", "dee"},   {"other/e.txt", "e"}};
    for (const auto& [name, bytes] : tree) WriteFile(Local("tree/" + name), bytes);

    Ok({"put", "-r", "--transfers", "2", "tree", Remote("")});
    Ok({"get", "-r", "--transfers", "2", Remote("tree"), "copy"});

    std::map<std::string, std::string> copied;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Local("copy")))
        if (entry.is_regular_file())
            copied[fs::relative(entry.path(), Local("copy")).string()] = ReadFile(entry.path());
    EXPECT_EQ(copied, tree);

    // Into the folder that is there now: no second copy of anything.
    Ok({"put", "-r", "tree", Remote("")});
    EXPECT_THAT(Lines(Ok({"ls", Remote("tree/sub")})), UnorderedElementsAre("b.txt", "c.bin", "deeper/"));
}

INSTANTIATE_TEST_SUITE_P(Remotes, SandboxRemote,
                         ::testing::Values("gdrive", "box", "onedrive", "dropbox", "gdrive2", "dropbox1", "live"));

TEST_F(SandboxCli, PutNamesAFolderAfterItselfHoweverItIsWritten) {
    WriteFile(Local("tree/a.txt"), "a");
    const std::pair<std::string, std::string> cases[] = {{"tree/", "tree"}, {"./tree/.", "tree"}, {".", "work"}};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [written, name] = cases[i];
        const std::string into = "box:Into" + std::to_string(i);
        Ok({"mkdir", into});
        Ok({"put", "-r", written, into});
        EXPECT_THAT(Lines(Ok({"ls", into})), ElementsAre(name + "/")) << written;
    }
}

TEST_F(SandboxCli, JsonListingIsOneParsableObjectPerItem) {
    WriteFile(Local("quote \"and\" \\ ü.txt"), "12345");
    Ok({"put", "quote \"and\" \\ ü.txt", "gdrive:"});

    std::map<std::string, nlohmann::json> items;
    for (const std::string& line : Lines(Ok({"ls", "--json", "gdrive:"}))) {
        const nlohmann::json item = nlohmann::json::parse(line);
        items[item.at("name").get<std::string>()] = item;
    }
    ASSERT_EQ(items.count("quote \"and\" \\ ü.txt"), 1u);
    const nlohmann::json& file = items["quote \"and\" \\ ü.txt"];
    EXPECT_EQ(file["folder"], false);
    EXPECT_EQ(file["size"], 5);
    EXPECT_EQ(file["hashAlgorithm"], "sha1");
    EXPECT_EQ(file["hash"], "8cb2237d0679ca88db6464eac60da96345513964");
    EXPECT_EQ(file["path"], "gdrive:quote \"and\" \\ ü.txt");
    EXPECT_EQ(items.at("Documents")["folder"], true);
}

TEST_F(SandboxCli, LongListingShowsSizeTimeAndHash) {
    const std::vector<std::string> lines = Lines(Ok({"ls", "-l", "box:Documents"}));
    ASSERT_EQ(lines.size(), 2u);
    // "Month,Amount\nJanuary,1200\nFebruary,980\n" as the sandbox seeds it.
    EXPECT_THAT(lines, ::testing::Contains(::testing::AllOf(
                           HasSubstr(" 39  "), ::testing::ContainsRegex("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}"),
                           HasSubstr("sha1:6c0c88e9adb7f204760d0b0ec5b58582cf2ea091"), HasSubstr("Budget 2017.csv"))));
}

TEST_F(SandboxCli, AboutGivesUsedAndTotal) {
    const nlohmann::json space = nlohmann::json::parse(Ok({"about", "--json", "box:"}));
    EXPECT_GT(space["used"].get<std::int64_t>(), 0);
    EXPECT_GT(space["total"].get<std::int64_t>(), space["used"].get<std::int64_t>());
}

struct TFailure {
    std::vector<std::string> Arguments;
    int Exit;
    std::string Message;
};

TEST_F(SandboxCli, FailuresGiveTheirExitStatusAndOneLine) {
    const std::vector<TFailure> cases = {
        {{"ls"}, 2, "path is required"},
        {{"frobnicate", "box:"}, 2, ""},
        {{"ls", "nowhere:Documents"}, 2, "unknown remote \"nowhere\""},
        {{"ls", "Documents"}, 2, "not a remote path"},
        {{"ls", "box:Documents/../x"}, 2, "\"..\""},
        {{"get", "--transfers", "0", "-r", "box:Documents"}, 2, "--transfers"},
        {{"mv", "box:Read me.txt", "gdrive:Documents"}, 2, "within one remote"},
        {{"ls", "box:Missing"}, 1, "not found: box:Missing"},
        {{"get", "box:Documents"}, 1, "get -r"},
        {{"put", "no-such-file", "box:"}, 1, "no such local file"},
        {{"cat", "box:Documents"}, 1, "is a folder"},
        {{"rm", "-r", "box:"}, 1, "root folder"},
        {{"mkdir", "box:Read me.txt/x"}, 1, "already exists as a file"},
        {{"put", "-r", ".", "box:Read me.txt"}, 1, "already exists as a file"},
    };
    for (const TFailure& failure : cases) {
        const TResult result = Nimbo(failure.Arguments);
        SCOPED_TRACE(::testing::PrintToString(failure.Arguments));
        EXPECT_EQ(result.Exit, failure.Exit) << result.Err;
        EXPECT_THAT(result.Err, HasSubstr(failure.Message));
        EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err;
        EXPECT_THAT(result.Out, IsEmpty());
    }
}

TEST_F(SandboxCli, AFailedGetLeavesTheLocalFileAsItWas) {
    WriteFile(Local("kept.txt"), "mine");
    EXPECT_EQ(Nimbo({"get", "box:Missing.txt", "kept.txt"}).Exit, 1);
    EXPECT_EQ(ReadFile(Local("kept.txt")), "mine");
}

TEST_F(SandboxCli, KeepsItsSignInBetweenRunsAndSignsInAfreshWhenTheSandboxForgotIt) {
    auto signIns = [&] {  // the Box clients and tokens the sandbox keeps
        sqlite3* db = nullptr;
        std::string rows;
        if (sqlite3_open_v2((FHome.SandboxDir() / "state.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
            sqlite3_exec(
                db, "SELECT kind, key, record FROM grants WHERE service = 'box' ORDER BY kind, key",
                [](void* out, int columns, char** values, char**) {
                    for (int i = 0; i < columns; ++i) *static_cast<std::string*>(out) += std::string(values[i]) + "\n";
                    return 0;
                },
                &rows, nullptr);
        sqlite3_close(db);
        return rows;
    };
    Ok({"ls", "box:"});
    const std::string first = signIns();
    ASSERT_THAT(first, HasSubstr("refresh"));
    Ok({"ls", "box:"});
    Ok({"ls", "box:"});
    EXPECT_EQ(signIns(), first);  // no token issued for the later runs

    fs::remove_all(FHome.SandboxDir());  // a new sandbox, which knows none of the kept tokens
    EXPECT_THAT(Lines(Ok({"ls", "box:"})), ::testing::Contains("Documents/"));
    WriteFile(FHome.ConfigDir() / "box@sandbox.state", "damaged");
    EXPECT_THAT(Lines(Ok({"ls", "box:"})), ::testing::Contains("Documents/"));
}

TEST_F(SandboxCli, ASecondProgramOnTheSandboxFolderIsRefusedUntilTheFirstEnds) {
    Ok({"ls", "box:"});  // makes and seeds the folder
    const fs::path lockFile = FHome.SandboxDir() / "sandbox.lock";
    const int held = ::open(lockFile.c_str(), O_RDWR);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const std::string state = ReadFile(FHome.SandboxDir() / "state.db");

    const TResult refused = Nimbo({"mkdir", "box:Racing"});
    EXPECT_EQ(refused.Exit, 1);
    EXPECT_THAT(refused.Err, HasSubstr("in use by another program"));
    EXPECT_EQ(ReadFile(FHome.SandboxDir() / "state.db"), state);

    ::close(held);
    Ok({"mkdir", "box:Racing"});
    EXPECT_THAT(Lines(Ok({"ls", "box:"})), ::testing::Contains("Racing/"));
}

}  // namespace
