#include "json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "image.h"
#include "messages.h"

namespace avitool {

using nlohmann::json;

namespace {

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

std::string codecName(const std::string& fourcc) {
    if (fourcc.empty() || fourcc == "Y800" || fourcc == "GREY" || fourcc == "Y8  ") return "rawvideo";
    return fourcc == "MJPG" || fourcc == "mjpg" ? "mjpeg" : utf8Safe(fourcc);
}

}  // namespace

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

std::string fraction(std::uint32_t num, std::uint32_t den) {
    const std::uint64_t g = num != 0 && den != 0 ? std::gcd(num, den) : 1;
    return std::to_string(num / g) + "/" + std::to_string(den / g);
}

std::string videoPixelFormat(const std::string& fourcc, unsigned bits, const std::vector<char>& firstFrame) {
    std::uint32_t w, h;
    std::string jpeg;
    if (fourcc == "MJPG" || fourcc == "mjpg") return jpegSize(firstFrame, w, h, &jpeg) ? jpeg : "";
    if (fourcc == "Y800" || fourcc == "GREY" || fourcc == "Y8  ") return "gray";
    return fourcc.empty() ? pixelFormat(bits) : "";
}

json describe(const std::vector<avi::format::StreamList>& lists, const VideoFacts* v, const AudioFacts* a,
              double& duration) {
    json streams = json::array();
    duration = 0;
    const std::size_t count =
        std::max<std::size_t>({lists.size(), v != nullptr ? v->stream + 1u : 0u, a != nullptr ? a->stream + 1u : 0u});
    for (std::size_t i = 0; i < count; ++i) {
        json s = {{"index", i}};
        if (v != nullptr && i == v->stream) {
            const double d = v->rate != 0 ? finite(static_cast<double>(v->frames) * v->scale / v->rate) : 0.0;
            duration = std::max(duration, d);
            s["codec_type"] = "video";
            s["codec_name"] = codecName(v->fourcc);
            s["codec_tag_string"] = utf8Safe(v->fourcc);
            if (!v->pixFmt.empty()) s["pix_fmt"] = v->pixFmt;
            s["width"] = v->width;
            s["height"] = v->height;
            s["bits_per_pixel"] = v->bits;
            s["r_frame_rate"] = fraction(v->rate, v->scale);
            s["nb_frames"] = v->frames;
            s["nb_dropped_frames"] = v->dropped;
            s["duration"] = d;
            s["read"] = true;
        } else if (a != nullptr && i == a->stream) {
            const std::uint64_t frameBytes = std::uint64_t{a->channels} * a->bits / 8;
            const double d = frameBytes * a->rate != 0
                                 ? static_cast<double>(a->bytes) / static_cast<double>(frameBytes * a->rate)
                                 : 0.0;
            duration = std::max(duration, d);
            s["codec_type"] = "audio";
            s["codec_name"] = audioCodec(a->tag, a->bits);
            s["sample_rate"] = a->rate;
            s["channels"] = a->channels;
            s["bits_per_sample"] = a->bits;
            s["nb_frames"] = frameBytes != 0 ? a->bytes / frameBytes : 0;
            s["nb_bytes"] = a->bytes;
            s["duration"] = finite(d);
            s["read"] = a->read;
        } else if (i < lists.size()) {
            const avi::format::StreamList& list = lists[i];
            const std::string type = list.header.fccType, handler = list.header.fccHandler;
            avi::WaveFormatEx w;
            s["codec_type"] = codecType(type);
            s["codec_tag_string"] = utf8Safe(handler);
            if (list.audio() && list.wave(w)) {
                s["codec_name"] = audioCodec(w.wFormatTag, w.wBitsPerSample);
                s["sample_rate"] = w.nSamplesPerSec;
                s["channels"] = w.nChannels;
                s["bits_per_sample"] = w.wBitsPerSample;
            }
            s["read"] = false;  // one video and one audio stream are read
        }
        streams.push_back(s);
    }
    return streams;
}

json errorObject(int code, const std::string& message) {
    return json{{"code", code}, {"message", utf8Safe(shown(message))}};
}

}  // namespace avitool
