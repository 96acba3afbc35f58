// avitool frames: export frames as PNG, PPM or raw bytes.
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <vector>

#include "common.h"
#include "media.h"

namespace fs = boost::filesystem;

namespace avitool {

namespace {

// "A:B" (B excluded), "A:" or ":B"; both ends are clipped to the file.
bool parseRange(const std::string& text, std::uint32_t total, std::uint32_t& from, std::uint32_t& to) {
    from = 0;
    to = total;
    if (text.empty()) return true;
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    try {
        if (colon > 0)
            from = static_cast<std::uint32_t>(std::min<unsigned long>(std::stoul(text.substr(0, colon)), total));
        if (colon + 1 < text.size())
            to = static_cast<std::uint32_t>(std::min<unsigned long>(std::stoul(text.substr(colon + 1)), total));
    } catch (const std::exception&) {
        return false;
    }
    return from <= to;
}

}  // namespace

int runFrames(const FramesOptions& opt) {
    const std::string &path = opt.file, &out = opt.out, &range = opt.range;
    std::string format = opt.format;
    avi::File f;
    if (!f.open(path.c_str(), "r")) return fail(f, path);
    if (!f.hasVideo()) return fail(path + ": no video stream");
    const bool toStdout = out == "-";
    if (format.empty()) format = toStdout ? "raw" : "png";
    if (toStdout && format == "png") return fail("PNG frames go to a directory; use ppm or raw for stdout");
    if (format != "raw" && f.isVideoCompressed()) return fail(path + ": compressed video can only be exported raw");
    std::uint32_t from, to;
    if (!parseRange(range, f.getVideoTotalFrames(), from, to)) return fail("bad --range " + range);
    if (!toStdout) {
        boost::system::error_code ec;
        fs::create_directories(out, ec);
        if (ec) return fail("cannot create " + out + ": " + ec.message());
    }
    std::vector<char> buf;
    Image image;
    Progress progress("frames", to - from);
    for (std::uint32_t i = from; i < to; ++i) {
        std::size_t bytes =
            format == "raw" ? f.getRawVideoFrameSize(f.isVideoCompressed() ? i : 0) : f.getRGB24VideoFrameSize();
        buf.resize(std::max<std::size_t>(bytes, 1));
        if (format == "raw")
            f.readVideoFrame(buf.data(), i);
        else
            f.readRGB24VideoFrame(buf.data(), i);
        if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, path + " frame " + std::to_string(i));
        char name[32];
        std::snprintf(name, sizeof name, "frame_%06u.%s", i, format.c_str());
        const std::string file = toStdout ? "" : (fs::path(out) / name).string();
        if (format == "png" || format == "ppm") fromAviRgb24(buf.data(), f.getVideoWidth(), f.getVideoHeight(), image);
        std::string error;
        bool ok;
        if (format == "png") {
            ok = writePng(file, image, error);
        } else {
            std::FILE* o = toStdout ? stdout : std::fopen(file.c_str(), "wb");
            ok = o != nullptr && (format == "ppm" ? writePpm(o, image) : std::fwrite(buf.data(), 1, bytes, o) == bytes);
            if (o != nullptr && !toStdout && std::fclose(o) != 0) ok = false;
            error = "cannot write " + (toStdout ? std::string("stdout") : file);
        }
        if (!ok) return fail(error);
        progress.update(i + 1 - from);
    }
    return std::fflush(stdout) == 0 ? 0 : fail("cannot write stdout");
}

}  // namespace avitool
