// Measures the library against the physical limits of the same machine, in the same run:
// each case prints our figure, the reference figure and their ratio.
//
//   avi_bench [DIR] [--quick]
//
// DIR holds the generated files (default: $TMPDIR or /tmp); --quick shrinks every case.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TestFile.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(const std::function<void()>& body, int repeats = 3) {
    double best = 1e100;
    for (int i = 0; i < repeats; ++i) {
        const auto t0 = Clock::now();
        body();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    }
    return best;
}

void row(const char* name, const char* unit, double ours, const char* refName, double ref, bool higherIsBetter) {
    const double ratio = higherIsBetter ? ours / ref : ref / ours;
    std::printf("%-44s %12.2f %-6s | %-26s %12.2f %-6s | ratio %6.3f\n", name, ours, unit, refName, ref, unit, ratio);
}

void die(const char* what) {
    std::fprintf(stderr, "avi_bench: %s\n", what);
    std::exit(1);
}

// Writes a 24-bit video-only file of `frames` frames through the library; returns its size.
std::uint64_t writeFile(const std::string& path, unsigned width, unsigned height, std::uint64_t frames) {
    avi::File w;
    if (!w.open(path.c_str(), "w")) die(w.getErrorMsg());
    w.setVideoInfo(width, height, 25.0);
    std::vector<char> frame(w.getRGB24VideoFrameSize());
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 31);
    for (std::uint64_t i = 0; i < frames; ++i) w.writeVideoFrame(frame.data());
    w.close();
    if (w.getErrorCode()) die(w.getErrorMsg());
    struct stat st {};
    ::stat(path.c_str(), &st);
    return static_cast<std::uint64_t>(st.st_size);
}

struct Range {
    std::uint64_t pos;
    std::uint32_t size;
};

// The byte ranges of every frame, taken from the library's index.
std::vector<Range> frameRanges(const std::string& path) {
    avitest::TestFile r;
    if (!r.open(path.c_str(), "r")) die(r.getErrorMsg());
    std::vector<Range> out;
    out.reserve(r.videoIndex.size());
    for (const auto& e : r.videoIndex) out.push_back({e.getAbsolutePosition(), r.videoFrameSize});
    return out;
}

double readAllFrames(const std::string& path, std::vector<char>& buffer) {
    return seconds([&] {
        avi::File r;
        if (!r.open(path.c_str(), "r")) die(r.getErrorMsg());
        while (!r.isEndOfVideo()) r.readVideoFrame(buffer.data());
        if (r.getErrorCode()) die(r.getErrorMsg());
    });
}

double preadAllFrames(const std::string& path, const std::vector<Range>& ranges, std::vector<char>& buffer) {
    return seconds([&] {
        const int fd = ::open(path.c_str(), O_RDONLY);
        for (const auto& r : ranges)
            if (::pread(fd, buffer.data(), r.size, static_cast<off_t>(r.pos)) != static_cast<ssize_t>(r.size))
                die("pread");
        ::close(fd);
    });
}

double runCommand(const std::string& cmd) {
    return seconds([&] {
        if (std::system(cmd.c_str()) != 0) die(("command failed: " + cmd).c_str());
    });
}

