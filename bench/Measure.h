// Interleaved rounds, medians and the table of the benchmark.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// The clock of the current case. On a machine shared with other work, wall time mostly
// measures the scheduler; the CPU time of this process is what a CPU-bound case costs.
// Cases that wait for a device or another process (fsync, HTTP) use wall time.
enum class ClockKind { Cpu, Wall };
inline ClockKind& clockKind() {
    static ClockKind kind = ClockKind::Cpu;
    return kind;
}
inline const char* clockName() { return clockKind() == ClockKind::Cpu ? "cpu" : "wall"; }

inline double now() {
    timespec ts{};
    clock_gettime(clockKind() == ClockKind::Cpu ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
inline double since(double t0) { return now() - t0; }

[[noreturn]] inline void die(const std::string& what) {
    std::fprintf(stderr, "avi_bench: %s\n", what.c_str());
    std::exit(1);
}

// One-minute load average, as /proc/loadavg gives it.
inline double loadAverage() {
    double load = -1;
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = -1;
        std::fclose(f);
    }
    return load;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// A side of a case: runs once and returns its own timed seconds (set-up left out).
using Side = std::function<double()>;

// Runs the sides in turn, round after round (a, b, c, a, b, c, ...), so that a change of
// machine load falls on every side alike; result[side][round] in seconds.
inline std::vector<std::vector<double>> interleave(const std::vector<Side>& sides, int rounds) {
    std::vector<std::vector<double>> t(sides.size());
    for (int r = 0; r < rounds; ++r)
        for (std::size_t s = 0; s < sides.size(); ++s) t[s].push_back(sides[s]());
    return t;
}

// How a figure is shown: work done per second (higher is better) or seconds per unit of
// work scaled to the unit (lower is better).
struct Unit {
    const char* name;
    double scale;  // figure = work / seconds / scale, or seconds / work * scale
    bool rate;
};
const Unit MBps{"MB/s", 1e6, true};
const Unit GBps{"GB/s", 1e9, true};
const Unit nsEach{"ns", 1e9, false};
const Unit msEach{"ms", 1e3, false};

inline double figure(const Unit& u, double seconds, double work) {
    return u.rate ? work / seconds / u.scale : seconds / work * u.scale;
}

inline void header() {
    std::printf("| case | ours | reference | reference figure | ratio (median) | per-round spread | load | clock |\n");
    std::printf("|---|---:|---|---:|---:|---:|---:|---|\n");
}

// One table row: the medians of both sides and the median and range of the per-round
// ratios (above 1: ours is better). Returns the median ratio.
inline double row(const std::string& name, const Unit& u, const std::vector<double>& ours, double ourWork,
                  const std::string& refName, const std::vector<double>& ref, double refWork, double load) {
    std::vector<double> ratios;
    for (std::size_t r = 0; r < ours.size() && r < ref.size(); ++r) {
        const double a = figure(u, ours[r], ourWork), b = figure(u, ref[r], refWork);
        ratios.push_back(u.rate ? a / b : b / a);
    }
    std::vector<double> a, b;
    for (double s : ours) a.push_back(figure(u, s, ourWork));
    for (double s : ref) b.push_back(figure(u, s, refWork));
    const double m = median(ratios);
    std::printf("| %s | %.2f %s | %s | %.2f %s | **%.3f** | %.3f-%.3f | %.2f | %s |\n", name.c_str(), median(a), u.name,
                refName.c_str(), median(b), u.name, m, *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()), load, clockName());
    std::fflush(stdout);
    return m;
}

// A figure with no reference (memory per entry and the like).
inline void note(const std::string& name, const std::string& text) {
    std::printf("| %s | %s | | | | | | |\n", name.c_str(), text.c_str());
    std::fflush(stdout);
}

}  // namespace bench
