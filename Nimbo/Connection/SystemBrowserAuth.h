#pragma once

// The sign-in window that is the user's own browser: it opens the authorization address with a
// command (the desktop's opener unless set) and reports the browser's request to the loopback
// listener as a navigation to the redirect address. It serves loopback sign-ins only: a browser
// outside the program cannot be watched for any other redirect.

#include <string>
#include <vector>

#include "Nimbo/Connection/AuthUI.h"

namespace Nimbo::Connection {

class TNimboSystemBrowserAuth : public TAuthUI {
public:
    static TAuthEvents Supports() { return {aeNavigateComplete, aeCanceled}; }
    static bool LoopbackOnly() { return true; }

    // The program and its first arguments; the address is added as the last argument. The command
    // should return once the browser has the address, as xdg-open does. Process-wide.
    static std::vector<std::string> Command();
    static void SetCommand(std::vector<std::string> ACommand);
    // Ends the waiting of every system-browser window shown now, as if the user had given up.
    static void CancelPending();

    // ERestError when the command cannot be started or fails.
    void ShowModal(TAuthEvents ARequired, const std::string& AUrl) override;
    void Close() override { FClosed = true; }

private:
    bool FClosed = false;
};

}  // namespace Nimbo::Connection
