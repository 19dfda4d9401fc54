#pragma once

// Listings a service hands out page by page: one driver, and a small strategy for each way a
// service names the next page (page token, cursor, offset, marker).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <utility>

#include "Nimbo/Connection/HttpJson.h"
#include "Nimbo/Connection/RestService.h"

namespace Nimbo::Connection {

// Where a listing stands before one of its requests.
struct TPagePosition {
    bool First = true;
    std::string Token{};      // the token, cursor, marker or address the previous page named
    std::int64_t Offset = 0;  // offset listings: the index of the page's first entry
    int PageSize = 0;         // the most entries to ask for (the strategy's largest page)
};

// What one page says about the rest of the listing.
struct TPageSummary {
    std::size_t Entries = 0;   // the items on this page
    std::string Next{};        // the next page's token, cursor, marker or address; empty for none
    bool HasMore = false;      // cursor and offset listings: the service says that more follows
    std::int64_t Applied = 0;  // offset listings: the page size the service applied; 0 when not told
    std::int64_t Total = -1;   // offset listings: the entries of the whole listing; -1 when not told
};

// How a listing moves from one page to the next and when it ends.
class TPaging {
public:
    explicit TPaging(int ALargestPage) : FLargestPage(ALargestPage) {}
    virtual ~TPaging() = default;

    // The most entries one request may ask for.
    int LargestPage() const { return FLargestPage; }
    // Moves APosition past the page; false once the listing has ended. ERestError when the page
    // would lead the listing back to a page it has had.
    virtual bool Advance(TPagePosition& APosition, TPageSummary& APage,
                         std::unordered_set<std::string>& ASeen) const = 0;

private:
    int FLargestPage;
};

// Each page names the next by an opaque text (Drive's nextPageToken, Graph's @odata.nextLink); the
// last names none. A page may be empty and still name a next one.
class TPageTokenPaging : public TPaging {
public:
    // AWhat names the text in errors ("page token", "marker", ...).
    TPageTokenPaging(int ALargestPage, std::string AWhat = "page token")
        : TPaging(ALargestPage), FWhat(std::move(AWhat)) {}
    bool Advance(TPagePosition& APosition, TPageSummary& APage, std::unordered_set<std::string>& ASeen) const override;

private:
    std::string FWhat;
};

// Box's marker listing: each page names the marker of the next; the last names none.
class TMarkerPaging : public TPageTokenPaging {
public:
    explicit TMarkerPaging(int ALargestPage) : TPageTokenPaging(ALargestPage, "marker") {}
};

// Each page carries a cursor and says whether more follows (Dropbox's has_more); the next request
// sends the cursor back.
class TCursorPaging : public TPaging {
public:
    using TPaging::TPaging;
    bool Advance(TPagePosition& APosition, TPageSummary& APage, std::unordered_set<std::string>& ASeen) const override;
};

// Pages addressed by the index of their first entry. When the service tells the listing's whole
// count, the offset moves on by the page size it applied (a page may come back short, even empty,
// before the end) until that count; otherwise by the entries received, while the service says
// that more follows and the page is not empty (an empty page cannot move the offset on).
class TOffsetPaging : public TPaging {
public:
    using TPaging::TPaging;
    bool Advance(TPagePosition& APosition, TPageSummary& APage, std::unordered_set<std::string>& ASeen) const override;
};

// The whole folder in one answer of at most LargestPage entries.
class TSinglePagePaging : public TPaging {
public:
    using TPaging::TPaging;
    bool Advance(TPagePosition&, TPageSummary&, std::unordered_set<std::string>&) const override { return false; }
};

// Runs a listing: signs in once (AService.RefreshAccess), then hands every position, from the
// first page on, to APage, which asks for that page, delivers its items and tells what it says
// about the rest.
void RunPages(TRestService& AService, const TPaging& APaging,
              const std::function<TPageSummary(const TPagePosition&)>& APage);

// RunPages for pages decoded into TPage: ARequest(position) describes the request of one page (a
// read, repeated as the retry policy says); ATake(page) delivers its items and returns its summary.
template <class TPage, class TRequest, class TTake>
void ListPages(TRestService& AService, const TPaging& APaging, TRequest&& ARequest, TTake&& ATake) {
    RunPages(AService, APaging, [&](const TPagePosition& APosition) {
        TPage page;
        ARequest(APosition).SafeToRepeat().Execute(page);
        return ATake(page);
    });
}

}  // namespace Nimbo::Connection
