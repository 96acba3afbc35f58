#pragma once
// A progress bar on stderr, drawn only when stderr is a terminal, fitted to its width, with a
// rate and the time left. Messages printed through fail() start on a fresh line.

#include <cstdint>

namespace avitool {

class Progress {
public:
    Progress(const char* label, std::uint64_t total);
    ~Progress();
    void update(std::uint64_t done);
    static void setQuiet(bool quiet);
    // Ends a drawn bar's line, so that the next message starts on a fresh line.
    static void breakLine();

private:
    const char* label_;
    std::uint64_t total_;
    bool on_;
    double start_;
    double lastDraw_ = -1;
};

}  // namespace avitool
