#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "RestServiceTestSupport.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;

// ---------------------------------------------------------------------------------------------
// Ids, the live list and handles

TEST(RestService, IdsAreConsecutiveAndNeverReused) {
    auto first = std::make_unique<TTestService>();
    TTestService second;
    const int firstId = first->GetId();
    EXPECT_EQ(second.GetId(), firstId + 1);
    first.reset();
    TTestService third;
    EXPECT_EQ(third.GetId(), firstId + 2);
}

TEST(RestService, HandleFailsOnceItsServiceIsDestroyedEvenWhenAnotherTakesItsPlace) {
    std::optional<TTestService> slot;
    slot.emplace();
    TRestHandle handle(*slot);
    EXPECT_EQ(&handle.GetService(), &*slot);

    slot.reset();
    slot.emplace();  // a new service of the same kind, very likely at the same address
    try {
        handle.GetService();
        FAIL() << "a handle of a destroyed service resolved";
    } catch (const ERestError& error) {
        EXPECT_STREQ(error.what(), "Service has been destroyed.");
    }
    EXPECT_EQ(&TRestHandle(*slot).GetService(), &*slot);
}

TEST(RestService, HandlesFindEveryLiveServiceWhateverTheOrderOfDestruction) {
    auto a = std::make_unique<TTestService>();
    auto b = std::make_unique<TTestService>();
    auto c = std::make_unique<TTestService>();
    TRestHandle ha(*a), hb(*b), hc(*c);
    b.reset();  // unlinked from the middle of the list
    EXPECT_EQ(&ha.GetService(), a.get());
    EXPECT_EQ(&hc.GetService(), c.get());
    EXPECT_THROW(hb.GetService(), ERestError);
    c.reset();  // the head of the list
    EXPECT_EQ(&ha.GetService(), a.get());
}

TEST(RestService, OwnerDestroysItsServices) {
    auto owner = std::make_unique<TComponent>();
    auto* service = new TTestService(owner.get());
    TRestHandle handle(*service);
    owner.reset();
    EXPECT_THROW(handle.GetService(), ERestError);
}

TEST(RestService, HttpClientIsBoundToTheDerivedServersName) {
    TTestService service;
    EXPECT_EQ(service.Http().Server(), "api.example.com");
    EXPECT_EQ(&service.Http(), &service.Http());
}

// ---------------------------------------------------------------------------------------------
// State objects and groups

TEST(RestService, NewServiceHasItsOwnStateOfItsStateClassWithTheDefaultRedirectUrl) {
    TTestService a, b;
    EXPECT_NE(&a.State(), &b.State());
    EXPECT_NE(dynamic_cast<TTestState*>(&a.State()), nullptr);
    EXPECT_EQ(a.GetGroup(), -1);
    EXPECT_EQ(a.GetRedirectUrl(), TTestState::DefaultRedirect);
    EXPECT_EQ(a.GetExpires(), 0.0);
}

TEST(RestService, GroupSharesTheStateAndFreesTheFormerOne) {
    TTestService a, b;
    TServiceState* formerA = &a.State();
    TServiceState* formerB = &b.State();

    a.SetGroup(5);
    EXPECT_FALSE(TTestState::IsAlive(formerA));
    b.SetGroup(5);
    EXPECT_EQ(&a.State(), &b.State());
    EXPECT_FALSE(TTestState::IsAlive(formerB));

    a.SetClientId("client");
    b.State().SetToken("t", "r", 1.0);
    a.SetSecret("secret");  // an effective change on one signs out both
    EXPECT_EQ(b.GetClientId(), "client");
    EXPECT_EQ(b.GetToken(), "");
    EXPECT_EQ(b.GetRefresh(), "");
    EXPECT_EQ(b.GetExpires(), MinDateTime);
}

TEST(RestService, SharedStateLivesUntilItsLastUserIsGone) {
    auto a = std::make_unique<TTestService>();
    auto b = std::make_unique<TTestService>();
    a->SetGroup(3);
    b->SetGroup(3);
    TServiceState* shared = &a->State();
    a.reset();
    EXPECT_TRUE(TTestState::IsAlive(shared));
    EXPECT_EQ(&b->State(), shared);
    b->SetGroup(4);
    EXPECT_FALSE(TTestState::IsAlive(shared));
}

TEST(RestService, ServicesWhoseStateClassIsTheBaseClassNeverShare) {
    TPlainService a, b;
    a.SetGroup(5);
    b.SetGroup(5);
    EXPECT_NE(&a.State(), &b.State());
}

