// Reads every frame of a file with readRGB24VideoFrame into one buffer, `rounds` times, and
// prints the seconds of each round: the C++ side of bench_read.py.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "avi/File.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    avi::File in;
    if (!in.open(argv[1], "r")) {
        std::fprintf(stderr, "%s\n", in.getErrorMsg());
        return 1;
    }
    std::vector<char> frame(in.getRGB24VideoFrameSize());
    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        for (std::uint32_t i = 0; i < in.getVideoTotalFrames(); ++i) in.readRGB24VideoFrame(frame.data(), i);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (in.getErrorCode() != 0) {
            std::fprintf(stderr, "%s\n", in.getErrorMsg());
            return 1;
        }
        std::printf("%.6f\n", took.count());
    }
    return 0;
}
