// Measures the library against the physical limits of the same machine and against
// in-process peers (libavformat, libswscale, libcurl), all in the same run. The sides of a
// case run interleaved, round by round; each row gives the medians, the median and range of
// the per-round ratios (above 1: ours is better) and the load average at the time.
//
//   avi_bench [--quick] [--rounds N] [--only NAME] [DIR]
//
// DIR holds the generated files (default: $TMPDIR or /tmp); the inputs are kept there for
// the next run. NAME picks one group: read, tiny, index, convert, write, http.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "Measure.h"
#include "Peers.h"
#include "TestFile.h"
#include "avi/File.h"
#include "avi/LocalFileHandler.h"
#include "salvage/TolerantReader.h"

#ifdef AVI_BENCH_HTTP
#include "Nginx.h"
#endif

using namespace bench;

namespace {

struct Options {
    std::string dir;
    bool quick = false;
    int rounds = 7;
    std::string only;
    std::string self;
    bool wants(const char* group) const { return only.empty() || only == group; }
};

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

void shell(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) die("command failed: " + cmd);
}

// Reads the whole file once so that every side starts from the page cache.
void warm(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<char> b(1 << 20);
    while (::read(fd, b.data(), b.size()) > 0) {
    }
    ::close(fd);
}

struct Range {
    std::uint64_t pos;
    std::uint32_t size;
};

// The byte ranges of every video frame, from the library's index.
std::vector<Range> frameRanges(const std::string& path) {
    avitest::TestFile r;
    if (!r.open(path.c_str(), "r")) die(r.getErrorMsg());
    std::vector<Range> out;
    for (const auto& e : r.videoIndex) out.push_back({e.getAbsolutePosition(), r.videoFrameSize});
    return out;
}

// An ffmpeg file in the benchmark's folder: top-down bgr24 with PCM audio past 1 GiB (it has an
// AVIX segment), or 100000 tiny frames.
std::string ffmpegFile(const Options& o, bool tiny) {
    const int seconds = o.quick ? 4 : 48, frames = o.quick ? 20000 : 100000;
    const std::string path = o.dir +
                             (tiny ? "/avi_bench_ffmpeg_tiny_" + std::to_string(frames)
                                   : "/avi_bench_ffmpeg_" + std::to_string(seconds) + "s") +
                             ".avi";
    if (!exists(path))
        shell(tiny ? "ffmpeg -v error -f lavfi -i testsrc=size=16x16:rate=1000 -frames:v " + std::to_string(frames) +
                         " -c:v rawvideo -pix_fmt bgr24 -y '" + path + "'"
                   : "ffmpeg -v error -f lavfi -i testsrc=size=640x480:rate=25 -f lavfi -i "
                     "sine=frequency=440:sample_rate=48000 -t " +
                         std::to_string(seconds) + " -c:v rawvideo -pix_fmt bgr24 -c:a pcm_s16le -y '" + path + "'");
    warm(path);
    return path;
}

double oursRead(const std::string& path, std::vector<char>& buffer, bool rgb) {
    const double t0 = now();
    avi::File r;
    if (!r.open(path.c_str(), "r")) die(r.getErrorMsg());
    while (!r.isEndOfVideo()) rgb ? r.readRGB24VideoFrame(buffer.data()) : r.readVideoFrame(buffer.data());
    if (r.getErrorCode()) die(r.getErrorMsg());
    return since(t0);
}

double preadLoop(const std::string& path, const std::vector<Range>& ranges, std::vector<char>& buffer) {
    const double t0 = now();
    const int fd = ::open(path.c_str(), O_RDONLY);
    for (const auto& r : ranges)
        if (::pread(fd, buffer.data(), r.size, static_cast<off_t>(r.pos)) != static_cast<ssize_t>(r.size)) die("pread");
    ::close(fd);
    return since(t0);
}

double lavfRead(const std::string& path, std::size_t frames) {
    const double t0 = now();
    std::uint64_t packets = 0;
    peers::lavfReadVideo(path, packets);
    const double t = since(t0);
    if (packets != frames)
        die("libavformat read " + std::to_string(packets) + " frames, not " + std::to_string(frames));
    return t;
}

