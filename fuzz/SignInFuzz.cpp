// Drives the sign-in watcher with arbitrary pages and titles from a scripted sign-in window. Every
// sign-in ends with a code, an ERestError or the silent EAbort; the window is closed (its events
// detached first) exactly when a result was seen, and destroyed in every case.
//
// Input: the first line is the redirect URL; every further line is one event: "T<title>",
// "C" (the user closes the window: the script ends there) or "<url>" (a page finished loading). A
// window that runs out of events is closed by the user.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Nimbo/Connection/RestService.h"
#include "tests/unit/AuthUITestSupport.h"

using namespace Nimbo::Connection;
using namespace Nimbo::Connection::Testing;

namespace {

class TSignInService : public TRestService {
public:
    using TRestService::State;

protected:
    std::string GetServerName() const override { return "api.example.com"; }
};

[[noreturn]] void Fail(const std::string& AWhat) {
    std::fprintf(stderr, "%s\n", AWhat.c_str());
    std::abort();
}

std::pair<TAuthEvent, std::string> EventOf(std::string_view ALine) {
    if (ALine.starts_with('T')) return {aeTitleChanged, std::string(ALine.substr(1))};
    return {aeNavigateComplete, std::string(ALine)};
}

// The next line of AText from APos on, without its line break.
std::string_view NextLine(std::string_view AText, std::size_t& APos) {
    const std::size_t end = std::min(AText.find('\n', APos), AText.size());
    const std::string_view line = AText.substr(APos, end - APos);
    APos = end + 1;
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    TAuthUI::Register(TAuthUIClass::Of<TFullWindow>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string_view input(reinterpret_cast<const char*>(AData), ASize);
    TWindowScript& script = TFullWindow::Script();
    script = {};
    std::size_t pos = 0;
    const std::string redirect(NextLine(input, pos));
    while (pos <= input.size()) {
        const std::string_view line = NextLine(input, pos);
        if (line == "C") break;  // the window closes with the cancel that ends every script
        script.Events.push_back(EventOf(line));
    }

    TSignInService service;
    service.SetRedirectUrl(redirect);
    std::string code = "stale";
    bool resultSeen = false;
    try {
        service.State().OAuth20({aeNavigateComplete, aeTitleChanged}, "https://auth.example/authorize", code);
        if (code.empty()) Fail("a sign-in ended with an empty code");
        resultSeen = true;
    } catch (const EAbort&) {
        if (!code.empty()) Fail("an aborted sign-in left a code");
    } catch (const ERestError& error) {
        if (error.Message().empty()) Fail("a refused sign-in has no message");
        if (!code.empty()) Fail("a refused sign-in left a code");
        resultSeen = true;
    } catch (const std::exception& error) {
        Fail(std::string("a sign-in ended with an unexpected error: ") + error.what());
    }

    if (script.Created != 1 || script.Destroyed != 1) Fail("the sign-in window was not created and destroyed once");
    if (script.Closed != (resultSeen ? 1 : 0)) Fail("the window was closed without a result, or not closed with one");
    if (resultSeen && !script.DetachedBeforeClose) Fail("the window was closed with its events still attached");
    return 0;
}
