#include "format/Records.h"

#include <cstring>

#include "avi/fcns.h"

namespace avi::format {

using fcns::char2uint16;
using fcns::char2uint32;

namespace {

// Up to four characters of a FOURCC as text; a NUL ends it early.
void fourCCText(char* out, const char* in) {
    std::memset(out, 0, 5);
    for (int i = 0; i < 4 && in[i] != '\0'; ++i) out[i] = in[i];
}

}  // namespace

void decodeMainHeader(const char* d, MainAVIHeader& h) {
    h.dwMicroSecPerFrame = char2uint32(d);
    h.dwMaxBytesPerSec = char2uint32(d + 4);
    h.dwPaddingGranularity = char2uint32(d + 8);
    h.dwFlags = char2uint32(d + 12);
    h.dwTotalFrames = char2uint32(d + 16);
    h.dwInitialFrames = char2uint32(d + 20);
    h.dwStreams = char2uint32(d + 24);
    h.dwSuggestedBufferSize = char2uint32(d + 28);
    h.dwWidth = char2uint32(d + 32);
    h.dwHeight = char2uint32(d + 36);
    for (int i = 0; i < 4; ++i) h.dwReserved[i] = char2uint32(d + 40 + 4 * i);
}

void decodeStreamHeader(const char* d, std::size_t length, AVIStreamHeader& h) {
    fourCCText(h.fccType, d);
    fourCCText(h.fccHandler, d + 4);
    h.dwFlags = char2uint32(d + 8);
    h.dwPriorityLanguage = char2uint32(d + 12);
    h.dwInitialFrames = char2uint32(d + 16);
    h.dwScale = char2uint32(d + 20);
    h.dwRate = char2uint32(d + 24);
    h.dwStart = char2uint32(d + 28);
    h.dwLength = char2uint32(d + 32);
    h.dwSuggestedBufferSize = char2uint32(d + 36);
    h.dwQuality = char2uint32(d + 40);
    h.dwSampleSize = char2uint32(d + 44);
    if (length == STREAM_HEADER_SIZE_LONG) {
        for (int i = 0; i < 4; ++i) h.rcFrame[i] = char2uint32(d + 48 + 4 * i);
    } else if (length == STREAM_HEADER_SIZE) {
        for (int i = 0; i < 4; ++i) h.rcFrame[i] = char2uint16(d + 48 + 2 * i);
    }
}

void decodeBitmapHeader(const char* d, BitmapInfoHeader& b) {
    b.biSize = char2uint32(d);
    b.biWidth = static_cast<std::int32_t>(char2uint32(d + 4));
    b.biHeight = static_cast<std::int32_t>(char2uint32(d + 8));
    b.biPlanes = char2uint16(d + 12);
    b.biBitCount = char2uint16(d + 14);
    b.biCompression = char2uint32(d + 16);
    b.biSizeImage = char2uint32(d + 20);
    b.biXPelsPerMeter = char2uint32(d + 24);
    b.biYPelsPerMeter = char2uint32(d + 28);
    b.biClrUsed = char2uint32(d + 32);
    b.biClrImportant = char2uint32(d + 36);
}

std::vector<tagRGBQUAD> decodePalette(const char* d, std::size_t entries) {
    std::vector<tagRGBQUAD> out(entries);
    for (auto& e : out) {
        e.rgbBlue = static_cast<std::uint8_t>(d[0]);
        e.rgbGreen = static_cast<std::uint8_t>(d[1]);
        e.rgbRed = static_cast<std::uint8_t>(d[2]);
        e.rgbReserved = static_cast<std::uint8_t>(d[3]);
        d += 4;
    }
    return out;
}

void decodeWaveFormat(const char* d, std::size_t length, WaveFormatEx& w) {
    w.wFormatTag = char2uint16(d);
    w.nChannels = char2uint16(d + 2);
    w.nSamplesPerSec = char2uint32(d + 4);
    w.nAvgBytesPerSec = char2uint32(d + 8);
    w.nBlockAlign = char2uint16(d + 12);
    w.wBitsPerSample = char2uint16(d + 14);
    w.cbSize = length >= 18 ? char2uint16(d + 16) : 0;
}

aviindex_chunk decodeIndexHeader(const char* d) {
    aviindex_chunk h;
    h.longsPerEntry = char2uint16(d);
    h.indexSubType = static_cast<std::uint8_t>(d[2]);
    h.indexType = static_cast<std::uint8_t>(d[3]);
    h.entriesInUse = char2uint32(d + 4);
    h.chunkId = char2uint32(d + 8);
    return h;
}

}  // namespace avi::format