// 1. Every frame of an ffmpeg-made file: top-down bgr24 with PCM audio, past 1 GiB so that
//    it has an AVIX segment.
void readCase(const Options& o) {
    const std::string path = ffmpegFile(o, false);
    const auto ranges = frameRanges(path);
    avitest::TestFile probe;
    if (!probe.open(path.c_str(), "r") || !probe.topDown) die("the ffmpeg file is not top-down");
    std::vector<char> buffer(probe.getRGB24VideoFrameSize());
    const double bytes = static_cast<double>(ranges.size()) * ranges[0].size;
    const double load = loadAverage();
    const auto t =
        interleave({[&] { return oursRead(path, buffer, false); }, [&] { return preadLoop(path, ranges, buffer); },
                    [&] { return oursRead(path, buffer, true); }, [&] { return lavfRead(path, ranges.size()); }},
                   o.rounds);
    const std::string what = std::to_string(fileSize(path) >> 20) + " MiB ffmpeg file, top-down 640x480 bgr24 + PCM";
    row("read " + what + ", raw", MBps, t[0], bytes, "pread loop, same ranges", t[1], bytes, load);
    row("read " + what + ", RGB24", MBps, t[2], bytes, "pread loop, same ranges", t[1], bytes, load);
    row("read " + what + ", raw", MBps, t[0], bytes, "libavformat av_read_frame", t[3], bytes, load);
    row("(peer) libavformat av_read_frame", MBps, t[3], bytes, "pread loop, same ranges", t[1], bytes, load);
}

// 2. Many tiny frames: the cost of a frame beyond its bytes.
void tinyCase(const Options& o) {
    const std::string path = ffmpegFile(o, true);
    const int frames = o.quick ? 20000 : 100000;
    const auto ranges = frameRanges(path);
    std::vector<char> buffer(ranges[0].size);
    const double n = static_cast<double>(ranges.size());
    const double load = loadAverage();
    const auto t =
        interleave({[&] { return oursRead(path, buffer, false); }, [&] { return lavfRead(path, ranges.size()); },
                    [&] { return preadLoop(path, ranges, buffer); }},
                   o.rounds);
    row("read " + std::to_string(frames) + " tiny frames (16x16 bgr24), per frame", nsEach, t[0], n,
        "libavformat av_read_frame", t[1], n, load);
    row("read " + std::to_string(frames) + " tiny frames (16x16 bgr24), per frame", nsEach, t[0], n, "pread per frame",
        t[2], n, load);
}

// Every frame through the tolerant reader, in the layout the library delivers (bottom-up rows).
double tolerantRead(const std::string& path, std::vector<char>& buffer) {
    const double t0 = now();
    salvage::TolerantReader r;
    if (!r.open(path)) die(r.error());
    const salvage::Picture as{salvage::Picture::Stored, false, r.video().storedStride()};
    for (std::uint64_t i = 0; i < r.frames().size(); ++i)
        if (!r.readPicture(i, buffer.data(), as)) die(r.error());
    return since(t0);
}

double timedOpen(const std::string& path, bool tolerant) {
    const double t0 = now();
    salvage::TolerantReader t;
    avi::File f;
    if (tolerant ? !t.open(path) : !f.open(path.c_str(), "r")) die("open " + path);
    return since(t0);
}

// 3. The tolerant reader against the library's path (the same bytes out), per file: every
//    frame, and the open.
void tolerantCase(const Options& o) {
    for (const bool tiny : {false, true}) {
        const std::string path = ffmpegFile(o, tiny);
        std::vector<char> buffer(frameRanges(path)[0].size);
        salvage::TolerantReader probe;
        if (!probe.open(path) ||
            probe.findings().index != (tiny ? salvage::IndexKind::Idx1 : salvage::IndexKind::OpenDML))
            die("the tolerant reader does not take the index of " + path);
        const double frames = static_cast<double>(probe.frames().size());
        const std::string what = tiny
                                     ? std::to_string(probe.frames().size()) + " tiny frames (16x16 bgr24)"
                                     : std::to_string(fileSize(path) >> 20) + " MiB OpenDML file (640x480 bgr24 + PCM)";
        double load = loadAverage();
        auto t = interleave({[&] { return tolerantRead(path, buffer); }, [&] { return oursRead(path, buffer, false); }},
                            o.rounds);
        row("tolerant reader, " + what + ", every frame", nsEach, t[0], frames, "the library's path", t[1], frames,
            load);
        load = loadAverage();
        t = interleave({[&] { return timedOpen(path, true); }, [&] { return timedOpen(path, false); }}, o.rounds * 5);
        row("tolerant reader, " + what + ", open", msEach, t[0], 1, "the library's open", t[1], 1, load);
    }
}

