#pragma once

// The cloud emulator as a child process on a free loopback port, stopped when the object goes.

#include <sys/types.h>

#include <cstdint>
#include <string>

class TEmulatorProcess {
public:
    // Starts AProgram (a path, or a name looked up in PATH) and waits until it listens.
    explicit TEmulatorProcess(const std::string& AProgram);
    ~TEmulatorProcess();
    TEmulatorProcess(const TEmulatorProcess&) = delete;
    TEmulatorProcess& operator=(const TEmulatorProcess&) = delete;

    std::uint16_t Port() const { return FPort; }
    // The certificate of the authority that signed the emulator's certificates.
    const std::string& CaFile() const { return FCaFile; }

private:
    void Stop();

    std::string FFolder;  // a temporary folder for the CA file
    std::string FCaFile;
    pid_t FPid = -1;
    int FOutput = -1;  // the read end of the emulator's standard output
    std::uint16_t FPort = 0;
};
