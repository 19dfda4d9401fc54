// The program against an emulator of this test process (--connect-to, --ca-file): sign-in kept in
// the configuration folder, the services' own error messages, and Ctrl-C in the middle of transfers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "CliProcess.h"
#include "emulator/CloudEmulator.h"

namespace {

namespace fs = std::filesystem;
using CliTest::ReadFile;
using CliTest::TResult;
using CliTest::WriteFile;
using Nimbo::Emulator::Cloud;
using Nimbo::Emulator::Fault;
using Nimbo::Emulator::RecordedRequest;
using Nimbo::Emulator::Route;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::unique_ptr<Nimbo::Emulator::CloudEmulator>& EmulatorInstance() {
    static std::unique_ptr<Nimbo::Emulator::CloudEmulator> instance;
    return instance;
}

Nimbo::Emulator::CloudEmulator& Emulator() {
    std::unique_ptr<Nimbo::Emulator::CloudEmulator>& instance = EmulatorInstance();
    if (!instance) {
        instance = std::make_unique<Nimbo::Emulator::CloudEmulator>();
        instance->Start();
    }
    return *instance;
}

// Stops the emulator before the process ends: its threads may still be closing the connections of
// a program the last test ended, or holding a request back, and must be done before the process's
// own teardown frees what they use.
class StopEmulatorAtTheEnd : public ::testing::Environment {
public:
    void TearDown() override { EmulatorInstance().reset(); }
};
const ::testing::Environment* const StopAtTheEnd = ::testing::AddGlobalTestEnvironment(new StopEmulatorAtTheEnd);

class EmulatorCli : public ::testing::Test {
protected:
    void SetUp() override {
        Emulator().ResetAll();
        Emulator().ClearFaults();
        Emulator().RegisterClient(Cloud::Box, "box-client", "box-secret");
        Emulator().RegisterClient(Cloud::LiveConnect, "graph-client", "");
        Emulator().AddFolder(Cloud::Box, "Documents");
        Emulator().AddFile(Cloud::Box, "Documents/a.txt", "alpha");
    }
    void TearDown() override { Emulator().ClearFaults(); }

