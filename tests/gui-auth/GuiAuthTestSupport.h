#pragma once

// Shared pieces of the sign-in window and transfer dialog tests: the emulator every test talks to
// (started by main before the QApplication, whose browser reaches it with the real host names), a
// service to sign in with, and a stand-in for the user answering the consent page.

#include <QObject>
#include <QString>
#include <string>

#include "Nimbo/Connection/RestService.h"
#include "emulator/CloudEmulator.h"

namespace GuiAuthTest {

Nimbo::Emulator::CloudEmulator& Emulator();

// Mapped to the emulator like the services' hosts, but not covered by its certificate.
inline const std::string UncoveredHost = "uncovered.example.test";

// A loopback port that nothing listens on.
int UnusedLoopbackPort();

// A service of the plain state class, whose state runs the sign-in.
class TSignInService : public Nimbo::Connection::TRestService {
public:
    using TRestService::State;

protected:
    std::string GetServerName() const override { return "sign-in.example.test"; }
};

// Plays the user at every sign-in window shown while it lives: once a page has loaded, presses the
// consent page's Allow or Deny button, or closes the window by hand.
class TSignInUser : public QObject {
public:
    enum class TAnswer { Allow, Deny, CloseWindow };

    explicit TSignInUser(TAnswer AAnswer);
    ~TSignInUser() override;

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    TAnswer FAnswer;
};

}  // namespace GuiAuthTest
