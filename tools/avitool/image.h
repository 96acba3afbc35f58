#pragma once
// Image files (PNG, PPM, JPEG) for avitool, and RGB pixels packed into the frames an AVI stores.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "format/Rows.h"

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
// Bytes per stored row of width pixels of bits each (padded to 4 bytes).
using avi::format::rowStride;
// 256 entries (blue, green, red, reserved): 3 bits red, 3 bits green, 2 bits blue.
std::vector<std::uint8_t> rgb332Palette();

// Width and height of a PNG, PPM or JPEG image from its header; jpeg tells which it was.
bool imageSize(const std::string& path, std::uint32_t& width, std::uint32_t& height, bool& jpeg, std::string& error);
// Width and height from a JPEG's header (libturbojpeg); false when it is not a JPEG. The
// pixel format ffmpeg decodes it to (yuvj420p, gray, ...) goes to pixelFormat when asked.
bool jpegSize(const std::vector<char>& data, std::uint32_t& width, std::uint32_t& height,
              std::string* pixelFormat = nullptr);
bool readFileBytes(const std::string& path, std::vector<char>& out, std::uint64_t limit, std::string& error);

}  // namespace avitool
