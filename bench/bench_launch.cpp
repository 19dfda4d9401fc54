// Runs one program and reports its wall time and peak resident memory, measured here rather than in
// the benchmark program that asked: a process's peak (ru_maxrss) also covers the memory of the
// process it was forked or spawned from, and this launcher is small while benchmark programs are not.
//
//   bench_launch TIMEOUT_SECONDS PROGRAM [ARGUMENTS...]
//
// The program is looked up in PATH and keeps standard input, output and error. On file descriptor 3
// the launcher writes "<seconds> <peak KiB> <wait status> <timed out: 0 or 1>" once the program has
// ended; a program still running after the time-out is killed. Uses nothing but the C library.

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

volatile sig_atomic_t GTimedOut = 0;

void OnAlarm(int) { GTimedOut = 1; }

double Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const long timeout = argc >= 3 ? strtol(argv[1], &end, 10) : 0;
    if (argc < 3 || *end || timeout <= 0) {
        fprintf(stderr, "usage: bench_launch TIMEOUT_SECONDS PROGRAM [ARGUMENTS...]\n");
        return 125;
    }
    struct sigaction alarmAction {};
    alarmAction.sa_handler = OnAlarm;  // no SA_RESTART: the wait below must wake up
    sigaction(SIGALRM, &alarmAction, nullptr);

    const double start = Now();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("bench_launch: fork");
        return 125;
    }
    if (pid == 0) {
        close(3);
        execvp(argv[2], argv + 2);
        fprintf(stderr, "bench_launch: cannot run %s: %s\n", argv[2], strerror(errno));
        _exit(127);
    }
    alarm(static_cast<unsigned>(timeout));
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            perror("bench_launch: wait4");
            return 125;
        }
        if (GTimedOut) kill(pid, SIGKILL);
    }
    const double seconds = Now() - start;
    dprintf(3, "%.6f %ld %d %d\n", seconds, usage.ru_maxrss, status, static_cast<int>(GTimedOut));
    return 0;
}
