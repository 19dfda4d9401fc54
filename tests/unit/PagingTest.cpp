#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Nimbo/Connection/Paging.h"

using namespace Nimbo::Connection;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

namespace {

// A service whose sign-in check only counts.
class TCountingService : public TRestService {
public:
    int Refreshes = 0;
    void RefreshAccess() override { ++Refreshes; }

protected:
    std::string GetServerName() const override { return "paging.example"; }
};

// Runs a listing over scripted pages and keeps every position asked for.
class Paging : public ::testing::Test {
protected:
    TCountingService Service;
    std::vector<TPagePosition> Asked;

    void Run(const TPaging& APaging, std::vector<TPageSummary> APages) {
        RunPages(Service, APaging, [&](const TPagePosition& APosition) {
            Asked.push_back(APosition);
            if (Asked.size() > APages.size()) throw std::logic_error("asked past the last scripted page");
            return APages[Asked.size() - 1];
        });
    }
    std::vector<std::string> Tokens() const {
        std::vector<std::string> tokens;
        for (const TPagePosition& position : Asked) tokens.push_back(position.Token);
        return tokens;
    }
    std::vector<std::int64_t> Offsets() const {
        std::vector<std::int64_t> offsets;
        for (const TPagePosition& position : Asked) offsets.push_back(position.Offset);
        return offsets;
    }
};

TPageSummary Page(std::size_t AEntries, std::string ANext, bool AHasMore = false) {
    return {.Entries = AEntries, .Next = std::move(ANext), .HasMore = AHasMore};
}

TPageSummary Counted(std::size_t AEntries, std::int64_t AApplied, std::int64_t ATotal) {
    return {.Entries = AEntries, .Applied = AApplied, .Total = ATotal};
}

}  // namespace

TEST_F(Paging, TokensAreFollowedThroughEmptyPagesUntilNoneIsNamed) {
    Run(TPageTokenPaging(50), {Page(50, "t1"), Page(0, "t2"), Page(7, "")});

    EXPECT_THAT(Tokens(), ElementsAre("", "t1", "t2"));
    EXPECT_TRUE(Asked[0].First);
    EXPECT_FALSE(Asked[1].First);
    EXPECT_EQ(Asked[0].PageSize, 50);
    EXPECT_EQ(Service.Refreshes, 1) << "one sign-in check per listing";
}

TEST_F(Paging, ATokenNamedAgainEndsTheListingWithAnError) {
    struct TCase {
        std::vector<TPageSummary> Pages;
        std::size_t Requests;
    };
    const TCase cases[] = {{{Page(1, "t1"), Page(1, "t1")}, 2},                  // the page names itself
                           {{Page(1, "t1"), Page(1, "t2"), Page(1, "t1")}, 3}};  // a longer circle
    for (const TCase& c : cases) {
        Asked.clear();
        EXPECT_THAT([&] { Run(TPageTokenPaging(10), c.Pages); },
                    ThrowsMessage<ERestError>(HasSubstr("repeats its page token \"t1\"")));
        EXPECT_EQ(Asked.size(), c.Requests);
    }
    Asked.clear();
    EXPECT_THAT(
        [&] {
            Run(TMarkerPaging(10), {Page(1, "m"), Page(1, "m")});
        },
        ThrowsMessage<ERestError>(HasSubstr("repeats its marker \"m\"")));
}

TEST_F(Paging, CursorsAreSentBackWhileTheServiceSaysMoreFollows) {
    Run(TCursorPaging(2000), {Page(3, "c1", true), Page(0, "c2", true), Page(1, "c3", false)});
    EXPECT_THAT(Tokens(), ElementsAre("", "c1", "c2"));

    Asked.clear();
    EXPECT_THAT(
        [&] {
            Run(TCursorPaging(2000), {Page(3, "c1", true), Page(3, "c1", true)});
        },
        ThrowsMessage<ERestError>(HasSubstr("repeats its cursor \"c1\"")));
    EXPECT_EQ(Asked.size(), 2u);

    Asked.clear();
    EXPECT_THAT([&] { Run(TCursorPaging(2000), {Page(3, "", true)}); },
                ThrowsMessage<ERestError>(HasSubstr("gives no cursor")));
}

TEST_F(Paging, CountedOffsetsMoveOnByTheAppliedPageSizeUntilTheCount) {
    // Short and empty pages before the end do not end the listing; an unknown page size counts as
    // the largest one.
    Run(TOffsetPaging(10), {Counted(3, 8, 30), Counted(0, 0, 30), Counted(5, 8, 30), Counted(2, 8, 30)});
    EXPECT_THAT(Offsets(), ElementsAre(0, 8, 18, 26));

    Asked.clear();
    Run(TOffsetPaging(10), {Counted(0, 10, 0)});
    EXPECT_THAT(Offsets(), ElementsAre(0)) << "an empty folder is one request";
}

TEST_F(Paging, UncountedOffsetsMoveOnByTheEntriesUntilNoMoreOrAnEmptyPage) {
    Run(TOffsetPaging(4), {Page(4, "", true), Page(3, "", true), Page(0, "", true)});
    EXPECT_THAT(Offsets(), ElementsAre(0, 4, 7));

    Asked.clear();
    Run(TOffsetPaging(4), {Page(4, "", true), Page(2, "", false)});
    EXPECT_THAT(Offsets(), ElementsAre(0, 4));
}

TEST_F(Paging, ASinglePageListingAsksOnceForItsLargestPage) {
    Run(TSinglePagePaging(25000), {Page(3, "ignored", true)});
    ASSERT_EQ(Asked.size(), 1u);
    EXPECT_EQ(Asked[0].PageSize, 25000);
}

TEST_F(Paging, AFailingPageEndsTheListingWithItsError) {
    EXPECT_THAT(
        [&] {
            RunPages(Service, TPageTokenPaging(10), [&](const TPagePosition& APosition) -> TPageSummary {
                if (!APosition.First) throw ETransportError("connection reset");
                return Page(1, "t1");
            });
        },
        ThrowsMessage<ETransportError>(HasSubstr("connection reset")));
}