TEST(RestService, SharingAcceptsAStateOfASubclassButNotOfABaseClass) {
    TTestServiceOf<TDerivedTestState> derived;
    TTestService base;
    derived.SetGroup(8);
    base.SetGroup(8);
    EXPECT_EQ(&base.State(), &derived.State()) << "a derived state is an instance of the base state class";

    TTestService baseFirst;
    TTestServiceOf<TDerivedTestState> derivedLater;
    baseFirst.SetGroup(9);
    derivedLater.SetGroup(9);
    EXPECT_NE(&baseFirst.State(), &derivedLater.State());
    EXPECT_NE(dynamic_cast<TDerivedTestState*>(&derivedLater.State()), nullptr);
}

TEST(RestService, CredentialsMoveIntoANewGroupWhoseStateHasNone) {
    TTestService a;
    a.SetClientId("id");
    a.SetSecret("secret");
    a.SetRedirectUrl("https://own.example/cb");
    a.SetGroup(6);
    EXPECT_EQ(a.State().GetClientId(), "id");
    EXPECT_EQ(a.State().GetSecret(), "secret");
    EXPECT_EQ(a.State().GetRedirectUrl(), "https://own.example/cb");
    EXPECT_EQ(a.State().GetGroup(), 6);
}

TEST(RestService, ServiceJoiningAGroupWithCredentialsTakesTheGroupsCredentials) {
    TTestService member, joiner;
    member.SetGroup(6);
    member.SetClientId("group-id");
    member.State().SetToken("token", "refresh", 2.0);
    joiner.SetClientId("own-id");
    joiner.SetSecret("own-secret");

    joiner.SetGroup(6);
    EXPECT_EQ(joiner.GetClientId(), "group-id");
    EXPECT_EQ(joiner.GetSecret(), "");
    EXPECT_EQ(joiner.GetToken(), "token") << "joining must not sign the group out";
}

TEST(RestService, SettingTheSameGroupAgainChangesNothing) {
    TTestService a;
    a.SetGroup(2);
    TServiceState* state = &a.State();
    a.State().SetToken("token", "", 1.0);
    a.SetGroup(2);
    EXPECT_EQ(&a.State(), state);
    EXPECT_EQ(a.GetToken(), "token");
}

TEST(RestService, GetServicesVisitsExactlyTheServicesOfTheStateInRegistryOrder) {
    TTestService a, outsider, b;
    a.SetGroup(12);
    b.SetGroup(12);
    std::vector<TRestService*> seen;
    a.State().GetServices([&](TRestService& AService) { seen.push_back(&AService); });
    EXPECT_EQ(seen, (std::vector<TRestService*>{&a, &b}));
}

// ---------------------------------------------------------------------------------------------
// Credentials

struct TCredentialCase {
    const char* Name;
    void (TRestService::*Set)(const std::string&);
    std::string (TRestService::*Get)() const;
};

void PrintTo(const TCredentialCase& ACase, std::ostream* AOut) { *AOut << ACase.Name; }

class RestServiceCredential : public ::testing::TestWithParam<TCredentialCase> {};

TEST_P(RestServiceCredential, ResetsTheTokenOnlyOnAnEffectiveChange) {
    const TCredentialCase& credential = GetParam();
    TTestService service;
    (service.*credential.Set)("value");
    service.State().SetToken("token", "refresh", 123.5);

    (service.*credential.Set)("value");
    EXPECT_EQ(service.GetToken(), "token");
    EXPECT_EQ(service.GetExpires(), 123.5);

    (service.*credential.Set)("Value");  // the comparison is case-sensitive
    EXPECT_EQ((service.*credential.Get)(), "Value");
    EXPECT_EQ(service.GetToken(), "");
    EXPECT_EQ(service.GetRefresh(), "");
    EXPECT_EQ(service.GetExpires(), MinDateTime);
}

INSTANTIATE_TEST_SUITE_P(
    All, RestServiceCredential,
    ::testing::Values(TCredentialCase{"ClientId", &TRestService::SetClientId, &TRestService::GetClientId},
                      TCredentialCase{"Secret", &TRestService::SetSecret, &TRestService::GetSecret},
                      TCredentialCase{"RedirectUrl", &TRestService::SetRedirectUrl, &TRestService::GetRedirectUrl}),
    [](const auto& AInfo) { return std::string(AInfo.param.Name); });

