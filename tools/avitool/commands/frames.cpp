// avitool frames: export frames as PNG, PPM or raw bytes; compressed frames as they are
// stored (MJPEG as .jpg files).
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cctype>
#include <cstdio>
#include <vector>

#include "commands/commands.h"
#include "image.h"
#include "locations.h"
#include "messages.h"
#include "outputs.h"
#include "progress.h"
#include "rawpipe.h"
#include "reading.h"
#include "salvage/salvage.h"
#include "signals.h"

namespace fs = boost::filesystem;

namespace avitool {

namespace {

// The frames --range names (A:B: A to B-1), inside the file; all of them without it.
bool frameRange(const std::string& text, std::uint32_t total, std::uint32_t& from, std::uint32_t& to,
                std::string& error) {
    from = 0;
    to = total;
    if (text.empty()) return true;
    std::uint64_t a = 0, b = 0;
    if (!parseRange(text, a, b)) {
        error = "bad --range " + text + " (A:B with A < B: frames A to B-1)";
        return false;
    }
    if (b > total) {
        error = "--range " + text + " is outside the file's " + std::to_string(total) + " frames";
        return false;
    }
    from = static_cast<std::uint32_t>(a);
    to = static_cast<std::uint32_t>(b);
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
    const Location in = locate(opt.file);
    const std::string shownIn = shown(opt.file);
    const bool toStdout = opt.out == "-";
    const std::string out = toStdout ? opt.out : locate(opt.out).path;  // frames are written to local files
    avi::internal::FileBridge f;
    salvage::TolerantReader t;
    if (openForReading(opt.strict, in, f, t) != EXIT_OK) return EXIT_FAIL;
    std::string error;
    if (!(opt.strict ? f.hasVideo() : t.hasVideo())) return fail(shownIn + ": no video stream");
    const salvage::VideoFormat& v = t.video();
    const bool compressed = opt.strict ? f.isVideoCompressed() : v.compressed();
    const std::string fourcc = opt.strict ? f.getVideoFourCC() : v.fourcc;
    const std::uint32_t w = opt.strict ? f.getVideoWidth() : v.width, h = opt.strict ? f.getVideoHeight() : v.height;
    const unsigned bits = opt.strict ? f.getVideoBitsPerPixel() : v.bits;
    const std::uint32_t total = opt.strict ? f.getVideoTotalFrames() : static_cast<std::uint32_t>(t.frames().size());
    if (opt.strict && !checkGeometry(f, fileSize(f), error)) return fail(shownIn + ": " + error);
    const salvage::Picture bgr{salvage::Picture::BGR24, true, 0};
    if (!opt.strict && !compressed && (w > 32768 || h > 32768 || t.pictureBytes(bgr) == 0))
        return fail(shownIn + ": unsupported frame geometry " + std::to_string(w) + "x" + std::to_string(h) + " at " +
                    std::to_string(bits) + " bits");
    const bool mjpeg = fourcc == "MJPG" || fourcc == "mjpg";
    std::string format = opt.format;
    if (format.empty()) format = toStdout ? "raw" : compressed ? (mjpeg ? "jpg" : "raw") : "png";
    if (toStdout && format == "png") return fail("PNG frames go to a directory; use ppm or raw for stdout");
    if (compressed && format != "raw" && !(mjpeg && format == "jpg"))
        return fail(shownIn + ": " + fourcc + " frames are exported as stored (--format raw" +
                    (mjpeg ? " or jpg" : "") + ")");
    if (!compressed && format == "jpg") return fail(shownIn + ": uncompressed frames are exported as png, ppm or raw");
    std::uint32_t from, to;
    if (!frameRange(opt.range, total, from, to, error)) return fail(error);
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

    const std::size_t packedRow = packedRowBytes(w, bits);
    // ffmpeg's pal8 frames end in their palette.
    std::vector<char> palette;
    if (bits == 8 && format == "raw" && !compressed && !opt.aviLayout && (opt.strict || !v.gray()))
        palette = pal8Trailer(opt.strict ? f.getColormap() : v.palette);
    const bool asStored = format == "raw" || format == "jpg";
    std::vector<char> buf, packed;
    Image image;
    image.width = w;
    image.height = h;
    // Frame i into buf (as stored, or ffmpeg's raw layout) or image; false with the reason.
    auto strictFrame = [&](std::uint32_t i) {
        const std::uint32_t bytes = asStored ? f.getRawVideoFrameSize(compressed ? i : 0) : f.getRGB24VideoFrameSize();
        if (compressed && bytes > fileSize(f))
            return fail(shownIn + " frame " + std::to_string(i) + ": bad size"), false;
        const std::uint32_t indexed = i < f.videoEntries().size() ? f.videoEntries()[i].getSize() : 0;
        if (!compressed && indexed < f.getRawVideoFrameSize(0))
            return fail(shownIn + " frame " + std::to_string(i) + " holds " + std::to_string(indexed) + " bytes, " +
                        std::to_string(f.getRawVideoFrameSize(0)) + " expected"),
                   false;
        // The library's index is taken as it stands: a frame whose entry misses its chunk is an
        // error, not wrong bytes.
        const std::string miss =
            salvage::checkEntry(*f.handler(), f.handle(), f.videoEntries()[i], f.videoStream(), true);
        if (!miss.empty())
            return fail(shownIn + " frame " + std::to_string(i) + ": its index entry " + miss +
                        " (avitool reads the file without --strict)"),
                   false;
        buf.assign(std::max<std::size_t>(bytes, 1), 0);
        buf.resize(bytes);
        if (asStored)
            f.readVideoFrame(buf.data(), i);
        else
            f.readRGB24VideoFrame(buf.data(), i);
        if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, in, false, "frame " + std::to_string(i)), false;
        if (format == "raw" && !compressed && !opt.aviLayout) {  // ffmpeg's raw layout: top-down rows, no padding
            packed.resize(packedRow * h);
            flipRows(buf.data(), rowStride(w, bits), packed.data(), packedRow, packedRow, h);
            buf.swap(packed);
        }
        if (!asStored) fromAviRgb24(buf.data(), w, h, image);
        return true;
    };
    auto tolerantFrame = [&](std::uint32_t i) {
        bool ok;
        if (compressed) {  // a dropped frame repeats the one before
            const std::int64_t shown = t.shownFrame(i);
            buf.resize(shown < 0 ? 0 : t.frames()[static_cast<std::size_t>(shown)].size);
            ok = shown >= 0 && t.readStored(static_cast<std::uint64_t>(shown), buf.data());
            if (shown < 0)
                return fail(shownIn + ": frame " + std::to_string(i) +
                            " is dropped, and no frame before it holds a picture"),
                       false;
        } else if (asStored) {
            const salvage::Picture as{salvage::Picture::Stored, !opt.aviLayout, opt.aviLayout ? v.storedStride() : 0};
            buf.resize(t.pictureBytes(as));
            ok = t.readPicture(i, buf.data(), as);
        } else {
            image.rgb.resize(t.pictureBytes(bgr));
            image.bgr = true;
            ok = t.readPicture(i, reinterpret_cast<char*>(image.rgb.data()), bgr);
        }
        if (!ok) return fail(shownIn + ": " + t.error()), false;
        return true;
    };
    Progress progress("frames", to - from);
    for (std::uint32_t i = from; i < to && !stopped(); ++i) {
        // In a directory, a dropped frame has no file: its number stays free, so names keep the time.
        if (!toStdout && !opt.strict && t.frames()[i].size == 0) continue;
        if (!(opt.strict ? strictFrame(i) : tolerantFrame(i))) return EXIT_FAIL;
        buf.insert(buf.end(), palette.begin(), palette.end());
        bool ok;
        if (toStdout) {
            ok = format == "ppm" ? writePpm(stdout, image)
                                 : std::fwrite(buf.data(), 1, buf.size(), stdout) == buf.size();
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
                ok = writeBytes(file.path(), buf.data(), buf.size());
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
