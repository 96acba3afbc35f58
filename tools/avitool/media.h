#pragma once
// Image and WAV files for avitool, and the packing of RGB pixels into AVI frame layouts.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace avitool {

// Top-down, packed 8-bit RGB (B, G, R when bgr).
struct Image {
    std::uint32_t width = 0, height = 0;
    std::vector<unsigned char> rgb;
    bool bgr = false;
};

// Reads a PNG (any colour type, converted to RGB) or a binary PPM (P6, maxval 255).
bool readImage(const std::string& path, Image& out, std::string& error);
bool writePng(const std::string& path, const Image& image, std::string& error);
bool writePpm(std::FILE* out, const Image& image);

// A stored RGB24 frame (bottom-up, B G R, rows padded to 4 bytes) as a top-down RGB image.
void fromAviRgb24(const char* frame, std::uint32_t width, std::uint32_t height, Image& out);
// An image as a stored frame of the given depth (8: the 3-3-2 palette of rgb332Palette).
std::vector<char> toAviFrame(const Image& image, unsigned bits);
std::uint32_t aviStride(std::uint32_t width, unsigned bits);
// Copies height rows of rowBytes in reverse order between two strides: a stored frame
// (bottom-up, padded) to ffmpeg's raw layout (top-down, packed) and back.
void flipRows(const char* src, std::size_t srcStride, char* dst, std::size_t dstStride, std::size_t rowBytes,
              std::uint32_t height);
// 256 entries (blue, green, red, reserved): 3 bits red, 3 bits green, 2 bits blue.
std::vector<std::uint8_t> rgb332Palette();

// A PCM WAV file (WAVE_FORMAT_EXTENSIBLE included) read through libsndfile, block by block.
// Opening refuses what an AVI here cannot hold (anything but 8- or 16-bit PCM, no channels)
// with a message that says what would work.
class WavReader {
public:
    WavReader() = default;
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;
    ~WavReader();
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return file_ != nullptr; }
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0, bitsPerSample = 0;
    std::uint64_t frames = 0;  // sample frames
    // Reads up to maxBytes (whole sample frames) as stored in an AVI: 8-bit unsigned or
    // 16-bit signed little-endian. Returns the bytes read; 0 at the end.
    std::size_t read(char* out, std::size_t maxBytes);

private:
    void* file_ = nullptr;
    std::vector<short> samples_;
};

// A WAV file written through libsndfile; close() completes its header, so a file closed
// early (an interrupted run) still states its true length.
class WavWriter {
public:
    ~WavWriter() { close(); }
    bool open(const std::string& path, std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
              std::string& error);
    bool write(const char* data, std::size_t bytes);  // whole sample frames, AVI byte order
    bool close();

private:
    void* file_ = nullptr;
};

// Width and height of a PNG, PPM or JPEG image from its header; jpeg tells which it was.
bool imageSize(const std::string& path, std::uint32_t& width, std::uint32_t& height, bool& jpeg, std::string& error);
// Width and height from a JPEG's header (libturbojpeg); false when it is not a JPEG. The
// pixel format ffmpeg decodes it to (yuvj420p, gray, ...) goes to pixelFormat when asked.
bool jpegSize(const std::vector<char>& data, std::uint32_t& width, std::uint32_t& height,
              std::string* pixelFormat = nullptr);
bool readFileBytes(const std::string& path, std::vector<char>& out, std::uint64_t limit, std::string& error);

}  // namespace avitool
