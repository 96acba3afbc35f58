#pragma once
// Internals shared by the walker, the parameter sources and the repair.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "avi/IFileHandler.h"
#include "avi/fcns.h"
#include "format/ChunkId.h"
#include "format/ChunkReader.h"
#include "format/Records.h"
#include "format/Rows.h"
#include "salvage/salvage.h"

namespace salvage {
namespace detail {

using Bytes = avi::format::Source;

inline std::uint32_t u32(const char* p) { return avi::fcns::char2uint32(p); }
inline std::uint16_t u16(const char* p) { return avi::fcns::char2uint16(p); }
using avi::format::is;

// "NNdb", "NNdc" or "NNwb": the stream number, else -1. video tells which kind.
inline int dataStream(const char* id, bool& video) {
    const avi::format::ChunkKind k = avi::format::classify(id);
    video = k.video();
    return k.video() || k.audio() ? k.stream : -1;
}

// One data chunk the walker met.
struct Found {
    std::uint64_t offset;  // data
    std::uint32_t size;    // kept: what the file holds of it
    std::uint32_t stored;  // as its header says
    int stream;
    bool video;
    bool partial;  // the file ends inside it
};

// The chunks of every RIFF segment in [begin, end) of the file, found without trusting its
// indexes: a search for the next plausible chunk header wherever the structure breaks.
// Counts segments, cuts, resyncs and unexplained bytes into r; the header list met first
// fills r.params.
std::vector<Found> walk(Bytes& in, std::uint64_t begin, std::uint64_t end, Report& r);

// Stream parameters from a hdrl list's bytes; false when it names no usable stream.
bool parseHeaderList(const std::vector<char>& hdrl, Params& out);
// Fills what params lack from the side file (when no header) and the hints.
void applySideFileAndHints(const std::string& sideFile, const Hints& hints, Report& report);

using avi::format::rowStride;

}  // namespace detail
}  // namespace salvage
