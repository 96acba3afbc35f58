// In-place conversion of raw frames to RGB24 (blue, green, red; rows padded to 4 bytes).
// Expanding conversions run backwards and the shrinking one forwards, so no input byte is
// overwritten before it is read. Pixels go four at a time as three 32-bit stores.
#include <algorithm>
#include <cstring>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define AVI_HAVE_SSSE3_KERNELS 1
#endif

#include "avi/File.h"
#include "format/Rows.h"

namespace avi {

using namespace errors;

namespace {

std::uint32_t rowPadding(std::int32_t width, unsigned pixelBytes) {
    return static_cast<std::uint32_t>(
        format::rowPadding(std::uint64_t{static_cast<std::uint32_t>(width)} * pixelBytes));
}

inline std::uint32_t load32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void store32(char* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline void store64(char* p, std::uint64_t v) { std::memcpy(p, &v, 8); }
inline void store24(char* p, std::uint32_t bgr) {
    p[0] = static_cast<char>(bgr);
    p[1] = static_cast<char>(bgr >> 8);
    p[2] = static_cast<char>(bgr >> 16);
}
// Four BGR pixels (low 24 bits each) as twelve bytes.
inline void store4Pixels(char* p, std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    store32(p, a | (b << 24));
    store32(p + 4, (b >> 8) | (c << 16));
    store32(p + 8, (c >> 16) | (d << 8));
}

// 0x00RRGGBB for every byte value; indices without a colormap entry become black, so a
// hostile frame cannot read outside the colormap.
struct Palette {
    std::uint32_t bgr[256];
    explicit Palette(const std::vector<tagRGBQUAD>& map) {
        for (unsigned i = 0; i < 256; ++i) {
            bgr[i] = i < map.size() ? static_cast<std::uint32_t>(map[i].rgbBlue) |
                                          (static_cast<std::uint32_t>(map[i].rgbGreen) << 8) |
                                          (static_cast<std::uint32_t>(map[i].rgbRed) << 16)
                                    : 0;
        }
    }
};

inline std::uint32_t rgb555(std::uint32_t v) {
    return ((v << 3) & 0xF8u) | (((v >> 2) & 0xF8u) << 8) | (((v >> 7) & 0xF8u) << 16);
}

#ifdef AVI_HAVE_SSSE3_KERNELS
// SSSE3 kernels, chosen at run time: byte shuffles do the 4-to-3 packing that costs the
// scalar code most of its time.
bool haveSsse3() {
    static const bool yes = __builtin_cpu_supports("ssse3");
    return yes;
}

// Four 0x00RRGGBB lanes packed into bytes 0..11 (pack) or placed at 12..15 / 0..7 (split).
#define AVI_PACK_LO _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1)

// Eight words per step, backwards; each step's 24 output bytes go out as 16 + 8, so no byte
// beyond the step is touched (the bytes above it are output already written).
__attribute__((target("ssse3"))) std::size_t expand555Ssse3(const char* in, char* out, std::size_t i) {
    const __m128i packLo = AVI_PACK_LO;
    const __m128i hiHead = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 2, 4);
    const __m128i hiTail = _mm_setr_epi8(5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i mb = _mm_set1_epi32(0xF8), mg = _mm_set1_epi32(0xF800), mr = _mm_set1_epi32(0xF80000);
    const __m128i zero = _mm_setzero_si128();
    while (i >= 8) {
        i -= 8;
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
        __m128i px[2] = {_mm_unpacklo_epi16(w, zero), _mm_unpackhi_epi16(w, zero)};
        for (__m128i& v : px)
            v = _mm_or_si128(
                _mm_or_si128(_mm_and_si128(_mm_slli_epi32(v, 3), mb), _mm_and_si128(_mm_slli_epi32(v, 6), mg)),
                _mm_and_si128(_mm_slli_epi32(v, 9), mr));
        const __m128i head = _mm_or_si128(_mm_shuffle_epi8(px[0], packLo), _mm_shuffle_epi8(px[1], hiHead));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * i + 16), _mm_shuffle_epi8(px[1], hiTail));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), head);
    }
    return i;
}

// Four pixels per step, forwards; each 16-byte store spills 4 bytes past the step, so a
// step runs only while those bytes are output a later step writes (at least a pixel and a
// third more): the bytes past the run, a row's padding among them, are never touched.
__attribute__((target("ssse3"))) std::size_t shrink32Ssse3(const char* in, char* out, std::size_t n) {
    const __m128i pack = AVI_PACK_LO;
    std::size_t i = 0;
    // Sixteen pixels a step: four packed quarters joined into three whole stores.
    for (; i + 16 <= n; i += 16) {
        const auto* src = reinterpret_cast<const __m128i*>(in + 4 * i);
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(src), pack);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(src + 1), pack);
        const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(src + 2), pack);
        const __m128i d = _mm_shuffle_epi8(_mm_loadu_si128(src + 3), pack);
        auto* dst = reinterpret_cast<__m128i*>(out + 3 * i);
        _mm_storeu_si128(dst, _mm_or_si128(a, _mm_slli_si128(b, 12)));
        _mm_storeu_si128(dst + 1, _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
        _mm_storeu_si128(dst + 2, _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    }
    for (; i + 6 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), _mm_shuffle_epi8(v, pack));
    }
    return i;
}

