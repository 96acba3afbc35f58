#pragma once
// Frames on a pipe in ffmpeg's rawvideo layout (rows top-down and packed; a pal8 frame ends
// in its palette), against the frames an AVI stores (rows bottom-up, padded to 4 bytes).

#include <cstdint>
#include <functional>
#include <vector>

#include "avi/records.h"

namespace avitool {

// Bytes of a packed row: width pixels of bits each.
std::size_t packedRowBytes(std::uint32_t width, unsigned bits);
// Copies height rows of rowBytes in reverse order between two strides: a stored frame
// (bottom-up, padded) to ffmpeg's raw layout (top-down, packed) and back.
void flipRows(const char* src, std::size_t srcStride, char* dst, std::size_t dstStride, std::size_t rowBytes,
              std::uint32_t height);

// The 1024 bytes that end an ffmpeg pal8 frame: 256 entries of B, G, R, A (opaque); entries
// the palette lacks are 0.
std::vector<char> pal8Trailer(const std::vector<avi::tagRGBQUAD>& palette);
// The palette of a pal8 frame's trailer.
std::vector<avi::tagRGBQUAD> pal8Palette(const char* trailer);

// Reads n bytes of stdin; fewer at its end or when a signal stops the run. While stdin has
// nothing to give, idle() runs every `every` seconds (0: never), so that a stalled input
// does not hold back a checkpoint of the frames already written.
std::size_t readInput(char* dst, std::size_t n, double every, const std::function<void()>& idle);

}  // namespace avitool
