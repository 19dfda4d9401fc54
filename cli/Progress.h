#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

namespace Nimbo::Cli {

// The progress lines of the running transfers on stderr, one line each (name, bytes, rate, time
// left). On a terminal they are redrawn in place a few times a second and messages printed through
// the board go above them; elsewhere they are written as new lines once a second. Disabled, it
// draws nothing and messages go straight to stderr.
class TProgressBoard {
public:
    TProgressBoard(bool AEnabled, bool ATerminal) : FEnabled(AEnabled), FTerminal(ATerminal) {}
    ~TProgressBoard();

    TProgressBoard(const TProgressBoard&) = delete;
    TProgressBoard& operator=(const TProgressBoard&) = delete;

    // One transfer's line for as long as the object lives.
    class TLine {
    public:
        TLine(TProgressBoard& ABoard, std::string AName, std::int64_t ATotal);
        ~TLine();

        TLine(const TLine&) = delete;
        TLine& operator=(const TLine&) = delete;

        // ADone bytes moved; redraws when the last drawing is old enough.
        void Update(std::int64_t ADone);

    private:
        friend class TProgressBoard;
        TProgressBoard& FBoard;
        std::string FName;
        std::int64_t FTotal;
        std::int64_t FDone = 0;
        std::chrono::steady_clock::time_point FStarted;
        std::list<TLine*>::iterator FPosition;
    };

    // A whole line on stderr above the progress lines.
    void Print(const std::string& ALine);

    // "1.5 MiB", "512 B".
    static std::string Bytes(std::int64_t ACount);
    // "name  1.5 MiB / 3.0 MiB  50%  1.2 MiB/s  0:02 left" for the time elapsed since the start.
    static std::string Describe(const std::string& AName, std::int64_t ADone, std::int64_t ATotal,
                                std::chrono::duration<double> AElapsed);

private:
    // Call with FLock held.
    void Erase();
    void Draw();

    bool FEnabled;
    bool FTerminal;
    std::mutex FLock;
    std::list<TLine*> FLines;
    int FDrawn = 0;  // lines on the screen now
    std::chrono::steady_clock::time_point FLastDraw{};
};

}  // namespace Nimbo::Cli
