#include "media.h"

#include <png.h>

#include <cctype>
#include <cstring>
#include <memory>

namespace avitool {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

// Next whitespace-separated token of a PPM header, skipping # comments.
bool ppmToken(std::FILE* f, unsigned long& value) {
    int c = std::fgetc(f);
    while (c == '#' || std::isspace(c)) {
        if (c == '#')
            while (c != '\n' && c != EOF) c = std::fgetc(f);
        c = std::fgetc(f);
    }
    if (!std::isdigit(c)) return false;
    value = 0;
    for (; std::isdigit(c); c = std::fgetc(f)) {
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > (1UL << 20)) return false;
    }
    return true;  // the single whitespace after the token is consumed
}

bool readPpm(std::FILE* f, Image& out, std::string& error) {
    unsigned long w = 0, h = 0, maxval = 0;
    if (!ppmToken(f, w) || !ppmToken(f, h) || !ppmToken(f, maxval) || maxval != 255 || w == 0 || h == 0) {
        error = "unsupported PPM header (binary P6 with maxval 255 expected)";
        return false;
    }
    out.width = static_cast<std::uint32_t>(w);
    out.height = static_cast<std::uint32_t>(h);
    out.rgb.resize(static_cast<std::size_t>(w) * h * 3);
    if (std::fread(out.rgb.data(), 1, out.rgb.size(), f) != out.rgb.size()) {
        error = "PPM data is short";
        return false;
    }
    return true;
}

}  // namespace

bool readImage(const std::string& path, Image& out, std::string& error) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        error = "cannot open " + path;
        return false;
    }
    unsigned char magic[8] = {0};
    const std::size_t n = std::fread(magic, 1, sizeof magic, f.get());
    if (n >= 2 && magic[0] == 'P' && magic[1] == '6') {
        std::fseek(f.get(), 2, SEEK_SET);
        return readPpm(f.get(), out, error);
    }
    if (n != 8 || png_sig_cmp(magic, 0, 8) != 0) {
        error = path + " is neither PNG nor PPM";
        return false;
    }
    f.reset();
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = std::string("PNG: ") + png.message;
        return false;
    }
    png.format = PNG_FORMAT_RGB;
    out.width = png.width;
    out.height = png.height;
    out.rgb.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, out.rgb.data(), 0, nullptr)) {
        error = std::string("PNG: ") + png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}

bool writePng(const std::string& path, const Image& image, std::string& error) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&png, path.c_str(), 0, image.rgb.data(), 0, nullptr)) {
        error = std::string("PNG: ") + png.message;
        return false;
    }
    return true;
}

bool writePpm(std::FILE* out, const Image& image) {
    std::fprintf(out, "P6\n%u %u\n255\n", image.width, image.height);
    return std::fwrite(image.rgb.data(), 1, image.rgb.size(), out) == image.rgb.size();
}

std::uint32_t aviStride(std::uint32_t width, unsigned bits) {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4);
}

void fromAviRgb24(const char* frame, std::uint32_t width, std::uint32_t height, Image& out) {
    out.width = width;
    out.height = height;
    out.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    const std::uint32_t stride = aviStride(width, 24);
    for (std::uint32_t r = 0; r < height; ++r) {
        const auto* src =
            reinterpret_cast<const unsigned char*>(frame) + static_cast<std::size_t>(height - 1 - r) * stride;
        unsigned char* dst = out.rgb.data() + static_cast<std::size_t>(r) * width * 3;
        for (std::uint32_t x = 0; x < width; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
}

std::vector<char> toAviFrame(const Image& image, unsigned bits) {
    const std::uint32_t stride = aviStride(image.width, bits);
    std::vector<char> frame(static_cast<std::size_t>(stride) * image.height, 0);
    for (std::uint32_t r = 0; r < image.height; ++r) {
        const unsigned char* src = image.rgb.data() + static_cast<std::size_t>(image.height - 1 - r) * image.width * 3;
        auto* dst = reinterpret_cast<unsigned char*>(frame.data()) + static_cast<std::size_t>(r) * stride;
        for (std::uint32_t x = 0; x < image.width; ++x, src += 3) {
            const unsigned red = src[0], green = src[1], blue = src[2];
            switch (bits) {
                case 8:
                    *dst++ = static_cast<unsigned char>((red & 0xE0) | ((green & 0xE0) >> 3) | (blue >> 6));
                    break;
                case 16:
                    put16(dst, static_cast<std::uint16_t>(((red >> 3) << 10) | ((green >> 3) << 5) | (blue >> 3)));
                    dst += 2;
                    break;
                default:  // 24 and 32: B G R, and a zero reserved byte for 32
                    *dst++ = static_cast<unsigned char>(blue);
                    *dst++ = static_cast<unsigned char>(green);
                    *dst++ = static_cast<unsigned char>(red);
                    if (bits == 32) *dst++ = 0;
            }
        }
    }
    return frame;
}

std::vector<std::uint8_t> rgb332Palette() {
    std::vector<std::uint8_t> p(256 * 4, 0);
    for (unsigned i = 0; i < 256; ++i) {
        p[4 * i] = static_cast<std::uint8_t>((i & 3) * 255 / 3);
        p[4 * i + 1] = static_cast<std::uint8_t>(((i >> 2) & 7) * 255 / 7);
        p[4 * i + 2] = static_cast<std::uint8_t>(((i >> 5) & 7) * 255 / 7);
    }
    return p;
}

bool readWav(const std::string& path, Wav& out, std::string& error) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    unsigned char head[12];
    if (!f || std::fread(head, 1, 12, f.get()) != 12 || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        error = path + " is not a WAV file";
        return false;
    }
    bool haveFormat = false;
    unsigned char chunk[8];
    while (std::fread(chunk, 1, 8, f.get()) == 8) {
        const std::uint32_t size = le32(chunk + 4);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && size < 1024) {
            unsigned char fmt[1024];
            if (std::fread(fmt, 1, size + (size & 1), f.get()) < size) break;
            if (le16(fmt) != 1) {
                error = "only PCM WAV audio can be stored";
                return false;
            }
            out.channels = le16(fmt + 2);
            out.sampleRate = le32(fmt + 4);
            out.bitsPerSample = le16(fmt + 14);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0 && haveFormat) {
            // Read what is there (a streamed WAV may claim more than it holds), in blocks.
            char block[65536];
            std::uint64_t left = size;
            std::size_t n;
            while (left > 0 && (n = std::fread(block, 1, left < sizeof block ? left : sizeof block, f.get())) > 0) {
                out.data.insert(out.data.end(), block, block + n);
                left -= n;
            }
            return true;
        } else if (std::fseek(f.get(), static_cast<long>(size + (size & 1)), SEEK_CUR) != 0) {
            break;
        }
    }
    error = path + ": no PCM format and data chunks";
    return false;
}

bool writeWavHeader(std::FILE* out, std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
                    std::uint32_t dataBytes) {
    unsigned char h[44];
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 16);
    put16(h + 20, 1);
    put16(h + 22, channels);
    put32(h + 24, sampleRate);
    const std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    put32(h + 28, sampleRate * align);
    put16(h + 32, align);
    put16(h + 34, bits);
    std::memcpy(h + 36, "data", 4);
    put32(h + 40, dataBytes);
    return std::fwrite(h, 1, sizeof h, out) == sizeof h;
}

}  // namespace avitool
