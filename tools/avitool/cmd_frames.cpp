// avitool frames: export frames as PNG, PPM or raw bytes; compressed frames as they are
// stored (MJPEG as .jpg files).
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cctype>
#include <cstdio>
#include <vector>

#include "common.h"
#include "media.h"

namespace fs = boost::filesystem;

namespace avitool {

namespace {

// "A:B": frames A to B-1, inside the file.
bool parseRange(const std::string& text, std::uint32_t total, std::uint32_t& from, std::uint32_t& to,
                std::string& error) {
    from = 0;
    to = total;
    if (text.empty()) return true;
    const auto colon = text.find(':');
    const std::string a = colon == std::string::npos ? "" : text.substr(0, colon);
    const std::string b = colon == std::string::npos ? "" : text.substr(colon + 1);
    const auto number = [](const std::string& s) {
        return !s.empty() && s.size() <= 10 && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!number(a) || !number(b) || std::stoull(a) >= std::stoull(b)) {
        error = "bad --range " + text + " (A:B with A < B: frames A to B-1)";
        return false;
    }
    if (std::stoull(b) > total) {
        error = "--range " + text + " is outside the file's " + std::to_string(total) + " frames";
        return false;
    }
    from = static_cast<std::uint32_t>(std::stoull(a));
    to = static_cast<std::uint32_t>(std::stoull(b));
    return true;
}

bool writeBytes(const std::string& file, const char* data, std::size_t n) {
    std::FILE* o = std::fopen(file.c_str(), "wb");
    if (o == nullptr) return false;
    const bool ok = std::fwrite(data, 1, n, o) == n;
    return std::fclose(o) == 0 && ok;
}

}  // namespace

int runFrames(const FramesOptions& opt) {
    const std::string& path = opt.file;
    bool local = true;  // frames are always written to local files
    const std::string out = opt.out == "-" ? opt.out : localPath(opt.out, local);
    Inspector f;
    if (!f.openPath(path, "r")) return fail(f, shown(path));
    f.inspect();
    std::string error;
    if (!f.hasVideo()) return fail(shown(path) + ": no video stream");
    if (!f.checkGeometry(error)) return fail(shown(path) + ": " + error);
    const bool toStdout = out == "-";
    const bool compressed = f.isVideoCompressed();
    const std::string fourcc = compressed ? f.getVideoFourCC() : "";
    const bool mjpeg = fourcc == "MJPG" || fourcc == "mjpg";
    std::string format = opt.format;
    if (format.empty()) format = toStdout ? "raw" : compressed ? (mjpeg ? "jpg" : "raw") : "png";
    if (toStdout && format == "png") return fail("PNG frames go to a directory; use ppm or raw for stdout");
    if (compressed && format != "raw" && !(mjpeg && format == "jpg"))
        return fail(shown(path) + ": " + fourcc + " frames are exported as stored (--format raw" +
                    (mjpeg ? " or jpg" : "") + ")");
    if (!compressed && format == "jpg")
        return fail(shown(path) + ": uncompressed frames are exported as png, ppm or raw");
    std::uint32_t from, to;
    if (!parseRange(opt.range, f.getVideoTotalFrames(), from, to, error)) return fail(error);
    if (!toStdout) {
        boost::system::error_code ec;
        fs::create_directories(out, ec);
        if (ec) return fail("cannot create " + out + ": " + ec.message());
    }
    // File names carry the FOURCC of compressed frames other than MJPEG, made safe for a name.
    std::string extension = format;
    if (compressed && !mjpeg) {
        std::string tag;
        for (const char c : fourcc) tag += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        extension = tag + ".raw";
    }

    const std::uint32_t w = f.getVideoWidth(), h = f.getVideoHeight();
    const unsigned bits = f.getVideoBitsPerPixel();
    const std::size_t packedRow = static_cast<std::size_t>(w) * bits / 8;
    // ffmpeg's pal8 frames end in the 256 palette entries, each as B, G, R, A (opaque).
    std::vector<char> palette;
    if (bits == 8 && format == "raw" && !compressed && !opt.aviLayout) {
        palette.assign(1024, 0);
        const auto map = f.getColormap();
        for (std::size_t i = 0; i < map.size() && i < 256; ++i) {
            const char entry[4] = {static_cast<char>(map[i].rgbBlue), static_cast<char>(map[i].rgbGreen),
                                   static_cast<char>(map[i].rgbRed), static_cast<char>(0xFF)};
            std::copy(entry, entry + 4, palette.begin() + static_cast<std::ptrdiff_t>(4 * i));
        }
    }
    std::vector<char> buf, packed;
    Image image;
    Progress progress("frames", to - from);
    for (std::uint32_t i = from; i < to && !stopped(); ++i) {
        const bool asStored = format == "raw" || format == "jpg";
        const std::uint32_t bytes = asStored ? f.getRawVideoFrameSize(compressed ? i : 0) : f.getRGB24VideoFrameSize();
        if (compressed && bytes > f.fileSize) return fail(shown(path) + " frame " + std::to_string(i) + ": bad size");
        if (!compressed && f.indexedSize(i) < f.getRawVideoFrameSize(0))
            return fail(shown(path) + " frame " + std::to_string(i) + " holds " + std::to_string(f.indexedSize(i)) +
                        " bytes, " + std::to_string(f.getRawVideoFrameSize(0)) + " expected");
        buf.assign(std::max<std::size_t>(bytes, 1), 0);
        if (asStored)
            f.readVideoFrame(buf.data(), i);
        else
            f.readRGB24VideoFrame(buf.data(), i);
        if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, shown(path), "frame " + std::to_string(i));
        const char* data = buf.data();
        std::size_t n = bytes;
        if (format == "raw" && !compressed && !opt.aviLayout) {
            // ffmpeg's raw layout: top-down rows without padding.
            packed.resize(packedRow * h + palette.size());
            flipRows(buf.data(), aviStride(w, bits), packed.data(), packedRow, packedRow, h);
            std::copy(palette.begin(), palette.end(), packed.end() - static_cast<std::ptrdiff_t>(palette.size()));
            data = packed.data();
            n = packed.size();
        }
        if (format == "png" || format == "ppm") fromAviRgb24(buf.data(), w, h, image);
        bool ok;
        if (toStdout) {
            ok = format == "ppm" ? writePpm(stdout, image) : std::fwrite(data, 1, n, stdout) == n;
            if (!ok) return fail("cannot write stdout");
        } else {
            char name[64];
            std::snprintf(name, sizeof name, "frame_%06u.%s", i, extension.c_str());
            Output file;
            if (!file.prepare("file:" + (fs::path(out) / name).string(), opt.overwrite)) return EXIT_FAIL;
            if (format == "png") {
                ok = writePng(file.path(), image, error);
            } else if (format == "ppm") {
                std::FILE* o = std::fopen(file.path().c_str(), "wb");
                ok = o != nullptr && writePpm(o, image);
                if (o != nullptr && std::fclose(o) != 0) ok = false;
            } else {
                ok = writeBytes(file.path(), data, n);
            }
            if (!ok || !file.commit())
                return fail("cannot write " + file.target() + (error.empty() ? "" : ": " + error));
        }
        progress.update(i + 1 - from);
    }
    if (std::fflush(stdout) != 0) return fail("cannot write stdout");
    return stopped() ? stopStatus() : EXIT_OK;
}

}  // namespace avitool
