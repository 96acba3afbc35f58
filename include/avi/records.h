#pragma once

#include <cstdint>

namespace avi {

// In-memory forms of the on-disk records. They are never copied to or from a file as a
// whole: every field is encoded and decoded on its own, little-endian.

// A palette entry, in file order.
struct tagRGBQUAD {
    std::uint8_t rgbBlue = 0;
    std::uint8_t rgbGreen = 0;
    std::uint8_t rgbRed = 0;
    std::uint8_t rgbReserved = 0;
};

// The 12-byte header shared by super indexes and standard indexes.
struct aviindex_chunk {
    std::uint16_t longsPerEntry = 0;
    std::uint8_t indexSubType = 0;
    std::uint8_t indexType = 0;
    std::uint32_t entriesInUse = 0;
    std::uint32_t chunkId = 0;
};

// "avih": 56 bytes of fourteen u32 fields.
struct MainAVIHeader {
    std::uint32_t dwMicroSecPerFrame = 0;
    std::uint32_t dwMaxBytesPerSec = 0;
    std::uint32_t dwPaddingGranularity = 0;
    std::uint32_t dwFlags = 0;
    std::uint32_t dwTotalFrames = 0;
    std::uint32_t dwInitialFrames = 0;
    std::uint32_t dwStreams = 0;
    std::uint32_t dwSuggestedBufferSize = 0;
    std::uint32_t dwWidth = 0;
    std::uint32_t dwHeight = 0;
    std::uint32_t dwReserved[4] = {0, 0, 0, 0};
};

// "strh". Type and handler are kept as text of up to four characters plus NUL.
struct AVIStreamHeader {
    char fccType[5] = {0, 0, 0, 0, 0};
    char fccHandler[5] = {0, 0, 0, 0, 0};
    std::uint32_t dwFlags = 0;
    std::uint32_t dwPriorityLanguage = 0;  // wPriority and wLanguage as one field
    std::uint32_t dwInitialFrames = 0;
    std::uint32_t dwScale = 0;
    std::uint32_t dwRate = 0;
    std::uint32_t dwStart = 0;
    std::uint32_t dwLength = 0;
    std::uint32_t dwSuggestedBufferSize = 0;
    std::uint32_t dwQuality = 0;
    std::uint32_t dwSampleSize = 0;
    std::uint32_t rcFrame[4] = {0, 0, 0, 0};  // left, top, right, bottom
};

// Video "strf" (BITMAPINFOHEADER), 40 bytes.
struct BitmapInfoHeader {
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::uint32_t biXPelsPerMeter = 0;
    std::uint32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
};

// Audio "strf" (WAVEFORMATEX), 18 bytes.
struct WaveFormatEx {
    std::uint16_t wFormatTag = 0;
    std::uint16_t nChannels = 0;
    std::uint32_t nSamplesPerSec = 0;
    std::uint32_t nAvgBytesPerSec = 0;
    std::uint16_t nBlockAlign = 0;
    std::uint16_t wBitsPerSample = 0;
    std::uint16_t cbSize = 0;
};

// Sizes of the encoded records and limits of the format.
constexpr std::uint32_t MAIN_HEADER_SIZE = 56;
constexpr std::uint32_t STREAM_HEADER_SIZE = 56;
constexpr std::uint32_t STREAM_HEADER_SIZE_LONG = 64;
constexpr std::uint32_t BITMAP_HEADER_SIZE = 40;
constexpr std::uint32_t WAVE_FORMAT_SIZE = 18;
constexpr std::uint32_t WAVE_FORMAT_CHUNK_SIZE = 128;
constexpr std::uint32_t INDEX_HEADER_SIZE = 12;
constexpr std::uint32_t MAX_STREAMS = 8;

}  // namespace avi
