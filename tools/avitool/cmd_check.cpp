// avitool check: read every frame and audio byte.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "common.h"
#include "salvage/salvage.h"

namespace avitool {

int runCheck(const CheckOptions& opt) {
    const std::string& path = opt.file;
    Inspector f;
    const char* hint = "avitool: `avitool repair FILE OUT.avi` recovers what the file holds\n";
    if (!f.open(path.c_str(), "r")) {
        fail(f, path);
        std::fputs(hint, stderr);
        return 1;
    }
    // Every index entry must point at a chunk of its stream and size, or the reads below
    // would deliver wrong bytes without an error.
    const salvage::IndexCheck index = salvage::verifyIndex(path);
    for (const auto& m : index.first) std::printf("%s: index: %s\n", path.c_str(), m.c_str());
    if (index.mismatches > 0) {
        std::printf("%s: index: %llu of %llu entries do not point at their chunks\n", path.c_str(),
                    static_cast<unsigned long long>(index.mismatches), static_cast<unsigned long long>(index.entries));
        std::fputs(hint, stderr);
        return 1;
    }
    std::vector<std::string> problems;
    auto note = [&](const std::string& what) {
        problems.push_back(what + ": error " + std::to_string(f.getErrorCode()) + ": " + f.getErrorMsg());
    };
    if (f.getErrorCode() != avi::errors::ERR_NONE) note("open");
    std::vector<char> raw, rgb;
    if (f.hasVideo()) {
        if (f.headerFrames() != f.getVideoTotalFrames())
            problems.push_back("the stream header announces " + std::to_string(f.headerFrames()) +
                               " frames, the index holds " + std::to_string(f.getVideoTotalFrames()));
        Progress progress("video", f.getVideoTotalFrames());
        for (std::uint32_t i = 0; i < f.getVideoTotalFrames() && problems.size() < 20; ++i) {
            raw.resize(std::max<std::size_t>(1, f.getRawVideoFrameSize(f.isVideoCompressed() ? i : 0)));
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
        while (!f.isEndOfAudio() && f.getErrorCode() == avi::errors::ERR_NONE) {
            f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
            progress.update(f.getAudioBytesRead());
        }
        if (f.getErrorCode() != avi::errors::ERR_NONE)
            note("audio after " + std::to_string(f.getAudioBytesRead()) + " of " +
                 std::to_string(f.getAudioTotalBytes()) + " bytes");
    }
    for (const auto& p : problems) std::printf("%s: %s\n", path.c_str(), p.c_str());
    if (problems.empty()) std::printf("%s: ok\n", path.c_str());
    if (!problems.empty()) std::fputs(hint, stderr);
    return problems.empty() ? 0 : 2;
}

}  // namespace avitool
