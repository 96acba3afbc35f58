// avitool create: a file from images or raw frames, with optional WAV audio.
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "common.h"
#include "media.h"

namespace fs = boost::filesystem;

namespace avitool {

int runCreate(const CreateOptions& opt) {
    const std::string &out = opt.out, &size = opt.size, &images = opt.images, &raw = opt.raw, &audioFile = opt.audio;
    const double fps = opt.fps;
    const unsigned bits = opt.bits;
    unsigned w = 0, h = 0;
    char x = 0;
    std::istringstream sizeText(size);
    if (!(sizeText >> w >> x >> h) || x != 'x' || w == 0 || h == 0) return fail("bad --size " + size + " (WxH)");
    std::vector<std::string> files;
    if (!images.empty()) {
        boost::system::error_code ec;
        for (fs::directory_iterator it(images, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string ext = it->path().extension().string();
            if (ext == ".png" || ext == ".ppm") files.push_back(it->path().string());
        }
        if (ec) return fail("cannot list " + images + ": " + ec.message());
        if (files.empty()) return fail(images + " holds no .png or .ppm image");
        std::sort(files.begin(), files.end());
    }
    Wav wav;
    std::string error;
    if (!audioFile.empty() && !readWav(audioFile, wav, error)) return fail(error);

    avi::File f;
    if (!f.open(out.c_str(), "w")) return fail(f, out);
    f.setVideoInfo(w, h, fps, "", bits);
    if (bits == 8) {
        const auto p = rgb332Palette();
        std::vector<avi::tagRGBQUAD> palette(256);
        std::memcpy(palette.data(), p.data(), p.size());
        f.setColormap(palette);
    }
    // One audio chunk per frame keeps the two streams interleaved.
    const std::uint32_t align = std::max(1u, wav.channels * wav.bitsPerSample / 8u);
    const std::uint32_t chunk = static_cast<std::uint32_t>(std::ceil(wav.sampleRate / fps)) * align;
    if (!wav.data.empty()) f.setAudioInfo(wav.sampleRate, wav.bitsPerSample, wav.channels, chunk);
    if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, out);

    const std::size_t frameBytes = static_cast<std::size_t>(aviStride(w, bits)) * h;
    std::vector<char> frame(frameBytes), sound(chunk + 1);
    std::size_t audioAt = 0;
    auto writeAudioChunk = [&] {
        const std::size_t n = std::min<std::size_t>(chunk, wav.data.size() - audioAt);
        std::memcpy(sound.data(), wav.data.data() + audioAt, n);
        std::fill(sound.begin() + static_cast<std::ptrdiff_t>(n), sound.end(), wav.bitsPerSample == 8 ? '\x80' : '\0');
        f.writeAudio(sound.data());
        audioAt += n;
    };
    Progress progress("create", files.empty() ? 0 : files.size());
    for (std::size_t i = 0;; ++i) {
        if (!files.empty()) {
            if (i == files.size()) break;
            Image image;
            if (!readImage(files[i], image, error)) return fail(error);
            if (image.width != w || image.height != h) return fail(files[i] + " is not " + size);
            frame = toAviFrame(image, bits);
        } else {
            (void)raw;  // "-": frames as stored, bottom-up rows padded to 4 bytes
            const std::size_t n = std::fread(frame.data(), 1, frameBytes, stdin);
            if (n == 0) break;
            if (n != frameBytes) return fail("stdin ended inside a frame");
        }
        f.writeVideoFrame(frame.data(), static_cast<unsigned>(frameBytes));
        if (audioAt < wav.data.size()) writeAudioChunk();
        if (f.getErrorCode() != avi::errors::ERR_NONE) return fail(f, out);
        progress.update(i + 1);
    }
    while (audioAt < wav.data.size() && f.getErrorCode() == avi::errors::ERR_NONE) writeAudioChunk();
    f.close();
    return f.getErrorCode() == avi::errors::ERR_NONE ? 0 : fail(f, out);
}

}  // namespace avitool
