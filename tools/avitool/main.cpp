// avitool: inspect, export, build and check AVI files from a shell.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/filesystem.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>

#include "avi/File.h"
#include "media.h"

namespace fs = boost::filesystem;
using namespace avitool;

namespace {

// A reading File that can also describe the file's layout: RIFF segments and the index
// the reader went through.
class Inspector : public avi::File {
public:
    std::uint64_t fileSize = 0;
    unsigned segments = 0;
    std::string indexSource;

    void inspect() {
        avi::IFileHandler& h = *fileHandler;
        if (h.fseek(fileHandle, 0, 2) == 0) fileSize = static_cast<std::uint64_t>(std::max<std::int64_t>(0, h.ftell(fileHandle)));
        bool indx = false;
        for (std::uint64_t pos = 0; pos + 12 <= fileSize && segments < 100000;) {
            char id[4], form[4];
            std::uint32_t size = 0;
            if (!header(pos, id, size, form) || std::memcmp(id, "RIFF", 4) != 0) break;
            if (segments++ == 0) indx = hasOpenDmlIndex(pos + 12, pos + 8 + size);
            pos += 8 + static_cast<std::uint64_t>(size) + (size & 1);
        }
        indexSource = indx ? "indx" : idx1Offset != 0 ? "idx1" : "movi scan";
    }
    std::uint32_t headerFrames() const { return streamHeaders[videoStreamNumber % avi::MAX_STREAMS].dwLength; }

private:
    bool header(std::uint64_t pos, char* id, std::uint32_t& size, char* form) {
        char b[12];
        fileHandler->setFilePos(fileHandle, pos);
        if (fileHandler->fread(b, 1, 12, fileHandle) != 12) return false;
        std::memcpy(id, b, 4);
        size = avi::fcns::char2uint32(b + 4);
        std::memcpy(form, b + 8, 4);
        return true;
    }
    // Whether a stream list of the hdrl between from and to carries an indx chunk.
    bool hasOpenDmlIndex(std::uint64_t from, std::uint64_t to, int depth = 0) {
        char id[4], form[4];
        std::uint32_t size = 0;
        for (std::uint64_t pos = from; pos + 8 <= to && pos + 8 <= fileSize && header(pos, id, size, form);
             pos += 8 + static_cast<std::uint64_t>(size) + (size & 1)) {
            if (std::memcmp(id, "indx", 4) == 0) return true;
            const bool descend = std::memcmp(id, "LIST", 4) == 0 &&
                                 (std::memcmp(form, "hdrl", 4) == 0 || std::memcmp(form, "strl", 4) == 0);
            if (descend && depth < 2 && hasOpenDmlIndex(pos + 12, pos + 8 + size, depth + 1)) return true;
        }
        return false;
    }
};

int fail(const avi::File& f, const std::string& what) {
    std::fprintf(stderr, "avitool: %s: error %d: %s\n", what.c_str(), static_cast<int>(f.getErrorCode()), f.getErrorMsg());
    return 1;
}
int fail(const std::string& message) {
    std::fprintf(stderr, "avitool: %s\n", message.c_str());
    return 1;
}

// A progress bar on stderr, drawn only when stderr is a terminal.
class Progress {
public:
    Progress(const char* label, std::uint64_t total) : label_(label), total_(total), on_(::isatty(2) == 1) {}
    void update(std::uint64_t done) {
        if (!on_ || total_ == 0) return;
        const int pct = static_cast<int>(done * 100 / total_);
        if (pct == shown_) return;
        shown_ = pct;
        std::fprintf(stderr, "\r%s [%-40s] %3d%%", label_, std::string(static_cast<std::size_t>(pct * 40 / 100), '#').c_str(), pct);
        if (done >= total_) std::fputc('\n', stderr);
    }

private:
    const char* label_;
    std::uint64_t total_;
    bool on_;
    int shown_ = -1;
};

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

int runInfo(const std::string& path, bool json) {
    Inspector f;
    if (!f.open(path.c_str(), "r")) return fail(f, path);
    f.inspect();
    const bool v = f.hasVideo(), a = f.hasAudio();
    const double fps = v ? f.getVideoFrameRate() : 0;
    const double vDuration = fps > 0 ? f.getVideoTotalFrames() / fps : 0;
    const std::uint32_t bytesPerSecond = f.getAudioSampleRate() * f.getAudioNumberOfChannels() * f.getAudioBitsPerSample() / 8;
    const double aDuration = bytesPerSecond ? static_cast<double>(f.getAudioTotalBytes()) / bytesPerSecond : 0;
    const std::string fourcc = v ? f.getVideoFourCC() : "";
    std::ostringstream o;
    o.precision(6);
    if (json) {
        o << "{\"file\":" << jsonString(path) << ",\"size\":" << f.fileSize << ",\"riff_segments\":" << f.segments
          << ",\"index\":" << jsonString(f.indexSource) << ",\"video\":";
        if (v)
            o << "{\"width\":" << f.getVideoWidth() << ",\"height\":" << f.getVideoHeight()
              << ",\"bits_per_pixel\":" << f.getVideoBitsPerPixel() << ",\"compression\":" << jsonString(fourcc)
              << ",\"frames\":" << f.getVideoTotalFrames() << ",\"frame_rate\":" << fps
              << ",\"duration\":" << vDuration << "}";
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
        o << ",\"error\":{\"code\":" << static_cast<int>(f.getErrorCode()) << ",\"message\":" << jsonString(f.getErrorMsg())
          << "}}\n";
    } else {
        o << "file:     " << path << "\nsize:     " << f.fileSize << " bytes, " << f.segments
          << " RIFF segment(s), read through " << f.indexSource << "\n";
        if (v)
            o << "video:    " << f.getVideoWidth() << "x" << f.getVideoHeight() << ", " << f.getVideoBitsPerPixel()
              << " bits, compression " << (fourcc.empty() ? "none" : fourcc) << ", " << f.getVideoTotalFrames()
              << " frames at " << fps << " fps, " << vDuration << " s\n";
        if (a)
            o << "audio:    " << (f.isAudioCompressed() ? "compressed" : "PCM") << ", " << f.getAudioSampleRate() << " Hz, "
              << f.getAudioBitsPerSample() << " bits, " << f.getAudioNumberOfChannels() << " channel(s), "
              << f.getAudioTotalBytes() << " bytes, " << aDuration << " s\n";
        o << "status:   "
          << (f.getErrorCode() == avi::errors::ERR_NONE ? std::string("ok")
                                                         : "error " + std::to_string(f.getErrorCode()) + ": " + f.getErrorMsg())
          << "\n";
    }
    std::fputs(o.str().c_str(), stdout);
    return 0;
}

// "A:B" (B excluded), "A:" or ":B"; both ends are clipped to the file.
bool parseRange(const std::string& text, std::uint32_t total, std::uint32_t& from, std::uint32_t& to) {
    from = 0;
    to = total;
    if (text.empty()) return true;
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    try {
        if (colon > 0) from = static_cast<std::uint32_t>(std::min<unsigned long>(std::stoul(text.substr(0, colon)), total));
        if (colon + 1 < text.size())
            to = static_cast<std::uint32_t>(std::min<unsigned long>(std::stoul(text.substr(colon + 1)), total));
    } catch (const std::exception&) {
        return false;
    }
    return from <= to;
}

int runFrames(const std::string& path, const std::string& out, const std::string& range, std::string format) {
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
        std::size_t bytes = format == "raw" ? f.getRawVideoFrameSize(f.isVideoCompressed() ? i : 0) : f.getRGB24VideoFrameSize();
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

int runAudio(const std::string& path, const std::string& out) {
    avi::File f;
    if (!f.open(path.c_str(), "r")) return fail(f, path);
    if (!f.hasAudio()) return fail(path + ": no audio stream");
    if (f.isAudioCompressed()) return fail(path + ": compressed audio cannot be written as PCM WAV");
    std::FILE* o = std::fopen(out.c_str(), "wb");
    if (o == nullptr) return fail("cannot create " + out);
    const std::uint32_t total = f.getAudioTotalBytes();
    bool ok = writeWavHeader(o, f.getAudioSampleRate(), f.getAudioNumberOfChannels(), f.getAudioBitsPerSample(), total);
    std::vector<char> block(1 << 16);
    Progress progress("audio", total);
    while (ok && !f.isEndOfAudio()) {
        const std::uint64_t before = f.getAudioBytesRead();
        f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
        if (f.getErrorCode() != avi::errors::ERR_NONE) {
            std::fclose(o);
            return fail(f, path);
        }
        const std::size_t got = static_cast<std::size_t>(f.getAudioBytesRead() - before);
        ok = std::fwrite(block.data(), 1, got, o) == got;
        progress.update(f.getAudioBytesRead());
    }
    if (std::fclose(o) != 0 || !ok) return fail("cannot write " + out);
    return 0;
}

int runCreate(const std::string& out, const std::string& size, double fps, unsigned bits, const std::string& images,
              const std::string& raw, const std::string& audioFile) {
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

int runCheck(const std::string& path) {
    Inspector f;
    if (!f.open(path.c_str(), "r")) return fail(f, path);
    std::vector<std::string> problems;
    auto note = [&](const std::string& what) {
        problems.push_back(what + ": error " + std::to_string(f.getErrorCode()) + ": " + f.getErrorMsg());
    };
    if (f.getErrorCode() != avi::errors::ERR_NONE) note("open");
    std::vector<char> raw, rgb;
    if (f.hasVideo()) {
        if (f.headerFrames() != f.getVideoTotalFrames())
            problems.push_back("the stream header announces " + std::to_string(f.headerFrames()) + " frames, the index holds " +
                               std::to_string(f.getVideoTotalFrames()));
        Progress progress("video", f.getVideoTotalFrames());
        for (std::uint32_t i = 0; i < f.getVideoTotalFrames() && problems.size() < 20; ++i) {
            raw.resize(std::max<std::size_t>(1, f.getRawVideoFrameSize(f.isVideoCompressed() ? i : 0)));
            f.readVideoFrame(raw.data(), i);
            if (f.getErrorCode() != avi::errors::ERR_NONE) note("frame " + std::to_string(i));
            if (!f.isVideoCompressed()) {
                rgb.resize(std::max<std::size_t>(1, f.getRGB24VideoFrameSize()));
                f.readRGB24VideoFrame(rgb.data(), i);
                if (f.getErrorCode() != avi::errors::ERR_NONE) note("RGB24 of frame " + std::to_string(i));
            }
            progress.update(i + 1);
        }
    }
    if (f.hasAudio() && !f.isAudioCompressed()) {
        std::vector<char> block(1 << 16);
        Progress progress("audio", f.getAudioTotalBytes());
        while (!f.isEndOfAudio() && f.getErrorCode() == avi::errors::ERR_NONE) {
            f.readAudio(block.data(), static_cast<unsigned long>(block.size()));
            progress.update(f.getAudioBytesRead());
        }
        if (f.getErrorCode() != avi::errors::ERR_NONE)
            note("audio after " + std::to_string(f.getAudioBytesRead()) + " of " + std::to_string(f.getAudioTotalBytes()) +
                 " bytes");
    }
    for (const auto& p : problems) std::printf("%s: %s\n", path.c_str(), p.c_str());
    if (problems.empty()) std::printf("%s: ok\n", path.c_str());
    return problems.empty() ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Inspect, export, build and check AVI files (local paths or http(s):// locations)."};
    app.require_subcommand(1, 1);
    std::string file, out, range, format, size, images, raw, audio;
    bool json = false;
    double fps = 25;
    unsigned bits = 24;

    auto* info = app.add_subcommand("info", "Streams, sizes, rates, index and segments of a file");
    info->add_option("FILE", file, "AVI file or URL")->required();
    info->add_flag("--json", json, "stable machine-readable output");

    auto* frames = app.add_subcommand("frames", "Export frames as PNG, PPM or raw bytes");
    frames->add_option("FILE", file, "AVI file or URL")->required();
    frames->add_option("-o,--output", out, "directory, or - for stdout")->required();
    frames->add_option("--range", range, "frames A:B (B excluded), A: or :B");
    frames->add_option("--format", format, "png (directories only), ppm or raw")
        ->check(CLI::IsMember({"png", "ppm", "raw"}));

    auto* audioCmd = app.add_subcommand("audio", "Write the audio stream as a WAV file");
    audioCmd->add_option("FILE", file, "AVI file or URL")->required();
    audioCmd->add_option("-o,--output", out, "WAV file")->required();

    auto* create = app.add_subcommand("create", "Build a file from images or raw frames, with optional WAV audio");
    create->add_option("OUT", file, "AVI file or URL to write")->required();
    create->add_option("--size", size, "frame size WxH")->required();
    create->add_option("--fps", fps, "frame rate")->required()->check(CLI::PositiveNumber);
    create->add_option("--bits", bits, "bits per pixel")->check(CLI::IsMember({8, 16, 24, 32}));
    auto* imagesOpt = create->add_option("--images", images, "directory of .png/.ppm images, in name order");
    auto* rawOpt = create->add_option("--raw", raw, "- : frames as stored (bottom-up, rows padded to 4 bytes) on stdin")
                       ->check(CLI::IsMember({"-"}));
    imagesOpt->excludes(rawOpt);
    create->add_option("--audio", audio, "PCM WAV file, one chunk per frame; the last chunk is completed with silence");

    auto* check = app.add_subcommand("check", "Read every frame and audio byte; exit status 0 only for a sound file");
    check->add_option("FILE", file, "AVI file or URL")->required();

    CLI11_PARSE(app, argc, argv);
    try {
        if (*info) return runInfo(file, json);
        if (*frames) return runFrames(file, out, range, format);
        if (*audioCmd) return runAudio(file, out);
        if (*create) {
            if (images.empty() && raw.empty()) return fail("create needs --images DIR or --raw -");
            return runCreate(file, size, fps, bits, images, raw, audio);
        }
        if (*check) return runCheck(file);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    return 1;
}
