#include "Nimbo/Connection/Paging.h"

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

// Moves APosition to ANext, which a service names for the page after this one; ERestError when the
// listing has had that page already, since the service would then hand out the same pages forever.
void MoveTo(TPagePosition& APosition, std::string&& ANext, std::unordered_set<std::string>& ASeen,
            const std::string& AWhat) {
    if (!ASeen.insert(ANext).second)
        throw ERestError("The listing of the folder repeats its " + AWhat + " \"" + ANext + "\"");
    APosition.Token = std::move(ANext);
}

}  // namespace

bool TPageTokenPaging::Advance(TPagePosition& APosition, TPageSummary& APage,
                               std::unordered_set<std::string>& ASeen) const {
    if (APage.Next.empty()) return false;
    MoveTo(APosition, std::move(APage.Next), ASeen, FWhat);
    return true;
}

bool TCursorPaging::Advance(TPagePosition& APosition, TPageSummary& APage,
                            std::unordered_set<std::string>& ASeen) const {
    if (!APage.HasMore) return false;
    if (APage.Next.empty()) throw ERestError("The listing of the folder says more follows but gives no cursor");
    MoveTo(APosition, std::move(APage.Next), ASeen, "cursor");
    return true;
}

bool TOffsetPaging::Advance(TPagePosition& APosition, TPageSummary& APage, std::unordered_set<std::string>&) const {
    if (APage.Total >= 0) {
        APosition.Offset += APage.Applied > 0 ? APage.Applied : LargestPage();
        return APosition.Offset < APage.Total;
    }
    if (!APage.HasMore || APage.Entries == 0) return false;
    APosition.Offset += static_cast<std::int64_t>(APage.Entries);
    return true;
}

void RunPages(TRestService& AService, const TPaging& APaging,
              const std::function<TPageSummary(const TPagePosition&)>& APage) {
    AService.RefreshAccess();
    TPagePosition position{.PageSize = APaging.LargestPage()};
    std::unordered_set<std::string> seen;
    for (;;) {
        TPageSummary page = APage(position);
        if (!APaging.Advance(position, page, seen)) return;
        position.First = false;
    }
}

}  // namespace Nimbo::Connection
