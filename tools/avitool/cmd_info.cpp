// avitool info: streams, sizes, rates, index and segments of a file, as text or as JSON
// whose names follow ffprobe's.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common.h"
#include "index_check.h"

namespace avitool {

namespace {

using nlohmann::json;

// Valid UTF-8 as it is; any other byte as the text \xNN, so the JSON stays valid.
std::string utf8Safe(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n != 0 && i + n <= s.size() && !(c == 0xC0 || c == 0xC1 || c > 0xF4);
        for (std::size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (ok && c >= 0x20 && c != 0x7F) {
            out.append(s, i, n);
            i += n;
        } else {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
            ++i;
        }
    }
    return out;
}

double finite(double v) { return std::isfinite(v) ? v : 0.0; }

std::uint64_t gcd(std::uint64_t a, std::uint64_t b) { return b == 0 ? a : gcd(b, a % b); }

std::string fraction(std::uint32_t num, std::uint32_t den) {
    const std::uint64_t g = num != 0 && den != 0 ? gcd(num, den) : 1;
    return std::to_string(num / g) + "/" + std::to_string(den / g);
}

std::string audioCodec(std::uint16_t tag, std::uint16_t bits) {
    if (tag == 1) return bits == 8 ? "pcm_u8" : bits == 16 ? "pcm_s16le" : "pcm_s" + std::to_string(bits) + "le";
    if (tag == 0x55) return "mp3";
    if (tag == 0x2000) return "ac3";
    char b[16];
    std::snprintf(b, sizeof b, "0x%04x", tag);
    return b;
}

const char* pixelFormat(unsigned bits) {
    switch (bits) {
        case 8:
            return "pal8";
        case 16:
            return "rgb555le";
        case 24:
            return "bgr24";
        case 32:
            return "bgra";
        default:
            return "unknown";
    }
}

const char* codecType(const std::string& fcc) {
    return fcc == "vids" ? "video" : fcc == "auds" ? "audio" : fcc == "txts" ? "subtitle" : "data";
}

json describe(Inspector& f, const std::string& path, double& duration) {
    json streams = json::array();
    duration = 0;
    const std::size_t count =
        std::max<std::size_t>(f.lists.size(), (f.hasVideo() ? 1u : 0u) + (f.hasAudio() ? 1u : 0u));
    for (std::size_t i = 0; i < count; ++i) {
        const bool isVideo = f.hasVideo() && i == f.videoStreamIndex();
        const bool isAudio = f.hasAudio() && i == f.audioStreamIndex();
        const Inspector::StreamList list = i < f.lists.size() ? f.lists[i] : Inspector::StreamList();
        json s = {{"index", i}};
        if (isVideo) {
            const std::string fourcc = f.getVideoFourCC();
            const std::uint32_t rate = f.getVideoStreamRate(), scale = f.getVideoStreamScale();
            const double d = rate != 0 ? finite(static_cast<double>(f.getVideoTotalFrames()) * scale / rate) : 0.0;
            duration = std::max(duration, d);
            s["codec_type"] = "video";
            s["codec_name"] = fourcc.empty()                         ? "rawvideo"
                              : fourcc == "MJPG" || fourcc == "mjpg" ? "mjpeg"
                                                                     : utf8Safe(fourcc);
            s["codec_tag_string"] = utf8Safe(fourcc);
            if (fourcc.empty()) s["pix_fmt"] = pixelFormat(f.getVideoBitsPerPixel());
            s["width"] = f.getVideoWidth();
            s["height"] = f.getVideoHeight();
            s["bits_per_pixel"] = f.getVideoBitsPerPixel();
            s["r_frame_rate"] = fraction(rate, scale);
            s["nb_frames"] = f.getVideoTotalFrames();
            s["duration"] = d;
            s["read"] = true;
        } else if (isAudio) {
            const std::uint32_t bytesPerSecond =
                f.getAudioSampleRate() * f.getAudioNumberOfChannels() * f.getAudioBitsPerSample() / 8;
            const double d = bytesPerSecond != 0 ? static_cast<double>(f.getAudioTotalBytes()) / bytesPerSecond : 0.0;
            duration = std::max(duration, d);
            s["codec_type"] = "audio";
            s["codec_name"] = audioCodec(f.audioFormatTag(), f.getAudioBitsPerSample());
            s["sample_rate"] = f.getAudioSampleRate();
            s["channels"] = f.getAudioNumberOfChannels();
            s["bits_per_sample"] = f.getAudioBitsPerSample();
            s["nb_bytes"] = f.getAudioTotalBytes();
            s["duration"] = finite(d);
            s["read"] = !f.isAudioCompressed();
        } else {
            s["codec_type"] = codecType(list.type);
            s["codec_tag_string"] = utf8Safe(list.handler);
            if (list.type == "auds") {
                s["codec_name"] = audioCodec(list.formatTag, list.bits);
                s["sample_rate"] = list.sampleRate;
                s["channels"] = list.channels;
                s["bits_per_sample"] = list.bits;
            }
            s["read"] = false;  // the library reads one video and one audio stream
        }
        streams.push_back(s);
    }
    const double bitRate = duration > 0 ? finite(static_cast<double>(f.fileSize) * 8 / duration) : 0.0;
    json format = {{"filename", utf8Safe(shown(path))},
                   {"format_name", "avi"},
                   {"size", f.fileSize},
                   {"duration", duration},
                   {"bit_rate", static_cast<std::uint64_t>(bitRate)},
                   {"nb_streams", streams.size()},
                   {"riff_segments", f.segments},
                   {"index", f.indexSource}};
    return json{{"streams", streams}, {"format", format}};
}

json errorObject(const avi::File& f, const std::string& extra) {
    std::string message = utf8Safe(shown(f.getErrorMsg()));
    if (!extra.empty()) message += " (" + utf8Safe(shown(extra)) + ")";
    return json{{"code", static_cast<int>(f.getErrorCode())}, {"message", message}};
}

}  // namespace

int runInfo(const InfoOptions& opt) {
    const std::string& path = opt.file;
    VerifyingInspector f;
    // A file whose header was read but not accepted is still described, with its error.
    if (!f.openPath(path, "r") && !f.handleOpen()) {
        const std::string why = whyNotOpened(path, false);
        if (opt.json) std::printf("%s\n", json{{"error", errorObject(f, why)}}.dump(2).c_str());
        return fail(shown(path) + ": " + errorText(f) + (why.empty() ? "" : " (" + why + ")"));
    }
    f.inspect();
    double duration = 0;
    json j = describe(f, path, duration);
    // A sample of the index: a wrong base shows at the first entries.
    const salvage::IndexCheck index = f.verifyIndex(64);
    j["format"]["index_suspect"] = index.mismatches > 0;
    const bool ok = f.getErrorCode() == avi::errors::ERR_NONE;
    const std::string detail = !ok && f.remote() ? remoteFailure() : std::string();
    if (!ok) j["error"] = errorObject(f, detail);
    if (opt.json) {
        std::printf("%s\n", j.dump(2).c_str());
        return ok ? EXIT_OK : EXIT_FAIL;
    }
    std::ostringstream o;
    o << "file:     " << shown(path) << "\nsize:     " << f.fileSize << " bytes, " << f.segments
      << " RIFF segment(s), read through " << f.indexSource << "\n";
    if (index.mismatches > 0)
        o << "index:    suspect: " << index.mismatches << " of " << index.entries
          << " entries checked do not point at their chunks (avitool repair recovers the file)\n";
    for (const auto& s : j["streams"]) {
        o << "stream " << s["index"].get<int>() << ": " << s["codec_type"].get<std::string>();
        if (s.contains("codec_name")) o << ", " << s["codec_name"].get<std::string>();
        if (s.contains("pix_fmt")) o << " " << s["pix_fmt"].get<std::string>();
        if (s.contains("width"))
            o << ", " << s["width"] << "x" << s["height"] << ", " << s["nb_frames"] << " frames at "
              << s["r_frame_rate"].get<std::string>() << " fps";
        if (s.contains("sample_rate"))
            o << ", " << s["sample_rate"] << " Hz, " << s["bits_per_sample"] << " bits, " << s["channels"]
              << " channel(s)";
        if (s.contains("duration")) o << ", " << s["duration"].get<double>() << " s";
        if (!s["read"].get<bool>()) o << " (not read by avitool)";
        o << "\n";
    }
    o << "status:   "
      << (ok ? std::string("ok") : shown(errorText(f)) + (detail.empty() ? "" : " (" + shown(detail) + ")")) << "\n";
    std::fputs(o.str().c_str(), stdout);
    return ok ? EXIT_OK : EXIT_FAIL;
}

}  // namespace avitool
