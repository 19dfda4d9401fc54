#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/LocalFile.h"
#include "Nimbo/Connection/Storage.h"

using namespace Nimbo::Connection;
using ::testing::HasSubstr;

namespace {

// The item data of the in-memory storage: the id of a node; counts its live objects.
class TMemoryData : public TNimboCloudFileData {
public:
    TMemoryData(const TNimboStorage& AStorage, int ANode) : TNimboCloudFileData(AStorage), Node(ANode) { ++Live; }
    TMemoryData(TNimboCloudFileData& AParent, int ANode) : TNimboCloudFileData(AParent), Node(ANode) { ++Live; }
    ~TMemoryData() override { --Live; }

    void SetHash(const std::string& AAlgorithm, const std::string& AHash) {
        TNimboItemInfo info = Info();
        info.HashAlgorithm = AAlgorithm;
        info.Hash = AHash;
        AssignInfo(std::move(info));
    }

    const int Node;
    inline static int Live = 0;
};

// A storage kept in memory, counting what it is asked.
class TMemoryStorage : public TNimboStorage {
public:
    struct TNode {
        std::string Name;
        bool IsFolder = false;
        std::string Content;
        std::string MimeType = "text/plain";
        TDateTime CreatedAt = MinDateTime;
        TDateTime ModifiedAt = MinDateTime;
        std::vector<int> Children;
    };

    std::map<int, TNode> Nodes;
    std::map<std::string, int> Calls;
    // Download writes this many bytes of the content and then fails; -1 for a successful download.
    int FailDownloadAfter = -1;

    TMemoryStorage() {
        Nodes[0] = MakeNode("", true, "");
        FRoot = TNimboCloudFile(std::make_shared<TMemoryData>(*this, 0));
    }

    int Add(int AParent, const std::string& AName, bool AIsFolder, const std::string& AContent = {}) {
        const int id = static_cast<int>(Nodes.size());
        Nodes[id] = MakeNode(AName, AIsFolder, AContent);
        Nodes[AParent].Children.push_back(id);
        return id;
    }
    TNimboCloudFile Item(int ANode, const TNimboCloudFile& AParent) {
        return TNimboCloudFile(std::make_shared<TMemoryData>(*AParent.Data(), ANode));
    }

    TNimboCloudFile GetRoot() override { return FRoot; }
    std::string GetName(TNimboCloudFileData& AData) override { return Node(AData, "GetName").Name; }
    bool GetIsFolder(TNimboCloudFileData& AData) override { return Node(AData, "GetIsFolder").IsFolder; }
    std::string GetMimeType(TNimboCloudFileData& AData) override { return Node(AData, "GetMimeType").MimeType; }
    std::int64_t GetSize(TNimboCloudFileData& AData) override {
        return static_cast<std::int64_t>(Node(AData, "GetSize").Content.size());
    }
    TDateTime GetCreatedAt(TNimboCloudFileData& AData) override { return Node(AData, "GetCreatedAt").CreatedAt; }
    TDateTime GetModifiedAt(TNimboCloudFileData& AData) override { return Node(AData, "GetModifiedAt").ModifiedAt; }

    void GetFiles(TNimboCloudFileData& AData, const TFileProc& AProc) override {
        for (int child : Node(AData, "GetFiles").Children)
            AProc(TNimboCloudFile(std::make_shared<TMemoryData>(AData, child)));
    }
    void Download(TNimboCloudFileData& AData, std::ostream& AStream) override {
        const std::string& content = Node(AData, "Download").Content;
        if (FailDownloadAfter < 0) {
            AStream << content;
            return;
        }
        AStream << content.substr(0, static_cast<std::size_t>(FailDownloadAfter));
        throw ERestError("connection lost");
    }
    void Upload(TNimboCloudFileData& AData, std::istream& AStream) override {
        TNode& node = Node(AData, "Upload");
        node.Content.assign(std::istreambuf_iterator<char>(AStream), {});
        Stored(DataAs<TMemoryData>(AData), node.Content);
    }
    void Delete(TNimboCloudFileData& AData) override {
        const int id = DataAs<TMemoryData>(AData).Node;
        Node(AData, "Delete");
        for (auto& [nodeId, node] : Nodes) std::erase(node.Children, id);
    }
    AutoFree<TNimboCloudFileData> CreateFolder(TNimboCloudFileData& AData, const std::string& AName) override {
        Node(AData, "CreateFolder");
        return std::make_shared<TMemoryData>(AData, Add(DataAs<TMemoryData>(AData).Node, AName, true));
    }
    AutoFree<TNimboCloudFileData> createFile(TNimboCloudFileData& AData, const std::string& AName,
                                             std::istream& AStream) override {
        Node(AData, "createFile");
        std::string content(std::istreambuf_iterator<char>(AStream), {});
        auto file = std::make_shared<TMemoryData>(AData, Add(DataAs<TMemoryData>(AData).Node, AName, false, content));
        Stored(*file, content);
        return file;
    }
    std::string GetHashAlgorithm() const override { return HashAlgorithm; }

