#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace avitool {

namespace {
bool lineOpen = false;
bool quietProgress = false;
double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }
}  // namespace

Progress::Progress(const char* label, std::uint64_t total)
    : label_(label), total_(total), on_(!quietProgress && ::isatty(2) == 1), start_(now()) {}

Progress::~Progress() { breakLine(); }

void Progress::setQuiet(bool quiet) { quietProgress = quiet; }

void Progress::breakLine() {
    if (!lineOpen) return;
    std::fputc('\n', stderr);
    lineOpen = false;
}

void Progress::update(std::uint64_t done) {
    if (!on_) return;
    const double t = now();
    if ((total_ == 0 || done < total_) && t - lastDraw_ < 0.1) return;
    lastDraw_ = t;
    struct winsize ws;
    const int columns = ::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    const double elapsed = t - start_, rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const long left = rate > 0 ? static_cast<long>(static_cast<double>(total_ - std::min(done, total_)) / rate) : 0;
    if (total_ == 0) {  // a stream of unknown length: a count and a rate
        std::fprintf(stderr, "\r%s %llu done, %.1f/s", label_, static_cast<unsigned long long>(done), rate);
        lineOpen = true;
        return;
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, " %3d%% %.1f/s %ld:%02ld left", static_cast<int>(done * 100 / total_), rate,
                  left / 60, left % 60);
    const int width = columns - 1 - static_cast<int>(std::strlen(label_) + std::strlen(tail)) - 3;
    std::string bar;
    if (width >= 5) {
        const auto filled =
            static_cast<std::size_t>(static_cast<std::uint64_t>(width) * std::min(done, total_) / total_);
        bar = " [" + std::string(filled, '#') + std::string(static_cast<std::size_t>(width) - filled, ' ') + "]";
    }
    std::string line = std::string(label_) + bar + tail;
    if (line.size() > static_cast<std::size_t>(columns - 1))
        line.resize(static_cast<std::size_t>(std::max(columns - 1, 0)));
    std::fprintf(stderr, "\r%s", line.c_str());
    lineOpen = true;
    if (done >= total_) breakLine();
}

}  // namespace avitool
