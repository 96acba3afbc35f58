#pragma once
// A bounded reader of RIFF chunks. next() gives the chunk at the cursor (id, size, and for a
// LIST or RIFF its form type) and says whether its data lies inside its list and inside the
// file; list() opens a LIST or RIFF as a reader of its own. Sizes come from the file, so
// every one is checked against the list that holds it and the end of the file before it is
// used, in 64-bit arithmetic.

#include <cstddef>
#include <cstdint>

#include "avi/IFileHandler.h"

namespace avi::format {

// Where the bytes come from: a file handler, read at positions and bounded by the file's
// size, or bytes in memory.
class Source {
public:
    // The size is found once, by seeking to the end.
    Source(IFileHandler& handler, void* handle);
    // Bytes owned by the caller, read as a file of that many bytes.
    Source(const char* data, std::size_t size);
    std::uint64_t size() const { return size_; }
    // Up to n bytes at pos; fewer at the end of the file or after a failed read.
    std::size_t read(std::uint64_t pos, void* out, std::size_t n);
    bool readAll(std::uint64_t pos, void* out, std::size_t n) { return read(pos, out, n) == n; }
    IFileHandler* handler() const { return handler_; }
    void* handle() const { return handle_; }

private:
    IFileHandler* handler_ = nullptr;
    void* handle_ = nullptr;
    const char* data_ = nullptr;
    std::uint64_t size_ = 0;
};

struct Chunk {
    char id[4] = {};
    std::uint32_t size = 0;    // as stored: the data, without the pad byte of an odd size
    char form[4] = {};         // of a LIST or RIFF ("hdrl", "movi", "AVIX", ...); else zeros
    std::uint64_t offset = 0;  // of the chunk's 8-byte header
    std::uint64_t data() const { return offset + 8; }
    std::uint64_t dataEnd() const { return data() + size; }
    std::uint64_t next() const { return dataEnd() + (size & 1u); }
    bool is(const char* four) const;
    // A LIST or RIFF chunk, of the given form type when one is named.
    bool isList(const char* formType = nullptr) const;
};

enum class Status {
    Ok,           // the chunk's data lies inside its list and inside the file
    End,          // the list holds no further chunk
    ShortHeader,  // fewer than 8 bytes left in the list or the file: no whole chunk header
    Overrun,      // the chunk's size runs past the end of its list
    Cut,          // the chunk lies inside its list, but the file ends inside it
};
const char* describe(Status s);

class ChunkReader {
public:
    // The chunks in [begin, end) of source; end may lie beyond the file (a cut list).
    ChunkReader(Source& source, std::uint64_t begin, std::uint64_t end);
    // The chunk at the cursor. Ok moves the cursor past it and its pad byte (a missing pad
    // byte at the end of the list is no error). Otherwise c holds what was read, the
    // cursor stays where it was, and the list is not read further.
    Status next(Chunk& c);
    // The chunks of a LIST or RIFF chunk met by this reader, from behind its form type to
    // its end; a list that runs past this reader's end is bounded by it.
    ChunkReader list(const Chunk& c) const;
    // Reads up to n bytes of c's data from its start; fewer at the end of the file.
    std::size_t read(const Chunk& c, void* out, std::size_t n) const;
    std::uint64_t position() const { return pos_; }
    std::uint64_t end() const { return end_; }
    Source& source() const { return *source_; }

private:
    Source* source_;
    std::uint64_t pos_, end_;
    bool stopped_ = false;
};

}  // namespace avi::format
