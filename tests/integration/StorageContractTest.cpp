// What every storage adapter promises through the storage model alone, whatever the service behind
// it: one suite, run against the emulator for every registered adapter.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "AdapterTestSupport.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace Nimbo::Connection;
using AdapterTest::TAdapterFixtureFor;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

class StorageContract : public TAdapterFixtureFor {
protected:
    std::vector<std::string> Names(const TNimboCloudFile& AFolder) {
        std::vector<std::string> names;
        for (const TNimboCloudFile& child : AFolder.Files()) names.push_back(child.GetName());
        return names;
    }

    std::string Content(const TNimboCloudFile& AFile) {
        std::ostringstream out;
        AFile.Download(out);
        return out.str();
    }

    std::string ServiceContent(const std::string& APath) {
        const auto item = Emu().Find(Kind().Service, APath);
        return item ? item->content : "<missing " + APath + ">";
    }

    static std::vector<std::string> Sorted(std::vector<std::string> ANames) {
        std::sort(ANames.begin(), ANames.end());
        return ANames;
    }
};

TEST_P(StorageContract, SignsInOnFirstUseAndListsTheRoot) {
    Emu().AddFolder(Kind().Service, "Docs");
    Emu().AddFile(Kind().Service, "readme.txt", "hello");
    EXPECT_TRUE(Storage().GetToken().empty());

    const TNimboCloudFile root = Storage().Root();
    EXPECT_TRUE(root.GetIsFolder());
    EXPECT_EQ(Sorted(Names(root)), (std::vector<std::string>{"Docs", "readme.txt"}));
    EXPECT_FALSE(Storage().GetToken().empty());
}

TEST_P(StorageContract, DescribesFilesAndFolders) {
    Emu().AddFile(Kind().Service, "Docs/report.txt", "twelve bytes");
    Emu().AddFolder(Kind().Service, "Docs/Inner");

    const TNimboCloudFile docs = Child(Storage().Root(), "Docs");
    EXPECT_TRUE(docs.GetIsFolder());
    EXPECT_EQ(docs.GetMimeType(), "inode/directory");

    const TNimboCloudFile report = Child(docs, "report.txt");
    const TNimboCloudFile inner = Child(docs, "Inner");
    EXPECT_FALSE(report.GetIsFolder());
    EXPECT_EQ(report.GetSize(), 12);
    EXPECT_EQ(report.GetMimeType(), "text/plain");
    EXPECT_TRUE(report.GetHasModifiedAt());
    EXPECT_TRUE(inner.GetIsFolder());
    EXPECT_TRUE(inner.Files().empty());
}

TEST_P(StorageContract, ListsEveryChildOfAFolderLargerThanAPage) {
    const int count = std::max(40, 2 * Kind().PageSize + 3);
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "file-%05d.txt", i);
        expected.push_back(name);
        Emu().AddFile(Kind().Service, std::string("Big/") + name, name);
    }
    std::vector<std::string> delivered;
    Child(Storage().Root(), "Big").Files([&](TNimboCloudFile AFile) { delivered.push_back(AFile.GetName()); });
    EXPECT_EQ(delivered, expected);
}

TEST_P(StorageContract, DownloadsToAStreamAtItsPositionAndToAFile) {
    Emu().AddFile(Kind().Service, "data.bin", std::string("bytes\0with\xff nul", 15));
    const TNimboCloudFile file = Child(Storage().Root(), "data.bin");

    std::ostringstream out;
    out << "head:";
    file.Download(out);
    EXPECT_EQ(out.str(), "head:" + std::string("bytes\0with\xff nul", 15));

    const std::filesystem::path local = std::filesystem::temp_directory_path() /
                                        ("contract-" + Kind().Name + "-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(local) << "an older and longer local file";
    file.Download(local.string());
    std::ifstream in(local, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string("bytes\0with\xff nul", 15));
    std::filesystem::remove(local);
}

TEST_P(StorageContract, UploadReplacesTheContentOfTheSameItem) {
    Emu().AddFile(Kind().Service, "Docs/notes.txt", "first version");
    const std::string id = Emu().Find(Kind().Service, "Docs/notes.txt")->id;
    const TNimboCloudFile notes = Child(Child(Storage().Root(), "Docs"), "notes.txt");

    std::istringstream second("the second, longer version");
    notes.Upload(second);

    EXPECT_EQ(ServiceContent("Docs/notes.txt"), "the second, longer version");
    EXPECT_EQ(Emu().Find(Kind().Service, "Docs/notes.txt")->id, id);
    EXPECT_EQ(notes.GetSize(), 26);
    EXPECT_EQ(Content(notes), "the second, longer version");
    EXPECT_EQ(Emu().Children(Kind().Service, "Docs").size(), 1u);
}

TEST_P(StorageContract, CreatesFoldersAndFiles) {
    const TNimboCloudFile folder = Storage().Root().CreateFolder("Projects");
    EXPECT_TRUE(folder.GetIsFolder());
    EXPECT_EQ(folder.GetName(), "Projects");
    ASSERT_TRUE(Emu().Find(Kind().Service, "Projects"));
    EXPECT_TRUE(Emu().Find(Kind().Service, "Projects")->isFolder);

    std::istringstream content("plan for the week");
    const TNimboCloudFile file = folder.createFile("plan.txt", content);
    EXPECT_FALSE(file.GetIsFolder());
    EXPECT_EQ(file.GetName(), "plan.txt");
    EXPECT_EQ(file.GetSize(), 17);
    EXPECT_EQ(ServiceContent("Projects/plan.txt"), "plan for the week");
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"plan.txt"}));
    EXPECT_EQ(Content(Child(folder, "plan.txt")), "plan for the week");
}

