#include "Interrupt.h"

#include <csignal>

namespace Nimbo::Cli {

namespace {

volatile std::sig_atomic_t Requested = 0;

void OnSignal(int) { Requested = 1; }

}  // namespace

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // the next signal has its default effect
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool InterruptRequested() { return Requested != 0; }

}  // namespace Nimbo::Cli
