#pragma once

// Service and state classes shared by the tests of the service core.

#include <set>
#include <string>

#include "Nimbo/Connection/RestService.h"

namespace Nimbo::Connection::Testing {

// A state class that knows which of its objects are alive, with a default redirect URL.
class TTestState : public TServiceState {
public:
    static constexpr const char* DefaultRedirect = "https://app.example/redirect";

    TTestState() { Alive().insert(this); }
    ~TTestState() override { Alive().erase(this); }

    static bool IsAlive(const TServiceState* AState) { return Alive().count(AState) != 0; }

protected:
    std::string DefaultRedirectUrl() const override { return DefaultRedirect; }

private:
    static std::set<const TServiceState*>& Alive() {
        static std::set<const TServiceState*> alive;
        return alive;
    }
};

// A subclass of the test state class, for the "instance of the class or a subclass" rule.
class TDerivedTestState : public TTestState {};

// A service with the test state class; exposes the protected members the tests need.
template <class TState = TTestState>
class TTestServiceOf : public TRestService {
public:
    using TRestService::CheckAuthParams;
    using TRestService::GetGroup;
    using TRestService::Http;
    using TRestService::SetGroup;
    using TRestService::State;
    using TRestService::TRestService;

protected:
    std::string GetServerName() const override { return "api.example.com"; }
    TServiceStateClass GetStateClass() const override { return TServiceStateClass::Of<TState>(); }
};

using TTestService = TTestServiceOf<TTestState>;

// A service whose state class is the base class itself; such services never share.
class TPlainService : public TRestService {
public:
    using TRestService::GetGroup;
    using TRestService::SetGroup;
    using TRestService::State;
    using TRestService::TRestService;

protected:
    std::string GetServerName() const override { return "plain.example.com"; }
};

}  // namespace Nimbo::Connection::Testing
