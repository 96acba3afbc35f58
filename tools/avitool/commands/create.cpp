// avitool create: a file from images (PNG, PPM, or JPEG stored as MJPEG) or raw frames on
// stdin, with optional WAV audio.
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <vector>

#include "commands/commands.h"
#include "image.h"
#include "locations.h"
#include "messages.h"
#include "outputs.h"
#include "progress.h"
#include "rawpipe.h"
#include "salvage/salvage.h"
#include "signals.h"
#include "wav.h"

namespace fs = boost::filesystem;

namespace avitool {

namespace {

// With first, makes the palette of an ffmpeg pal8 frame (256 entries of B, G, R, A) the
// file's; otherwise tells whether it is the file's.
bool samePalette(avi::internal::FileBridge& f, const char* p, bool first) {
    const std::vector<avi::tagRGBQUAD> map = pal8Palette(p);
    if (first) f.setColormap(map);
    const auto& now = f.palette();
    return std::equal(map.begin(), map.end(), now.begin(), now.end(), [](const auto& a, const auto& b) {
        return a.rgbBlue == b.rgbBlue && a.rgbGreen == b.rgbGreen && a.rgbRed == b.rgbRed;
    });
}

// The side file a later repair reads when the AVI was left without its header.
bool writeRecoveryFile(const std::string& avi, std::uint32_t w, std::uint32_t h, unsigned bits, std::uint32_t num,
                       std::uint32_t den, const std::string& fourcc, const WavReader& wav, std::uint32_t chunk) {
    nlohmann::json j = {{"version", 1},
                        {"video",
                         {{"width", w},
                          {"height", h},
                          {"bits", bits},
                          {"fps", std::to_string(num) + "/" + std::to_string(den)},
                          {"fourcc", fourcc}}}};
    if (wav.isOpen())
        j["audio"] = {{"sample_rate", wav.sampleRate},
                      {"bits", wav.bitsPerSample},
                      {"channels", wav.channels},
                      {"chunk_bytes", chunk}};
    std::ofstream out(avi + ".recovery.json");
    out << j.dump() << "\n";
    return static_cast<bool>(out.flush());
}

}  // namespace

int runCreate(CreateOptions opt) {
    // Everything the run needs is checked before the output is touched.
    std::uint32_t num = 0, den = 0, w = 0, h = 0;
    if (!parseRate(opt.fps, num, den))
        return fail("bad --fps " + opt.fps + " (a rate such as 25, 29.97 or 30000/1001)");
    if (!opt.size.empty() && !parseSize(opt.size, w, h)) return fail("bad --size " + opt.size + " (WxH)");
    std::vector<std::string> files;
    bool jpeg = false;
    std::string error;
    if (!opt.images.empty()) {
        boost::system::error_code ec;
        for (fs::directory_iterator it(opt.images, ec), end; !ec && it != end; it.increment(ec)) {
            std::string ext = it->path().extension().string();
            std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
            if (ext == ".png" || ext == ".ppm" || ext == ".jpg" || ext == ".jpeg") files.push_back(it->path().string());
        }
        if (ec) return fail("cannot list " + opt.images + ": " + ec.message());
        if (files.empty()) return fail(opt.images + " holds no .png, .ppm or .jpg image");
        std::sort(files.begin(), files.end());
        for (std::size_t i = 0; i < files.size(); ++i) {
            std::uint32_t iw = 0, ih = 0;
            bool isJpeg = false;
            if (!imageSize(files[i], iw, ih, isJpeg, error)) return fail(error);
            if (i == 0) jpeg = isJpeg;
            if (isJpeg != jpeg) return fail(opt.images + " mixes JPEG with other images");
            if (w == 0) {
                w = iw;
                h = ih;
            }
            if (iw != w || ih != h)
                return fail(files[i] + " is " + std::to_string(iw) + "x" + std::to_string(ih) + ", not " +
                            std::to_string(w) + "x" + std::to_string(h));
        }
        if (jpeg && opt.bits != 24) return fail("JPEG images are stored as they are (MJPEG); --bits does not apply");
    } else if (w == 0) {
        return fail("--raw needs --size WxH");
    }
    WavReader wav;
    if (!opt.audio.empty() && !wav.open(opt.audio, error)) return fail(error);

    const unsigned bits = jpeg ? 24 : opt.bits;
    const std::string fourcc = jpeg ? "MJPG" : "";
    // One audio chunk per frame keeps the two streams interleaved.
    const std::uint32_t align = wav.isOpen() ? wav.channels * wav.bitsPerSample / 8u : 1;
    const std::uint64_t perFrame =
        wav.isOpen() ? (static_cast<std::uint64_t>(wav.sampleRate) * den + num - 1) / num : 0;
    if (perFrame * align > (1u << 26)) return fail("audio chunks per frame would be too large");
    const auto chunk = static_cast<std::uint32_t>(perFrame * align);

    // A URL is written as it goes, without a local copy; its parts upload while they fill, so
    // there are no checkpoints (they would rewrite them).
    Output out;
    if (!out.prepare(opt.out, opt.overwrite, true, !locate(opt.out).local)) return EXIT_FAIL;
    if (out.streamed()) opt.checkpoint = 0;
    avi::internal::FileBridge f;
    if (!out.open(f)) return fail(f, locate(opt.out), true);
    f.setVideoInfo(w, h, static_cast<double>(num) / den, fourcc, bits);
    // ffmpeg's pal8 frames carry their palette; the file holds the first frame's.
    const bool pal8 = bits == 8 && !opt.raw.empty() && !opt.aviLayout;
    if (bits == 8 && !pal8) {
        const auto p = rgb332Palette();
        std::vector<avi::tagRGBQUAD> palette(256);
        std::memcpy(palette.data(), p.data(), p.size());
        f.setColormap(palette);
    }
    if (wav.isOpen()) f.setAudioInfo(wav.sampleRate, wav.bitsPerSample, wav.channels, chunk);
    if (opt.checkpoint > 0) f.enableCheckpoints(opt.checkpoint);
    if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, locate(opt.out), true);
    // Without checkpoints the header is written last: a side file keeps what repair needs.
    const std::string sideFile = opt.checkpoint > 0 || out.streamed() ? std::string() : out.path() + ".recovery.json";
    if (!sideFile.empty() && !writeRecoveryFile(out.path(), w, h, bits, num, den, fourcc, wav, chunk))
        return fail("cannot write " + sideFile);
    struct SideFileGuard {
        const std::string& path;
        ~SideFileGuard() {
            if (!path.empty()) std::remove(path.c_str());
        }
    } sideGuard{sideFile};

