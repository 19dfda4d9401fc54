#pragma once

#include <string>

#include "Nimbo/Connection/SystemBrowserAuth.h"

namespace Nimbo::Demo {

// The user's own browser as the sign-in window, with a window of the program beside it for as long
// as the sign-in waits for the browser to come back: it says so and offers Cancel, which stops the
// loopback listener at once. The sign-in runs on a service's worker; the window lives on the
// application's thread.
class TBrowserSignIn : public Connection::TNimboSystemBrowserAuth {
public:
    void ShowModal(Connection::TAuthEvents ARequired, const std::string& AUrl) override;

    // True (once) when the user pressed Cancel in the window of the sign-in that ended last. Read on
    // the application's thread.
    static bool TakeCancelled();
};

}  // namespace Nimbo::Demo
