#pragma once

namespace Nimbo::Cli {

// Ctrl-C (SIGINT) and SIGTERM ask the running command to stop: transfers end at their next progress
// report and unwind, which removes partial local files and lets upload sessions be cancelled. A
// second signal ends the program at once.
void InstallInterruptHandler();
bool InterruptRequested();

}  // namespace Nimbo::Cli