    // The algorithm of the hashes the storage gives for uploaded content; none when empty.
    std::string HashAlgorithm;
    // Uploads store their content with its first byte changed.
    bool DamageUploads = false;

protected:
    std::string GetServerName() const override { return "memory.example"; }

private:
    // Describes stored content as a service would: with the hash of what it holds.
    void Stored(TMemoryData& AData, std::string& AContent) {
        if (DamageUploads && !AContent.empty()) AContent[0] = static_cast<char>(AContent[0] ^ 0x20);
        if (const auto hasher = TContentHasher::Create(HashAlgorithm)) {
            hasher->Update(AContent.data(), AContent.size());
            AData.SetHash(HashAlgorithm, hasher->Finish());
        }
    }

    static TNode MakeNode(const std::string& AName, bool AIsFolder, const std::string& AContent) {
        TNode node;
        node.Name = AName;
        node.IsFolder = AIsFolder;
        node.Content = AContent;
        return node;
    }

    TNode& Node(TNimboCloudFileData& AData, const std::string& ACall) {
        ++Calls[ACall];
        return Nodes.at(DataAs<TMemoryData>(AData).Node);
    }

    TNimboCloudFile FRoot;
};

std::vector<std::string> NamesOf(const std::vector<TNimboCloudFile>& AFiles) {
    std::vector<std::string> names;
    for (const TNimboCloudFile& file : AFiles) names.push_back(file.GetName());
    return names;
}

template <class TFunction>
std::string ErrorOf(TFunction AFunction) {
    try {
        AFunction();
    } catch (const ERestError& error) {
        return error.Message();
    }
    return "(no error)";
}

class Storage : public ::testing::Test {
protected:
    std::unique_ptr<TMemoryStorage> Store = std::make_unique<TMemoryStorage>();
    int PhotosId = Store->Add(0, "Photos", true);
    int TextId = Store->Add(0, "a.txt", false, "hello");
    TNimboCloudFile Root = Store->Root();
    TNimboCloudFile Photos = Store->Item(PhotosId, Root);
    TNimboCloudFile Text = Store->Item(TextId, Root);
};

// A fresh folder for local files, removed after the test.
class StorageLocalFiles : public Storage {
protected:
    std::filesystem::path Folder;

    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "nimbo-storage-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        Folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(Folder); }

