// Stream parameters: from the header list, from the writer's recovery side file, or from
// the user's hints.
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "detail.h"
#include "format/Header.h"
#include "format/Rate.h"

namespace salvage {

namespace {

bool writerBits(unsigned bits) { return bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// "25", "29.97" or "30000/1001", within what the writer's rate fields hold; 0 otherwise.
double rate(const std::string& text) {
    std::uint32_t num = 0, den = 0;
    if (!avi::format::parseRate(text, num, den)) return 0;
    const double r = static_cast<double>(num) / den;
    return r < 4294 ? r : 0;
}

std::string fourccOf(std::uint32_t code) {
    if (code < 256) return "";  // BI_RGB, BI_BITFIELDS: stored pixels
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i) s[static_cast<std::size_t>(i)] = static_cast<char>((code >> (8 * i)) & 0xff);
    return s;
}

}  // namespace

bool Hints::setSize(const std::string& text) {
    std::istringstream in(text);
    char x = 0;
    return in >> width >> x >> height && x == 'x' && width > 0 && height > 0 && in.peek() == EOF;
}

bool Hints::setFps(const std::string& text) { return (fps = rate(text)) > 0; }

bool Hints::setAudio(const std::string& text) {
    std::istringstream in(text);
    char c1 = 0, c2 = 0;
    return in >> sampleRate >> c1 >> sampleBits >> c2 >> channels && c1 == ':' && c2 == ':' && sampleRate > 0 &&
           (sampleBits == 8 || sampleBits == 16) && channels > 0 && channels < 64 && in.peek() == EOF;
}

namespace detail {

bool parseHeaderList(const std::vector<char>& hdrl, Params& out) {
    const avi::format::HeaderList h = avi::format::readHeaderList(hdrl.data(), hdrl.size(), 0);
    const double headerFps = h.main.dwMicroSecPerFrame > 0 ? 1e6 / h.main.dwMicroSecPerFrame : 0;
    for (std::size_t stream = 0; stream < h.streams.size(); ++stream) {
        const avi::format::StreamList& s = h.streams[stream];
        avi::BitmapInfoHeader b;
        avi::WaveFormatEx w;
        if (s.video() && !out.video && s.bitmap(b)) {
            const double fps = s.header.dwScale > 0 ? static_cast<double>(s.header.dwRate) / s.header.dwScale : 0;
            out.width = static_cast<unsigned>(std::llabs(std::int64_t{b.biWidth}));
            out.height = static_cast<unsigned>(std::llabs(std::int64_t{b.biHeight}));
            out.topDown = b.biHeight < 0;
            out.bits = b.biBitCount;
            out.fourcc = fourccOf(b.biCompression);
            const char* palette = s.format.data() + avi::BITMAP_HEADER_SIZE;
            out.palette.assign(palette, palette + std::min<std::size_t>((s.format.size() - 40) / 4, 256) * 4);
            out.fps = fps > 0 && fps < 4294 ? fps : headerFps;
            out.video = out.width > 0 && out.height > 0 && writerBits(out.bits) && out.fps > 0;
            if (out.video) out.videoStream = static_cast<int>(stream);
        } else if (s.audio() && !out.audio && s.wave(w)) {
            out.audioPcm = w.wFormatTag == 1;
            out.channels = w.nChannels;
            out.sampleRate = w.nSamplesPerSec;
            out.sampleBits = w.wBitsPerSample;
            out.audio = out.channels > 0 && out.sampleRate > 0 && out.sampleBits > 0;
            if (out.audio) out.audioStream = static_cast<int>(stream);
        }
    }
    if (out.video || out.audio) out.source = Source::Header;
    return out.video || out.audio;
}

void applySideFileAndHints(const std::string& sideFile, const Hints& hints, Report& r) {
    Params& p = r.params;
    if (!r.header && !sideFile.empty()) {
        std::ifstream in(sideFile);
        const nlohmann::json j = in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json();
        if (j.is_object() && j.value("version", 0) == 1) {
            p.source = Source::SideFile;
            if (j.contains("video") && j["video"].is_object()) {
                const auto& v = j["video"];
                p.width = v.value("width", 0u);
                p.height = v.value("height", 0u);
                p.bits = v.value("bits", 24u);
                p.fps =
                    v.contains("fps") && v["fps"].is_string() ? rate(v["fps"].get<std::string>()) : v.value("fps", 0.0);
                p.fourcc = v.value("fourcc", std::string());
                p.video = true;
            }
            if (j.contains("audio") && j["audio"].is_object()) {
                const auto& a = j["audio"];
                p.sampleRate = a.value("sample_rate", 0u);
                p.sampleBits = a.value("bits", 16u);
                p.channels = a.value("channels", 0u);
                p.audio = true;
            }
        } else if (in) {
            r.notes.push_back("side file " + sideFile + " is not a recovery description; ignored");
        }
    }
    const bool anyHint = hints.width || hints.fps > 0 || hints.bits || hints.fourccGiven || hints.sampleRate;
    if (anyHint && p.source == Source::None) p.source = Source::Hints;
    if (hints.width) {
        p.width = hints.width;
        p.height = hints.height;
        p.video = true;
    }
    if (hints.fps > 0) p.fps = hints.fps;
    if (hints.bits) p.bits = hints.bits;
    if (hints.fourccGiven) p.fourcc = hints.fourcc;
    if (hints.sampleRate) {
        p.sampleRate = hints.sampleRate;
        p.sampleBits = hints.sampleBits;
        p.channels = hints.channels;
        p.audio = p.audioPcm = true;
    }
    if (p.video && p.bits == 0) p.bits = 24;
    if (p.video && !(p.width > 0 && p.height > 0 && writerBits(p.bits) && p.fps > 0)) {
        r.notes.push_back("video parameters incomplete: give --size WxH --fps R (and --bits N)");
        p.video = false;
    }
    if (p.audio && !(p.sampleRate > 0 && p.channels > 0 && (p.sampleBits == 8 || p.sampleBits == 16))) {
        r.notes.push_back("audio parameters incomplete: give --audio RATE:BITS:CHANNELS");
        p.audio = false;
    }
    if (p.audio && !p.audioPcm) r.notes.push_back("audio is not PCM; it is left out");
}

}  // namespace detail
}  // namespace salvage
