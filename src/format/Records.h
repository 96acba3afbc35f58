#pragma once
// The header records, decoded field by field from their on-disk bytes. Callers check that
// the bytes are there (the lengths below) before they decode.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "avi/records.h"

namespace avi::format {

// "avih": MAIN_HEADER_SIZE bytes.
void decodeMainHeader(const char* d, MainAVIHeader& h);
// "strh": at least 48 bytes. The frame rectangle is read as four 32-bit values from a 64-byte
// header, four 16-bit values from a 56-byte one, and left as it was otherwise. Type and
// handler end early at a NUL byte.
void decodeStreamHeader(const char* d, std::size_t length, AVIStreamHeader& h);
// A video "strf": BITMAP_HEADER_SIZE bytes; the height keeps its sign.
void decodeBitmapHeader(const char* d, BitmapInfoHeader& b);
// entries palette entries (blue, green, red, reserved) at d.
std::vector<tagRGBQUAD> decodePalette(const char* d, std::size_t entries);
// An audio "strf": at least 16 bytes; cbSize only when there are 18.
void decodeWaveFormat(const char* d, std::size_t length, WaveFormatEx& w);
// The 12-byte header of an "indx" or ix## chunk's data.
aviindex_chunk decodeIndexHeader(const char* d);

}  // namespace avi::format