    std::string Local(const std::string& AName) const { return (Folder / AName).string(); }
    static std::string ReadFile(const std::string& APath) {
        std::ifstream stream(APath, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Folder))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Attributes

TEST_F(Storage, FolderAttributesDoNotAskTheStorageForTypeAndSize) {
    EXPECT_EQ(Photos.GetMimeType(), "inode/directory");
    EXPECT_EQ(Photos.GetSize(), 0);
    EXPECT_EQ(Store->Calls["GetMimeType"], 0);
    EXPECT_EQ(Store->Calls["GetSize"], 0);

    EXPECT_EQ(Text.GetMimeType(), "text/plain");
    EXPECT_EQ(Text.GetSize(), 5);
}

TEST_F(Storage, MissingDatesAreReportedAsAbsent) {
    EXPECT_FALSE(Text.GetHasCreatedAt());
    EXPECT_EQ(Text.GetCreatedAt(), MinDateTime);
    Store->Nodes[TextId].ModifiedAt = 45000.5;
    EXPECT_TRUE(Text.GetHasModifiedAt());
    EXPECT_EQ(Text.GetModifiedAt(), 45000.5);
}

// ---------------------------------------------------------------------------------------------
// File and folder checks

TEST_F(Storage, FileOperationsOnAFolderNameItInQuotes) {
    const std::string expected = "\"Photos\" should be a file, not a folder";
    std::ostringstream out;
    std::istringstream in("x");
    EXPECT_EQ(ErrorOf([&] { Photos.Download(out); }), expected);
    EXPECT_EQ(ErrorOf([&] { Photos.Upload(in); }), expected);
    EXPECT_EQ(Store->Calls["Download"] + Store->Calls["Upload"], 0);
}

TEST_F(Storage, FolderOperationsOnAFileNameItInQuotes) {
    const std::string expected = "\"a.txt\" should be a folder";
    std::istringstream in("x");
    EXPECT_EQ(ErrorOf([&] { Text.Files(); }), expected);
    EXPECT_EQ(ErrorOf([&] { Text.Files([](TNimboCloudFile) {}); }), expected);
    EXPECT_EQ(ErrorOf([&] { Text.CreateFolder("sub"); }), expected);
    EXPECT_EQ(ErrorOf([&] { Text.createFile("b.txt", in); }), expected);
    EXPECT_EQ(Store->Calls["GetFiles"] + Store->Calls["CreateFolder"] + Store->Calls["createFile"], 0);
}

TEST_F(Storage, PlaceholderHoldsNoItem) {
    const TNimboCloudFile placeholder;
    EXPECT_TRUE(placeholder.IsEmpty());
    EXPECT_THROW(placeholder.GetName(), EAssertionFailed);
    EXPECT_THROW(placeholder.Delete(), EAssertionFailed);
}

// ---------------------------------------------------------------------------------------------
// Listing, creating, deleting

TEST_F(Storage, ListingReturnsEveryChildInTheStoragesOrder) {
    for (int count : {0, 1, 16, 17, 40}) {
        const int folder = Store->Add(0, "folder" + std::to_string(count), true);
        std::vector<std::string> expected;
        for (int index = 0; index < count; ++index) {
            expected.push_back("f" + std::to_string(count - index));
            Store->Add(folder, expected.back(), false);
        }
        const TNimboCloudFile handle = Store->Item(folder, Root);
        const std::vector<TNimboCloudFile> files = handle.Files();
        EXPECT_EQ(NamesOf(files), expected) << count << " children";
        EXPECT_EQ(files.capacity(), files.size()) << "trimmed once at the end";

        std::vector<std::string> delivered;
        handle.Files([&](TNimboCloudFile AFile) { delivered.push_back(AFile.GetName()); });
        EXPECT_EQ(delivered, expected);
    }
}

TEST_F(Storage, CreatedItemsAreChildrenOfTheirFolder) {
    const TNimboCloudFile album = Photos.CreateFolder("Album");
    EXPECT_TRUE(album.GetIsFolder());
    std::istringstream content("picture bytes");
    const TNimboCloudFile picture = album.createFile("p.jpg", content);
    EXPECT_EQ(picture.GetName(), "p.jpg");
    EXPECT_EQ(picture.GetSize(), 13);
    EXPECT_EQ(NamesOf(Photos.Files()), std::vector<std::string>{"Album"});
    EXPECT_EQ(NamesOf(album.Files()), std::vector<std::string>{"p.jpg"});
}

TEST_F(Storage, DeleteWorksOnFilesAndFolders) {
    Text.Delete();
    Photos.Delete();
    EXPECT_TRUE(Root.Files().empty());
    EXPECT_EQ(Store->Calls["Delete"], 2);
}

TEST_F(Storage, UploadReplacesTheContent) {
    std::istringstream content("new content");
    Text.Upload(content);
    std::ostringstream out;
    Text.Download(out);
    EXPECT_EQ(out.str(), "new content");
}

// ---------------------------------------------------------------------------------------------
// Lifetime

TEST_F(Storage, ItemDataLivesWhileACopyOrAChildRefersToIt) {
    const int before = TMemoryData::Live;
    std::optional<TNimboCloudFile> album = Photos.CreateFolder("Album");
    std::optional<TNimboCloudFile> copy = *album;
    std::istringstream content("x");
    std::optional<TNimboCloudFile> child = album->createFile("c.txt", content);
    EXPECT_EQ(TMemoryData::Live, before + 2);
    std::weak_ptr<TNimboCloudFileData> albumData = album->Data();

    album.reset();
    copy.reset();
    EXPECT_FALSE(albumData.expired()) << "the child keeps its parent alive";
    child.reset();
    EXPECT_TRUE(albumData.expired());
    EXPECT_EQ(TMemoryData::Live, before);
}

TEST_F(Storage, ItemsOutliveTheirStorageAndFailCleanly) {
    const TNimboCloudFile folder = Photos;
    std::weak_ptr<TNimboCloudFileData> rootData = Root.Data();
    Store.reset();

    EXPECT_EQ(ErrorOf([&] { folder.GetName(); }), "Service has been destroyed.");
    EXPECT_EQ(ErrorOf([&] { folder.Files(); }), "Service has been destroyed.");
    EXPECT_EQ(ErrorOf([&] { folder.Delete(); }), "Service has been destroyed.");
    EXPECT_EQ(ErrorOf([&] { TMemoryData child(*folder.Data(), 99); }), "Service has been destroyed.");
    EXPECT_FALSE(rootData.expired()) << "the items still hold the root";
}

TEST_F(Storage, HandleDoesNotResolveToANewStorage) {
    const TNimboCloudFile kept = Text;
    Store = std::make_unique<TMemoryStorage>();
    Store->Add(0, "x", false);
    Store->Add(0, "y", false);
    EXPECT_EQ(ErrorOf([&] { kept.GetName(); }), "Service has been destroyed.");
}

// ---------------------------------------------------------------------------------------------
// Local files

TEST_F(StorageLocalFiles, DownloadWritesTheFile) {
    Text.Download(Local("a.txt"));
    EXPECT_EQ(ReadFile(Local("a.txt")), "hello");
    std::ofstream(Local("existing.txt")) << "a much longer old content";
    Text.Download(Local("existing.txt"));
    EXPECT_EQ(ReadFile(Local("existing.txt")), "hello");
    EXPECT_EQ(FolderEntries().size(), 2u);
}

TEST_F(StorageLocalFiles, FailedDownloadKeepsTheExistingFileAndLeavesNothingBehind) {
    std::ofstream(Local("a.txt")) << "precious";
    std::filesystem::permissions(Local("a.txt"),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    Store->FailDownloadAfter = 2;
    EXPECT_EQ(ErrorOf([&] { Text.Download(Local("a.txt")); }), "connection lost");
    EXPECT_EQ(ReadFile(Local("a.txt")), "precious");
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"a.txt"});

