#include "Nimbo/Connection/AuthUI.h"

#include <algorithm>

#include "Nimbo/Connection/platform/Exceptions.h"

namespace Nimbo::Connection {

namespace {

// The registered window classes; created on first use and deliberately never destroyed, so that a
// registration made during static initialisation or a lookup made during static destruction is safe.
std::vector<TAuthUIClass>& Classes() {
    static auto* classes = new std::vector<TAuthUIClass>();
    return *classes;
}

}  // namespace

void TAuthUI::DoEvent(TAuthEvent AEvent, const std::string& AText) {
    // A copy, because the handler may clear OnEvent, which would destroy the callable while it runs.
    TAuthProc handler = FOnEvent;
    if (handler) handler(AEvent, AText);
}

void TAuthUI::Register(const TAuthUIClass& AClass) {
    Assert(static_cast<bool>(AClass), "Cannot register an empty Auth-UI class");
    auto& classes = Classes();
    if (std::find(classes.begin(), classes.end(), AClass) == classes.end()) classes.push_back(AClass);
}

void TAuthUI::Unregister(const TAuthUIClass& AClass) { std::erase(Classes(), AClass); }

std::vector<TAuthUIClass> TAuthUI::RegisteredClasses() { return Classes(); }

TAuthUIClass TAuthUI::Find(TAuthEvents ARequired, bool ALoopback) {
    for (const TAuthUIClass& candidate : Classes())
        if (candidate.Supports(ARequired) && (ALoopback || !candidate.LoopbackOnly())) return candidate;
    return {};
}

std::unique_ptr<TAuthUI> TAuthUIClass::Create() const {
    Assert(FCreate != nullptr, "No Auth-UI class to create a window of");
    return FCreate();
}

TAuthEvents TAuthUIClass::Supports() const {
    Assert(FSupports != nullptr, "No Auth-UI class to ask for its events");
    return FSupports();
}

}  // namespace Nimbo::Connection
