#pragma once
// What the tolerant reader keeps behind its public face, shared by its opening and reading halves.

#include <memory>
#include <vector>

#include "avi/VectoredIO.h"
#include "core/FileBridge.h"
#include "detail.h"
#include "salvage/TolerantReader.h"

namespace salvage {

struct TolerantReader::Impl {
    // Chooses the handler for a path and keeps the remote plug-in loaded while it is in use.
    avi::internal::FileBridge chooser;
    std::shared_ptr<avi::IFileHandler> handler;
    void* handle = nullptr;
    avi::IVectoredIO* vectored = nullptr;
    std::unique_ptr<avi::format::Source> source;

    std::vector<std::uint64_t> audioStart;      // stream position of each chunk's first byte
    std::vector<char> audioProven;              // whether a chunk's header was checked
    std::vector<char> scratch;                  // a stored frame on its way to a converted one
    std::vector<avi::IVectoredIO::Piece> rows;  // a flipped frame's rows, each where it ends up
    unsigned char bgr[256 * 3] = {};            // the palette of 8-bit frames, as B, G, R

    ~Impl() {
        if (handle != nullptr) handler->fclose(handle);
    }

    // ---- opening (tolerant_open.cpp) ----
    // Everything open() finds, into r; false with r's error set.
    bool open(TolerantReader& r, const Hints& hints, const std::string& sideFile);
    // A file without a usable header: the walk, and parameters from the side file or hints.
    bool openHeaderless(TolerantReader& r, const Hints& hints, const std::string& sideFile);
    // The walker's chunks of r's streams, behind what r holds already: from the given offsets
    // on (what lies before them an index named).
    void adopt(TolerantReader& r, const std::vector<detail::Found>& found, std::uint64_t videoFrom,
               std::uint64_t audioFrom);
    // Counts, positions and the palette, once the chunks are known.
    bool finish(TolerantReader& r);

    // Reads the 8-byte header of the chunk whose data starts at offset into header, and n
    // bytes of its data into out: one read where the handler can.
    bool readChunk(std::uint64_t offset, char* header, char* out, std::size_t n);
    // n bytes at position, without a header.
    bool readAt(std::uint64_t position, char* out, std::size_t n);
};

// Whether header is that of a chunk of the stream, of its kind, holding stored bytes.
inline bool chunkMatches(const char* header, unsigned stream, bool video, std::uint32_t stored) {
    const avi::format::ChunkKind k = avi::format::classify(header);
    return k.stream == static_cast<int>(stream) && (video ? k.video() : k.audio()) &&
           avi::fcns::char2uint32(header + 4) == stored;
}

}  // namespace salvage
