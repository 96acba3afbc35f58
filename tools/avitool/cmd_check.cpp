// avitool check: read every frame and audio byte.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "common.h"
#include "index_check.h"

namespace avitool {

int runCheck(const CheckOptions& opt) {
    const std::string& path = opt.file;
    VerifyingInspector f;
    const char* hint = "avitool: `avitool repair FILE OUT.avi` recovers what the file holds\n";
    if (!f.openPath(path, "r")) {
        fail(f, shown(path));
        std::fputs(hint, stderr);
        return EXIT_FAIL;
    }
    f.inspect();
    const salvage::IndexCheck index = f.verifyIndex();
    for (const auto& m : index.first) std::printf("%s: index: %s\n", shown(path).c_str(), m.c_str());
    if (index.mismatches > 0)
        std::printf("%s: index: %llu of %llu entries do not point at their chunks\n", shown(path).c_str(),
                    static_cast<unsigned long long>(index.mismatches), static_cast<unsigned long long>(index.entries));
    std::vector<std::string> problems;
    auto note = [&](const std::string& what) { problems.push_back(what + ": " + errorText(f)); };
    if (f.getErrorCode() != avi::errors::ERR_NONE) note("open");
    std::string geometry;
    if (!f.checkGeometry(geometry)) problems.push_back(geometry);
    std::vector<char> raw, rgb;
    if (f.hasVideo() && geometry.empty()) {
        if (f.headerFrames() != f.getVideoTotalFrames())
            problems.push_back("the stream header announces " + std::to_string(f.headerFrames()) +
                               " frames, the index holds " + std::to_string(f.getVideoTotalFrames()));
        Progress progress("video", f.getVideoTotalFrames());
        for (std::uint32_t i = 0; i < f.getVideoTotalFrames() && problems.size() < 20 && !stopped(); ++i) {
            const std::uint32_t bytes = f.getRawVideoFrameSize(f.isVideoCompressed() ? i : 0);
            if (bytes > f.fileSize) {
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
    if (stopped()) return stopStatus();
    for (const auto& p : problems) std::printf("%s: %s\n", shown(path).c_str(), shown(p).c_str());
    const bool sound = problems.empty() && index.mismatches == 0;
    if (sound) std::printf("%s: ok\n", shown(path).c_str());
    if (!sound) std::fputs(hint, stderr);
    return sound ? EXIT_OK : EXIT_FAIL;
}

}  // namespace avitool
