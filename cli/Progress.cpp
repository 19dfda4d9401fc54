#include "Progress.h"

#include <cstdio>

namespace Nimbo::Cli {

namespace {

constexpr auto RedrawInterval = std::chrono::milliseconds(150);
constexpr auto LogInterval = std::chrono::seconds(1);  // away from a terminal
constexpr std::size_t NameWidth = 40;

}  // namespace

TProgressBoard::~TProgressBoard() {
    std::lock_guard lock(FLock);
    Erase();
}

TProgressBoard::TLine::TLine(TProgressBoard& ABoard, std::string AName, std::int64_t ATotal)
    : FBoard(ABoard), FName(std::move(AName)), FTotal(ATotal), FStarted(std::chrono::steady_clock::now()) {
    std::lock_guard lock(FBoard.FLock);
    FPosition = FBoard.FLines.insert(FBoard.FLines.end(), this);
}

TProgressBoard::TLine::~TLine() {
    std::lock_guard lock(FBoard.FLock);
    FBoard.Erase();
    FBoard.FLines.erase(FPosition);
    if (FBoard.FTerminal) FBoard.Draw();
}

void TProgressBoard::TLine::Update(std::int64_t ADone) {
    if (!FBoard.FEnabled) return;
    std::lock_guard lock(FBoard.FLock);
    FDone = ADone;
    const auto interval = FBoard.FTerminal ? std::chrono::duration_cast<std::chrono::milliseconds>(RedrawInterval)
                                           : std::chrono::duration_cast<std::chrono::milliseconds>(LogInterval);
    if (std::chrono::steady_clock::now() - FBoard.FLastDraw < interval) return;
    FBoard.Erase();
    FBoard.Draw();
}

void TProgressBoard::Print(const std::string& ALine) {
    std::lock_guard lock(FLock);
    Erase();
    std::fprintf(stderr, "%s\n", ALine.c_str());
    if (FTerminal) Draw();
}

void TProgressBoard::Erase() {
    if (!FEnabled || !FTerminal) return;
    for (int i = 0; i < FDrawn; ++i) std::fputs("\033[1A\r\033[2K", stderr);
    FDrawn = 0;
}

void TProgressBoard::Draw() {
    if (!FEnabled) return;
    const auto now = std::chrono::steady_clock::now();
    for (const TLine* line : FLines) {
        std::fprintf(stderr, "%s\n", Describe(line->FName, line->FDone, line->FTotal, now - line->FStarted).c_str());
        ++FDrawn;
    }
    std::fflush(stderr);
    FLastDraw = now;
}

std::string TProgressBoard::Bytes(std::int64_t ACount) {
    static const char* const Units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = double(ACount);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(ACount));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, Units[unit]);
    return text;
}

std::string TProgressBoard::Describe(const std::string& AName, std::int64_t ADone, std::int64_t ATotal,
                                     std::chrono::duration<double> AElapsed) {
    std::string name = AName.size() > NameWidth ? "..." + AName.substr(AName.size() - (NameWidth - 3)) : AName;
    std::string text = name + "  " + Bytes(ADone);
    if (ATotal > 0) {
        text += " / " + Bytes(ATotal) + "  " + std::to_string(ADone * 100 / ATotal) + "%";
    }
    const double seconds = AElapsed.count();
    if (seconds > 0.2 && ADone > 0) {
        const double rate = double(ADone) / seconds;
        text += "  " + Bytes(std::int64_t(rate)) + "/s";
        if (ATotal > ADone) {
            const long long left = static_cast<long long>(double(ATotal - ADone) / rate);
            char eta[32];
            std::snprintf(eta, sizeof eta, "  %lld:%02lld left", left / 60, left % 60);
            text += eta;
        }
    }
    return text;
}

}  // namespace Nimbo::Cli
