#pragma once
// Recovery of damaged AVI files: a tolerant chunk walker beside the reader, a report of what
// it found, and a repair that writes everything recovered into a new, fully indexed file
// through the library's writer. The library's own read path is not involved in the walk.

#include <cstdint>
#include <string>
#include <vector>

#include "avi/IFileHandler.h"
#include "avi/IndexEntry.h"

namespace salvage {

// Stream parameters the user gives for a file without a usable header. Zero or empty means
// "not given".
struct Hints {
    unsigned width = 0, height = 0, bits = 0;
    double fps = 0;
    std::string fourcc;  // "" with fourccGiven: uncompressed
    bool fourccGiven = false;
    unsigned sampleRate = 0, sampleBits = 0, channels = 0;
    // "WxH", "R" (decimal or NUM/DEN), "RATE:BITS:CHANNELS"; false on a malformed value.
    bool setSize(const std::string& text);
    bool setFps(const std::string& text);
    bool setAudio(const std::string& text);
};

// Where the stream parameters came from.
enum class Source { None, Header, SideFile, Hints };

struct Params {
    bool video = false;
    unsigned width = 0, height = 0, bits = 0;
    bool topDown = false;
    double fps = 0;
    std::string fourcc;                 // "" for uncompressed frames
    std::vector<std::uint8_t> palette;  // blue, green, red, reserved per entry
    int videoStream = -1;
    bool audio = false;
    bool audioPcm = true;
    unsigned sampleRate = 0, sampleBits = 0, channels = 0;
    int audioStream = -1;
    Source source = Source::None;
};

// One recovered data chunk.
struct Chunk {
    std::uint64_t offset = 0;  // file offset of the chunk's data
    std::uint32_t size = 0;    // bytes of data kept (less than declared for a cut audio chunk)
    bool video = false;
};

// How a file's own index relates to the chunks found in its data.
enum class IndexState { Absent, Agrees, Absolute, Disagrees };

struct Report {
    std::uint64_t fileSize = 0;
    unsigned segments = 0;  // RIFF "AVI " and "AVIX" headers met
    bool header = false;    // a usable hdrl was found
    Params params;
    std::vector<Chunk> chunks;  // file order
    std::uint64_t videoChunks = 0, audioChunks = 0;
    std::uint64_t droppedFrames = 0;  // zero-length video chunks
    std::uint64_t recGroups = 0;      // LIST "rec " groups
    std::uint64_t skippedChunks = 0;  // data chunks of other streams, cut chunks
    std::uint64_t unaccounted = 0;    // bytes no chunk explains (damage, zero-filled room)
    std::uint64_t resyncs = 0;        // times the walk had to search for the next chunk
    bool cut = false;                 // the file ends inside a chunk
    IndexState idx1 = IndexState::Absent;
    std::uint64_t idx1Entries = 0, idx1Hits = 0;
    std::uint64_t ixEntries = 0, ixHits = 0;  // OpenDML standard indexes (ix##)
    std::vector<std::string> notes;
};

// Walks a file chunk by chunk. Stream parameters come from the header, else from the side
// file path + ".recovery.json", overridden field by field by the hints.
Report scan(const std::string& path, const Hints& hints);
// The same on an open handle (in-memory or fault-injecting handlers); sideFile may be "".
Report scan(avi::IFileHandler& handler, void* handle, const Hints& hints, const std::string& sideFile);

// Scans in and writes every recovered chunk into out (which must not exist unless overwrite).
// Returns true when something was recovered and written; error says why not. in is read
// through source when given (a remote file, say; no side file is looked for then), else
// from the local disk.
bool repair(const std::string& in, const std::string& out, const Hints& hints, bool overwrite, Report& report,
            std::string& error, avi::IFileHandler* source = nullptr);

// Rewrites fields of a closed file's stream headers in place: the video stream's rate as
// rateNum/rateDen when rateDen is not 0 (the writer keeps rates with a fixed scale), and the
// audio stream's length in sample frames when audioFrames fits 32 bits (the writer counts
// whole chunks of the first RIFF segment). False when the file cannot be rewritten or has no
// audio stream header to take a length asked for.
bool patchStreamHeaders(const std::string& path, std::uint32_t rateNum, std::uint32_t rateDen,
                        std::uint64_t audioFrames);
// The same on a file open for writing through handler h (an upload that is not finished).
bool patchStreamHeaders(avi::IFileHandler& h, void* handle, std::uint32_t rateNum, std::uint32_t rateDen,
                        std::uint64_t audioFrames);

// Whether the entry e of a file open for reading points at a chunk header with its stream's
// id and its size: "" when it does, else where it points and what stands there.
std::string checkEntry(avi::IFileHandler& handler, void* handle, const avi::IndexEntry& e, std::uint32_t stream,
                       bool video);

// The report as indented text lines.
std::string describe(const Report& report);

// Whether every entry of the indexes the library loads for path points at a chunk header
// with its stream's id and its size: one 8-byte read per entry, at most maxEntries per stream.
struct IndexCheck {
    bool opened = false;
    std::uint64_t entries = 0, mismatches = 0;
    std::vector<std::string> first;  // the first few mismatches, described
};
IndexCheck verifyIndex(const std::string& path, std::uint64_t maxEntries = UINT64_MAX);
// The same for one index of a file already open for reading (data at base + position); adds
// to out.
void verifyEntries(avi::IFileHandler& handler, void* handle, const std::vector<avi::IndexEntry>& index,
                   std::uint32_t stream, bool video, std::uint64_t maxEntries, IndexCheck& out);

}  // namespace salvage
