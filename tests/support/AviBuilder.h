#pragma once
// AVI files declared rather than assembled: the streams, the chunks of each RIFF segment,
// which indexes to write, and the damage to do afterwards. Valid and hostile files alike
// come from here; the header's counts and every index are derived from the chunks.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "avi/records.h"

namespace avitest {

using Bytes = std::vector<char>;

// Video (w x h, bits per pixel, compression FOURCC as a number, 0 for none) or PCM audio
// at 8000 Hz (bits per sample, channels).
struct Stream {
    bool audio;
    std::int32_t w, h;
    std::uint16_t bits;
    std::uint32_t compression;
    std::uint16_t channels;
};
inline Stream video(std::int32_t w, std::int32_t h, std::uint16_t bits = 24, std::uint32_t compression = 0) {
    return {false, w, h, bits, compression, 0};
}
inline Stream audio(std::uint16_t channels = 1, std::uint16_t bits = 8) { return {true, 0, 0, bits, 0, channels}; }

// An element of a movi list: a chunk (ids "NNxx" count for stream NN); with `list`, a LIST
// of form type `id`; with an empty id, `data` as it is (junk, a stray byte).
struct Chunk {
    std::string id, data;
    std::int64_t size = -1;  // what the header says; -1: the data's size
    bool pad = true;         // a zero byte after odd data
    bool key = true;         // as the indexes flag it
    std::vector<Chunk> list = {};
};
inline Chunk list(const std::string& type, std::vector<Chunk> items) { return {type, "", -1, true, true, items}; }

// Chunks [first, end) of each content function, video then audio (when given) for each number.
using Content = std::function<std::string(unsigned)>;
std::vector<Chunk> interleave(unsigned first, unsigned end, const Content& video, const Content& audio = nullptr,
                              const std::string& videoId = "00db");

struct Idx1Entry {
    std::string id;
    std::uint32_t flags, offset, size;
};

struct Avi {
    std::vector<Stream> streams;
    std::vector<std::vector<Chunk>> segments;  // the movi of RIFF AVI, then of each RIFF AVIX
    // idx1 of the first segment, offsets from the movi form type or from the file start.
    enum Idx1 { NoIdx1, Relative, Absolute } idx1 = Relative;
    std::function<void(std::vector<Idx1Entry>&)> editIdx1 = nullptr;
    // A super index (indx) per stream and a standard index (ix##) ending each movi list, for
    // the first odmlSegments segments (the super index keeps empty room for the others).
    bool odml = false;
    std::size_t odmlSegments = ~std::size_t{0};
    // The super index lists one more (an ix## ending the last movi) that lists the standard ones.
    bool nested = false;
};

// Damage after the fact: at `delta` bytes from the first occurrence of the FOURCC `at` (the
// file start when empty), a little-endian u32 or the given bytes.
struct Patch {
    Patch(std::string from, std::int64_t by, std::uint32_t value);
    Patch(std::string from, std::int64_t by, std::string put) : at(from), delta(by), bytes(put) {}
    std::string at;
    std::int64_t delta;
    std::string bytes;
};

// cut > 0 keeps that many bytes, cut < 0 drops that many from the end.
Bytes build(const Avi& avi, const std::vector<Patch>& damage = {}, std::int64_t cut = 0);

// Where the FOURCC first occurs in b, from `from` on (b.size() if nowhere).
std::size_t find(const Bytes& b, const std::string& id, std::size_t from = 0);

// Fields read back, little-endian; past the end fails the test.
inline std::uint32_t u32(const Bytes& b, std::uint64_t off) {
    if (off + 4 > b.size()) {
        ADD_FAILURE() << "read of 4 bytes at " << off << " past the end " << b.size();
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(b.data() + off);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t u64(const Bytes& b, std::uint64_t off) {
    return u32(b, off) | (static_cast<std::uint64_t>(u32(b, off + 4)) << 32);
}
inline std::string fourcc(const Bytes& b, std::uint64_t off) {
    return off + 4 > b.size() ? "<eof>" : std::string(b.data() + off, 4);
}

// Deterministic content.
inline Bytes pattern(std::size_t n, unsigned seed) {
    Bytes v(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& c : v) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return v;
}
// A palette of n distinct entries.
inline std::vector<avi::tagRGBQUAD> palette(std::size_t n) {
    std::vector<avi::tagRGBQUAD> p(n);
    for (std::size_t i = 0; i < n; ++i)
        p[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i), static_cast<std::uint8_t>(i * 7), 0};
    return p;
}

}  // namespace avitest