    const std::size_t frameBytes = static_cast<std::size_t>(rowStride(w, bits)) * h;
    const std::size_t packedRow = packedRowBytes(w, bits);
    const std::size_t inputBytes = opt.aviLayout ? frameBytes : packedRow * h + (pal8 ? 1024 : 0);
    std::vector<char> frame(jpeg ? 0 : frameBytes), input(opt.raw.empty() || opt.aviLayout ? 0 : inputBytes),
        sound(chunk + 2);
    std::uint64_t audioBytes = 0, frames = 0;
    bool audioLeft = wav.isOpen();
    auto writeAudioChunk = [&] {
        const std::size_t n = wav.read(sound.data(), chunk);
        if (n == chunk)
            f.writeAudio(sound.data());
        else if (n > 0)
            f.writeAudioTail(sound.data(), static_cast<std::uint32_t>(n));
        audioLeft = n == chunk;
        audioBytes += n;
    };
    // A problem after the first frame ends the recording: the file is finished with every
    // frame before it, and the run fails.
    std::string problem;
    // The writer's error becomes the problem, unless there is one already.
    auto writerProblem = [&] {
        if (problem.empty() && f.getErrorCode() != avi::errors::ERR_NONE)
            problem = locate(opt.out).typed + ": " + errorText(f);
        return !problem.empty();
    };
    Progress progress("create", files.size());
    for (std::size_t i = 0; !stopped(); ++i) {
        if (!files.empty()) {
            if (i == files.size()) break;
            if (jpeg) {
                if (!readFileBytes(files[i], frame, 1u << 30, problem)) break;
            } else {
                Image image;
                if (!readImage(files[i], image, problem)) break;
                if (image.width != w || image.height != h) {
                    problem = files[i] + " changed while it was read";
                    break;
                }
                frame = toAviFrame(image, bits);
            }
        } else {
            char* dst = opt.aviLayout ? frame.data() : input.data();
            const std::size_t n = readInput(dst, inputBytes, opt.checkpoint, [&] { f.checkpoint(); });
            if (n == 0 || stopped()) break;
            if (n != inputBytes) {
                problem = "stdin ended inside frame " + std::to_string(i) + ": its " + std::to_string(n) +
                          " bytes (of " + std::to_string(inputBytes) + ") were dropped";
                break;
            }
            if (!opt.aviLayout) flipRows(input.data(), packedRow, frame.data(), rowStride(w, bits), packedRow, h);
            if (pal8 && !samePalette(f, input.data() + packedRow * h, i == 0)) {
                problem = "frame " + std::to_string(i) +
                          " changes the palette, and an AVI holds one (make one palette for all frames, as "
                          "ffmpeg's palettegen and paletteuse do)";
                break;
            }
        }
        f.writeVideoFrame(frame.data(), static_cast<unsigned>(frame.size()));
        if (f.getErrorCode() == avi::errors::ERR_NONE) ++frames;
        if (audioLeft) writeAudioChunk();
        if (writerProblem()) break;
        progress.update(i + 1);
    }
    if (frames == 0 && !problem.empty()) return fail(problem);
    while (problem.empty() && audioLeft && !stopped() && f.getErrorCode() == avi::errors::ERR_NONE) writeAudioChunk();
    writerProblem();
    f.clearError();
    f.close();
    writerProblem();
    // The exact rate, and the audio's true length (the last chunk may be short), in the header.
    if (!out.patch(num, den, wav.isOpen() ? audioBytes / align : UINT64_MAX) && problem.empty())
        problem = "cannot finish the header of " + out.path();
    if (!out.commit()) return EXIT_FAIL;
    if (!problem.empty())
        return fail(problem + "; " + shown(opt.out) + " holds the " + std::to_string(frames) + " frames before it" +
                    (opt.checkpoint > 0 ? " (or those up to its last checkpoint, if it could not be finished)" : ""));
    return stopped() ? stopStatus() : EXIT_OK;
}

}  // namespace avitool