    EXPECT_THROW(Text.Download(Local("new.txt")), ERestError);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"a.txt"});
}

TEST_F(StorageLocalFiles, DownloadIsCheckedAgainstTheItemsContentHash) {
    struct TCase {
        const char* Algorithm;
        const char* Hash;
        bool Accepted;
    };
    const TCase cases[] = {
        {THashAlgorithm::Md5, "5d41402abc4b2a76b9719d911017c592", true},
        {THashAlgorithm::Md5, "5D41402ABC4B2A76B9719D911017C592", true},
        {THashAlgorithm::Md5, "00000000000000000000000000000000", false},
        {"crc32", "00000000", true},  // an algorithm not computed here is not checked
        {"", "", true},               // nor is an item without a hash
    };
    for (const TCase& check : cases) {
        SCOPED_TRACE(std::string(check.Algorithm) + " " + check.Hash);
        std::ofstream(Local("a.txt")) << "precious";
        static_cast<TMemoryData&>(*Text.Data()).SetHash(check.Algorithm, check.Hash);
        std::ostringstream out;
        if (check.Accepted) {
            Text.Download(Local("a.txt"));
            EXPECT_EQ(ReadFile(Local("a.txt")), "hello");
            Text.Download(out);
            EXPECT_EQ(out.str(), "hello");
        } else {
            const std::string error = ErrorOf([&] { Text.Download(Local("a.txt")); });
            EXPECT_THAT(error, HasSubstr("The download of \"a.txt\""));
            EXPECT_THAT(error, HasSubstr(check.Hash));
            EXPECT_THAT(error, HasSubstr("5d41402abc4b2a76b9719d911017c592"));
            EXPECT_EQ(ReadFile(Local("a.txt")), "precious");
            EXPECT_THAT(ErrorOf([&] { Text.Download(out); }), HasSubstr("failed its content check"));
        }
        EXPECT_EQ(FolderEntries(), std::vector<std::string>{"a.txt"});
    }
}

TEST_F(Storage, UploadIsCheckedAgainstTheHashOfWhatTheStorageStored) {
    Store->HashAlgorithm = THashAlgorithm::Sha1;
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "intact");
        Store->DamageUploads = damaged;
        std::istringstream replacement("new content");
        std::istringstream created("created content");
        const std::string replaceError = ErrorOf([&] { Text.Upload(replacement); });
        const std::string createError = ErrorOf([&] { Root.createFile("b.txt", created); });
        if (!damaged) {
            EXPECT_EQ(replaceError, "(no error)");
            EXPECT_EQ(createError, "(no error)");
        } else {
            EXPECT_THAT(replaceError, HasSubstr("The upload of \"a.txt\" failed its content check"));
            EXPECT_THAT(createError, HasSubstr("The upload of \"b.txt\" failed its content check"));
        }
        // The caller's streams end where the storage's reading left them, after the content.
        EXPECT_EQ(replacement.peek(), std::char_traits<char>::eof());
        EXPECT_EQ(created.peek(), std::char_traits<char>::eof());
    }
}

