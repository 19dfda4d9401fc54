#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "Nimbo/Connection/ContentHash.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

std::string Pattern(std::size_t ASize) {
    std::string bytes(ASize, '\0');
    for (std::size_t i = 0; i < ASize; ++i) bytes[i] = static_cast<char>((i * 31 + 7) % 251);
    return bytes;
}

// Feeds the content in pieces of APiece bytes (the last one shorter).
std::string HashInPieces(const std::string& AAlgorithm, const std::string& AContent, std::size_t APiece,
                         bool AConcurrent = false) {
    const auto hasher = AConcurrent ? TContentHasher::CreateConcurrent(AAlgorithm) : TContentHasher::Create(AAlgorithm);
    for (std::size_t at = 0; at < AContent.size(); at += APiece)
        hasher->Update(AContent.data() + at, std::min(APiece, AContent.size() - at));
    return hasher->Finish();
}

struct TKnownHash {
    const char* Algorithm;
    std::string Content;
    const char* Hash;
};

// Expected values computed independently, with a straightforward bit-by-bit quickXor.
const TKnownHash KnownHashes[] = {
    {THashAlgorithm::Md5, "hello", "5d41402abc4b2a76b9719d911017c592"},
    {THashAlgorithm::Sha1, "hello", "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d"},
    {THashAlgorithm::Sha256, "hello", "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"},
    {THashAlgorithm::DropboxContent, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {THashAlgorithm::DropboxContent, "hello", "9595c9df90075148eb06860365df33584b75bff782a510c6cd4883a419833d50"},
    // Two whole 4 MiB blocks and a part of a third.
    {THashAlgorithm::DropboxContent, Pattern(9 << 20),
     "a7cbf870b76d55b6c87c25a22cf91341d730bfee7a86e3a4db4490af1a716fa9"},
    {THashAlgorithm::QuickXor, "", "AAAAAAAAAAAAAAAAAAAAAAAAAAA="},
    {THashAlgorithm::QuickXor, "hello", "aCgDG9jwBgAAAAAABQAAAAAAAAA="},
    {THashAlgorithm::QuickXor, Pattern(1000), "IqC311UxAsHIL1TnnrXbxgJdMMI="},
};

}  // namespace

TEST(ContentHash, GivesEachServicesHashWhateverThePiecesTheContentComesIn) {
    for (const TKnownHash& known : KnownHashes)
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{160}, std::size_t{1000003}}) {
            if (piece == 1 && known.Content.size() > 100000) continue;  // byte by byte is slow and adds nothing
            for (const bool concurrent : {false, true})
                EXPECT_EQ(HashInPieces(known.Algorithm, known.Content, piece, concurrent), known.Hash)
                    << known.Algorithm << " of " << known.Content.size() << " bytes in pieces of " << piece
                    << (concurrent ? " on its own thread" : "");
        }
}

TEST(ContentHash, UnknownAlgorithmHasNoHasher) {
    EXPECT_EQ(TContentHasher::Create("crc32"), nullptr);
    EXPECT_EQ(TContentHasher::Create(""), nullptr);
    EXPECT_EQ(TContentHasher::CreateConcurrent("crc32"), nullptr);
}

TEST(ContentHash, ConcurrentHasherDroppedUnfinishedEndsItsThread) {
    const std::string content = Pattern(5 << 20);
    auto hasher = TContentHasher::CreateConcurrent(THashAlgorithm::Sha256);
    hasher->Update(content.data(), content.size());
    hasher.reset();  // must neither hang nor leave a thread running (the sanitizers would tell)
}

TEST(ContentHash, HexHashesCompareInAnyCaseAndBase64OnesExactly) {
    EXPECT_TRUE(
        SameContentHash(THashAlgorithm::Md5, "5D41402ABC4B2A76B9719D911017C592", "5d41402abc4b2a76b9719d911017c592"));
    EXPECT_FALSE(
        SameContentHash(THashAlgorithm::Md5, "5d41402abc4b2a76b9719d911017c593", "5d41402abc4b2a76b9719d911017c592"));
    EXPECT_FALSE(
        SameContentHash(THashAlgorithm::QuickXor, "acgdg9jwbgaaaaaabqaaaaaaaaa=", "aCgDG9jwBgAAAAAABQAAAAAAAAA="));
}

