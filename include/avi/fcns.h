#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "avi/export.h"

namespace avi {
namespace fcns {

// Little-endian decoders; any alignment. Inline because they run for every field read.
inline std::uint16_t char2uint16(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}
inline std::uint32_t char2uint32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
           (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}
inline std::uint64_t char2uint64(const char* p) {
    return static_cast<std::uint64_t>(char2uint32(p)) | (static_cast<std::uint64_t>(char2uint32(p + 4)) << 32);
}

// Encoders: a new array of the value's bytes, little-endian, followed by one 0 byte.
AVI_API std::unique_ptr<char[]> uint16ToChar(std::uint16_t value);
AVI_API std::unique_ptr<char[]> uint32ToChar(std::uint32_t value);
AVI_API std::unique_ptr<char[]> uint64ToChar(std::uint64_t value);

// A RIFF size field rounded up to even (the distance to the next chunk header), mod 2^32.
inline std::uint32_t getChunkLength(const char* p) {
    const std::uint32_t v = char2uint32(p);
    return v + (v & 1u);
}

// Allocation-free encoders into a caller's buffer, for hot paths that write many fields.
inline void putUint16(char* p, std::uint16_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>(v >> 8);
}
inline void putUint32(char* p, std::uint32_t v) {
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>((v >> 8) & 0xFF);
    p[2] = static_cast<char>((v >> 16) & 0xFF);
    p[3] = static_cast<char>(v >> 24);
}
inline void putUint64(char* p, std::uint64_t v) {
    putUint32(p, static_cast<std::uint32_t>(v));
    putUint32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace fcns
}  // namespace avi