bool have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
    std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            dir = argv[i];
    }
    const std::string big = dir + "/avi_bench_big.avi", small = dir + "/avi_bench_small.avi",
                      many = dir + "/avi_bench_index.avi", out = dir + "/avi_bench_out.avi",
                      raw = dir + "/avi_bench_raw.bin";
    const bool ffmpeg = have("ffmpeg") && have("ffprobe");

    // 1. Large frames: 1 GiB of 640x480 24-bit frames.
    const std::uint64_t bigFrames = quick ? 100 : (1ULL << 30) / 921600;
    const std::uint64_t bigSize = writeFile(big, 640, 480, bigFrames);
    {
        std::vector<char> buffer(921600);
        const auto ranges = frameRanges(big);
        const double ours = readAllFrames(big, buffer);
        const double ref = preadAllFrames(big, ranges, buffer);
        const double mb = static_cast<double>(bigSize) / 1e6;
        row("read 640x480x24 frames (MB/s)", "MB/s", mb / ours, "pread loop", mb / ref, true);
        if (ffmpeg) {
            const double ff = runCommand("ffmpeg -v error -i " + big + " -c copy -f null -");
            row("read 640x480x24 frames (MB/s)", "MB/s", mb / ours, "ffmpeg -c copy -f null", mb / ff, true);
        }
    }

    // 2. Many small frames: per-frame overhead over the raw loop.
    const std::uint64_t smallFrames = quick ? 10000 : 100000;
    writeFile(small, 16, 16, smallFrames);
    {
        std::vector<char> buffer(16 * 16 * 3);
        const auto ranges = frameRanges(small);
        const double ours = readAllFrames(small, buffer);
        const double ref = preadAllFrames(small, ranges, buffer);
        const double n = static_cast<double>(smallFrames);
        row("read 16x16x24 frames (ns/frame)", "ns", ours / n * 1e9, "pread loop", ref / n * 1e9, false);
        std::printf("%-44s %12.1f ns per frame over the raw loop\n", "  overhead", (ours - ref) / n * 1e9);
    }

    // 3. Opening an OpenDML file with 1 000 000 index entries.
    const std::uint64_t entries = quick ? 100000 : 1000000;
    writeFile(many, 4, 2, entries);
    {
        // The first entry of the video super index names the standard index chunk.
        const int fd = ::open(many.c_str(), O_RDONLY);
        char head[4096];
        if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) die("pread header");
        const char* indx = std::search(head, head + sizeof head, "indx", "indx" + 4);
        if (indx + 8 + 24 + 12 > head + sizeof head) die("no super index");
        const char* entry = indx + 8 + 24;
        const std::uint64_t ixPos = avi::fcns::char2uint64(entry);
        const std::uint32_t ixSize = avi::fcns::char2uint32(entry + 8);
        std::vector<char> ix(ixSize);
        const double ref = seconds([&] {
            if (::pread(fd, ix.data(), ixSize, static_cast<off_t>(ixPos)) != static_cast<ssize_t>(ixSize)) die("pread ix");
        });
        ::close(fd);
        std::uint32_t frames = 0;
        const double ours = seconds([&] {
            avi::File r;
            if (!r.open(many.c_str(), "r")) die(r.getErrorMsg());
            frames = r.getVideoTotalFrames();
        });
        if (frames != entries) die("index entry count");
        row("open, 1e6-entry OpenDML index (ms)", "ms", ours * 1e3, "raw read of index bytes", ref * 1e3, false);
        if (ffmpeg) {
            const double ff = runCommand("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                                         "stream=nb_read_packets -of csv=p=0 " + many + " >/dev/null");
            row("open, 1e6-entry OpenDML index (ms)", "ms", ours * 1e3, "ffprobe -count_packets", ff * 1e3, false);
        }
    }

    // 4. RGB24 conversion of a 640x480 frame, against memcpy of the output size.
    {
        const unsigned width = 640, height = 480;
        const std::size_t outBytes = width * height * 3;
        const int reps = quick ? 50 : 500;
        std::vector<char> a(width * height * 4), b(width * height * 4);
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<char>(i * 13);
        const double copy = seconds([&] {
            for (int i = 0; i < reps; ++i) {
                std::memcpy(b.data(), a.data(), outBytes);
                asm volatile("" ::"r"(b.data()) : "memory");
            }
        });
        const struct {
            const char* name;
            unsigned bits;
            void (avi::File::*convert)(char*);
        } cases[] = {{"RGB24 from 8-bit palette (GB/s)", 8, &avi::File::indexedToRgb24},
                     {"RGB24 from RGB555 (GB/s)", 16, &avi::File::rgb555ToRgb24},
                     {"RGB24 from 32-bit (GB/s)", 32, &avi::File::rgb32ToRgb24}};
        for (const auto& c : cases) {
            avitest::TestFile f;
            f.bitmapHeader.biWidth = static_cast<std::int32_t>(width);
            f.bitmapHeader.biHeight = static_cast<std::int32_t>(height);
            f.bitmapHeader.biBitCount = static_cast<std::uint16_t>(c.bits);
            f.videoFrameSize = width * height * c.bits / 8;
            f.colormap.resize(256);
            for (unsigned i = 0; i < 256; ++i) f.colormap[i].rgbRed = static_cast<std::uint8_t>(i);
            const double t = seconds([&] {
                for (int i = 0; i < reps; ++i) {
                    (f.*c.convert)(b.data());
                    asm volatile("" ::"r"(b.data()) : "memory");
                }
            });
            const double gb = static_cast<double>(outBytes) * reps / 1e9;
            row(c.name, "GB/s", gb / t, "memcpy of the output", gb / copy, true);
        }
    }

    // 5. Writing 1 GiB, against a raw sequential write of the same bytes.
    {
        const double ours = seconds([&] {
            ::unlink(out.c_str());
            writeFile(out, 640, 480, bigFrames);
        });
        std::vector<char> block(921600 + 8);
        const double ref = seconds([&] {
            ::unlink(raw.c_str());
            const int fd = ::open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            std::uint64_t left = bigSize;
            while (left > 0) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
                if (::write(fd, block.data(), n) != static_cast<ssize_t>(n)) die("write");
                left -= n;
            }
            ::close(fd);
        });
        const double mb = static_cast<double>(bigSize) / 1e6;
        row("write 640x480x24 frames (MB/s)", "MB/s", mb / ours, "raw sequential write", mb / ref, true);
    }

    for (const auto& p : {big, small, many, out, raw}) ::unlink(p.c_str());
    return 0;
}
