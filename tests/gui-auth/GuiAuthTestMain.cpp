// Starts the emulator, points the transport and the sign-in browser at it, then runs the tests
// inside a QApplication.

#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QWebEnginePage>
#include <QWebEngineView>

#include "GuiAuthTestSupport.h"
#include "Nimbo/Connection/FmxAuth.h"
#include "Nimbo/Connection/HttpTransport.h"

using namespace Nimbo::Connection;
using Nimbo::Emulator::CloudEmulator;

namespace GuiAuthTest {

namespace {
CloudEmulator* GEmulator = nullptr;
}

CloudEmulator& Emulator() { return *GEmulator; }

int UnusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    if (!bound) throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

TSignInUser::TSignInUser(TAnswer AAnswer) : FAnswer(AAnswer) { qApp->installEventFilter(this); }

TSignInUser::~TSignInUser() { qApp->removeEventFilter(this); }

bool TSignInUser::eventFilter(QObject* AWatched, QEvent* AEvent) {
    auto* form = qobject_cast<TNimboAuthDialogFMX*>(AWatched);
    if (!form || AEvent->type() != QEvent::Show || AEvent->spontaneous()) return false;
    QWebEnginePage* page = form->Browser()->page();
    if (FAnswer == TAnswer::CloseWindow) {
        connect(page, &QWebEnginePage::loadFinished, form, &QWidget::close, Qt::QueuedConnection);
    } else {
        const QString script = QStringLiteral(
                                   "(function(){var b=document.querySelector('#consent button[value=\"%1\"]');"
                                   "if(b)b.click();})()")
                                   .arg(FAnswer == TAnswer::Allow ? "allow" : "deny");
        connect(page, &QWebEnginePage::loadFinished, this, [page, script] { page->runJavaScript(script); });
    }
    return false;
}

}  // namespace GuiAuthTest

int main(int argc, char** argv) {
    testing::InitGoogleMock(&argc, argv);
    CloudEmulator emulator;
    emulator.Start();
    GuiAuthTest::GEmulator = &emulator;

    THttpTransport::Configure({.CaFile = emulator.CaCertPath().string(), .ConnectTo = emulator.ConnectToMappings()});
    TNimboAuthBrowser::TrustCertificateAuthority(emulator.CaPem());
    std::vector<std::string> hosts = CloudEmulator::Hosts();
    hosts.push_back(GuiAuthTest::UncoveredHost);
    TNimboApplicationArguments arguments(argc, argv, TNimboAuthBrowser::HostMappingArguments(hosts, emulator.Port()));
    QApplication application(arguments.Argc(), arguments.Argv());
    return RUN_ALL_TESTS();
}
