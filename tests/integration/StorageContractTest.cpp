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
#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/HeadlessAuth.h"

using namespace Nimbo::Connection;
using AdapterTest::TAdapterFixtureFor;
using ::testing::AllOf;
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
        EXPECT_EQ(error.ErrorCode(), Kind().MissingStatus);
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

TEST_P(StorageContract, RenamesFilesAndFoldersInPlace) {
    Emu().AddFile(Kind().Service, "Docs/draft.txt", "draft text");
    Emu().AddFolder(Kind().Service, "Docs/Old");
    const TNimboCloudFile docs = Child(Storage().Root(), "Docs");
    const TNimboCloudFile draft = Child(docs, "draft.txt");
    const TNimboCloudFile old = Child(docs, "Old");

    const std::string newName = "final #1 100% +'é.txt";
    draft.Rename(newName);
    old.Rename("Archive");

    EXPECT_EQ(draft.GetName(), newName);
    EXPECT_EQ(draft.GetSize(), 10);
    EXPECT_EQ(old.GetName(), "Archive");
    EXPECT_TRUE(old.GetIsFolder());
    EXPECT_EQ(Sorted(Names(docs)), Sorted({newName, "Archive"}));
    EXPECT_EQ(ServiceContent("Docs/" + newName), "draft text");
    EXPECT_EQ(Content(draft), "draft text");
}

TEST_P(StorageContract, RenameOrMoveOntoATakenNameIsAnErrorThatChangesNothing) {
    if (!Kind().UniqueNames) GTEST_SKIP() << "names need not be unique on this service";
    Emu().AddFile(Kind().Service, "a.txt", "first");
    Emu().AddFile(Kind().Service, "b.txt", "second");
    Emu().AddFile(Kind().Service, "Other/a.txt", "third");
    const TNimboCloudFile root = Storage().Root();
    const TNimboCloudFile a = Child(root, "a.txt");

    EXPECT_THAT([&] { a.Rename("b.txt"); },
                ThrowsMessage<ERestError>(AllOf(HasSubstr("\"b.txt\""), HasSubstr("already exists"))));
    EXPECT_THAT([&] { a.Move(Child(root, "Other")); },
                ThrowsMessage<ERestError>(AllOf(HasSubstr("\"a.txt\""), HasSubstr("\"Other\""))));

    EXPECT_EQ(a.GetName(), "a.txt");
    EXPECT_EQ(ServiceContent("a.txt"), "first");
    EXPECT_EQ(ServiceContent("b.txt"), "second");
    EXPECT_EQ(ServiceContent("Other/a.txt"), "third");
}

TEST_P(StorageContract, MovesIntoAFolderOfAnotherParentKeepingTheName) {
    Emu().AddFile(Kind().Service, "From/Deep/report #2.txt", "report");
    Emu().AddFolder(Kind().Service, "To/Inner");
    const TNimboCloudFile deep = Child(Child(Storage().Root(), "From"), "Deep");
    const TNimboCloudFile report = Child(deep, "report #2.txt");
    const TNimboCloudFile inner = Child(Child(Storage().Root(), "To"), "Inner");

    report.Move(inner);

    EXPECT_EQ(report.GetName(), "report #2.txt");
    EXPECT_TRUE(Names(deep).empty());
    EXPECT_EQ(Names(inner), std::vector<std::string>{"report #2.txt"});
    EXPECT_EQ(ServiceContent("To/Inner/report #2.txt"), "report");
    EXPECT_EQ(Content(report), "report");

    deep.Move(Storage().Root());
    EXPECT_EQ(Sorted(Names(Storage().Root())), Sorted({"Deep", "From", "To"}));
}

TEST_P(StorageContract, CopiesAFileUnderANameAndFoldersWhereTheServiceCan) {
    Emu().AddFile(Kind().Service, "Src/original.txt", "copied bytes");
    Emu().AddFolder(Kind().Service, "Dest");
    const TNimboCloudFile src = Child(Storage().Root(), "Src");
    const TNimboCloudFile dest = Child(Storage().Root(), "Dest");

    const TNimboCloudFile copy = Child(src, "original.txt").Copy(dest, "copy é+%.txt");
    EXPECT_EQ(copy.GetName(), "copy é+%.txt");
    EXPECT_EQ(copy.GetSize(), 12);
    EXPECT_EQ(Content(copy), "copied bytes");
    EXPECT_EQ(ServiceContent("Src/original.txt"), "copied bytes");
    EXPECT_EQ(Names(dest), std::vector<std::string>{"copy é+%.txt"});

    if (Kind().CopiesFolders) {
        const TNimboCloudFile folderCopy = src.Copy(dest, "Src copy");
        EXPECT_TRUE(folderCopy.GetIsFolder());
        EXPECT_EQ(Names(folderCopy), std::vector<std::string>{"original.txt"});
        EXPECT_EQ(ServiceContent("Dest/Src copy/original.txt"), "copied bytes");
    } else {
        EXPECT_THAT([&] { src.Copy(dest, "Src copy"); }, ThrowsMessage<ERestError>(HasSubstr("not supported")));
        EXPECT_EQ(Names(dest), std::vector<std::string>{"copy é+%.txt"});
    }
}

TEST_P(StorageContract, TellsTheSpaceUsed) {
    Emu().AddFile(Kind().Service, "space.bin", std::string(5000, 's'));
    const TNimboSpace space = Storage().GetSpace();
    EXPECT_GE(space.Used, 5000);
    if (space.Total) {
        EXPECT_GT(*space.Total, space.Used);
    }
}

TEST_P(StorageContract, GivesFilesTheServicesContentHash) {
    Emu().AddFile(Kind().Service, "hashed.txt", "hello");
    const TNimboCloudFile file = Child(Storage().Root(), "hashed.txt");
    EXPECT_EQ(file.GetHashAlgorithm(), Kind().HashAlgorithm);
    if (Kind().HashAlgorithm.empty()) {
        EXPECT_EQ(file.GetHash(), "");
        return;
    }
    const auto hasher = TContentHasher::Create(Kind().HashAlgorithm);
    hasher->Update("hello", 5);
    EXPECT_TRUE(SameContentHash(Kind().HashAlgorithm, file.GetHash(), hasher->Finish())) << file.GetHash();
}

TEST_P(StorageContract, DamagedDownloadFailsItsContentCheckAndLeavesTheLocalFileUntouched) {
    if (Kind().HashAlgorithm.empty()) GTEST_SKIP() << "the service gives no content hash";
    Emu().AddFile(Kind().Service, "data.bin", "the content as stored");
    const TNimboCloudFile file = Child(Storage().Root(), "data.bin");
    const std::filesystem::path local =
        std::filesystem::temp_directory_path() / ("damaged-" + Kind().Name + "-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(local) << "precious local bytes";

    // Every request of the download, redirects included, arrives damaged.
    Emu().InjectFault({"", Kind().DownloadMethod, ""}, AdapterTest::Corrupted(), 3);
    EXPECT_THAT([&] { file.Download(local.string()); },
                ThrowsMessage<ERestError>(AllOf(HasSubstr("failed its content check"), HasSubstr(file.GetHash()))));
    Emu().ClearFaults();

    std::ifstream in(local, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "precious local bytes");
    file.Download(local.string());
    std::ifstream again(local, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), "the content as stored");
    std::filesystem::remove(local);
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(StorageContract);
INSTANTIATE_TEST_SUITE_P(Adapters, StorageContract, ::testing::ValuesIn(AdapterTest::AdapterKinds()),
                         AdapterTest::KindName);

}  // namespace
