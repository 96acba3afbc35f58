#include "image.h"

#include <png.h>
#include <turbojpeg.h>

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
    FilePtr f(std::fopen(path.c_str(), "wb"));
    png_structp png = f ? png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr) : nullptr;
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        error = f ? "PNG: out of memory" : "cannot open " + path;
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {  // libpng's errors come back here
        png_destroy_write_struct(&png, &info);
        error = "PNG: cannot write " + path;
        return false;
    }
    png_init_io(png, f.get());
    // Exports are read back, not archived: the fastest compression that still pays, with the
    // one filter that costs almost nothing.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(png, info);
    if (image.bgr) png_set_bgr(png);
    for (std::uint32_t r = 0; r < image.height; ++r)
        png_write_row(png, image.rgb.data() + static_cast<std::size_t>(r) * image.width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(f.release()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool writePpm(std::FILE* out, const Image& image) {
    std::fprintf(out, "P6\n%u %u\n255\n", image.width, image.height);
    if (!image.bgr) return std::fwrite(image.rgb.data(), 1, image.rgb.size(), out) == image.rgb.size();
    std::vector<unsigned char> row(3 * static_cast<std::size_t>(image.width));
    for (std::size_t at = 0; at < image.rgb.size(); at += row.size()) {
        for (std::size_t x = 0; x < row.size(); x += 3) {
            row[x] = image.rgb[at + x + 2];
            row[x + 1] = image.rgb[at + x + 1];
            row[x + 2] = image.rgb[at + x];
        }
        if (std::fwrite(row.data(), 1, row.size(), out) != row.size()) return false;
    }
    return true;
}

void fromAviRgb24(const char* frame, std::uint32_t width, std::uint32_t height, Image& out) {
    out.width = width;
    out.height = height;
    out.rgb.resize(static_cast<std::size_t>(width) * height * 3);
    const std::size_t stride = rowStride(width, 24);
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
    const std::size_t stride = rowStride(image.width, bits);
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
                default:  // 24 and 32: B G R, and alpha for 32
                    *dst++ = static_cast<unsigned char>(blue);
                    *dst++ = static_cast<unsigned char>(green);
                    *dst++ = static_cast<unsigned char>(red);
                    if (bits == 32) *dst++ = 0xFF;  // opaque: the images carry no alpha
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

bool jpegSize(const std::vector<char>& data, std::uint32_t& width, std::uint32_t& height, std::string* pixelFormat) {
    tjhandle tj = tjInitDecompress();
    if (tj == nullptr) return false;
    int w = 0, h = 0, subsampling = 0, colorspace = 0;
    const int rc = tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(data.data()),
                                       static_cast<unsigned long>(data.size()), &w, &h, &subsampling, &colorspace);
    tjDestroy(tj);
    if (rc != 0 || w <= 0 || h <= 0) return false;
    width = static_cast<std::uint32_t>(w);
    height = static_cast<std::uint32_t>(h);
    static const char* const names[] = {"yuvj444p", "yuvj422p", "yuvj420p", "gray", "yuvj440p", "yuvj411p"};
    if (pixelFormat != nullptr) *pixelFormat = subsampling >= 0 && subsampling < 6 ? names[subsampling] : "";
    return true;
}

bool imageSize(const std::string& path, std::uint32_t& width, std::uint32_t& height, bool& jpeg, std::string& error) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    unsigned char magic[8] = {0};
    const std::size_t n = f ? std::fread(magic, 1, sizeof magic, f.get()) : 0;
    jpeg = n >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF;
    if (jpeg) {
        std::vector<char> data;
        if (!readFileBytes(path, data, std::uint64_t(1) << 30, error)) return false;
        if (jpegSize(data, width, height)) return true;
        error = path + ": unreadable JPEG header";
        return false;
    }
    if (n >= 2 && magic[0] == 'P' && magic[1] == '6') {
        unsigned long w = 0, h = 0;
        std::fseek(f.get(), 2, SEEK_SET);
        if (!ppmToken(f.get(), w) || !ppmToken(f.get(), h) || w == 0 || h == 0) {
            error = path + ": unsupported PPM header";
            return false;
        }
        width = static_cast<std::uint32_t>(w);
        height = static_cast<std::uint32_t>(h);
        return true;
    }
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (n != 8 || png_sig_cmp(magic, 0, 8) != 0 || !png_image_begin_read_from_file(&png, path.c_str())) {
        error = f ? path + " is not a PNG, PPM or JPEG image" : "cannot open " + path;
        return false;
    }
    width = png.width;
    height = png.height;
    png_image_free(&png);
    return true;
}

bool readFileBytes(const std::string& path, std::vector<char>& out, std::uint64_t limit, std::string& error) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) {
        error = "cannot open " + path;
        return false;
    }
    const long size = std::ftell(f.get());
    if (size < 0 || static_cast<std::uint64_t>(size) > limit) {
        error = path + " is too large for one frame";
        return false;
    }
    out.resize(static_cast<std::size_t>(size));
    std::rewind(f.get());
    if (std::fread(out.data(), 1, out.size(), f.get()) != out.size()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

}  // namespace avitool
