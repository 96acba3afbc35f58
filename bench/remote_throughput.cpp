// Reading throughput over loopback HTTP against the local disk, for a ~100 MB AVI of
// 640x480 24-bit frames made by ffmpeg. Prints MB/s; not part of the test suite.
//   avi_remote_throughput [frames]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Nginx.h"
#include "avi/File.h"
#include "avi/LocalFileHandler.h"
#include "strutil/strutil.h"

using namespace remotetest;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// All frames through avi::File; returns the bytes read, 0 on failure.
std::uint64_t readFrames(const std::string& path) {
    avi::File f;
    if (!f.open(path.c_str(), "r")) {
        std::fprintf(stderr, "open %s: %s\n", path.c_str(), f.getErrorMsg());
        return 0;
    }
    std::vector<char> frame(f.getRawVideoFrameSize(0));
    std::uint64_t bytes = 0;
    for (std::uint32_t i = 0; i < f.getVideoTotalFrames(); ++i) {
        f.readVideoFrame(frame.data(), i);
        if (f.getErrorCode() != avi::errors::ERR_NONE) return 0;
        bytes += frame.size();
    }
    return bytes;
}

// The whole file through a handler in frame-sized reads.
std::uint64_t readRaw(avi::IFileHandler& h, const std::string& path) {
    void* f = h.fopen(strutil::i18n::utf8_to_utf16(path), "rb");
    if (f == nullptr) return 0;
    std::vector<char> buf(921600);
    std::uint64_t bytes = 0;
    std::size_t n;
    while ((n = h.fread(buf.data(), 1, buf.size(), f)) > 0) bytes += n;
    h.fclose(f);
    return bytes;
}

template <typename F>
void measure(const char* what, F run) {
    double best = 1e9;
    std::uint64_t bytes = 0;
    for (int i = 0; i < 5; ++i) {
        const auto t = Clock::now();
        bytes = run();
        if (bytes == 0) {
            std::printf("%-32s failed\n", what);
            return;
        }
        best = std::min(best, seconds(t));
    }
    std::printf("%-32s %8.1f MB/s  (%.1f MB in %.1f ms, best of 5)\n", what, double(bytes) / best / 1e6,
                double(bytes) / 1e6, best * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 110;
    Nginx server;
    std::string why;
    if (!server.start(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    const std::string local = server.root() + "/big.avi";
    bool ok = false;
    avitest::run("ffmpeg -v error -f lavfi -i testsrc=size=640x480:rate=25 -frames:v " + std::to_string(frames) +
                     " -c:v rawvideo -pix_fmt bgr24 -y '" + local + "'",
                 &ok);
    if (!ok) {
        std::fprintf(stderr, "ffmpeg failed\n");
        return 1;
    }
    const std::string url = server.url("big.avi");
    avi::LocalFileHandler localHandler;
    auto remoteHandler = makeRemoteHandler();
    if (!remoteHandler) {
        std::fprintf(stderr, "plug-in not loadable\n");
        return 1;
    }
    const std::size_t before = server.requests("GET");
    measure("handler, local", [&] { return readRaw(localHandler, local); });
    measure("handler, http://127.0.0.1", [&] { return readRaw(*remoteHandler, url); });
    std::printf("GET requests per pass: %.1f\n", double(server.requests("GET") - before) / 5);
    measure("avi::File frames, local", [&] { return readFrames(local); });
    const std::size_t mid = server.requests("GET");
    measure("avi::File frames, http://", [&] { return readFrames(url); });
    std::printf("GET requests per pass: %.1f\n", double(server.requests("GET") - mid) / 5);
    return 0;
}
