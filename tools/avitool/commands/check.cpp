// avitool check: reads every frame and audio byte the library's specified path reads, and
// checks each index entry against the chunk it points at; then reads the file through the
// tolerant reader, so that a file the strict path gets wrong is still said to be readable.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "commands/commands.h"
#include "locations.h"
#include "messages.h"
#include "progress.h"
#include "reading.h"
#include "salvage/salvage.h"
#include "signals.h"

namespace avitool {

namespace {

// Problems of the strict path, in reading order (at most about 20).
std::vector<std::string> strictProblems(avi::internal::FileBridge& f, bool opened, const std::string& shownIn) {
    std::vector<std::string> problems;
    auto note = [&](const std::string& what) { problems.push_back(what + ": " + errorText(f)); };
    salvage::IndexCheck index;
    salvage::verifyEntries(*f.handler(), f.handle(), f.videoEntries(), f.videoStream(), true, UINT64_MAX, index);
    salvage::verifyEntries(*f.handler(), f.handle(), f.audioEntries(), f.audioStream(), false, UINT64_MAX, index);
    for (const auto& m : index.first) std::printf("%s: index: %s\n", shownIn.c_str(), m.c_str());
    if (index.mismatches > 0)
        problems.push_back("index: " + std::to_string(index.mismatches) + " of " + std::to_string(index.entries) +
                           " entries do not point at their chunks");
    if (opened && f.getErrorCode() != avi::errors::ERR_NONE) note("open");
    if (!opened) problems.push_back("open: " + errorText(f));
    std::string geometry;
    if (!checkGeometry(f, fileSize(f), geometry)) problems.push_back(geometry);
    std::vector<char> raw, rgb;
    if (f.hasVideo() && geometry.empty()) {
        const std::uint32_t announced = f.streamHeader(f.videoStream()).dwLength;
        if (announced != f.getVideoTotalFrames())
            problems.push_back("the stream header announces " + std::to_string(announced) +
                               " frames, the index holds " + std::to_string(f.getVideoTotalFrames()));
        Progress progress("video", f.getVideoTotalFrames());
        for (std::uint32_t i = 0; i < f.getVideoTotalFrames() && problems.size() < 20 && !stopped(); ++i) {
            const std::uint32_t bytes = f.getRawVideoFrameSize(f.isVideoCompressed() ? i : 0);
            if (bytes > fileSize(f)) {
                problems.push_back("frame " + std::to_string(i) + " claims " + std::to_string(bytes) + " bytes");
                continue;
            }
            raw.resize(std::max<std::size_t>(1, bytes));
            f.readVideoFrame(raw.data(), i);
            if (f.getErrorCode() != avi::errors::ERR_NONE) note("frame " + std::to_string(i));
            if (!f.isVideoCompressed()) {
                rgb.resize(std::max<std::size_t>(1, f.getRGB24VideoFrameSize()));
                f.readRGB24VideoFrame(rgb.data(), i);
                if (f.getErrorCode() != avi::errors::ERR_NONE) note("RGB24 of frame " + std::to_string(i));
            }
            progress.update(i + 1);
        }
    }
    if (f.hasAudio() && !f.isAudioCompressed()) {
        std::vector<char> block(1 << 16);
        Progress progress("audio", f.getAudioTotalBytes());
        while (!f.isEndOfAudio() && f.getErrorCode() == avi::errors::ERR_NONE && !stopped()) {
            f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
            progress.update(f.getAudioBytesRead());
        }
        if (f.getErrorCode() != avi::errors::ERR_NONE)
            note("audio after " + std::to_string(f.getAudioBytesRead()) + " of " +
                 std::to_string(f.getAudioTotalBytes()) + " bytes");
    }
    return problems;
}

// Reads every stored frame and audio byte through t; "" when every chunk was proven.
std::string readEverything(salvage::TolerantReader& t) {
    std::vector<char> buf;
    for (std::size_t i = 0; i < t.frames().size() && !stopped(); ++i) {
        const salvage::FrameEntry& e = t.frames()[i];
        if (e.size == 0) continue;
        if (!t.video().compressed() && e.size != t.video().storedFrameBytes())
            return "frame " + std::to_string(i) + " holds " + std::to_string(e.size) + " bytes, not " +
                   std::to_string(t.video().storedFrameBytes());
        buf.resize(e.size);
        if (!t.readStored(i, buf.data())) return t.error();
    }
    buf.resize(1 << 16);
    for (std::uint64_t at = 0; at < t.audioBytes() && !stopped();) {
        const std::size_t got = t.readAudio(at, buf.data(), buf.size());
        if (got == 0) return t.error();
        at += got;
    }
    return "";
}

}  // namespace

int runCheck(const CheckOptions& opt) {
    const std::string file = recordingNamed(opt.file);
    const Location in = locate(file);
    const std::string shownIn = shown(file);
    avi::internal::FileBridge f;
    const bool opened = openFile(f, in, "r");
    if (!opened) fail(f, in, false);
    if (!opened && !f.isOpen()) {
        std::fputs("avitool: `avitool repair FILE OUT.avi` recovers what the file holds\n", stderr);
        return EXIT_FAIL;
    }
    std::vector<std::string> problems = strictProblems(f, opened, shownIn);
    salvage::TolerantReader t;
    std::string error;
    const bool readable = openTolerant(t, in, error) && (error = readEverything(t)).empty();
    if (readable && problems.empty()) {
        const std::string difference = strictDifference(f, opened, t);
        if (!difference.empty()) problems.push_back(difference);
    }
    if (stopped()) return stopStatus();
    for (const auto& p : problems) std::printf("%s: %s\n", shownIn.c_str(), shown(p).c_str());
    if (problems.empty()) {
        std::printf("%s: ok\n", shownIn.c_str());
        return EXIT_OK;
    }
    if (readable)
        std::printf(
            "%s: the strict path (--strict) reads this file wrongly, but avitool frames and audio read it "
            "exactly: %zu frames (%llu dropped), %llu bytes of audio, every chunk checked\n",
            shownIn.c_str(), t.frames().size(), static_cast<unsigned long long>(t.findings().droppedFrames),
            static_cast<unsigned long long>(t.audioBytes()));
    else
        std::printf("%s: the tolerant reader fails too: %s\n", shownIn.c_str(), shown(error).c_str());
    std::fputs("avitool: `avitool repair FILE OUT.avi` writes a copy that every reader reads\n", stderr);
    return EXIT_FAIL;
}

}  // namespace avitool