TEST(ContentHash, MismatchNamesWhatWasCheckedAndBothHashes) {
    EXPECT_NO_THROW(CheckContentHash("The download of \"a\"", THashAlgorithm::Sha1, "AB", "ab"));
    EXPECT_THAT(
        [] { CheckContentHash("The download of \"a\"", THashAlgorithm::Sha1, "ab", "cd"); },
        ThrowsMessage<ERestError>(AllOf(HasSubstr("The download of \"a\""), HasSubstr("sha1 ab"), HasSubstr("cd"))));
}

TEST(ContentHash, HashingStreamForwardsEveryByteAndHashesThem) {
    std::ostringstream target;
    const auto hasher = TContentHasher::Create(THashAlgorithm::Md5);
    THashingStream stream(target, *hasher);
    stream << "he";
    stream.put('l');
    stream.write("lo", 2);
    stream.flush();
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(target.str(), "hello");
    EXPECT_EQ(hasher->Finish(), "5d41402abc4b2a76b9719d911017c592");
}

TEST(ContentHash, HashingStreamFailsWhenItsTargetFails) {
    std::ostringstream target;
    target.setstate(std::ios::badbit);
    const auto hasher = TContentHasher::Create(THashAlgorithm::Md5);
    THashingStream stream(target, *hasher);
    stream.write("hello", 5);
    EXPECT_FALSE(stream.good());
}

namespace {

// A source that can only be read forward, as a pipe.
class TForwardOnly : public std::streambuf {
public:
    explicit TForwardOnly(std::string AContent) : FContent(std::move(AContent)) {
        setg(FContent.data(), FContent.data(), FContent.data() + FContent.size());
    }

private:
    std::string FContent;
};

std::string Md5(const std::string& AContent) { return HashInPieces(THashAlgorithm::Md5, AContent, 4096); }

}  // namespace

TEST(ContentHash, HashingInputHashesTheContentWhateverOrderItIsReadIn) {
    const std::string content = Pattern(100000);
    struct TReading {
        const char* Name;
        std::function<void(std::istream&)> Read;
    };
    const TReading readings[] = {
        {"in one read", [](std::istream& AIn) { std::string all(std::istreambuf_iterator<char>(AIn), {}); }},
        {"a part read twice after a seek back",
         [](std::istream& AIn) {
             std::string part(30000, '\0');
             AIn.read(part.data(), 30000);
             AIn.seekg(10000);
             std::string rest(std::istreambuf_iterator<char>(AIn), {});
         }},
        {"a part skipped by a seek forward",
         [](std::istream& AIn) {
             AIn.seekg(60000);
             std::string rest(std::istreambuf_iterator<char>(AIn), {});
         }},
        {"only the start read", [](std::istream& AIn) { AIn.get(); }},
    };
    for (const TReading& reading : readings) {
        SCOPED_TRACE(reading.Name);
        std::istringstream source(content);
        const auto hasher = TContentHasher::Create(THashAlgorithm::Md5);
        THashingInput input(source, *hasher);
        reading.Read(input);
        const std::streamoff position = input.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
        EXPECT_EQ(input.Finish(), Md5(content));
        EXPECT_EQ(input.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in), position);
    }
}

TEST(ContentHash, HashingInputCoversTheContentFromTheSourcesPositionOn) {
    std::istringstream source("header:body");
    source.seekg(7);
    const auto hasher = TContentHasher::Create(THashAlgorithm::Md5);
    THashingInput input(source, *hasher);
    std::string read(std::istreambuf_iterator<char>(input), {});
    EXPECT_EQ(read, "body");
    EXPECT_EQ(input.Finish(), Md5("body"));
}

TEST(ContentHash, HashingInputOfASourceThatCannotSeekNeedsItReadToTheEnd) {
    const std::string content = Pattern(50000);
    {
        TForwardOnly pipe(content);
        std::istream source(&pipe);
        const auto hasher = TContentHasher::Create(THashAlgorithm::Md5);
        THashingInput input(source, *hasher);
        std::string all(std::istreambuf_iterator<char>(input), {});
        EXPECT_EQ(input.Finish(), Md5(content));
    }
    {
        TForwardOnly pipe(content);
        std::istream source(&pipe);
        const auto hasher = TContentHasher::Create(THashAlgorithm::Md5);
        THashingInput input(source, *hasher);
        input.get();
        EXPECT_EQ(input.Finish(), "");  // the rest cannot be read again: no hash rather than a wrong one
    }
}
