#pragma once
// What avitool info writes as JSON: ffprobe's names for streams, codecs and pixel formats,
// and text made valid UTF-8 whatever bytes a file holds.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "format/Header.h"

namespace avitool {

// A stream as info describes it, whichever path read it.
struct VideoFacts {
    unsigned stream = 0, bits = 0;
    std::uint32_t width = 0, height = 0, rate = 0, scale = 0;
    std::string fourcc, pixFmt;
    std::uint64_t frames = 0, dropped = 0;
};
struct AudioFacts {
    unsigned stream = 0;
    std::uint16_t tag = 0, bits = 0, channels = 0;
    std::uint32_t rate = 0;
    std::uint64_t bytes = 0;
    bool read = true;
};

// Valid UTF-8 as it is; any other byte as the text \xNN, so the JSON stays valid.
std::string utf8Safe(const std::string& s);
// v, or 0 when it is not finite (JSON has no NaN).
double finite(double v);
// num/den in lowest terms, as ffprobe writes a rate.
std::string fraction(std::uint32_t num, std::uint32_t den);
// ffprobe's pix_fmt of a video stream; a JPEG's from its first frame. Empty when unknown.
std::string videoPixelFormat(const std::string& fourcc, unsigned bits, const std::vector<char>& firstFrame);
// The "streams" array: the video and audio streams read (when given), and the others the
// header lists; duration gets the longest stream's.
nlohmann::json describe(const std::vector<avi::format::StreamList>& lists, const VideoFacts* v, const AudioFacts* a,
                        double& duration);
// {"code": code, "message": message}, the message as it may be printed.
nlohmann::json errorObject(int code, const std::string& message);

}  // namespace avitool
