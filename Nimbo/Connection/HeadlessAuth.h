#pragma once

// A sign-in window without a display, for tests and automation. It loads the authorization page
// with the HTTP transport's settings (trusted CAs, host mappings), answers a consent form with the
// configured decision, follows redirects, and reports what a browser window would: each page it
// reaches (its title first, then its URL) and a cancel when it is told to cancel or gets stuck on a
// page it cannot answer.

#include <string>
#include <vector>

#include "Nimbo/Connection/AuthUI.h"

namespace Nimbo::Connection {

// What the headless window answers on a consent page.
enum class THeadlessDecision {
    Allow,  // submits the form's "allow" decision
    Deny,   // submits the form's "deny" decision, with the configured reason when one is set
    Cancel  // closes the window at once, as a user would
};

class TNimboHeadlessAuth : public TAuthUI {
public:
    static TAuthEvents Supports() { return {aeNavigateComplete, aeTitleChanged, aeCanceled}; }

    // Applies to every window shown from now on.
    static void SetDecision(THeadlessDecision ADecision, std::string ADenyReason = {});
    // Every URL the last window requested, redirects included, in order.
    static std::vector<std::string> Visited();

    void ShowModal(TAuthEvents ARequired, const std::string& AUrl) override;
    void Close() override { FClosed = true; }

private:
    bool FClosed = false;
};

}  // namespace Nimbo::Connection