// 4. avitool exporting every frame of a 640x480 file as PNG images, against ffmpeg doing the
//    same, each a fresh process writing into an empty folder (wall time: ffmpeg uses threads).
void pngCase(const Options& o) {
    clockKind() = ClockKind::Wall;
    const std::string path = o.dir + "/avi_bench_png_330.avi", out = o.dir + "/avi_bench_png";
    if (!exists(path))
        shell(
            "ffmpeg -v error -f lavfi -i testsrc=size=640x480:rate=30 -frames:v 330 -c:v rawvideo -pix_fmt bgr24 -y '" +
            path + "'");
    warm(path);
    const std::string avitool = o.self.substr(0, o.self.rfind('/') + 1) + "avitool";
    const auto run = [&](const std::string& cmd) {
        shell("rm -rf '" + out + "' && mkdir '" + out + "'");
        const double t0 = now();
        shell(cmd);
        return since(t0);
    };
    const double load = loadAverage();
    const auto t = interleave({[&] { return run("'" + avitool + "' -q frames '" + path + "' -o '" + out + "'"); },
                               [&] { return run("ffmpeg -v error -i '" + path + "' '" + out + "/%06d.png'"); }},
                              o.rounds);
    row("avitool frames to PNG, 330 frames of 640x480", msEach, t[0], 330, "ffmpeg -i F %06d.png", t[1], 330, load);
    shell("rm -rf '" + out + "'");
    clockKind() = ClockKind::Cpu;
}

// A file of entries 4x2 24-bit frames written by the library (OpenDML index).
std::string indexFile(const Options& o, std::uint64_t entries) {
    const std::string path = o.dir + "/avi_bench_index_" + std::to_string(entries) + ".avi";
    if (exists(path)) return path;
    avi::File w;
    if (!w.open(path.c_str(), "w")) die(w.getErrorMsg());
    w.setVideoInfo(4, 2, 25.0);
    std::vector<char> frame(w.getRGB24VideoFrameSize(), 7);
    for (std::uint64_t i = 0; i < entries; ++i) w.writeVideoFrame(frame.data());
    w.close();
    if (w.getErrorCode()) die(w.getErrorMsg());
    return path;
}

long long oursOpen(const std::string& path) {
    avi::File r;
    if (!r.open(path.c_str(), "r")) return -1;
    return r.getVideoTotalFrames();
}

struct Child {
    double seconds;
    long maxRssKiB;
};

