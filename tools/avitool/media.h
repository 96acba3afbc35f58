#pragma once
// Image and WAV files for avitool, and the packing of RGB pixels into AVI frame layouts.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace avitool {

// Top-down, packed 8-bit RGB.
struct Image {
    std::uint32_t width = 0, height = 0;
    std::vector<unsigned char> rgb;
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
// 256 entries (blue, green, red, reserved): 3 bits red, 3 bits green, 2 bits blue.
std::vector<std::uint8_t> rgb332Palette();

struct Wav {
    std::uint32_t sampleRate = 0;
    std::uint16_t channels = 0, bitsPerSample = 0;
    std::vector<char> data;
};
bool readWav(const std::string& path, Wav& out, std::string& error);
// Writes a PCM WAV header for dataBytes of audio; the caller appends the data.
bool writeWavHeader(std::FILE* out, std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bits,
                    std::uint32_t dataBytes);

}  // namespace avitool