TEST_P(StorageContract, NamesWithReservedAndNonAsciiCharactersReachTheRightItem) {
    const std::vector<std::string> names = {"with space.txt", "hash#1.txt",    "100% sure.txt",
                                            "per%25cent.txt", "plus+sign.txt", "Grüße ñ 東京.txt"};
    const TNimboCloudFile folder = Storage().Root().CreateFolder("Odd #%+ é names");
    for (const std::string& name : names) {
        std::istringstream content("content of " + name);
        EXPECT_EQ(folder.createFile(name, content).GetName(), name);
    }

    const TNimboCloudFile listed = Child(Storage().Root(), "Odd #%+ é names");
    EXPECT_EQ(Sorted(Names(listed)), Sorted(names));
    for (const std::string& name : names) {
        EXPECT_EQ(ServiceContent("Odd #%+ é names/" + name), "content of " + name) << name;
        EXPECT_EQ(Content(Child(listed, name)), "content of " + name) << name;
    }
}

TEST_P(StorageContract, DeletesFilesAndFolders) {
    Emu().AddFile(Kind().Service, "gone.txt", "x");
    Emu().AddFile(Kind().Service, "Old/inside.txt", "y");
    Emu().AddFile(Kind().Service, "kept.txt", "z");

    Child(Storage().Root(), "gone.txt").Delete();
    Child(Storage().Root(), "Old").Delete();

    EXPECT_FALSE(Emu().Find(Kind().Service, "gone.txt"));
    EXPECT_FALSE(Emu().Find(Kind().Service, "Old"));
    EXPECT_EQ(Names(Storage().Root()), (std::vector<std::string>{"kept.txt"}));
}

TEST_P(StorageContract, ServiceErrorsSurfaceWithTheirStatusAndText) {
    Emu().AddFile(Kind().Service, "vanishing.txt", "soon gone");
    const TNimboCloudFile file = Child(Storage().Root(), "vanishing.txt");
    TNimboCloudFile(file).Delete();

    try {
        std::ostringstream out;
        file.Download(out);
        ADD_FAILURE() << "Downloading a deleted file succeeded";
    } catch (const EHttpProtocolError& error) {
        EXPECT_EQ(error.ErrorCode(), 404);
        std::string text = error.ErrorMessage();
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
        EXPECT_THAT(text, HasSubstr("not"));
        EXPECT_THAT(text, HasSubstr("found"));
    }
}

TEST_P(StorageContract, CancelledSignInAbortsSilentlyAndKeepsNoToken) {
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Cancel);
    EXPECT_THROW(Storage().Root().Files(), EAbort);
    EXPECT_TRUE(Storage().GetToken().empty());
}

TEST_P(StorageContract, RefusedSignInRaisesTheProvidersText) {
    // The sign-in takes the redirect's values as written, without percent-decoding, so the reason is
    // one that percent-encoding leaves as it is.
    TNimboHeadlessAuth::SetDecision(THeadlessDecision::Deny, "Not_today.thank-you");
    EXPECT_THAT([&] { Storage().Root().Files(); }, ThrowsMessage<ERestError>(HasSubstr("Not_today.thank-you")));
    EXPECT_TRUE(Storage().GetToken().empty());
}

TEST_P(StorageContract, ItemsOfADestroyedStorageFailCleanly) {
    Emu().AddFile(Kind().Service, "a.txt", "a");
    const TNimboCloudFile file = Child(Storage().Root(), "a.txt");
    TearDown();
    EXPECT_THAT([&] { file.GetName(); }, ThrowsMessage<ERestError>(HasSubstr("Service has been destroyed.")));
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StorageContract);
INSTANTIATE_TEST_SUITE_P(Adapters, StorageContract, ::testing::ValuesIn(AdapterTest::AdapterKinds()),
                         AdapterTest::KindName);

}  // namespace