// This program in a fresh process, opening path with the given side.
Child spawnOpen(const Options& o, const char* side, const std::string& path) {
    const double t0 = now();
    const std::string program = o.self.substr(0, o.self.rfind('/') + 1) + "avi_bench_open_" + side;
    // The child reports its own peak: the rusage figure of a forked child starts from
    // the parent's resident set.
    int out[2];
    if (::pipe(out) != 0) die("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::execl(program.c_str(), program.c_str(), path.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    int status = 0;
    struct rusage ru {};
    const bool ok = pid > 0 && ::wait4(pid, &status, 0, &ru) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    char text[64] = {0};
    const ssize_t got = ::read(out[0], text, sizeof text - 1);
    ::close(out[0]);
    if (!ok || got <= 0) die(std::string("child open failed: ") + side + " " + path);
    // The child's own CPU time (start-up, loading, the open) or the wall time around it.
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
    return {clockKind() == ClockKind::Cpu ? cpu : since(t0), std::atol(text)};
}

// 3. Opening: index load in this process and in a fresh one, with peak memory per entry.
void indexCase(const Options& o) {
    std::vector<std::uint64_t> sizes = {10000, 100000, 1000000, 4000000};
    if (o.quick) sizes.pop_back();
    const std::string base = indexFile(o, 1);
    const long baseOurs = spawnOpen(o, "ours", base).maxRssKiB, baseLavf = spawnOpen(o, "libav", base).maxRssKiB;
    for (const std::uint64_t n : sizes) {
        const std::string path = indexFile(o, n);
        warm(path);
        if (oursOpen(path) != static_cast<long long>(n) || peers::lavfOpen(path) != static_cast<long long>(n))
            die("index entry count of " + path);
        const double e = static_cast<double>(n);
        double load = loadAverage();
        const auto t = interleave({[&] {
                                       const double t0 = now();
                                       oursOpen(path);
                                       return since(t0);
                                   },
                                   [&] {
                                       const double t0 = now();
                                       peers::lavfOpen(path);
                                       return since(t0);
                                   }},
                                  o.rounds);
        const std::string what = "open, " + std::to_string(n) + " index entries";
        row(what + ", in process, per entry", nsEach, t[0], e, "libavformat avformat_open_input", t[1], e, load);
        load = loadAverage();
        std::vector<double> fresh[2];
        long rss[2] = {0, 0};
        for (int r = 0; r < o.rounds; ++r)
            for (int s = 0; s < 2; ++s) {
                const Child c = spawnOpen(o, s == 0 ? "ours" : "libav", path);
                fresh[s].push_back(c.seconds);
                rss[s] = std::max(rss[s], c.maxRssKiB);
            }
        row(what + ", fresh process", msEach, fresh[0], 1, "libavformat, fresh process", fresh[1], 1, load);
        const double ours = 1024.0 * static_cast<double>(rss[0] - baseOurs) / e,
                     theirs = 1024.0 * static_cast<double>(rss[1] - baseLavf) / e;
        char text[200];
        std::snprintf(text, sizeof text,
                      "ours %.1f B, libavformat %.1f B: ratio **%.2f** (peak resident set beyond a 1-entry open)", ours,
                      theirs, theirs / ours);
        note(what + ", peak memory per entry", text);
    }
}

// 4. Conversion to RGB24, in cache (one frame again and again) and streaming (frames in
//    turn over a working set larger than the caches), against a memcpy of the output size
//    with the same pattern and against libswscale.
void convertCase(const Options& o) {
    struct Geometry {
        unsigned w, h;
    };
    struct Format {
        const char* name;
        unsigned bits;
        void (avi::File::*convert)(char*);
        peers::Scaler::Input input;
    };
    const Format formats[] = {{"pal8", 8, &avi::File::indexedToRgb24, peers::Scaler::Input::Pal8},
                              {"rgb555", 16, &avi::File::rgb555ToRgb24, peers::Scaler::Input::Rgb555},
                              {"bgra", 32, &avi::File::rgb32ToRgb24, peers::Scaler::Input::Bgra}};
    const std::size_t workingSet = o.quick ? (64u << 20) : (128u << 20);
    for (const Geometry g : {Geometry{640, 480}, Geometry{1920, 1080}})
        for (const Format& f : formats)
            for (const bool streaming : {false, true}) {
                const std::size_t pixels = std::size_t{g.w} * g.h, in = pixels * f.bits / 8, out = pixels * 3;
                const std::size_t slot = std::max(in, out);
                const std::size_t count = streaming ? (workingSet + slot - 1) / slot : 1;
                const std::size_t reps = std::max<std::size_t>(count, (o.quick ? 200u << 20 : 600u << 20) / out);
                std::vector<std::vector<char>> ours(count, std::vector<char>(slot)), src(count), dst(count);
                for (std::size_t i = 0; i < count; ++i) {
                    for (std::size_t k = 0; k < slot; ++k) ours[i][k] = static_cast<char>(k * 13 + i);
                    src[i] = std::vector<char>(std::max(in, out), 5);
                    dst[i] = std::vector<char>(out, 1);
                }
                avitest::TestFile file;
                file.bitmapHeader.biWidth = static_cast<std::int32_t>(g.w);
                file.bitmapHeader.biHeight = static_cast<std::int32_t>(g.h);
                file.bitmapHeader.biBitCount = static_cast<std::uint16_t>(f.bits);
                file.videoFrameSize = static_cast<std::uint32_t>(in);
                file.colormap.resize(256);
                for (unsigned i = 0; i < 256; ++i) file.colormap[i] = {std::uint8_t(i), std::uint8_t(i / 2), 7, 0};
                std::vector<std::uint8_t> palette(1024);
                for (std::size_t i = 0; i < palette.size(); ++i) palette[i] = static_cast<std::uint8_t>(i);
                peers::Scaler scaler(static_cast<int>(g.w), static_cast<int>(g.h), f.input);
                const double load = loadAverage();
                const auto t = interleave(
                    {[&] {
                         const double t0 = now();
                         for (std::size_t r = 0; r < reps; ++r) {
                             (file.*f.convert)(ours[r % count].data());
                             asm volatile("" ::"r"(ours[r % count].data()) : "memory");
                         }
                         return since(t0);
                     },
                     [&] {
                         const double t0 = now();
                         for (std::size_t r = 0; r < reps; ++r) {
                             std::memcpy(dst[r % count].data(), src[r % count].data(), out);
                             asm volatile("" ::"r"(dst[r % count].data()) : "memory");
                         }
                         return since(t0);
                     },
                     [&] {
                         const double t0 = now();
                         for (std::size_t r = 0; r < reps; ++r)
                             scaler.convert(reinterpret_cast<const std::uint8_t*>(src[r % count].data()),
                                            palette.data(), reinterpret_cast<std::uint8_t*>(dst[r % count].data()));
                         return since(t0);
                     }},
                    o.rounds);
                const double work = static_cast<double>(out) * static_cast<double>(reps);
                const std::string what = std::string(f.name) + " to RGB24, " + std::to_string(g.w) + "x" +
                                         std::to_string(g.h) + (streaming ? ", streaming" : ", in cache");
                row(what, GBps, t[0], work, std::string("memcpy of the output") + (streaming ? ", streaming" : ""),
                    t[1], work, load);
                row(what, GBps, t[0], work, "libswscale sws_scale", t[2], work, load);
            }
}

// 5. Writing about 1 GiB of 640x480 frames with PCM audio, against raw writes of the same
//    bytes in the same chunk sizes, and with checkpoints (fdatasync each) against without;
//    on disk all end with fsync.
void writeCase(const Options& o) {
    const std::uint64_t frames = o.quick ? 120 : 1165;
    const unsigned audioBytes = 7680;  // 1/25 s of 48 kHz 16-bit stereo
    std::vector<char> frame(640 * 480 * 3), audio(audioBytes);
    for (std::size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<char>(i * 31);
    for (const bool disk : {false, true}) {
        // tmpfs costs CPU time only; the disk is waited for.
        clockKind() = disk ? ClockKind::Wall : ClockKind::Cpu;
        const std::string dir = disk ? o.dir : std::string("/dev/shm");
        const std::string ours = dir + "/avi_bench_written.avi", raw = dir + "/avi_bench_written.raw";
        auto sync = [&](const std::string& p) {
            if (!disk) return;
            const int fd = ::open(p.c_str(), O_RDONLY);
            if (fd < 0 || ::fsync(fd) != 0) die("fsync " + p);
            ::close(fd);
        };
        std::uint64_t total = 0;
        const double load = loadAverage();
        // Checkpoints every `every` seconds of wall time (as avitool and Python record), or with
        // every < 0 one per 25 frames: each second of the 25 fps recording, written far faster
        // than real time.
        const auto writeOurs = [&](double every) {
            const bool checkpoints = every != 0;
            ::unlink(ours.c_str());
            const double t0 = now();
            avi::File w;
            if (!w.open(ours.c_str(), "w")) die(w.getErrorMsg());
            w.setVideoInfo(640, 480, 25.0);
            w.setAudioInfo(48000, 16, 2, audioBytes);
            if (checkpoints) w.enableCheckpoints(std::max(every, 0.0));
            for (std::uint64_t i = 0; i < frames; ++i) {
                w.writeVideoFrame(frame.data());
                w.writeAudio(audio.data());
                if (every < 0 && i % 25 == 0) w.checkpoint();
            }
            w.close();
            if (w.getErrorCode()) die(w.getErrorMsg());
            sync(ours);
            const double s = since(t0);
            if (!checkpoints) total = fileSize(ours);
            return s;
        };
        const auto t = interleave({[&] { return writeOurs(0); },
                                   [&] {
                                       ::unlink(raw.c_str());
                                       const double t0 = now();
                                       const int fd = ::open(raw.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                                       std::uint64_t left = total != 0 ? total : frames * (frame.size() + 8);
                                       for (std::uint64_t i = 0; left > 0; ++i) {
                                           const std::size_t chunk = i % 2 == 0 ? frame.size() + 8 : audioBytes + 8;
                                           const std::size_t n =
                                               static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk));
                                           if (::write(fd, frame.data(), n) != static_cast<ssize_t>(n)) die("write");
                                           left -= n;
                                       }
                                       if (disk && ::fsync(fd) != 0) die("fsync");
                                       ::close(fd);
                                       return since(t0);
                                   },
                                   [&] { return writeOurs(1); }, [&] { return writeOurs(-1); }},
                                  o.rounds);
        const double bytes = static_cast<double>(total);
        const std::string what = std::string("write ") + std::to_string(total >> 20) + " MiB, 640x480 + PCM, " +
                                 (disk ? "disk + fsync" : "tmpfs");
        row(what, MBps, t[0], bytes, "raw write of the same bytes", t[1], bytes, load);
        row(what + ", checkpoints 1 s apart", MBps, t[2], bytes, "the same writer without checkpoints", t[0], bytes,
            load);
        row(what + ", a checkpoint each 25 frames", MBps, t[3], bytes, "the same writer without checkpoints", t[0],
            bytes, load);
        ::unlink(ours.c_str());
        ::unlink(raw.c_str());
    }
}

// 6. Reading over HTTP from nginx on loopback, against libcurl fetching the file.
void httpCase(const Options& o) {
    clockKind() = ClockKind::Wall;
#ifdef AVI_BENCH_HTTP
    const std::string local = ffmpegFile(o, false);
    remotetest::Nginx server;
    std::string why;
    if (!server.start(why)) {
        note("http", "skipped: " + why);
        return;
    }
    const std::string served = server.root() + "/big.avi";
    if (::link(local.c_str(), served.c_str()) != 0) shell("cp '" + local + "' '" + served + "'");
    const std::string url = server.url("big.avi");
    const auto ranges = frameRanges(local);
    std::vector<char> buffer(ranges[0].size);
    const double ourBytes = static_cast<double>(ranges.size()) * ranges[0].size;
    const double fileBytes = static_cast<double>(fileSize(local));
    const double load = loadAverage();
    const auto t = interleave({[&] { return oursRead(url, buffer, false); },
                               [&] {
                                   const double t0 = now();
                                   if (peers::curlFetch(url) != fileSize(local)) die("curl fetch");
                                   return since(t0);
                               }},
                              o.rounds);
    row("read over http://127.0.0.1 (nginx), every frame", MBps, t[0], ourBytes, "libcurl GET of the file", t[1],
        fileBytes, load);
#else
    (void)o;
    note("http", "skipped: built without the remote plug-in");
#endif
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    char self[4096];
    const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    o.self = len > 0 ? std::string(self, static_cast<std::size_t>(len)) : argv[0];
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0)
            o.quick = true;
        else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            o.rounds = std::max(5, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            o.only = argv[++i];
        else
            o.dir = argv[i];
    }
    if (o.quick && o.rounds == 7) o.rounds = 5;
    std::printf(
        "%d interleaved rounds per case; figures are medians; load = 1-minute load average; clock: cpu = "
        "CPU time of the process (of the child for fresh processes), wall = elapsed time\n\n",
        o.rounds);
    header();
    if (o.wants("read")) readCase(o);
    clockKind() = ClockKind::Cpu;
    if (o.wants("tiny")) tinyCase(o);
    if (o.wants("tolerant")) tolerantCase(o);
    if (o.wants("png")) pngCase(o);
    if (o.wants("index")) indexCase(o);
    if (o.wants("convert")) convertCase(o);
    if (o.wants("write")) writeCase(o);
    if (o.wants("http")) httpCase(o);
    return 0;
}
