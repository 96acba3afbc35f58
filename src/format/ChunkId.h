#pragma once
// Chunk ids. An id is four bytes compared as they stand in the file; a data chunk's id says
// which stream it belongs to (two decimal digits) and what it holds (two letters): "00db"
// uncompressed video, "00dc" compressed video, "01wb" audio, "00pc" a palette change, and
// "ix00" the OpenDML standard index of stream 0.

#include <cstring>

namespace avi::format {

inline bool is(const char* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

enum class Kind { None, Video, Audio, PaletteChange, Index };

struct ChunkKind {
    Kind kind = Kind::None;
    int stream = -1;  // 0 to 99; -1 when the id names no stream
    bool video() const { return kind == Kind::Video; }
    bool audio() const { return kind == Kind::Audio; }
};

// What the two letters at positions 2 and 3 say, whatever stands before them: "db"/"dc" video,
// "wb" audio. This is how index loading tells the streams' entries apart.
inline Kind kindByLetters(const char* id) {
    if (id[2] == 'd' && (id[3] == 'b' || id[3] == 'c')) return Kind::Video;
    if (id[2] == 'w' && id[3] == 'b') return Kind::Audio;
    return Kind::None;
}

// The full reading: digits and letters must both be there.
inline ChunkKind classify(const char* id) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    ChunkKind k;
    if (id[0] == 'i' && id[1] == 'x' && digit(id[2]) && digit(id[3])) {
        k.kind = Kind::Index;
        k.stream = (id[2] - '0') * 10 + (id[3] - '0');
        return k;
    }
    if (!digit(id[0]) || !digit(id[1])) return k;
    k.kind = id[2] == 'p' && id[3] == 'c' ? Kind::PaletteChange : kindByLetters(id);
    if (k.kind != Kind::None) k.stream = (id[0] - '0') * 10 + (id[1] - '0');
    return k;
}

// Whether id is a chunk id of four printable ASCII characters.
inline bool printable(const char* id) {
    for (int i = 0; i < 4; ++i)
        if (id[i] < 0x20 || id[i] > 0x7e) return false;
    return true;
}

}  // namespace avi::format