    std::vector<std::string> Connected(std::vector<std::string> AArguments) const {
        AArguments.insert(AArguments.begin(), {"--connect-to", "127.0.0.1:" + std::to_string(Emulator().Port()),
                                               "--ca-file", Emulator().CaCertPath().string()});
        return AArguments;
    }
    TResult Nimbo(const std::vector<std::string>& AArguments) { return FHome.Run(Connected(AArguments)); }
    std::string Ok(const std::vector<std::string>& AArguments) {
        TResult result = Nimbo(AArguments);
        EXPECT_EQ(result.Exit, 0) << ::testing::PrintToString(AArguments) << ": " << result.Err;
        return result.Out;
    }
    // The file in the configuration folder that keeps the remote's sign-in.
    fs::path StateFile(const std::string& ARemote) const {
        return FHome.ConfigDir() / (ARemote + "@127.0.0.1:" + std::to_string(Emulator().Port()) + ".state");
    }
    static std::string Lines(const std::vector<RecordedRequest>& ARequests) {
        std::string lines;
        for (const RecordedRequest& r : ARequests) lines += r.method + " " + r.host + r.path + "\n";
        return lines;
    }
    // Waits (a few seconds at most) until the file holds AText.
    static bool AwaitText(const fs::path& AFile, const std::string& AText) {
        for (int i = 0; i < 200; ++i) {
            if (ReadFile(AFile).find(AText) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }
    // Waits (a few seconds at most) until the emulator answered a request of that method whose path
    // holds APart.
    static bool AwaitRequest(const std::string& AMethod, const std::string& APart) {
        for (int i = 0; i < 200; ++i) {
            for (const RecordedRequest& r : Emulator().Requests())
                if (r.method == AMethod && r.path.find(APart) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    CliTest::THome FHome;
};

TEST_F(EmulatorCli, LoginKeepsTheSignInOwnerOnlyAndLogoutForgetsIt) {
    const TResult before = Nimbo({"ls", "box:"});
    EXPECT_EQ(before.Exit, 1);
    EXPECT_THAT(before.Err, HasSubstr("nimbo login box"));

    Ok({"login", "box", "--client-id", "box-client", "--client-secret", "box-secret"});
    for (const fs::path& file : {StateFile("box"), fs::path(StateFile("box")).replace_extension(".conf")}) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
    }
    struct stat folder {};
    ASSERT_EQ(::stat(FHome.ConfigDir().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    // No temporary file is left beside them.
    EXPECT_EQ(std::distance(fs::directory_iterator(FHome.ConfigDir()), fs::directory_iterator()), 2);

    // Later runs use the kept sign-in: no further sign-in page is asked for.
    Emulator().ClearRequests();
    EXPECT_EQ(Ok({"ls", "box:Documents"}), "a.txt\n");
    EXPECT_THAT(Lines(Emulator().Requests()), Not(HasSubstr("authorize")));

    Ok({"logout", "box"});
    EXPECT_FALSE(fs::exists(StateFile("box")));
    EXPECT_EQ(Nimbo({"ls", "box:"}).Exit, 1);
}

TEST_F(EmulatorCli, LoginWithoutAClientIsBadUsage) {
    const TResult result = Nimbo({"login", "box"});
    EXPECT_EQ(result.Exit, 2);
    EXPECT_THAT(result.Err, HasSubstr("--client-id"));
    EXPECT_FALSE(fs::exists(FHome.ConfigDir() / "box.conf"));
}

TEST_F(EmulatorCli, AServiceErrorIsOneLineWithTheServicesOwnMessage) {
    Ok({"login", "box", "--client-id", "box-client", "--client-secret", "box-secret"});
    Fault refusal;
    refusal.status = 403;
    refusal.body = R"({"type":"error","status":403,"code":"access_denied_insufficient_permissions",)"
                   R"("message":"Access denied - insufficient permission"})";
    Emulator().InjectFault(Route{.host = "api.box.com", .method = "DELETE", .pathPrefix = ""}, refusal);

    const TResult result = Nimbo({"rm", "box:Documents/a.txt"});
    EXPECT_EQ(result.Exit, 1);
    EXPECT_THAT(result.Err, HasSubstr("Access denied - insufficient permission"));
    EXPECT_THAT(result.Err, HasSubstr("403"));
    EXPECT_EQ(std::count(result.Err.begin(), result.Err.end(), '\n'), 1) << result.Err;
}

TEST_F(EmulatorCli, VerboseNamesEveryRequest) {
    Ok({"login", "box", "--client-id", "box-client", "--client-secret", "box-secret"});
    const TResult result = Nimbo({"-v", "ls", "box:Documents"});
    EXPECT_EQ(result.Exit, 0) << result.Err;
    EXPECT_THAT(result.Err, HasSubstr("GET https://api.box.com/2.0/folders/"));
    EXPECT_THAT(result.Err, HasSubstr("-> 200"));
    EXPECT_EQ(Nimbo({"ls", "box:Documents"}).Err, "");
}

TEST_F(EmulatorCli, CtrlCDuringADownloadLeavesNoLocalFile) {
    Ok({"login", "box", "--client-id", "box-client", "--client-secret", "box-secret"});
    Emulator().AddFile(Cloud::Box, "Documents/big.bin", std::string(3 << 20, 'x'));
    WriteFile(FHome.Work() / "big.bin", "older copy");
    Fault slow;
    slow.delay = std::chrono::seconds(20);
    Emulator().InjectFault(Route{.host = "", .method = "GET", .pathPrefix = "/2.0/files/"}, slow, 10);
    Emulator().ClearRequests();

    // The progress line shows once the download has started and waits for the answer.
    const CliTest::TRunning running = FHome.Start(Connected({"--progress", "get", "box:Documents/big.bin"}));
    ASSERT_TRUE(AwaitText(running.Err, "big.bin"));
    ::kill(running.Process, SIGINT);
    const TResult result = FHome.Wait(running);

    EXPECT_EQ(result.Exit, 130) << result.Err;
    EXPECT_EQ(ReadFile(FHome.Work() / "big.bin"), "older copy");
    EXPECT_EQ(std::distance(fs::directory_iterator(FHome.Work()), fs::directory_iterator()), 1);
}

TEST_F(EmulatorCli, GetFetchesALargeFileOnAsManyConnectionsAsAsked) {
    Ok({"login", "box", "--client-id", "box-client", "--client-secret", "box-secret"});
    std::string content(64 << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 131 % 251);
    Emulator().AddFile(Cloud::Box, "Documents/large.bin", content);
    const auto rangesAsked = [] {
        std::vector<std::string> ranges;
        for (const RecordedRequest& r : Emulator().Requests())
            if (r.host == "dl.boxcloud.com")
                for (const auto& [name, value] : r.headers)
                    if (name == "Range") ranges.push_back(value);
        std::sort(ranges.begin(), ranges.end());
        return ranges;
    };
    for (const auto& [streams, ranges] :
         {std::pair<std::string, std::vector<std::string>>{"1", {}},
          {"3", {"bytes=0-23068671", "bytes=23068672-46137343", "bytes=46137344-67108863"}}}) {
        Emulator().ClearRequests();
        Ok({"get", "--streams", streams, "box:Documents/large.bin"});
        EXPECT_TRUE(ReadFile(FHome.Work() / "large.bin") == content) << streams << " streams: the bytes differ";
        EXPECT_EQ(rangesAsked(), ranges) << streams << " streams";
    }
    EXPECT_EQ(Nimbo({"get", "--streams", "0", "box:Documents/large.bin"}).Exit, 2);
}

TEST_F(EmulatorCli, CtrlCDuringASessionUploadCancelsTheSession) {
    Ok({"login", "onedrive", "--client-id", "graph-client"});
    WriteFile(FHome.Work() / "big.bin", std::string(6 << 20, 'y'));  // above the single-request limit
    Fault slow;
    slow.delay = std::chrono::seconds(20);
    Emulator().InjectFault(Route{.host = "", .method = "PUT", .pathPrefix = ""}, slow);
    Emulator().ClearRequests();

    const CliTest::TRunning running = FHome.Start(Connected({"--progress", "put", "big.bin", "onedrive:"}));
    // Once the session is open, its first part is on its way, held up by the emulator.
    ASSERT_TRUE(AwaitRequest("POST", "createUploadSession")) << Lines(Emulator().Requests());
    ::kill(running.Process, SIGINT);
    const TResult result = FHome.Wait(running);

    EXPECT_EQ(result.Exit, 130) << result.Err;
    EXPECT_TRUE(AwaitRequest("DELETE", "")) << Lines(Emulator().Requests());
    EXPECT_FALSE(Emulator().Find(Cloud::LiveConnect, "big.bin").has_value());
}

}  // namespace