TEST(RestService, CheckAuthParamsNamesTheFirstMissingCredential) {
    struct TCase {
        std::string ClientId, Secret, RedirectUrl, Message;
    };
    const TCase cases[] = {
        {"", "", "", "ClientId is not specified"},
        {"", "s", "r", "ClientId is not specified"},
        {"c", "", "", "Secret is not specified"},
        {"c", "s", "", "RedirectUrl is not specified"},
    };
    for (const TCase& test : cases) {
        TTestService service;
        service.SetClientId(test.ClientId);
        service.SetSecret(test.Secret);
        service.SetRedirectUrl(test.RedirectUrl);
        try {
            service.CheckAuthParams();
            ADD_FAILURE() << "no error for " << test.Message;
        } catch (const ERestError& error) {
            EXPECT_EQ(error.Message(), test.Message);
        }
    }
    TTestService complete;
    complete.SetClientId("c");
    complete.SetSecret("s");
    EXPECT_NO_THROW(complete.CheckAuthParams());  // the redirect URL is the state class's default
}

TEST(RestService, RedirectUrlIsStoredOnlyWhenItDiffersFromTheDefault) {
    TTestService service;
    EXPECT_FALSE(service.IsRedirectUrlStored());
    service.SetRedirectUrl("https://other.example/cb");
    EXPECT_TRUE(service.IsRedirectUrlStored());
    service.SetRedirectUrl(TTestState::DefaultRedirect);
    EXPECT_FALSE(service.IsRedirectUrlStored());
    TPlainService plain;
    EXPECT_FALSE(plain.IsRedirectUrlStored());
}

// ---------------------------------------------------------------------------------------------
// The loading phase

TEST(RestService, LoadingPhaseCachesValuesUntilLoaded) {
    TTestService service;
    service.State().SetToken("token", "refresh", 7.0);
    service.BeginLoading();
    service.SetClientId("id");
    service.SetSecret("secret");
    service.SetRedirectUrl("https://loaded.example/cb");
    service.SetGroup(21);

    EXPECT_EQ(service.GetClientId(), "id");
    EXPECT_EQ(service.GetSecret(), "secret");
    EXPECT_EQ(service.GetRedirectUrl(), "https://loaded.example/cb");
    EXPECT_EQ(service.GetGroup(), 21);
    EXPECT_EQ(service.State().GetClientId(), "");
    EXPECT_EQ(service.State().GetGroup(), -1);
    EXPECT_EQ(service.GetToken(), "token");

    service.Loaded();
    EXPECT_FALSE(service.IsLoading());
    EXPECT_EQ(service.State().GetGroup(), 21);
    EXPECT_EQ(service.State().GetClientId(), "id");
    EXPECT_EQ(service.State().GetSecret(), "secret");
    EXPECT_EQ(service.State().GetRedirectUrl(), "https://loaded.example/cb");
}

TEST(RestService, LoadedAppliesTheGroupBeforeTheCredentials) {
    TTestService member;
    member.SetGroup(22);
    member.SetClientId("member-id");

    TTestService loaded;
    loaded.BeginLoading();
    loaded.SetClientId("loaded-id");  // assigned before the group, applied after it
    loaded.SetGroup(22);
    loaded.Loaded();

    EXPECT_EQ(&loaded.State(), &member.State());
    EXPECT_EQ(member.GetClientId(), "loaded-id");
}

TEST(RestService, LoadingTheStoredValuesAgainKeepsTheToken) {
    TTestService service;
    service.SetClientId("id");
    service.State().SetToken("token", "refresh", 5.0);
    service.BeginLoading();
    service.SetClientId("other");
    service.SetClientId("id");  // the last value assigned counts
    EXPECT_EQ(service.GetClientId(), "id");
    service.Loaded();
    EXPECT_EQ(service.GetClientId(), "id");
    EXPECT_EQ(service.GetToken(), "token");
}

TEST(RestService, LaterLoadingPhaseDoesNotSeeValuesOfAnEarlierOne) {
    TTestService service;
    service.BeginLoading();
    service.SetClientId("first");
    service.Loaded();
    service.SetClientId("changed");

    service.BeginLoading();
    EXPECT_EQ(service.GetClientId(), "changed");
    service.SetClientId("first");
    service.Loaded();
    EXPECT_EQ(service.GetClientId(), "first");
}
