#pragma once
// Internals shared by the walker, the parameter sources and the repair.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "avi/IFileHandler.h"
#include "avi/fcns.h"
#include "salvage/salvage.h"

namespace salvage {
namespace detail {

// Positioned reads through a file handler; every read is bounded by the file's size.
class Bytes {
public:
    Bytes(avi::IFileHandler& handler, void* handle);
    std::uint64_t size() const { return size_; }
    // Bytes read at pos, at most n; fewer near the end of the file.
    std::size_t read(std::uint64_t pos, void* buffer, std::size_t n);
    bool readAll(std::uint64_t pos, void* buffer, std::size_t n) { return read(pos, buffer, n) == n; }

private:
    avi::IFileHandler& handler_;
    void* handle_;
    std::uint64_t size_ = 0;
};

inline std::uint32_t u32(const char* p) { return avi::fcns::char2uint32(p); }
inline std::uint16_t u16(const char* p) { return avi::fcns::char2uint16(p); }
inline bool is(const char* p, const char* id) { return std::memcmp(p, id, 4) == 0; }

// "NNdb", "NNdc" or "NNwb": the stream number, else -1. video tells which kind.
inline int dataStream(const char* id, bool& video) {
    if (id[0] < '0' || id[0] > '9' || id[1] < '0' || id[1] > '9') return -1;
    video = (id[2] == 'd' && (id[3] == 'b' || id[3] == 'c'));
    if (!video && !(id[2] == 'w' && id[3] == 'b')) return -1;
    return (id[0] - '0') * 10 + (id[1] - '0');
}

// Stream parameters from a hdrl list's bytes; false when it names no usable stream.
bool parseHeaderList(const std::vector<char>& hdrl, Params& out);
// Fills what params lack from the side file (when no header) and the hints.
void applySideFileAndHints(const std::string& sideFile, const Hints& hints, Report& report);

// Bytes per row of an uncompressed frame.
inline std::uint64_t stride(std::uint64_t width, unsigned bits) { return (width * bits + 31) / 32 * 4; }

}  // namespace detail
}  // namespace salvage
