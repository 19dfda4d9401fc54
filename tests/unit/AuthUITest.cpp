#include <gtest/gtest.h>

#include <memory>

#include "AuthUITestSupport.h"
#include "Nimbo/Connection/platform/Exceptions.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;

namespace {

class AuthUIRegistry : public ::testing::Test {
protected:
    TAuthUIRegistryIsolation Isolation;
};

}  // namespace

TEST(AuthEvents, SetOperations) {
    const TAuthEvents all{aeNavigateComplete, aeTitleChanged, aeCanceled};
    const TAuthEvents navigate{aeNavigateComplete, aeCanceled};
    EXPECT_TRUE(all.ContainsAll(navigate));
    EXPECT_FALSE(navigate.ContainsAll(all));
    EXPECT_TRUE(navigate.ContainsAll({}));
    EXPECT_TRUE(TAuthEvents{}.IsEmpty());
    EXPECT_FALSE(navigate.Contains(aeTitleChanged));
    EXPECT_EQ((TAuthEvents{aeCanceled, aeNavigateComplete}), navigate);
}

TEST_F(AuthUIRegistry, EmptyRegistryFindsNothing) {
    EXPECT_FALSE(TAuthUI::Find({}));
    EXPECT_FALSE(TAuthUI::Find({aeCanceled}));
}

TEST_F(AuthUIRegistry, RegisteringTwiceKeepsOneEntry) {
    TAuthUI::Register(TAuthUIClass::Of<TFullWindow>());
    TAuthUI::Register(TAuthUIClass::Of<TFullWindow>());
    EXPECT_EQ(TAuthUI::RegisteredClasses().size(), 1u);
}

TEST_F(AuthUIRegistry, FindTakesTheFirstRegisteredClassSupportingEveryRequiredEvent) {
    TAuthUI::Register(TAuthUIClass::Of<TNavigateOnlyWindow>());
    TAuthUI::Register(TAuthUIClass::Of<TFullWindow>());
    TAuthUI::Register(TAuthUIClass::Of<TOtherFullWindow>());

    EXPECT_TRUE(TAuthUI::Find({}) == TAuthUIClass::Of<TNavigateOnlyWindow>());
    EXPECT_TRUE(TAuthUI::Find({aeNavigateComplete, aeCanceled}) == TAuthUIClass::Of<TNavigateOnlyWindow>());
    EXPECT_TRUE(TAuthUI::Find({aeTitleChanged}) == TAuthUIClass::Of<TFullWindow>());
}

TEST_F(AuthUIRegistry, UnregisterRemovesOnlyThatClass) {
    TAuthUI::Register(TAuthUIClass::Of<TFullWindow>());
    TAuthUI::Register(TAuthUIClass::Of<TOtherFullWindow>());
    TAuthUI::Unregister(TAuthUIClass::Of<TFullWindow>());
    EXPECT_TRUE(TAuthUI::Find({aeTitleChanged}) == TAuthUIClass::Of<TOtherFullWindow>());
}

TEST(AuthUIClass, CreatesWindowsOfItsClassAndAnswersForIt) {
    const TAuthUIClass windowClass = TAuthUIClass::Of<TNavigateOnlyWindow>();
    EXPECT_TRUE(windowClass.Supports({aeNavigateComplete}));
    EXPECT_FALSE(windowClass.Supports({aeTitleChanged}));
    const int created = TNavigateOnlyWindow::Script().Created;
    std::unique_ptr<TAuthUI> window = windowClass.Create();
    EXPECT_NE(dynamic_cast<TNavigateOnlyWindow*>(window.get()), nullptr);
    EXPECT_EQ(TNavigateOnlyWindow::Script().Created, created + 1);

    const TAuthUIClass none;
    EXPECT_FALSE(none);
    EXPECT_THROW(none.Create(), EAssertionFailed);
    EXPECT_THROW(TAuthUI::Register(none), EAssertionFailed);
}

TEST(AuthUI, DoEventReachesTheHandlerOnlyWhileOneIsSet) {
    TFullWindow window;
    EXPECT_NO_THROW(window.DoEvent(aeTitleChanged, "ignored"));

    std::vector<std::pair<TAuthEvent, std::string>> seen;
    window.SetOnEvent([&](TAuthEvent AEvent, const std::string& AText) { seen.emplace_back(AEvent, AText); });
    window.DoEvent(aeNavigateComplete, "https://a.example/");
    window.SetOnEvent(nullptr);
    window.DoEvent(aeTitleChanged, "late");
    EXPECT_EQ(seen, (std::vector<std::pair<TAuthEvent, std::string>>{{aeNavigateComplete, "https://a.example/"}}));
}

TEST(AuthUI, HandlerMayDetachItselfWhileItRuns) {
    TFullWindow window;
    auto received = std::make_shared<std::string>();
    window.SetOnEvent([&window, received, suffix = std::string(64, 'x')](TAuthEvent, const std::string& AText) {
        window.SetOnEvent(nullptr);
        *received = AText + suffix;  // the callable's own captures are still in use after detaching
    });
    window.DoEvent(aeTitleChanged, "title");
    EXPECT_EQ(*received, "title" + std::string(64, 'x'));
    EXPECT_FALSE(window.GetOnEvent());
}
