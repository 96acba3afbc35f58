// avitool info: streams, sizes, rates, index and segments of a file.
#include <cstdio>
#include <sstream>

#include "common.h"
#include "salvage/salvage.h"

namespace avitool {

namespace {

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

int runInfo(const InfoOptions& opt) {
    const std::string& path = opt.file;
    const bool json = opt.json;
    Inspector f;
    if (!f.open(path.c_str(), "r")) return fail(f, path);
    f.inspect();
    const bool v = f.hasVideo(), a = f.hasAudio();
    const double fps = v ? f.getVideoFrameRate() : 0;
    const double vDuration = fps > 0 ? f.getVideoTotalFrames() / fps : 0;
    const std::uint32_t bytesPerSecond =
        f.getAudioSampleRate() * f.getAudioNumberOfChannels() * f.getAudioBitsPerSample() / 8;
    const double aDuration = bytesPerSecond ? static_cast<double>(f.getAudioTotalBytes()) / bytesPerSecond : 0;
    const std::string fourcc = v ? f.getVideoFourCC() : "";
    // A sample of the index: a wrong base shows at the first entries.
    const salvage::IndexCheck index = salvage::verifyIndex(path, 64);
    const bool suspect = index.mismatches > 0;
    std::ostringstream o;
    o.precision(6);
    if (json) {
        o << "{\"file\":" << jsonString(path) << ",\"size\":" << f.fileSize << ",\"riff_segments\":" << f.segments
          << ",\"index\":" << jsonString(f.indexSource) << ",\"index_suspect\":" << (suspect ? "true" : "false")
          << ",\"video\":";
        if (v)
            o << "{\"width\":" << f.getVideoWidth() << ",\"height\":" << f.getVideoHeight()
              << ",\"bits_per_pixel\":" << f.getVideoBitsPerPixel() << ",\"compression\":" << jsonString(fourcc)
              << ",\"frames\":" << f.getVideoTotalFrames() << ",\"frame_rate\":" << fps << ",\"duration\":" << vDuration
              << "}";
        else
            o << "null";
        o << ",\"audio\":";
        if (a)
            o << "{\"format\":" << (f.isAudioCompressed() ? "\"compressed\"" : "\"pcm\"")
              << ",\"sample_rate\":" << f.getAudioSampleRate() << ",\"bits_per_sample\":" << f.getAudioBitsPerSample()
              << ",\"channels\":" << f.getAudioNumberOfChannels() << ",\"bytes\":" << f.getAudioTotalBytes()
              << ",\"duration\":" << aDuration << "}";
        else
            o << "null";
        o << ",\"error\":{\"code\":" << static_cast<int>(f.getErrorCode())
          << ",\"message\":" << jsonString(f.getErrorMsg()) << "}}\n";
    } else {
        o << "file:     " << path << "\nsize:     " << f.fileSize << " bytes, " << f.segments
          << " RIFF segment(s), read through " << f.indexSource << "\n";
        if (v)
            o << "video:    " << f.getVideoWidth() << "x" << f.getVideoHeight() << ", " << f.getVideoBitsPerPixel()
              << " bits, compression " << (fourcc.empty() ? "none" : fourcc) << ", " << f.getVideoTotalFrames()
              << " frames at " << fps << " fps, " << vDuration << " s\n";
        if (a)
            o << "audio:    " << (f.isAudioCompressed() ? "compressed" : "PCM") << ", " << f.getAudioSampleRate()
              << " Hz, " << f.getAudioBitsPerSample() << " bits, " << f.getAudioNumberOfChannels() << " channel(s), "
              << f.getAudioTotalBytes() << " bytes, " << aDuration << " s\n";
        if (suspect)
            o << "index:    suspect: " << index.mismatches << " of " << index.entries
              << " entries checked do not point at their chunks (avitool repair)\n";
        o << "status:   "
          << (f.getErrorCode() == avi::errors::ERR_NONE
                  ? std::string("ok")
                  : "error " + std::to_string(f.getErrorCode()) + ": " + f.getErrorMsg())
          << "\n";
    }
    std::fputs(o.str().c_str(), stdout);
    return 0;
}

}  // namespace avitool