#endif

// n palette indices at in -> n pixels at out (out >= in), backwards. Eight pixels a step:
// the indices are loaded byte by byte (loads are cheaper here than shifting them out of a
// word, and a vector gather is slower still) and the 24 output bytes go out as three
// 64-bit stores, after every load of the step.
void expandIndexed(const Palette& pal, const char* in, char* out, std::size_t n) {
    const auto* u = reinterpret_cast<const unsigned char*>(in);
    const std::uint32_t* t = pal.bgr;
    std::size_t i = n;
    while (i % 8 != 0) {
        --i;
        store24(out + 3 * i, t[u[i]]);
    }
    while (i > 0) {
        i -= 8;
        const std::uint64_t a = t[u[i]], b = t[u[i + 1]], c = t[u[i + 2]], d = t[u[i + 3]], e = t[u[i + 4]],
                            f = t[u[i + 5]], g = t[u[i + 6]], h = t[u[i + 7]];
        store64(out + 3 * i, a | (b << 24) | (c << 48));
        store64(out + 3 * i + 8, (c >> 16) | (d << 8) | (e << 32) | (f << 56));
        store64(out + 3 * i + 16, (f >> 8) | (g << 16) | (h << 40));
    }
}

// n RGB555 words at in -> n pixels at out (out >= in), backwards.
void expand555(const char* in, char* out, std::size_t n) {
    std::size_t i = n;
#ifdef AVI_HAVE_SSSE3_KERNELS
    if (haveSsse3()) {
        while (i % 8 != 0) {
            --i;
            store24(out + 3 * i, rgb555(fcns::char2uint16(in + 2 * i)));
        }
        i = expand555Ssse3(in, out, i);
    }
#endif
    while (i % 4 != 0) {
        --i;
        store24(out + 3 * i, rgb555(fcns::char2uint16(in + 2 * i)));
    }
    while (i > 0) {
        i -= 4;
        const std::uint32_t lo = load32(in + 2 * i), hi = load32(in + 2 * i + 4);
        store4Pixels(out + 3 * i, rgb555(lo & 0xFFFF), rgb555(lo >> 16), rgb555(hi & 0xFFFF), rgb555(hi >> 16));
    }
}

// n 32-bit pixels at in -> n pixels at out (out <= in), forwards.
void shrink32(const char* in, char* out, std::size_t n) {
    std::size_t i = 0;
#ifdef AVI_HAVE_SSSE3_KERNELS
    if (haveSsse3()) i = shrink32Ssse3(in, out, n);
#endif
    for (; i + 4 <= n; i += 4) {
        const std::uint32_t a = load32(in + 4 * i), b = load32(in + 4 * i + 4), c = load32(in + 4 * i + 8),
                            d = load32(in + 4 * i + 12);
        store4Pixels(out + 3 * i, a & 0xFFFFFF, b & 0xFFFFFF, c & 0xFFFFFF, d & 0xFFFFFF);
    }
    for (; i < n; ++i) std::memmove(out + 3 * i, in + 4 * i, 3);
}

}  // namespace

void File::readRGB24VideoFrame(char* buffer) { readRGB24VideoFrame(buffer, INVALID_FRAME_INDEX); }

void File::readRGB24VideoFrame(char* buffer, long long frameNumber) {
    if (isVideoCompressed()) {
        setError(ERR_COMPRESSED_VIDEO);
        return;
    }
    const unsigned bits = bitmapHeader.biBitCount;
    const bool converts = bits == 2 || bits == 4 || bits == 8 || bits == 16 || bits == 32;
    // Refused before anything is read, so the buffer is left alone: a geometry the
    // conversion cannot run in, or a bit count with no RGB24 size (getRGB24VideoFrameSize()
    // is 0), whose raw frame would not fit the buffer the host was told to provide.
    if ((converts && !conversionFits()) || getRGB24VideoFrameSize() < videoFrameSize) {
        setError(ERR_UNSUPPORTED_BITMAP_HEADER);
        return;
    }
    const std::uint64_t before = framesRead;
    readVideoFrame(buffer, frameNumber);
    if (errorCode != ERR_NONE) return;
    // Nothing was read (end of video, or a number past the end): leave the buffer alone.
    if (frameNumber == INVALID_FRAME_INDEX ? framesRead == before
                                           : (frameNumber < 0 || frameNumber >= static_cast<long long>(totalFrames())))
        return;
    if (!converts) return;
    const bool plain = (static_cast<std::uint32_t>(bitmapHeader.biWidth) % 4) == 0;
    switch (bits) {
        case 16:
            plain ? rgb555ToRgb24(buffer) : rgb555ToRgb24WPad(buffer);
            break;
        case 32:
            plain ? rgb32ToRgb24(buffer) : rgb32ToRgb24WPad(buffer);
            break;
        default:
            plain ? indexedToRgb24(buffer) : indexedToRgb24WPad(buffer);
            break;
    }
}

