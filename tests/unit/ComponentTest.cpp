#include <gtest/gtest.h>

#include <vector>

#include "Nimbo/Connection/platform/Component.h"

using namespace Nimbo::Connection;

namespace {

class TProbe : public TComponent {
public:
    TProbe(TComponent* AOwner, std::vector<int>& ALog, int AId) : TComponent(AOwner), FLog(ALog), FId(AId) {}
    ~TProbe() override { FLog.push_back(FId); }

private:
    std::vector<int>& FLog;
    int FId;
};

}  // namespace

TEST(Component, OwnerDestroysWhatItOwns) {
    std::vector<int> destroyed;
    auto* owner = new TProbe(nullptr, destroyed, 0);
    new TProbe(owner, destroyed, 1);
    auto* second = new TProbe(owner, destroyed, 2);
    new TProbe(second, destroyed, 3);
    EXPECT_EQ(owner->Components().size(), 2u);
    delete owner;
    EXPECT_EQ(destroyed, (std::vector<int>{0, 2, 3, 1}));
}

TEST(Component, ComponentDestroyedFirstLeavesItsOwner) {
    std::vector<int> destroyed;
    TProbe owner(nullptr, destroyed, 0);
    delete new TProbe(&owner, destroyed, 1);
    EXPECT_TRUE(owner.Components().empty());
}

TEST(Component, LoadedLowersTheLoadingFlag) {
    TComponent c;
    EXPECT_FALSE(c.IsLoading());
    c.BeginLoading();
    EXPECT_TRUE(c.IsLoading());
    c.Loaded();
    EXPECT_FALSE(c.IsLoading());
}