TEST_F(Storage, UploadWithoutAHashToCompareIsNotChecked) {
    Store->DamageUploads = true;  // undetectable without a hash
    std::istringstream content("new content");
    EXPECT_NO_THROW(Text.Upload(content));
    EXPECT_EQ(Text.GetHash(), "");
}

TEST_F(StorageLocalFiles, DownloadKeepsThePermissionsOfAReplacedFile) {
    namespace fs = std::filesystem;
    std::ofstream(Local("a.txt")) << "old";
    fs::permissions(Local("a.txt"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    Text.Download(Local("a.txt"));
    EXPECT_EQ(fs::status(Local("a.txt")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(StorageLocalFiles, DownloadThroughASymbolicLinkReplacesTheLinkedFile) {
    std::ofstream(Local("target.txt")) << "old";
    std::filesystem::create_symlink(Local("target.txt"), Local("link.txt"));
    Text.Download(Local("link.txt"));
    EXPECT_TRUE(std::filesystem::is_symlink(Local("link.txt")));
    EXPECT_EQ(ReadFile(Local("target.txt")), "hello");
}

// Pieces of every size the writer treats apart: single bytes, pieces that fit its buffer, pieces
// that overflow it, and pieces larger than it, over more than one stretch it hands to the disk early.
TEST_F(StorageLocalFiles, ReplacedFileHoldsEveryPieceInOrder) {
    std::string expected;
    ReplaceLocalFile(Local("big.bin"), [&](std::ostream& AStream) {
        const std::size_t sizes[] = {1, 100, (1 << 20) - 50, 200, 3 << 20, 1, (1 << 20) + 7, 5 << 20, 64 << 10};
        char next = 0;
        for (std::size_t size : sizes) {
            std::string piece(size, '\0');
            for (char& c : piece) c = ++next;
            if (size == 1)
                AStream.put(piece[0]);
            else
                AStream.write(piece.data(), static_cast<std::streamsize>(size));
            expected += piece;
        }
    });
    EXPECT_EQ(ReadFile(Local("big.bin")), expected);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"big.bin"});
}

// A write the file system refuses (here: over the process's file size limit) fails the replacement.
TEST_F(StorageLocalFiles, FailedWriteKeepsTheExistingFileAndLeavesNothingBehind) {
    std::ofstream(Local("a.txt")) << "precious";
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string error;
    try {
        ReplaceLocalFile(Local("a.txt"), [](std::ostream& AStream) {
            const std::string piece(256 << 10, 'x');
            for (int i = 0; i < 8; ++i) AStream.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        });
    } catch (const EFileError& e) {
        error = e.Message();
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_THAT(error, HasSubstr("Cannot write file"));
    EXPECT_THAT(error, HasSubstr(std::strerror(EFBIG)));
    EXPECT_EQ(ReadFile(Local("a.txt")), "precious");
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"a.txt"});
}

TEST_F(StorageLocalFiles, DownloadOfAFolderCreatesNoLocalFile) {
    EXPECT_EQ(ErrorOf([&] { Photos.Download(Local("Photos")); }), "\"Photos\" should be a file, not a folder");
    EXPECT_TRUE(FolderEntries().empty());
}

TEST_F(StorageLocalFiles, UploadAndCreateFromLocalFiles) {
    std::ofstream(Local("up.txt")) << "uploaded";
    Text.Upload(Local("up.txt"));
    EXPECT_EQ(Store->Nodes[TextId].Content, "uploaded");

    const TNimboCloudFile created = Photos.createFile("copy.txt", Local("up.txt"));
    EXPECT_EQ(created.GetName(), "copy.txt");
    EXPECT_EQ(created.GetSize(), 8);
}

TEST_F(StorageLocalFiles, MissingLocalFileFailsBeforeAnythingIsSent) {
    EXPECT_THROW(Text.Upload(Local("missing.txt")), EFileError);
    EXPECT_THROW(Photos.createFile("x.txt", Local("missing.txt")), EFileError);
    EXPECT_EQ(Store->Calls["Upload"] + Store->Calls["createFile"], 0);
    EXPECT_EQ(ErrorOf([&] { Photos.Upload(Local("missing.txt")); }), "\"Photos\" should be a file, not a folder")
        << "the check comes before the local file is opened";
}