bool File::conversionFits() {
    if (bitmapHeader.biWidth <= 0 || bitmapHeader.biHeight <= 0) return false;
    const std::uint64_t w = static_cast<std::uint64_t>(bitmapHeader.biWidth);
    const std::uint64_t h = static_cast<std::uint64_t>(bitmapHeader.biHeight);
    const std::uint64_t rgbRow = format::paddedRow(3 * w);
    return rgbRow * h <= 0xFFFFFFFFull;
}

std::uint32_t File::getRGB24VideoFrameSize() {
    const std::uint64_t w = static_cast<std::uint32_t>(bitmapHeader.biWidth);
    const std::uint64_t h = static_cast<std::uint32_t>(bitmapHeader.biHeight);
    const std::uint32_t r = static_cast<std::uint32_t>(format::paddedRow(3 * w) * h);
    const unsigned bits = bitmapHeader.biBitCount;
    if (mode == 1) return bits == 24 ? r : 0;
    switch (bits) {
        case 2:
        case 4:
        case 8:
        case 16:
            // The raw frame is read into the same buffer first: never report less than it needs.
            return r > videoFrameSize ? r : videoFrameSize;
        case 24:
        case 32:
            return videoFrameSize;
        default:
            return 0;
    }
}

// The padding of a stored row of pixels of the given bytes each.
std::uint32_t File::getIndexedPadLength() { return rowPadding(bitmapHeader.biWidth, 1); }
std::uint32_t File::getRgb24PadLength() { return rowPadding(bitmapHeader.biWidth, 3); }
std::uint32_t File::getRgb555PadLength() { return rowPadding(bitmapHeader.biWidth, 2); }

// The plain variants treat the frame as one run of pixels: as many as the raw frame holds
// and the RGB24 buffer can take.
void File::indexedToRgb24(char* buffer) {
    const std::size_t n = std::min<std::size_t>(videoFrameSize, getRGB24VideoFrameSize() / 3);
    expandIndexed(Palette(colormap), buffer, buffer, n);
}

void File::rgb555ToRgb24(char* buffer) {
    const std::size_t n = std::min<std::size_t>(videoFrameSize / 2, getRGB24VideoFrameSize() / 3);
    expand555(buffer, buffer, n);
}

void File::rgb32ToRgb24(char* buffer) { shrink32(buffer, buffer, videoFrameSize / 4); }

void File::indexedToRgb24WPad(char* buffer) {
    if (!conversionFits()) return;
    const std::size_t w = static_cast<std::uint32_t>(bitmapHeader.biWidth);
    const std::size_t h = static_cast<std::uint32_t>(bitmapHeader.biHeight);
    const std::size_t si = format::paddedRow(w), so = format::paddedRow(3 * w);
    const Palette pal(colormap);
    for (std::size_t r = h; r-- > 0;) expandIndexed(pal, buffer + r * si, buffer + r * so, w);
}

void File::rgb555ToRgb24WPad(char* buffer) {
    if (!conversionFits()) return;
    const std::size_t w = static_cast<std::uint32_t>(bitmapHeader.biWidth);
    const std::size_t h = static_cast<std::uint32_t>(bitmapHeader.biHeight);
    const std::size_t si = 2 * w + getRgb555PadLength(), so = format::paddedRow(3 * w);
    for (std::size_t r = h; r-- > 0;) expand555(buffer + r * si, buffer + r * so, w);
}

void File::rgb32ToRgb24WPad(char* buffer) {
    if (!conversionFits()) return;
    const std::size_t w = static_cast<std::uint32_t>(bitmapHeader.biWidth);
    const std::size_t h = static_cast<std::uint32_t>(bitmapHeader.biHeight);
    const std::size_t so = format::paddedRow(3 * w);
    // The raw frame must hold every row read.
    const std::size_t rows = std::min<std::size_t>(h, videoFrameSize / (4 * w));
    for (std::size_t r = 0; r < rows; ++r) shrink32(buffer + r * 4 * w, buffer + r * so, w);
}

}  // namespace avi
